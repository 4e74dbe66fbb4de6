// Produces events of every kind through the library and the test collector, and writes the
// batches the collector accepted as JSON lines for the schema check that CTest runs next.
#include "pipelinetestsupport.h"
#include "sentreltrackerimpl_p.h"
#include "testcollector.h"
#include "testenvironment.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QFile>
#include <QGuiApplication>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using SentrelTracker::EventCoordinates;

namespace {
constexpr int wait = 20000;
}

class tst_Payload : public QObject
{
    Q_OBJECT

private:
    QSentrelTracker tracker;
    TestCollector collector;
    QTemporaryDir cacheDir;

    void configure(const QString &storageType)
    {
        QSentrelConfiguration *c = tracker.configuration();
        c->setToken(QStringLiteral("payload-token"));
        c->setServer(collector.server());
        c->setSyncInterval(1);
        c->setStorageType(storageType);
        c->setStoragePath(cacheDir.path());
        c->setBatchSize(7);
        c->setCategories({QStringLiteral("buttons")});
        c->setEvents({});
        c->setRemoteConfig(false);
    }

    // Records every kind of event; returns how many events it made.
    int recordEverything()
    {
        SentrelTrackerImpl *impl = SentrelTrackerImpl::instance();
        const QString object = QStringLiteral("MainWindow/QWidget/QPushButton:ok");
        const QString emoji = QString::fromUtf16(u"\U0001F600");
        QList<std::function<void()>> recordings{
                [=] { impl->sendEvent(QStringLiteral("KeyPress"), object, QString(), std::nullopt, std::nullopt); },
                [=] { tracker.interaction(QStringLiteral("before any screen"), QString()); },
                [=] { tracker.transition(QStringLiteral("Main")); },
                [=] { tracker.transition(QStringLiteral("Settings"), QStringLiteral("depth"), 2.5); },
                [=] { tracker.transition(QString(), QStringLiteral("negative"), -1e300); },
                [=] { tracker.interaction(QStringLiteral("ok"), QStringLiteral("buttons")); },
                [=] { tracker.interaction(QStringLiteral("apply"), QStringLiteral("count"), 7, QStringLiteral("buttons")); },
                [=] {
                    impl->sendEvent(QStringLiteral("MouseButtonRelease"), object, QStringLiteral("ok"),
                                    EventCoordinates{3, -7}, QStringLiteral("LeftButton"));
                },
                [=] {
                    impl->sendEvent(QStringLiteral("MouseButtonRelease"), object, QString(), EventCoordinates{0, 0},
                                    QStringLiteral("RightButton"));
                },
                [=] { impl->sendEvent(QStringLiteral("FocusIn"), object, QStringLiteral("ok"), std::nullopt, QString()); },
                [=] {
                    impl->sendEvent(QStringLiteral("Resize"), QString(), QString(), EventCoordinates{-20000, 40000},
                                    std::nullopt);
                },
        };
        for (const QString &value : {QString(), QStringLiteral("short"), QString(4096, QLatin1Char('a')),
                                     QString(4097, QLatin1Char('b')), QString(8193, QLatin1Char('c')),
                                     QString(4095, QLatin1Char('d')) + emoji + QStringLiteral("tail"),
                                     emoji.repeated(3000) + QStringLiteral("\n\"quoted\"\t\u00e9")})
            recordings.append([=] { tracker.contextData(QStringLiteral("document"), value); });
        for (const QString &value : {QStringLiteral("pro"), QString(), QString(10000, QLatin1Char('e'))}) {
            recordings.append([=] {
                QString copy = value;
                tracker.dimensionData(QStringLiteral("edition"), copy);
            });
        }
        recordings.append([=] {
            tracker.startNewSession();
            tracker.transition(QStringLiteral("Next session"));
        });
        for (const auto &record : recordings)
            record();
        return int(recordings.size());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationName(QStringLiteral("tst_payload"));
        QFile::remove(QStringLiteral(RECEIVED_EVENTS)); // never check what an earlier run left
        QVERIFY(cacheDir.isValid());
        QVERIFY2(collector.start(), qPrintable(collector.errorString()));
    }

    void cleanup() { tracker.setEnabled(false); }

    void everyKindOfEvent()
    {
        // Batches from a cache, with the optional device and application keys left out.
        configure(QStringLiteral("SQLITE"));
        tracker.setEnabled(true);
        int expected = 1 + recordEverything();
        QTRY_COMPARE_WITH_TIMEOUT(collector.receivedEvents().size(), expected, wait);
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
        QTRY_COMPARE_WITH_TIMEOUT(collector.receivedEvents().size(), expected, wait);
        tracker.setEnabled(false);

        QSet<QString> kinds;
        for (const QJsonObject &event : collector.receivedEvents()) {
            for (const QString &schema : contextSchemas(event))
                kinds.insert(schema);
        }
        QCOMPARE(kinds, (QSet<QString>{Schema::screenView, Schema::click, Schema::qevent, Schema::contextData,
                                       Schema::dimension, Schema::device, Schema::application}));
        const QList<QJsonObject> devices = eventsStartingWith(collector.receivedEvents(), Schema::device);
        QCOMPARE(devices.size(), 2);
        QVERIFY(!contextsWith(devices.first(), Schema::device).first().contains(QLatin1String("model")));
        QCOMPARE(contextsWith(devices.last(), Schema::device).first().value(QLatin1String("model")).toString(),
                 QStringLiteral("Model X"));

        QFile out(QStringLiteral(RECEIVED_EVENTS));
        QVERIFY2(out.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(out.errorString()));
        for (const QByteArray &body : collector.acceptedBatches()) {
            QVERIFY(!body.contains('\n'));
            out.write(body + '\n');
        }
    }
};

SENTREL_TEST_MAIN(tst_Payload, QGuiApplication)

#include "tst_payload.moc"
