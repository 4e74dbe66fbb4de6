// SPDX-License-Identifier: MIT
// Produces events of every kind through the library and the test collector, and writes the
// batches the collector accepted as JSON lines for the schema check that CTest runs next.
#include "logcapture.h"
#include "pipelinetestsupport.h"
#include "qsentrelconfiguration_p.h"
#include "qsentrelreporter_p.h"
#include "referenceevents.h"
#include "sentreltrackerimpl_p.h"
#include "testclock.h"
#include "testcollector.h"
#include "testenvironment.h"

#include <SentrelTracker/qsentreleventinterceptor.h>
#include <SentrelTracker/qsentreltracker.h>

#include <QDateTime>
#include <QFile>
#include <QGuiApplication>
#include <QLocale>
#include <QLoggingCategory>
#include <QRect>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <climits>
#include <functional>

using SentrelTracker::ContextData;
using SentrelTracker::EventCoordinates;

using Recording = std::function<void(QSentrelTracker &)>;
Q_DECLARE_METATYPE(Recording)

namespace {

// Every kind of character JSON escapes or encodes differently: quotes, controls, two-, three-
// and four-byte UTF-8, and lone halves of surrogate pairs (last of all, one at the very end).
QString awkwardText()
{
    return QStringLiteral("q\"b\\s/ \b\f\n\r\t") + QChar(0) + QChar(0x1f) + QChar(0x7f)
            + QString::fromUtf16(u"\u00e9\u20ac\U0001F600\uffff") + QChar(0xd800) + QLatin1Char('x')
            + QChar(0xdc00) + QChar(0xdbff);
}

// The device and application contexts of the start-up event, built from the same sources.
QJsonArray deviceContexts(QSentrelConfigurationPrivate *c)
{
    const QSize size = QGuiApplication::primaryScreen()->size();
    QJsonObject device {{QStringLiteral("screen_resolution"),
                         QStringLiteral("%1x%2").arg(size.width()).arg(size.height())},
                        {QStringLiteral("cpu_architecture"), QSysInfo::currentCpuArchitecture()},
                        {QStringLiteral("kernel_type"), QSysInfo::kernelType()},
                        {QStringLiteral("kernel_version"), QSysInfo::kernelVersion()},
                        {QStringLiteral("os_type"), QSysInfo::productType()},
                        {QStringLiteral("os_version"), QSysInfo::productVersion()}};
    QJsonObject application {{QStringLiteral("version"), QCoreApplication::applicationVersion()},
                             {QStringLiteral("qt_version"), QString::fromLatin1(qVersion())},
                             {QStringLiteral("last_shutdown"), c->lastShutdown()}};
    const auto optional = [](QJsonObject &object, const char *key, const QString &value) {
        if (!value.isEmpty())
            object.insert(QLatin1String(key), value);
    };
    optional(device, "model", c->deviceModel());
    optional(device, "variant", c->deviceVariant());
    optional(device, "screen_type", c->deviceScreenType());
    optional(application, "build", c->appBuild());
    return QJsonArray {
            ReferenceEvents::selfDescribing("/device/jsonschema/1-0-1", device),
            ReferenceEvents::selfDescribing("/application/jsonschema/1-0-1", application)};
}
} // namespace

class tst_Payload : public QObject, private PipelineFixture
{
    Q_OBJECT

public:
    tst_Payload() : PipelineFixture(QStringLiteral("payload-token")) { }

private:
    void configure(const QString &storageType)
    {
        PipelineFixture::configure(1, storageType);
        config()->setBatchSize(7);
    }

    // Records every kind of event; returns how many events it made.
    int recordEverything()
    {
        SentrelTrackerImpl *impl = SentrelTrackerImpl::instance();
        const QString object = QStringLiteral("MainWindow/QWidget/QPushButton:ok");
        const QString emoji = QString::fromUtf16(u"\U0001F600");
        QList<std::function<void()>> recordings {
                [=] {
                    impl->sendEvent(QStringLiteral("KeyPress"),
                                    object,
                                    QString(),
                                    std::nullopt,
                                    std::nullopt);
                },
                [=] {
                    tracker.interaction(QStringLiteral("before any screen"), QString());
                },
                [=] {
                    tracker.transition(QStringLiteral("Main"));
                },
                [=] {
                    tracker.transition(QStringLiteral("Settings"), QStringLiteral("depth"), 2.5);
                },
                [=] {
                    tracker.transition(QString(), QStringLiteral("negative"), -1e300);
                },
                [=] {
                    tracker.interaction(QStringLiteral("ok"), QStringLiteral("buttons"));
                },
                [=] {
                    tracker.interaction(QStringLiteral("apply"),
                                        QStringLiteral("count"),
                                        7,
                                        QStringLiteral("buttons"));
                },
                [=] {
                    impl->sendEvent(QStringLiteral("MouseButtonRelease"),
                                    object,
                                    QStringLiteral("ok"),
                                    EventCoordinates {3, -7},
                                    QStringLiteral("LeftButton"));
                },
                [=] {
                    impl->sendEvent(QStringLiteral("MouseButtonRelease"),
                                    object,
                                    QString(),
                                    EventCoordinates {0, 0},
                                    QStringLiteral("RightButton"));
                },
                [=] {
                    impl->sendEvent(QStringLiteral("FocusIn"),
                                    object,
                                    QStringLiteral("ok"),
                                    std::nullopt,
                                    QString());
                },
                [=] {
                    impl->sendEvent(QStringLiteral("Resize"),
                                    QString(),
                                    QString(),
                                    EventCoordinates {-20000, 40000},
                                    std::nullopt);
                },
        };
        for (const QString &value :
             {QString(),
              QStringLiteral("short"),
              QString(4096, QLatin1Char('a')),
              QString(4097, QLatin1Char('b')),
              QString(8193, QLatin1Char('c')),
              QString(4095, QLatin1Char('d')) + emoji + QStringLiteral("tail"),
              emoji.repeated(3000) + QStringLiteral("\n\"quoted\"\t\u00e9")})
            recordings.append([=] {
                tracker.contextData(QStringLiteral("document"), value);
            });
        for (const QString &value :
             {QStringLiteral("pro"), QString(), QString(10000, QLatin1Char('e'))}) {
            recordings.append([=] {
                QString copy = value;
                tracker.dimensionData(QStringLiteral("edition"), copy);
            });
        }
        recordings.append([=] {
            tracker.track(
                    QStringLiteral("export.done"),
                    {{QStringLiteral("format"), QStringLiteral("pdf")},
                     {QStringLiteral("pages"), 12},
                     {QStringLiteral("scale"), 1.5},
                     {QStringLiteral("tags"), QStringList {emoji, QString()}},
                     {QStringLiteral("options"), QVariantMap {{QStringLiteral("color"), false}}}});
        });
        recordings.append([=] {
            tracker.startNewSession();
            tracker.transition(QStringLiteral("Next session"));
        });
        recordings.append([=] {
            impl->queueRequest([](QSentrelReporter *reporter) {
                reporter->trackScreenEnd(QStringLiteral("Next session"), 1500);
            });
        });
        recordings.append([=] {
            impl->queueRequest([](QSentrelReporter *reporter) {
                reporter->trackConsent(QSentrelTracker::ConsentGranted,
                                       QSentrelTracker::ConsentAnonymous,
                                       3);
            });
        });
        for (const auto &record : recordings)
            record();
        return int(recordings.size());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QFile::remove(QStringLiteral(RECEIVED_EVENTS)); // never check what an earlier run left
        QVERIFY(startPipeline(QStringLiteral("tst_payload")));
    }

    void init() { QVERIFY(beginTest()); }
    void cleanup() { QVERIFY(endTest()); }

    // The bytes of each kind of event, against the same event built as a QJsonObject tree and
    // serialised by QJsonDocument: what the cache, the collector and the debug log see.
    void sameBytesAsJsonDocument_data()
    {
        QTest::addColumn<QString>("deviceText");
        QTest::addColumn<Recording>("record");
        QTest::addColumn<QList<QJsonArray>>("expected");
        using namespace ReferenceEvents;
        const QString awkward = awkwardText();
        const QString none;

        QTest::newRow("device and application") << QString() << Recording() << QList<QJsonArray> {};
        QTest::newRow("device and application, every optional key")
                << awkward << Recording() << QList<QJsonArray> {};
        QTest::newRow("screen views")
                << QString() << Recording([=](QSentrelTracker &t) {
                       t.transition(QStringLiteral("Main"));
                       t.transition(awkward, awkward, 2.5);
                       t.transition(QString());
                   })
                << QList<QJsonArray> {screenView(QStringLiteral("Main"), none),
                                      screenView(awkward,
                                                 QStringLiteral("Main"),
                                                 ContextData<double> {awkward, 2.5}),
                                      screenView(none, awkward)};
        // Escapes that make it four times as long in the event (which may not exceed 1 MiB),
        // and a pair at the end.
        const QString longName = QString((1 << 17) - 1, QLatin1Char('"'))
                + QStringLiteral("\U0001F600") + QStringLiteral("end");
        QTest::newRow("screen view of half a megabyte")
                << QString() << Recording([=](QSentrelTracker &t) {
                       t.transition(longName);
                   })
                << QList<QJsonArray> {screenView(longName, none)};
        QTest::newRow("clicks") << QString() << Recording([=](QSentrelTracker &t) {
            t.interaction(awkward, QString());
            t.transition(QStringLiteral("Main"));
            t.interaction(QStringLiteral("ok"), QStringLiteral("buttons"));
        })
                                << QList<QJsonArray> {click(awkward, none, none),
                                                      screenView(QStringLiteral("Main"), none),
                                                      click(QStringLiteral("ok"),
                                                            QStringLiteral("buttons"),
                                                            QStringLiteral("Main"))};
        // Whole doubles up to 2^53 are integers to QJsonValue; the rest is its shortest form.
        const double numbers[] = {7,
                                  0.1,
                                  -1e300,
                                  1e15,
                                  1e16,
                                  9007199254740992.0,
                                  9007199254740994.0,
                                  -0.0,
                                  5e-324,
                                  123456789012345680.0,
                                  1.7976931348623157e308,
                                  -2.5e-7,
                                  qQNaN(),
                                  qInf(),
                                  -qInf()};
        for (const double number : numbers) {
            QTest::addRow("click with %.17g", number)
                    << QString() << Recording([=](QSentrelTracker &t) {
                           t.interaction(QStringLiteral("zoom"),
                                         QStringLiteral("factor"),
                                         number,
                                         QString());
                       })
                    << QList<QJsonArray> {
                               click(QStringLiteral("zoom"),
                                     none,
                                     none,
                                     ContextData<double> {QStringLiteral("factor"), number})};
        }
        QTest::newRow("user-interface events")
                << QString() << Recording([=](QSentrelTracker &) {
                       SentrelTrackerImpl *impl = SentrelTrackerImpl::instance();
                       impl->sendEvent(QStringLiteral("KeyPress"),
                                       awkward,
                                       QString(),
                                       std::nullopt,
                                       std::nullopt);
                       impl->sendEvent(QStringLiteral("MouseButtonRelease"),
                                       QStringLiteral("w/b"),
                                       awkward,
                                       EventCoordinates {3, -7},
                                       awkward);
                       impl->sendEvent(QStringLiteral("FocusIn"),
                                       QString(),
                                       QStringLiteral("ok"),
                                       EventCoordinates {INT_MIN, INT_MAX},
                                       QString());
                   })
                << QList<QJsonArray> {qevent(QStringLiteral("KeyPress"),
                                             awkward,
                                             none,
                                             none,
                                             std::nullopt,
                                             std::nullopt),
                                      qevent(QStringLiteral("MouseButtonRelease"),
                                             QStringLiteral("w/b"),
                                             awkward,
                                             none,
                                             EventCoordinates {3, -7},
                                             awkward),
                                      qevent(QStringLiteral("FocusIn"),
                                             none,
                                             QStringLiteral("ok"),
                                             none,
                                             EventCoordinates {INT_MIN, INT_MAX},
                                             QString())};
        // A pair across the 4096 boundary moves whole into the next chunk.
        const QString straddling =
                QString(4095, QLatin1Char('d')) + QString::fromUtf16(u"\U0001F600") + awkward;
        for (const QString &value : {QString(),
                                     awkward,
                                     QString(4096, QLatin1Char('a')),
                                     QString(4097, QLatin1Char('b')),
                                     QString(8193, QLatin1Char('c')),
                                     straddling}) {
            QTest::addRow("context data of %d code units", int(value.size()))
                    << QString() << Recording([=](QSentrelTracker &t) {
                           t.contextData(awkward, value);
                       })
                    << QList<QJsonArray> {contextDataChunks(awkward, value)};
        }
        QTest::newRow("dimensions")
                << QString() << Recording([=](QSentrelTracker &t) {
                       QString value = awkward;
                       t.dimensionData(awkward, value);
                       value = QString(10000, QLatin1Char('e'));
                       t.dimensionData(QStringLiteral("edition"), value);
                   })
                << QList<QJsonArray> {
                           dimension(awkward, awkward),
                           dimension(QStringLiteral("edition"), QString(10000, QLatin1Char('e')))};
    }

    void sameBytesAsJsonDocument()
    {
        QFETCH(QString, deviceText);
        QFETCH(Recording, record);
        QFETCH(QList<QJsonArray>, expected);
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        configure(QStringLiteral("SQLITE"));
        auto *c = static_cast<QSentrelConfigurationPrivate *>(tracker.configuration());
        c->setSyncInterval(0);
        c->setStoragePath(directory.path());
        c->setDeviceModel(deviceText);
        c->setDeviceVariant(deviceText);
        // Neither text is a screen type: refused, and the device context goes without one.
        QTest::ignoreMessage(QtWarningMsg,
                             "Invalid screen type is specified, possible values are: TOUCH, "
                             "NON_TOUCH");
        c->setDeviceScreenType(deviceText);
        c->setAppBuild(deviceText);

        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.events.debug=true"));
        LogCapture log;
        const qint64 start = QDateTime::currentMSecsSinceEpoch();
        tracker.setEnabled(true);
        if (record)
            record(tracker);
        tracker.setEnabled(false);
        const qint64 end = QDateTime::currentMSecsSinceEpoch();
        QLoggingCategory::setFilterRules(QString());

        const QList<QByteArray> stored =
                cachedRows(directory.filePath(QStringLiteral("SentrelTracker.db")));
        const QList<QJsonArray> contexts = QList<QJsonArray> {deviceContexts(c)} + expected;
        QCOMPARE(stored.size(), contexts.size());
        static const QRegularExpression uuid(QStringLiteral(
                "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
        QSet<QString> ids;
        QStringList logged;
        for (qsizetype i = 0; i < stored.size(); ++i) {
            // The fields that no test can know beforehand come from the event, checked here.
            const QJsonObject event = QJsonDocument::fromJson(stored.at(i)).object();
            const ReferenceEvents::Fields fields {QCoreApplication::applicationName(),
                                                  event.value(QLatin1String("dtm")).toString(),
                                                  c->userId(),
                                                  event.value(QLatin1String("eid")).toString(),
                                                  QLocale::system().name(),
                                                  QStringLiteral("app"),
                                                  event.value(QLatin1String("sid")).toString(),
                                                  QStringLiteral("payload-token")};
            QVERIFY2(uuid.match(fields.eid).hasMatch(), qPrintable(fields.eid));
            QVERIFY2(uuid.match(fields.sid).hasMatch(), qPrintable(fields.sid));
            QVERIFY(fields.dtm.toLongLong() >= start && fields.dtm.toLongLong() <= end);
            ids.insert(fields.eid);
            QCOMPARE(stored.at(i), ReferenceEvents::eventBytes(contexts.at(i), fields));
            logged.append(QStringLiteral("New event QJsonObject(%1)")
                                  .arg(QString::fromUtf8(stored.at(i))));
        }
        QCOMPARE(ids.size(), stored.size());
        QStringList messages = log.texts(QStringLiteral("sentrel.events"), QtDebugMsg);
        messages.removeIf([](const QString &text) {
            return !text.startsWith(QLatin1String("New event"));
        });
        QCOMPARE(messages, logged);
    }

    // An application's own event arrives with its properties' JSON types, or is refused
    // whole with one warning that names the reason.
    void typedEvents_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QVariantMap>("properties");
        QTest::addColumn<QString>("arrives"); // the properties' text as sent; empty: refused
        QTest::addColumn<QString>("refusal");
        // {"a":{"b":{"c":{"d":{"e":{"f":1}}}}}}
        const QStringList keys = QStringLiteral("a b c d e").split(QLatin1Char(' '));
        QVariantMap nested {{QStringLiteral("f"), 1}};
        for (auto key = keys.crbegin(); key != keys.crend(); ++key)
            nested = QVariantMap {{*key, nested}};

        QTest::newRow("every type kept")
                << "export"
                << QVariantMap {{QStringLiteral("big"), qlonglong(9007199254740993LL)},
                                {QStringLiteral("flag"), true},
                                {QStringLiteral("list"),
                                 QVariantList {1, QStringLiteral("a"), false, 0.25}},
                                {QStringLiteral("map"),
                                 QVariantMap {{QStringLiteral("pages"), 12u}}},
                                {QStringLiteral("ratio"), 2.5},
                                {QStringLiteral("text"), QStringLiteral("pdf")}}
                << R"({"big":9007199254740993,"flag":true,"list":[1,"a",false,0.25],)"
                   R"("map":{"pages":12},"ratio":2.5,"text":"pdf"})"
                << QString();
        QTest::newRow("no properties") << "ready" << QVariantMap() << "{}" << QString();
        QTest::newRow("four levels") << "deep" << nested.value(QStringLiteral("a")).toMap()
                                     << R"({"b":{"c":{"d":{"e":{"f":1}}}}})" << QString();
        QTest::newRow("five levels")
                << "deep" << nested << QString()
                << R"(^Refused the event "deep": property "a.b.c.d.e" is nested deeper than 4 levels$)";
        QTest::newRow("a QRect")
                << "export" << QVariantMap {{QStringLiteral("area"), QRect(0, 0, 2, 2)}}
                << QString()
                << R"(^Refused the event "export": property "area" is of the unsupported type QRect$)";
        QTest::newRow("a date in a list")
                << "export"
                << QVariantMap {{QStringLiteral("when"),
                                 QVariantList {QDateTime::currentDateTime()}}}
                << QString()
                << R"(^Refused the event "export": property "when\[0\]" is of the unsupported type QDateTime$)";
        QTest::newRow("not a number")
                << "export" << QVariantMap {{QStringLiteral("ratio"), qQNaN()}} << QString()
                << R"(^Refused the event "export": property "ratio" is not a finite number$)";
        QTest::newRow("above 32 KiB")
                << "export"
                << QVariantMap {{QStringLiteral("text"), QString(32 * 1024, QLatin1Char('x'))}}
                << QString()
                << R"(^Refused the event "export": the properties take 32779 bytes, above the limit of 32768$)";
        QTest::newRow("a space in the name")
                << "export pdf" << QVariantMap() << QString()
                << R"(^Refused the event "export pdf": its name must be 1 to 128 letters, digits, '_', '.' or '-'$)";
        QTest::newRow("an empty name")
                << "" << QVariantMap() << QString() << R"(^Refused the event "": its name must be)";
    }

    void typedEvents()
    {
        QFETCH(QString, name);
        QFETCH(QVariantMap, properties);
        QFETCH(QString, arrives);
        QFETCH(QString, refusal);
        configure(QStringLiteral("SQLITE"));
        if (!refusal.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(refusal));
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("Export"));
        tracker.track(name, properties);
        tracker.transition(QStringLiteral("after"));
        TRY_VERIFY(screenNames(collector.receivedEvents()).contains(QStringLiteral("after")));
        tracker.setEnabled(false);

        QList<QJsonObject> typed;
        for (const QJsonObject &event : collector.receivedEvents()) {
            if (contextSchemas(event).contains(Schema::typedEvent))
                typed.append(event);
        }
        if (arrives.isEmpty()) {
            QCOMPARE(typed.size(), 0);
            return;
        }
        QCOMPARE(typed.size(), 1);
        const QJsonObject data = contextsWith(typed.first(), Schema::typedEvent).first();
        QCOMPARE(data.value(QLatin1String("name")).toString(), name);
        QCOMPARE(data.value(QLatin1String("screen_id")).toString(), QStringLiteral("Export"));
        // As written on the wire: a whole number stays whole, and 64 bits stay exact.
        const QString sent = typed.first().value(QLatin1String("co")).toString();
        QVERIFY2(sent.contains(QStringLiteral("\"properties\":") + arrives), qPrintable(sent));
    }

    // The application's own self-describing JSON as the event's one context, under an Iglu
    // URI only.
    void selfDescribingEvents_data()
    {
        QTest::addColumn<QString>("schema");
        QTest::addColumn<bool>("refused");
        QTest::newRow("an Iglu URI") << "iglu:com.example/export/jsonschema/1-0-2" << false;
        QTest::newRow("no revision") << "iglu:com.example/export/jsonschema/1-0" << true;
        QTest::newRow("a web address") << "https://example.com/export.json" << true;
    }

    void selfDescribingEvents()
    {
        QFETCH(QString, schema);
        QFETCH(bool, refused);
        configure(QStringLiteral("SQLITE"));
        if (refused)
            QTest::ignoreMessage(
                    QtWarningMsg,
                    qPrintable(QStringLiteral("Refused a self-describing event: \"%1\" "
                                              "is not an Iglu URI "
                                              "(iglu:vendor/name/jsonschema/M-R-A)")
                                       .arg(schema)));
        const QJsonObject data {{QStringLiteral("format"), QStringLiteral("pdf")},
                                {QStringLiteral("pages"), 12}};
        tracker.setEnabled(true);
        tracker.trackSelfDescribing(schema, data);
        tracker.transition(QStringLiteral("after"));
        TRY_VERIFY(screenNames(collector.receivedEvents()).contains(QStringLiteral("after")));
        tracker.setEnabled(false);
        const QList<QJsonObject> own = eventsStartingWith(collector.receivedEvents(), schema);
        QCOMPARE(own.size(), refused ? 0 : 1);
        if (!refused)
            QCOMPARE(contextsWith(own.first(), schema), QList<QJsonObject> {data});
    }

    void globalProperties_data()
    {
        QTest::addColumn<bool>("beforeEnabling");
        QTest::newRow("set before enabling: the device event too") << true;
        QTest::newRow("set while enabled: the events after the call") << false;
    }

    // Every kind of event carries the global properties in force when it was recorded.
    void globalProperties()
    {
        QFETCH(bool, beforeEnabling);
        configure(QStringLiteral("SQLITE"));
        collector.clear();
        const QJsonObject globals {{QStringLiteral("edition"), QStringLiteral("pro")},
                                   {QStringLiteral("seats"), 5}};
        const auto set = [this] {
            tracker.setGlobalProperty(QStringLiteral("edition"), QStringLiteral("pro"));
            tracker.setGlobalProperty(QStringLiteral("seats"), 5);
            QTest::ignoreMessage(QtWarningMsg,
                                 "Refused the global properties: property \"area\" is of the "
                                 "unsupported type QRect");
            tracker.setGlobalProperty(QStringLiteral("area"), QRect(0, 0, 1, 1));
        };
        if (beforeEnabling)
            set();
        tracker.setEnabled(true);
        if (!beforeEnabling)
            set();
        const int recorded = recordEverything();
        tracker.removeGlobalProperty(QStringLiteral("edition"));
        tracker.removeGlobalProperty(QStringLiteral("seats"));
        tracker.transition(QStringLiteral("after"));
        TRY_COMPARE(collector.receivedEvents().size(), recorded + 2);
        tracker.setEnabled(false);

        const QList<QJsonObject> events = collector.receivedEvents();
        for (const QJsonObject &event : events) {
            const bool device = contextSchemas(event).contains(Schema::device);
            const bool after = screenNames({event}).contains(QStringLiteral("after"));
            const QList<QJsonObject> carried = contextsWith(event, Schema::global);
            if (after || (device && !beforeEnabling))
                QVERIFY2(carried.isEmpty(), qPrintable(contextSchemas(event).join(u' ')));
            else
                QCOMPARE(carried, QList<QJsonObject> {globals});
        }
    }

    void eventInterceptor_data()
    {
        QTest::addColumn<bool>("keep");
        QTest::addColumn<bool>("add");
        QTest::newRow("drops") << false << false;
        QTest::newRow("adds a context") << true << true;
    }

    // The interceptor sees every event's contexts on the worker before it is stored.
    void eventInterceptor()
    {
        QFETCH(bool, keep);
        QFETCH(bool, add);
        struct Interceptor : QSentrelEventInterceptor
        {
            bool keep = true;
            bool add = false;
            QThread *thread = nullptr;
            bool intercept(QJsonArray &contexts) override
            {
                thread = QThread::currentThread();
                const bool secret =
                        contexts.first().toObject().value(u"data").toObject().value(u"object_id")
                        == QStringLiteral("secret");
                if (add)
                    contexts.append(QJsonObject {
                            {QStringLiteral("data"), QJsonObject {{QStringLiteral("k"), 1}}},
                            {QStringLiteral("schema"),
                             QStringLiteral("iglu:com.example/extra/jsonschema/1-0-0")}});
                return !secret || keep;
            }
        } interceptor;
        interceptor.add = add;
        interceptor.keep = keep;
        configure(QStringLiteral("SQLITE"));
        collector.clear();
        tracker.setEventInterceptor(&interceptor);
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("secret"));
        tracker.transition(QStringLiteral("after"));
        TRY_VERIFY(screenNames(collector.receivedEvents()).contains(QStringLiteral("after")));
        tracker.setEnabled(false);
        tracker.setEventInterceptor(nullptr);

        const QList<QJsonObject> events = collector.receivedEvents();
        QCOMPARE(screenNames(events).contains(QStringLiteral("secret")), keep);
        for (const QJsonObject &event : events) {
            const QStringList schemas = contextSchemas(event);
            QCOMPARE(schemas.contains(QStringLiteral("iglu:com.example/extra/jsonschema/1-0-0")),
                     add);
        }
        QVERIFY(interceptor.thread && interceptor.thread != QThread::currentThread());
    }

    void flush_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<int>("status"); // the collector's answer
        QTest::addColumn<int>("batchSize");
        QTest::addColumn<int>("delivered");
        QTest::addColumn<int>("waiting");
        QTest::newRow("an hour's interval") << 3600 << 200 << 7 << 6 << 0;
        QTest::newRow("offline: nothing leaves") << 0 << 200 << 7 << 0 << 6;
        QTest::newRow("the collector fails, then asks to wait") << 3600 << 500 << 7 << 0 << 6;
        QTest::newRow("the collector refuses every event") << 3600 << 400 << 1 << 0 << 0;
    }

    // flush() sends what waits whatever the interval, and says how it ended.
    void flush()
    {
        QFETCH(int, interval);
        QFETCH(int, status);
        QFETCH(int, batchSize);
        QFETCH(int, delivered);
        QFETCH(int, waiting);
        configure(QStringLiteral("SQLITE"));
        const QTemporaryDir cache; // only this row's events
        tracker.configuration()->setStoragePath(cache.path());
        tracker.configuration()->setSyncInterval(interval);
        tracker.configuration()->setBatchSize(batchSize);
        collector.clear();
        if (status != 200)
            collector.setFailure(TestCollector::eventsPath,
                                 TestCollector::Failure::HttpStatus,
                                 -1,
                                 status);
        const int failures = status == 200 ? 0 : status == 500 ? 1 : 6;
        for (int i = 0; i < failures; ++i)
            QTest::ignoreMessage(
                    QtWarningMsg,
                    QRegularExpression(QStringLiteral("^Failed to sent events: %1 ").arg(status)));
        for (int i = 0; status == 400 && i < 6; ++i)
            QTest::ignoreMessage(
                    QtWarningMsg,
                    QRegularExpression("^Dropped an event that the collector refused:"));
        // The back-off must still hold at the second flush however slow the machine: its alarm
        // waits in real time (an hour) instead of warping.
        if (status == 500)
            clock.setWarpDelay(24 * 3600 * 1000);
        QSignalSpy finished(&tracker, &QSentrelTracker::flushFinished);
        QSignalSpy accepted(&tracker, &QSentrelTracker::eventsDelivered);
        QSignalSpy dropped(&tracker, &QSentrelTracker::eventDropped);
        tracker.setEnabled(true);
        for (int i = 0; i < 5; ++i)
            tracker.transition(QStringLiteral("screen %1").arg(i));
        tracker.flush();
        TRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.first(), (QVariantList {delivered, waiting}));
        int sum = 0;
        for (const QVariantList &batch : std::as_const(accepted))
            sum += batch.first().toInt();
        QCOMPARE(sum, delivered);
        QCOMPARE(collector.receivedEvents().size(), delivered);
        QCOMPARE(dropped.size(), status == 400 ? 6 : 0);
        if (status == 500) {
            // The collector's back-off holds: the next flush ends at once, sending nothing.
            const qsizetype requests = collector.requests().size();
            tracker.flush();
            TRY_COMPARE(finished.size(), 2);
            QCOMPARE(finished.last(), (QVariantList {0, waiting}));
            QCOMPARE(collector.requests().size(), requests);
        }
        tracker.setEnabled(false);
        collector.clearFailures();
    }

    // The application's headers go with both kinds of request.
    void headers()
    {
        configure(QStringLiteral("SQLITE"));
        QSentrelConfiguration *c = tracker.configuration();
        c->setHeaders({{QStringLiteral("X-Api-Key"), QStringLiteral("k1")}});
        c->setRemoteConfig(true);
        collector.clear();
        collector.setConfigDocument(R"({"sync":{"max_batch_size":7}})");
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("Main"));
        TRY_VERIFY(!collector.requests(TestCollector::configPath).isEmpty());
        tracker.setEnabled(false);
        c->setRemoteConfig(false);
        c->setHeaders({});
        collector.clearConfigDocument();
        const auto uploads = collector.requests(TestCollector::eventsPath);
        QVERIFY(!uploads.isEmpty());
        for (const auto &request : uploads + collector.requests(TestCollector::configPath))
            QCOMPARE(request.header("X-Api-Key"), QByteArray("k1"));
    }

    void sessions_data()
    {
        // A script: "name" records a screen view, "+N" lets N seconds pass, "bg" and "fg" the
        // application's state, "restart" disables and enables tracking, "new" starts a session.
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<int>("timeout");
        // The session index of each screen view and state change, in order.
        QTest::addColumn<QList<int>>("indexes");
        const auto steps = [](const char *script) {
            return QString::fromLatin1(script).split(u' ');
        };
        QTest::newRow("within the timeout") << steps("a +1799 b") << 1800 << QList<int> {1, 1};
        QTest::newRow("after the timeout") << steps("a +1800 b c") << 1800 << QList<int> {1, 2, 2};
        QTest::newRow("long in the background")
                << steps("a bg +1800 fg b") << 1800 << QList<int> {1, 1, 2, 2};
        QTest::newRow("briefly in the background")
                << steps("a bg +60 fg +60 b") << 1800 << QList<int> {1, 1, 1, 1};
        QTest::newRow("across starts") << steps("a restart b") << 1800 << QList<int> {1, 2};
        QTest::newRow("started by the application") << steps("a new b") << 60 << QList<int> {1, 2};
        QTest::newRow("no timeout") << steps("a bg +1800 fg b") << 0 << QList<int> {0, 0};
    }

    // Every event of a session carries its context: its index, the one before it, and its first
    // event, against the clock; the state changes are events of their own.
    void sessions()
    {
        QFETCH(QStringList, steps);
        QFETCH(int, timeout);
        QFETCH(QList<int>, indexes);
        TestClock &clock = useManualClock();
        configure(QStringLiteral("SQLITE"));
        config()->setSessionTimeout(timeout);
        tracker.setEnabled(true);
        // The state the platform starts in is its own; the script starts active.
        Q_EMIT qGuiApp->applicationStateChanged(Qt::ApplicationActive);
        for (const QString &step : std::as_const(steps)) {
            core()->waitForRequests(); // each step's time is the worker's when it records
            if (step.startsWith(u'+')) {
                clock.advance(step.mid(1).toLongLong() * 1000);
            } else if (step == QLatin1String("bg")) {
                Q_EMIT qGuiApp->applicationStateChanged(Qt::ApplicationInactive);
                Q_EMIT qGuiApp->applicationStateChanged(Qt::ApplicationHidden); // not again
            } else if (step == QLatin1String("fg")) {
                Q_EMIT qGuiApp->applicationStateChanged(Qt::ApplicationActive);
            } else if (step == QLatin1String("restart")) {
                tracker.setEnabled(false);
                tracker.setEnabled(true);
            } else if (step == QLatin1String("new")) {
                tracker.startNewSession();
            } else {
                tracker.transition(step);
            }
        }
        const QString foreground = Schema::own("/foreground/jsonschema/1-0-0");
        const QString background = Schema::own("/background/jsonschema/1-0-0");
        // From the first screen view on.
        const auto recorded = [&](const QList<QJsonObject> &events) {
            QList<QJsonObject> kept;
            for (const QJsonObject &event : events) {
                const QString first = contextSchemas(event).value(0);
                if (first == Schema::screenView
                    || (!kept.isEmpty() && (first == foreground || first == background)))
                    kept.append(event);
            }
            return kept;
        };
        TRY_COMPARE(recorded(collector.receivedEvents()).size(), indexes.size());
        tracker.setEnabled(false);

        const QString schema = Schema::own("/session/jsonschema/1-0-0");
        QList<int> seen;
        QHash<QString, QJsonObject> sessions; // by id, as first seen
        QString last;
        for (const QJsonObject &event : collector.receivedEvents()) {
            const QList<QJsonObject> session = contextsWith(event, schema);
            if (timeout == 0) {
                QVERIFY(session.isEmpty());
                continue;
            }
            QCOMPARE(session.size(), 1);
            const QString id = session.first().value(u"session_id").toString();
            QCOMPARE(id, event.value(u"sid").toString());
            if (!sessions.contains(id)) {
                // A new session: its first event is this one, and it follows the last.
                QCOMPARE(session.first().value(u"first_event_id").toString(),
                         event.value(u"eid").toString());
                QCOMPARE(session.first().value(u"previous_session_id").toString(), last);
                QCOMPARE(session.first().value(u"index").toInt(), sessions.size() + 1);
                sessions.insert(id, session.first());
                last = id;
            }
            QCOMPARE(session.first(), sessions.value(id));
        }
        for (const QJsonObject &event : recorded(collector.receivedEvents())) {
            const QList<QJsonObject> session = contextsWith(event, schema);
            seen.append(session.isEmpty() ? 0 : session.first().value(u"index").toInt());
        }
        QCOMPARE(seen, indexes);
    }

    void storageBounds_data()
    {
        QTest::addColumn<bool>("byAge"); // else by bytes
        QTest::newRow("older than a day") << true;
        QTest::newRow("beyond the bytes of the newest five") << false;
    }

    // Offline, the cache keeps no event beyond the bounds once tracking starts again.
    void storageBounds()
    {
        QFETCH(bool, byAge);
        TestClock &clock = useManualClock();
        const qint64 start = clock.now();
        configure(QStringLiteral("SQLITE"));
        const QTemporaryDir cache;
        QSentrelConfiguration *c = tracker.configuration();
        c->setStoragePath(cache.path());
        c->setSyncInterval(0);
        const QString file = cache.filePath(QStringLiteral("SentrelTracker.db"));
        tracker.setEnabled(true);
        for (int i = 0; i < 10; ++i)
            tracker.transition(QStringLiteral("old %1").arg(i));
        tracker.setEnabled(false);
        const QList<QByteArray> before = cachedRows(file);

        qint64 bytes = 0;
        for (const QByteArray &event : before.mid(before.size() - 5))
            bytes += event.size();
        clock.setTime(start + 2 * 86400 * 1000);
        if (byAge)
            c->setStorageMaxAge(86400);
        else
            c->setStorageMaxBytes(int(bytes));
        const QList<QByteArray> kept = byAge ? QList<QByteArray>() : before.mid(before.size() - 5);
        const QString reason = byAge ? QStringLiteral("older than the storage's maximum age")
                                     : QStringLiteral("beyond the storage's maximum bytes");
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.storage.info=true"));
        LogCapture log;
        tracker.setEnabled(true);
        SentrelTrackerImpl::instance()->waitForRequests();
        tracker.setEnabled(false);
        QLoggingCategory::setFilterRules(QString());
        c->setStorageMaxAge(0);
        c->setStorageMaxBytes(0);
        QCOMPARE(log.texts(QStringLiteral("sentrel.storage"), QtInfoMsg)
                         .filter(QStringLiteral("Removed")),
                 QStringList {QStringLiteral("Removed %1 events %2")
                                      .arg(before.size() - kept.size())
                                      .arg(reason)});
        const QList<QByteArray> after = cachedRows(file);
        QCOMPARE(after.mid(0, kept.size()), kept);
        QVERIFY(after.size() > kept.size()); // the new start's own event
    }

    void everyKindOfEvent()
    {
        // Batches from a cache, with the optional device and application keys left out.
        configure(QStringLiteral("SQLITE"));
        tracker.setEnabled(true);
        int expected = 1 + recordEverything();
        TRY_COMPARE(collector.receivedEvents().size(), expected);
        tracker.setEnabled(false);

        // One event per request without a cache, with every optional key set.
        QSentrelConfiguration *c = tracker.configuration();
        c->setDeviceModel(QStringLiteral("Model X"));
        c->setDeviceVariant(QStringLiteral("v2"));
        c->setDeviceScreenType(QStringLiteral("TOUCH"));
        c->setAppBuild(QStringLiteral("build-7"));
        configure(QString());
        tracker.setEnabled(true);
        expected += 1 + recordEverything();
        TRY_COMPARE(collector.receivedEvents().size(), expected);
        tracker.setEnabled(false);

        QSet<QString> kinds;
        for (const QJsonObject &event : collector.receivedEvents()) {
            for (const QString &schema : contextSchemas(event))
                kinds.insert(schema);
        }
        QCOMPARE(kinds,
                 (QSet<QString> {Schema::screenView,
                                 Schema::click,
                                 Schema::qevent,
                                 Schema::contextData,
                                 Schema::dimension,
                                 Schema::device,
                                 Schema::application,
                                 Schema::typedEvent,
                                 Schema::consent,
                                 Schema::screenEnd}));
        const QList<QJsonObject> devices =
                eventsStartingWith(collector.receivedEvents(), Schema::device);
        QCOMPARE(devices.size(), 2);
        QVERIFY(!contextsWith(devices.first(), Schema::device)
                         .first()
                         .contains(QLatin1String("model")));
        QCOMPARE(contextsWith(devices.last(), Schema::device)
                         .first()
                         .value(QLatin1String("model"))
                         .toString(),
                 QStringLiteral("Model X"));

        QFile out(QStringLiteral(RECEIVED_EVENTS));
        QVERIFY2(out.open(QIODevice::WriteOnly | QIODevice::Truncate),
                 qPrintable(out.errorString()));
        for (const QByteArray &body : collector.acceptedBatches()) {
            QVERIFY(!body.contains('\n'));
            out.write(body + '\n');
        }
    }
};

SENTREL_TEST_MAIN(tst_Payload, QGuiApplication)

#include "tst_payload.moc"
