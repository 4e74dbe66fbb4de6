// SPDX-License-Identifier: MIT
#include "eventlog.h"
#include "logcapture.h"
#include "pipelinetestsupport.h"
#include "qsentreleventfilter_p.h"
#include "sentreltrackerimpl_p.h"
#include "testcollector.h"
#include "testenvironment.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMouseEvent>
#include <QProcess>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <future>
#include <memory>
#include <vector>

namespace {

const QString events = QStringLiteral("sentrel.events");
const QString core = QStringLiteral("sentrel");

class FixedCategory : public QSentrelCategoryFilter
{
public:
    QString category(QObject *) const override { return QStringLiteral("anything"); }
};

// Holds the worker inside a request until opened (at the latest when it goes), so that what
// the application records meanwhile waits in the queue.
class WorkerGate
{
public:
    WorkerGate()
    {
        SentrelTrackerImpl::instance()->queueRequest(
                [opened = opening.get_future().share()](QSentrelReporter *) {
                    opened.wait();
                });
    }
    ~WorkerGate() { open(); }
    void open()
    {
        if (!std::exchange(isOpen, true))
            opening.set_value();
    }

private:
    std::promise<void> opening;
    bool isOpen = false;
};

QStringList screenNames(const RecordedEvents &recorded)
{
    QStringList names;
    for (const QJsonObject &view : recorded.contexts(QStringLiteral("/screen_view/")))
        names.append(view.value(QLatin1String("object_id")).toString());
    return names;
}

QStringList numberedScreens(int count)
{
    QStringList names;
    for (int i = 0; i < count; ++i)
        names.append(QStringLiteral("screen%1").arg(i));
    return names;
}

} // namespace

class tst_Tracker : public QObject
{
    Q_OBJECT

private:
    QSentrelTracker tracker;
    RecordedEvents recorded;

    // The exit probe, with no configuration file of the machine's.
    static void
    startExitProbe(QProcess &probe, const QTemporaryDir &directory, const QStringList &arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("SENTREL_CONFIG"),
                           directory.filePath(QStringLiteral("none.conf")));
        probe.setProcessEnvironment(environment);
        probe.start(QStringLiteral(EXIT_PROBE), arguments);
    }

    // Offline without a cache: every request is built, seen by the interceptor and dropped.
    void configureOffline()
    {
        QSentrelConfiguration *config = tracker.configuration();
        config->setToken(QStringLiteral("token"));
        config->setServer(QStringLiteral("localhost:1")); // never contacted: offline
        config->setSyncInterval(0);
        config->setStorageType(QString());
        config->setStoragePath(QString());
        config->setCategories({QStringLiteral("buttons")});
        config->setEvents({});
    }

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setApplicationName(QStringLiteral("tst_tracker"));
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.debug=true"));
        tracker.setEventInterceptor(&recorded);
    }

    void init()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        configureOffline();
        recorded.clear();
    }

    void cleanup()
    {
        tracker.setEnabled(false);
        SentrelTrackerImpl::instance()->setQueueLimits(SentrelTrackerImpl::maximumQueuedRecordings,
                                                       SentrelTrackerImpl::maximumQueuedBytes);
    }

    void disabledTrackerIgnoresEverything()
    {
        LogCapture log;
        QVERIFY(!tracker.isEnabled());
        tracker.transition(QStringLiteral("Main"));
        tracker.interaction(QStringLiteral("ok"), QStringLiteral("unknown"));
        tracker.contextData(QStringLiteral("k"), QStringLiteral("v"));
        QString value = QStringLiteral("v");
        tracker.dimensionData(QStringLiteral("k"), value);
        tracker.startNewSession();
        tracker.clearCache();
        QVERIFY(log.messages().isEmpty());
    }

    void enableAndDisable()
    {
        LogCapture log;
        tracker.setEnabled(true);
        QVERIFY(tracker.isEnabled());
        SentrelTrackerImpl *impl = SentrelTrackerImpl::instance();
        QThread *worker = impl->workerThread();
        QSentrelReporter *reporter = impl->currentReporter();
        QVERIFY(worker && reporter && impl->currentEventFilter());
        QVERIFY(worker->isRunning());

        tracker.setEnabled(true);
        QCOMPARE(impl->workerThread(), worker);
        QCOMPARE(impl->currentReporter(), reporter);

        tracker.setEnabled(false);
        tracker.setEnabled(false);
        QVERIFY(!tracker.isEnabled());
        QVERIFY(!impl->workerThread() && !impl->currentReporter() && !impl->currentEventFilter());
        QCOMPARE(log.texts(core, QtInfoMsg).count(QStringLiteral("Enabling Sentrel Tracker")),
                 0); // info is off
        QCOMPARE(log.count(core, QStringLiteral("Disabling Sentrel Tracker")), 0);

        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.debug=true\nsentrel.info=true"));
        tracker.setEnabled(true);
        tracker.setEnabled(false);
        tracker.setEnabled(false);
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.debug=true"));
        QCOMPARE(log.count(core, QStringLiteral("Enabling Sentrel Tracker")), 1);
        QCOMPARE(log.count(core, QStringLiteral("Disabling Sentrel Tracker")), 1);
    }

    // A slot of the library's signals that changes tracking again leaves it as that last call
    // asked, as a QML onEnabledChanged handler may.
    void nestedCallsFromSignals_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("nested");
        QTest::addColumn<bool>("recording");
        QTest::newRow("disabled while enabling")
                << QStringLiteral("enable") << QStringLiteral("disable") << false;
        QTest::newRow("enabled while disabling")
                << QStringLiteral("disable") << QStringLiteral("enable") << true;
        QTest::newRow("denied while granting")
                << QStringLiteral("grant") << QStringLiteral("deny") << false;
        QTest::newRow("disabled while granting")
                << QStringLiteral("grant") << QStringLiteral("disable") << false;
        QTest::newRow("granted while denying")
                << QStringLiteral("deny") << QStringLiteral("grant") << true;
    }

    void nestedCallsFromSignals()
    {
        QFETCH(QString, first);
        QFETCH(QString, nested);
        QFETCH(bool, recording);
        const auto call = [this](const QString &what) {
            if (what == QLatin1String("enable") || what == QLatin1String("disable"))
                tracker.setEnabled(what == QLatin1String("enable"));
            else
                tracker.setConsent(what == QLatin1String("grant") ? QSentrelTracker::ConsentGranted
                                                                  : QSentrelTracker::ConsentDenied);
        };
        const auto restore = qScopeGuard([this] {
            tracker.setEnabled(false);
            tracker.setConsentRequired(false);
        });
        tracker.setConsentRequired(true);
        tracker.setConsent(first == QLatin1String("grant") ? QSentrelTracker::ConsentDenied
                                                           : QSentrelTracker::ConsentGranted);
        tracker.setEnabled(first != QLatin1String("enable"));

        QSentrelTracker listener;
        bool done = false;
        const auto once = [&] {
            if (!std::exchange(done, true))
                call(nested);
        };
        connect(&listener, &QSentrelTracker::enabledChanged, this, once);
        connect(&listener, &QSentrelTracker::consentChanged, this, once);
        call(first);
        QVERIFY(done);
        SentrelTrackerImpl *impl = SentrelTrackerImpl::instance();
        QCOMPARE(impl->isRecording(), recording);
        QCOMPARE(impl->workerThread() != nullptr, recording);
        QCOMPARE(tracker.isEnabled(), nested != QLatin1String("disable"));
    }

    void invalidConfigurationStaysDisabled()
    {
        tracker.configuration()->setToken(QString());
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.info=true"));
        LogCapture log;
        QTest::ignoreMessage(QtWarningMsg, "missing token");
        QTest::ignoreMessage(QtWarningMsg,
                             "Failed to enabled Sentrel Tracker, the configuration is not valid");
        tracker.setEnabled(true);
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.debug=true"));
        QVERIFY(!tracker.isEnabled());
        QVERIFY(!SentrelTrackerImpl::instance()->workerThread());
        QCOMPARE(log.texts(core),
                 (QStringList {QStringLiteral("Enabling Sentrel Tracker"),
                               QStringLiteral("Failed to enabled Sentrel Tracker, the "
                                              "configuration is not valid")}));
    }

    // The check behind the thread assertions: the caller against the object's thread.
    void threadCheck_data()
    {
        QTest::addColumn<bool>("moved");
        QTest::newRow("object on this thread") << false;
        QTest::newRow("object on another thread") << true;
    }
    void threadCheck()
    {
        QFETCH(bool, moved);
        QThread other;
        QObject object;
        if (moved)
            object.moveToThread(&other);
        QCOMPARE(sentrelOnThreadOf(&object), !moved);
    }

    void requestsRunInOrderAfterInit()
    {
        tracker.setEnabled(true);
        // More than the worker runs in one batch, and than one chunk of the queue holds.
        for (int i = 0; i < 700; ++i)
            tracker.transition(QStringLiteral("screen%1").arg(i));
        tracker.interaction(QStringLiteral("ok"),
                            QStringLiteral("dialogs"),
                            1.5,
                            QStringLiteral("buttons"));
        // More than disabling stores whatever the time: waited for, it may take its time.
        SentrelTrackerImpl::instance()->waitForRequests();
        tracker.setEnabled(false);

        const QList<QJsonArray> built = recorded.events();
        QCOMPARE(built.size(), 1 + 700 + 1);
        QVERIFY(built.first().first()[u"schema"].toString().contains(u"/device/"));
        QCOMPARE(screenNames(recorded), numberedScreens(700));
        const QJsonArray click = built.last();
        QCOMPARE(click.size(), 2);
        const QJsonObject clickData =
                click.at(0).toObject().value(QLatin1String("data")).toObject();
        QCOMPARE(clickData.value(QLatin1String("object_id")).toString(), QStringLiteral("ok"));
        QCOMPARE(clickData.value(QLatin1String("category")).toString(), QStringLiteral("buttons"));
        const QJsonObject context = click.at(1).toObject().value(QLatin1String("data")).toObject();
        QCOMPARE(context.value(QLatin1String("key")).toString(), QStringLiteral("dialogs"));
        QCOMPARE(context.value(QLatin1String("val")).toDouble(), 1.5);
    }

    void requestQueue_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("takenBeforeSwap"); // then the rest is swapped into another queue
        QTest::newRow("empty") << 0 << 0;
        QTest::newRow("one") << 1 << 0;
        QTest::newRow("a full chunk") << 256 << 100;
        QTest::newRow("one past a chunk") << 257 << 256;
        QTest::newRow("several chunks") << 1000 << 511;
    }

    // Requests come out in the order they went in, across chunks and swaps, each run once and
    // its captures destroyed once.
    void requestQueue()
    {
        QFETCH(int, count);
        QFETCH(int, takenBeforeSwap);
        auto captured = std::make_shared<int>(0);
        QList<int> ran;
        {
            SentrelRequestQueue queue;
            for (int i = 0; i < count; ++i)
                queue.push([captured, i, &ran](QSentrelReporter *) {
                    ran.append(i);
                });
            QCOMPARE(captured.use_count(), long(count) + 1);
            for (int i = 0; i < takenBeforeSwap; ++i)
                queue.take()(nullptr);
            SentrelRequestQueue other;
            other.swap(queue);
            QVERIFY(queue.empty());
            while (!other.empty()) {
                SentrelRequest request = other.take();
                SentrelRequest moved = std::move(request);
                QVERIFY(!request);
                moved(nullptr);
            }
            QCOMPARE(captured.use_count(), 1L);
        }
        QList<int> expected;
        for (int i = 0; i < count; ++i)
            expected.append(i);
        QCOMPARE(ran, expected);
    }

    void queueBound_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("byteLimit"); // 0: the default
        QTest::addColumn<int>("screenLength");
        QTest::addColumn<int>("calls");
        QTest::addColumn<int>("kept");
        QTest::newRow("within the bound") << 20 << 0 << 8 << 20 << 20;
        QTest::newRow("one beyond") << 20 << 0 << 8 << 21 << 20;
        QTest::newRow("far beyond") << 20 << 0 << 8 << 700 << 20;
        // Each request: its own 144 bytes (or so) and its 1000 UTF-16 units.
        QTest::newRow("beyond the bytes") << 1000 << 5 * 2200 << 1000 << 30 << 5;
    }

    // While the worker is held, recording calls beyond the bound are dropped with one warning
    // and counted once; those within it arrive in order.
    void queueBound()
    {
        QFETCH(int, limit);
        QFETCH(int, byteLimit);
        QFETCH(int, screenLength);
        QFETCH(int, calls);
        QFETCH(int, kept);
        SentrelTrackerImpl *impl = SentrelTrackerImpl::instance();
        impl->setQueueLimits(limit, byteLimit ? byteLimit : SentrelTrackerImpl::maximumQueuedBytes);
        if (calls > kept) {
            QTest::ignoreMessage(
                    QtWarningMsg,
                    qPrintable(QStringLiteral("The request queue is full, recording calls are "
                                              "dropped until the worker catches up; its limit is "
                                              "%1 requests or %2 bytes")
                                       .arg(limit)
                                       .arg(byteLimit ? byteLimit
                                                      : SentrelTrackerImpl::maximumQueuedBytes)));
            QTest::ignoreMessage(
                    QtWarningMsg,
                    qPrintable(QStringLiteral("Dropped %1 recording calls while the request "
                                              "queue was full")
                                       .arg(calls - kept)));
        }
        tracker.setEnabled(true);
        QStringList screens = numberedScreens(calls);
        for (QString &screen : screens)
            screen = screen.leftJustified(screenLength, QLatin1Char('.'));
        {
            WorkerGate gate;
            for (const QString &screen : std::as_const(screens))
                tracker.transition(screen);
        }
        impl->waitForRequests();
        tracker.setEnabled(false);

        QCOMPARE(screenNames(recorded), screens.mid(0, kept));
    }

    void disablingWithAFullQueue_data()
    {
        QTest::addColumn<int>("calls");
        QTest::newRow("a few") << 10;
        QTest::newRow("more than are stored whatever the time") << 5000;
    }

    // setEnabled(false) stores what waits, oldest first, as long as that takes no longer than
    // a moment, and counts the rest in one warning.
    void disablingWithAFullQueue()
    {
        QFETCH(int, calls);
        LogCapture log;
        log.expect(core, QStringLiteral("Dropped ")); // how many depends on the machine's speed
        tracker.setEnabled(true);
        const QStringList screens = numberedScreens(calls);
        {
            WorkerGate gate;
            for (const QString &screen : screens)
                tracker.transition(screen);
        }
        tracker.setEnabled(false);

        const QStringList stored = screenNames(recorded);
        QCOMPARE(stored, screens.mid(0, stored.size()));
        QVERIFY(stored.size() >= qMin(calls, int(SentrelTrackerImpl::storedWhenStopping)));
        QStringList warnings;
        if (stored.size() < calls)
            warnings << QStringLiteral("Dropped %1 recorded events still waiting to be stored "
                                       "when tracking stopped")
                                .arg(calls - stored.size());
        QCOMPARE(log.texts(core, QtWarningMsg), warnings);
    }

    void requestsAfterDisablingAreIgnored()
    {
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("before"));
        tracker.setEnabled(false);
        tracker.transition(QStringLiteral("after"));
        QCOMPARE(screenNames(recorded), QStringList {QStringLiteral("before")});
    }

    void categoryCheck_data()
    {
        QTest::addColumn<QStringList>("configured");
        QTest::addColumn<QString>("category");
        QTest::addColumn<bool>("sent");
        QTest::newRow("listed") << QStringList {"buttons"} << "buttons" << true;
        QTest::newRow("empty category always passes") << QStringList {} << "" << true;
        QTest::newRow("not listed") << QStringList {"buttons"} << "menus" << false;
        QTest::newRow("nothing configured") << QStringList {} << "buttons" << false;
        QTest::newRow("letter case differs") << QStringList {"buttons"} << "Buttons" << false;
        QTest::newRow("part of an entry") << QStringList {"buttons"} << "button" << false;
    }

    void categoryCheck()
    {
        QFETCH(QStringList, configured);
        QFETCH(QString, category);
        QFETCH(bool, sent);

        tracker.configuration()->setCategories(configured);
        LogCapture log;
        tracker.setEnabled(true);
        tracker.interaction(QStringLiteral("ok"), category);
        tracker.setEnabled(false);
        QCOMPARE(recorded.contexts(QStringLiteral("/event_click/")).size(), sent ? 1 : 0);
        QCOMPARE(log.texts(core, QtDebugMsg)
                         .contains(QStringLiteral("category filtered: \"%1\"").arg(category)),
                 !sent);
    }

    void facadeForwardsEveryCall()
    {
        QTemporaryDir cache; // where the session of each event shows
        tracker.configuration()->setStorageType(QStringLiteral("SQLITE"));
        tracker.configuration()->setStoragePath(cache.path());
        QSentrelTracker other;
        tracker.setEnabled(true);
        QVERIFY(other.isEnabled());
        QCOMPARE(other.configuration(), tracker.configuration());

        tracker.transition(QStringLiteral("Main"), QStringLiteral("items"), 3.0);
        tracker.interaction(QStringLiteral("ok"), QString());
        tracker.contextData(QStringLiteral("locale"), QStringLiteral("en"));
        QString value = QStringLiteral("pro");
        tracker.dimensionData(QStringLiteral("edition"), value);
        QCOMPARE(value, QStringLiteral("pro"));
        other.startNewSession();
        tracker.transition(QStringLiteral("Second"));
        other.setEnabled(false);

        QList<QJsonObject> built;
        for (const QByteArray &row :
             cachedRows(cache.filePath(QStringLiteral("SentrelTracker.db"))))
            built.append(QJsonDocument::fromJson(row).object());
        QCOMPARE(built.size(), 6);
        const QJsonArray view = contextsOf(built.at(1));
        QCOMPARE(view.size(), 2);
        QCOMPARE(view.at(1)
                         .toObject()
                         .value(QLatin1String("data"))
                         .toObject()
                         .value(QLatin1String("val"))
                         .toDouble(),
                 3.0);
        QCOMPARE(contextData(built.at(2), QStringLiteral("/event_click/"))
                         .value(QLatin1String("screen_id"))
                         .toString(),
                 QStringLiteral("Main"));
        QCOMPARE(contextData(built.at(3), QStringLiteral("/context_data/"))
                         .value(QLatin1String("val"))
                         .toString(),
                 QStringLiteral("en"));
        QCOMPARE(contextData(built.at(4), QStringLiteral("/context_dimension/"))
                         .value(QLatin1String("val"))
                         .toString(),
                 QStringLiteral("pro"));
        // The new session applies from the request after it.
        QCOMPARE(built.at(4).value(QLatin1String("sid")), built.at(0).value(QLatin1String("sid")));
        QVERIFY(built.at(5).value(QLatin1String("sid")) != built.at(0).value(QLatin1String("sid")));
    }

    void categoryFilterNeedsARunningCapture()
    {
        FixedCategory provider;
        tracker.setCategoryFilter(&provider); // ignored: tracking is off
        tracker.configuration()->setEvents({QStringLiteral("User")});
        tracker.configuration()->setCategories({});
        tracker.setEnabled(true);
        QObject target;
        QEvent user(QEvent::User);
        QCoreApplication::sendEvent(&target, &user);
        tracker.setEnabled(false);
        QCOMPARE(recorded.contexts(QStringLiteral("/qevent/")).size(), 1);
    }

    // The last click before tracking is switched off is held for an event that never comes.
    void heldEventReportedWhenDisabling()
    {
        tracker.configuration()->setEvents(
                {QStringLiteral("MouseButtonRelease"), QStringLiteral("Resize")});
        tracker.setEnabled(true);
        QObject target;
        target.setObjectName(QStringLiteral("saveButton"));
        QMouseEvent release(QEvent::MouseButtonRelease,
                            QPointF(1, 2),
                            QPointF(1, 2),
                            QPointF(11.5, 22.5),
                            Qt::LeftButton,
                            Qt::NoButton,
                            Qt::NoModifier);
        QCoreApplication::sendEvent(&target, &release);
        QResizeEvent resize(QSize(300, 200), QSize(100, 100));
        QCoreApplication::sendEvent(&target, &resize);
        tracker.setEnabled(false);

        const QList<QJsonObject> reports = recorded.contexts(QStringLiteral("/qevent/"));
        QCOMPARE(reports.size(), 2);
        QCOMPARE(reports.at(0).value(QLatin1String("type")).toString(),
                 QStringLiteral("MouseButtonRelease"));
        QCOMPARE(reports.at(0).value(QLatin1String("object")).toString(),
                 QStringLiteral("saveButton"));
        QCOMPARE(reports.at(1).value(QLatin1String("type")).toString(), QStringLiteral("Resize"));
        QCOMPARE(reports.at(1)
                         .value(QLatin1String("position"))
                         .toObject()
                         .value(QLatin1String("x"))
                         .toInt(),
                 300);
    }

    void exitWhileEnabled_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("return from main") << "return";
        QTest::newRow("without an event loop") << "noloop";
        QTest::newRow("exit() right after enabling") << "exit";
        QTest::newRow("exit() with more waiting than it may store") << "backlog";
    }

    // An application that never disables tracking must exit cleanly, with what it recorded
    // stored, or, beyond the time exit gives, counted.
    void exitWhileEnabled()
    {
        QFETCH(QString, mode);
#if defined(SENTREL_THREAD_SANITIZER)
        QSKIP("Qt's own teardown at exit, which is not instrumented, is reported by the thread "
              "sanitizer");
#endif
        QTemporaryDir storage;
        QProcess probe;
        startExitProbe(probe, storage, {mode, storage.path()});
        QVERIFY(probe.waitForFinished(60000));
        const QString errors = QString::fromUtf8(probe.readAllStandardError());
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), 0);

        QSqlDatabase db =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("probe"));
        db.setDatabaseName(storage.filePath(QStringLiteral("SentrelTracker.db")));
        QVERIFY(db.open());
        QSqlQuery query(db);
        // The probe's first start records the installation as well.
        QVERIFY(query.exec(QStringLiteral("SELECT COUNT(*) FROM events WHERE instr(data, "
                                          "CAST('application_install' AS BLOB)) = 0")));
        QVERIFY(query.next());
        const int stored = query.value(0).toInt();
        query = QSqlQuery();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("probe"));
        const QRegularExpressionMatch dropped =
                QRegularExpression(QStringLiteral("Dropped (\\d+) recorded events still waiting"))
                        .match(errors);
        if (mode != QLatin1String("backlog")) {
            // The device event and every one of the probe's 500 screen views, exit() or not.
            QVERIFY2(!dropped.hasMatch(), qPrintable(errors));
            QCOMPARE(stored, 501);
            return;
        }
        // Stored, or counted in the one warning: the device event and 20,000 views.
        QVERIFY2(dropped.hasMatch(), qPrintable(errors));
        QVERIFY(dropped.captured(1).toInt() > 0);
        QCOMPARE(stored + dropped.captured(1).toInt(), 20001);
    }

    // The first start for a user account records one install event and a start of another
    // version one update event, however many processes start together.
    void installAndUpdate()
    {
        QTemporaryDir storage;
        QTemporaryDir home; // the probes' user account
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("SENTREL_CONFIG"),
                           storage.filePath(QStringLiteral("none.conf")));
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.remove(QStringLiteral("SENTREL_NO_VERSION_EVENTS"));
        for (const char *variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
            environment.insert(QString::fromLatin1(variable), home.path());
        // On Windows the account is the profile, which other probes have used.
        const QString name =
                QStringLiteral("sentrel-exit-probe-") + QFileInfo(home.path()).fileName();
        const auto start = [&](const QString &version) {
            auto probe = std::make_unique<QProcess>();
            probe->setProcessEnvironment(environment);
            probe->start(QStringLiteral(EXIT_PROBE), {"version", storage.path(), version, name});
            return probe;
        };
        std::vector<std::unique_ptr<QProcess>> probes;
        for (int i = 0; i < 3; ++i)
            probes.push_back(start(QStringLiteral("1.0")));
        for (const auto &probe : probes)
            QVERIFY(probe->waitForFinished(60000) && probe->exitCode() == 0);
        for (int i = 0; i < 2; ++i) {
            const auto probe = start(QStringLiteral("1.1"));
            QVERIFY(probe->waitForFinished(60000) && probe->exitCode() == 0);
        }

        QSqlDatabase db =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("versions"));
        db.setDatabaseName(storage.filePath(QStringLiteral("SentrelTracker.db")));
        QVERIFY(db.open());
        QStringList changes;
        {
            QSqlQuery query(QStringLiteral("SELECT data FROM events ORDER BY id"), db);
            while (query.next()) {
                const QJsonObject event =
                        QJsonDocument::fromJson(query.value(0).toByteArray()).object();
                const QJsonArray contexts =
                        QJsonDocument::fromJson(event.value(u"co").toString().toUtf8())
                                .object()
                                .value(u"data")
                                .toArray();
                for (const QJsonValue &context : contexts) {
                    const QString schema = context[u"schema"].toString();
                    const QJsonObject data = context[u"data"].toObject();
                    if (schema.contains(u"/application_"))
                        changes.append(schema.section(u'/', 1, 1) + u' '
                                       + data.value(u"version").toString() + u' '
                                       + data.value(u"previous_version").toString());
                }
            }
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("versions"));
        QCOMPARE(changes, (QStringList {"application_install 1.0 ", "application_update 1.1 1.0"}));
    }

    // exit() while a batch is on its way, without a cache, at several points of the upload:
    // the process ends normally every time, under the sanitizers as well.
    void exitDuringUpload_data()
    {
        QTest::addColumn<int>("delay");
        for (const int delay : {0, 2, 5, 10, 15, 20, 30, 40, 60, 80, 120, 200})
            QTest::addRow("%d ms after recording", delay) << delay;
    }

    void exitDuringUpload()
    {
        QFETCH(int, delay);
#if defined(SENTREL_THREAD_SANITIZER)
        QSKIP("Qt's own teardown at exit, which is not instrumented, is reported by the thread "
              "sanitizer");
#endif
        TestCollector collector;
        QVERIFY(collector.start());
        QTemporaryDir home;
        QProcess probe;
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        startExitProbe(probe,
                       home,
                       {QStringLiteral("upload"), collector.server(), QString::number(delay)});
        // The collector answers on this thread while the probe runs.
        QTRY_VERIFY_WITH_TIMEOUT(probe.state() == QProcess::NotRunning, 60000);
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), 0);
        QVERIFY(collector.receivedEvents().size() <= 501);
    }
};

SENTREL_TEST_MAIN(tst_Tracker, QGuiApplication)
#include "tst_tracker.moc"
