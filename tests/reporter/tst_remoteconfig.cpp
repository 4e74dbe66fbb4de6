// SPDX-License-Identifier: MIT
// Remote configuration end to end: the tracker fetches its documents from the test collector
// over HTTPS and applies them to the running tracker.
#include "logcapture.h"
#include "pipelinetestsupport.h"
#include "qsentrelconfiguration_p.h"
#include "qsentreleventfilter_p.h"
#include "qsentrelreporter_p.h"
#include "sentreltrackerimpl_p.h"
#include "testclock.h"
#include "testcollector.h"
#include "testenvironment.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>

namespace {

const QString configLog = QStringLiteral("sentrel.config");
const QString eventsLog = QStringLiteral("sentrel.events");
const QByteArray configPath = TestCollector::configPath;
const QByteArray tp2 = TestCollector::eventsPath;
const QString localToken = QStringLiteral("local-token");
const QString localModel = QStringLiteral("LocalModel");
const QString fetchFailed = QStringLiteral("Failed to fetch remote configuration:");
const QString emptySync = QStringLiteral("All events sent at");

// The messages of which one ends every fetch, whatever its answer.
int fetchesHandled(const LogCapture &log)
{
    int handled = 0;
    for (const char *end : {"Failed to fetch remote configuration:",
                            "New remote configuration with checksum:",
                            "No changes to the remote configurations",
                            "Remote configuration has been removed"})
        handled += log.count(configLog, QLatin1String(end));
    return handled;
}

// The seconds announced by each "Next remote configuration check in N seconds", in order.
QList<int> announcedChecks(const LogCapture &log)
{
    static const QRegularExpression pattern(
            QStringLiteral("^Next remote configuration check in (-?\\d+) seconds$"));
    QList<int> seconds;
    for (const QString &text : log.texts(configLog, QtInfoMsg)) {
        const QRegularExpressionMatch match = pattern.match(text);
        if (match.hasMatch())
            seconds.append(match.captured(1).toInt());
    }
    return seconds;
}

// A document of exactly size bytes that sets the token.
QByteArray paddedDocument(const QByteArray &token, qsizetype size)
{
    const QByteArray head = "{\"token\":\"" + token + "\",\"padding\":\"";
    const QByteArray tail = "\"}";
    return head + QByteArray(size - head.size() - tail.size(), 'x') + tail;
}

QByteArray nestedDocument(int depth)
{
    return "{\"token\":\"nested-token\",\"x\":" + QByteArray(depth, '[') + QByteArray(depth, ']')
            + '}';
}

QByteArray binaryGarbage()
{
    QByteArray bytes;
    for (int round = 0; round < 16; ++round) {
        for (int byte = 0; byte < 256; ++byte)
            bytes.append(char((byte * 37 + round) & 0xff));
    }
    return "<html>" + bytes;
}

} // namespace

class tst_RemoteConfig : public QObject, private PipelineFixture
{
    Q_OBJECT

public:
    tst_RemoteConfig() : PipelineFixture(localToken) { }

private:
    QList<qint64> configArrivals; // clock time at which each configuration request arrived

    int fetches() const { return int(collector.requests(configPath).size()); }

    // The local values against the collector; a sync interval of 0 works offline.
    void configure(int syncInterval, bool remote, int remoteInterval)
    {
        PipelineFixture::configure(syncInterval);
        config()->setDeviceModel(localModel);
        config()->setRemoteConfig(remote);
        config()->setRemoteConfigInterval(remoteInterval);
    }

    // Whether the collector accepted an event whose first context has the schema and whose
    // data holds key = value.
    bool receivedWith(const QString &schema, const QString &key, const QString &value) const
    {
        for (const QJsonObject &event : eventsStartingWith(collector.receivedEvents(), schema)) {
            if (contextsWith(event, schema).first().value(key).toString() == value)
                return true;
        }
        return false;
    }

    QList<QJsonObject> receivedScreens(const QString &screen) const
    {
        QList<QJsonObject> found;
        for (const QJsonObject &event :
             eventsStartingWith(collector.receivedEvents(), Schema::screenView)) {
            if (screenNames({event}) == QStringList {screen})
                found.append(event);
        }
        return found;
    }

    // Records a screen and waits until the collector has it; returns the token it carried.
    QString deliveredToken(const QString &screen)
    {
        tracker.transition(screen);
        for (const QDeadlineTimer deadline(pipelineWait);
             receivedScreens(screen).isEmpty() && !deadline.hasExpired();)
            pipelineStep();
        if (receivedScreens(screen).isEmpty())
            return QStringLiteral("<not delivered>");
        return receivedScreens(screen).first().value(QLatin1String("tna")).toString();
    }

    // Waits until the answer to every fetch that went has been handled. (An empty document while
    // none is in force is handled without a word: a test that withdraws its document waits
    // before, and fetches nothing after the withdrawal.)
    static bool fetchesAnswered(const LogCapture &log)
    {
        return QTest::qWaitFor(
                [&] {
                    return fetchesHandled(log)
                            == log.count(configLog,
                                         QStringLiteral("Checking for remote configurations"));
                },
                pipelineWait);
    }

    // With the manual clock: once the fetches on their way are answered, rings the alarms in
    // order until the next fetch has gone, runs meanwhile (if given) while it is on its way, and
    // waits until its answer has been handled. So no two fetches are ever on their way, and each
    // answer is the one to the request made last, however the network orders replies.
    bool nextFetch(const LogCapture &log, const std::function<void()> &meanwhile = {})
    {
        const QString check = QStringLiteral("Checking for remote configurations");
        if (!fetchesAnswered(log))
            return false;
        const int checks = log.count(configLog, check);
        for (const QDeadlineTimer deadline(pipelineWait);
             log.count(configLog, check) == checks && !deadline.hasExpired();)
            pipelineStep();
        if (meanwhile)
            meanwhile();
        if (!QTest::qWaitFor(
                    [&] {
                        return fetchesHandled(log) > checks;
                    },
                    pipelineWait))
            return false;
        settle(); // the answer's handling finished
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setApplicationVersion(QStringLiteral("4.2.0"));
        qputenv("SENTREL_CONFIG", QByteArray(SENTREL_BINARY_DIR "/no-such-sentrel.conf"));
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.config.debug=true\n"
                                                        "sentrel.config.info=true\n"
                                                        "sentrel.events.info=true"));
        QVERIFY(startPipeline(QStringLiteral("tst_remoteconfig")));
        // A document left behind by an earlier run of this test must not be loaded.
        QVERIFY(endTest());
        QVERIFY(config()->token().isEmpty());
        connect(&collector,
                &TestCollector::requestReceived,
                this,
                [this](const TestCollector::Request &request) {
                    if (request.path == configPath)
                        configArrivals.append(SentrelClock::current()->now());
                });
    }

    void init()
    {
        QVERIFY(beginTest());
        configArrivals.clear();
    }

    void cleanup()
    {
        QVERIFY(endTest());
        QCoreApplication::setApplicationVersion(QStringLiteral("4.2.0"));
    }

    void request_data()
    {
        QTest::addColumn<QString>("version");
        QTest::newRow("application version") << QStringLiteral("4.2.0");
        QTest::newRow("no application version") << QString();
    }

    void request()
    {
        QFETCH(QString, version);
        LogCapture log;
        log.expect(configLog, fetchFailed); // no document
        QCoreApplication::setApplicationVersion(version);
        useManualClock();
        configure(0, true, 1);
        tracker.setEnabled(true);
        QVERIFY(nextFetch(log));

        const TestCollector::Request first = collector.requests(configPath).first();
        QCOMPARE(first.method, QByteArray("POST"));
        QCOMPARE(first.header("Content-Type"), QByteArray("application/json"));
        const QJsonObject expected {{QStringLiteral("token"), localToken},
                                    {QStringLiteral("app_id"), QStringLiteral("tst_remoteconfig")},
                                    {QStringLiteral("app_version"), version}};
        QCOMPARE(QJsonDocument::fromJson(first.body).object(), expected);
        QCOMPARE(first.body, QJsonDocument(expected).toJson(QJsonDocument::Compact));

        // Every request reads the token and the version anew.
        config()->setToken(QStringLiteral("changed-token"));
        QCoreApplication::setApplicationVersion(QStringLiteral("4.3.0"));
        QVERIFY(nextFetch(log));
        const QJsonObject last =
                QJsonDocument::fromJson(collector.requests(configPath).last().body).object();
        QCOMPARE(last.value(QLatin1String("token")).toString(), QStringLiteral("changed-token"));
        QCOMPARE(last.value(QLatin1String("app_version")).toString(), QStringLiteral("4.3.0"));
    }

    // One request per timeout, the first one interval after enabling; an empty-cache sync adds
    // none while the timer runs.
    void repeatingTimer()
    {
        LogCapture log;
        log.expect(configLog, fetchFailed); // no document
        TestClock &manual = useManualClock();
        configure(1, true, 1);
        const qint64 enabledAt = manual.now();
        tracker.setEnabled(true);
        for (int k = 1; k <= 3; ++k) {
            QVERIFY(nextFetch(log));
            QCOMPARE(configArrivals.size(), k);
            QCOMPARE(configArrivals.last() - enabledAt, k * 1000);
        }
        TRY_VERIFY(log.count(eventsLog, emptySync) >= 1);

        // Two changes, the first while a request is on its way: the next requests follow the
        // last one.
        QVERIFY(nextFetch(log, [this] {
            config()->setRemoteConfigInterval(3);
        }));
        settle();
        const qint64 changedAt = manual.now();
        config()->setRemoteConfigInterval(2);
        settle();
        const qsizetype arrivalsBefore = configArrivals.size();
        QVERIFY(nextFetch(log));
        QVERIFY(nextFetch(log));
        QCOMPARE(configArrivals.at(arrivalsBefore) - changedAt, 2000);
        QCOMPARE(configArrivals.at(arrivalsBefore + 1) - changedAt, 4000);
        QCOMPARE(announcedChecks(log), (QList<int> {1, 3, 2}));

        // Switched off while a request is on its way: no further request, also not from the
        // syncs.
        QVERIFY(nextFetch(log, [this] {
            config()->setRemoteConfig(false);
        }));
        settle();
        QVERIFY(log.contains(configLog, QStringLiteral("Remote configuration check is disabled")));
        const qsizetype fetched = configArrivals.size();
        const int syncs = log.count(eventsLog, emptySync);
        TRY_VERIFY(log.count(eventsLog, emptySync) >= syncs + 3);
        QCOMPARE(configArrivals.size(), fetched);
    }

    void disabled()
    {
        LogCapture log;
        configure(1, false, 1);
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("Home"));
        TRY_VERIFY(log.count(eventsLog, emptySync) >= 2);
        QCOMPARE(log.count(configLog, QStringLiteral("Remote configuration check is disabled")), 1);

        // A change that leaves it off says so again.
        config()->setRemoteConfigInterval(5);
        TRY_COMPARE(log.count(configLog, QStringLiteral("Remote configuration check is disabled")),
                    2);
        const int syncs = log.count(eventsLog, emptySync);
        TRY_VERIFY(log.count(eventsLog, emptySync) >= syncs + 1);

        QVERIFY(!receivedScreens(QStringLiteral("Home")).isEmpty());
        QCOMPARE(fetches(), 0);
        QVERIFY(!log.contains(configLog, QStringLiteral("Checking for remote configurations")));
        QVERIFY(announcedChecks(log).isEmpty());
    }

    // With no timer, each sync that finds the cache empty fetches once, and only those.
    void intervalZeroFetchesAfterEmptySyncs()
    {
        LogCapture log;
        collector.setConfigDocument(R"({"sync":{"max_batch_size":50}})");
        configure(1, true, 0);
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("Home"));
        TRY_VERIFY(log.count(eventsLog, emptySync) >= 2);
        TRY_COMPARE(config()->batchSize(), 50);

        // Syncs that send events fetch nothing.
        tracker.transition(QStringLiteral("Second"));
        TRY_VERIFY(!receivedScreens(QStringLiteral("Second")).isEmpty());
        const int syncs = log.count(eventsLog, emptySync);
        TRY_VERIFY(log.count(eventsLog, emptySync) >= syncs + 1);
        tracker.setEnabled(false);

        const int emptySyncs = log.count(eventsLog, emptySync);
        QCOMPARE(log.count(configLog, QStringLiteral("Checking for remote configurations")),
                 emptySyncs);
        QVERIFY2(fetches() <= emptySyncs && fetches() >= emptySyncs - 1,
                 qPrintable(QStringLiteral("%1 requests, %2 empty syncs")
                                    .arg(fetches())
                                    .arg(emptySyncs)));
        QVERIFY(announcedChecks(log).isEmpty());
        QVERIFY(!log.contains(configLog, QStringLiteral("Remote configuration check is disabled")));
    }

    void remoteBatchSize()
    {
        configure(0, false, 0);
        tracker.setEnabled(true);
        for (int i = 0; i < 35; ++i)
            tracker.transition(QStringLiteral("Offline %1").arg(i));
        tracker.setEnabled(false);
        QCOMPARE(cached(), 36);

        // The batches fail until the document has made them small.
        collector.setFailure(tp2, TestCollector::Failure::HttpStatus, -1, 503);
        collector.setConfigDocument(R"({"sync":{"max_batch_size":10}})");
        LogCapture log;
        log.expect(eventsLog, QStringLiteral("Failed to sent events:"));
        configure(1, true, 1);
        tracker.setEnabled(true);
        TRY_COMPARE(config()->batchSize(), 10);
        const auto smallBatchFailed = [&] {
            for (const TestCollector::Request &request : collector.requests(tp2)) {
                if (request.status == 503 && batchEvents(request.batch).size() <= 10)
                    return true;
            }
            return false;
        };
        // Batches go one at a time: once a small one has failed, no large one is on its way.
        TRY_VERIFY(smallBatchFailed());
        collector.clearFailures();

        TRY_COMPARE(collector.receivedEvents().size(), 37);
        const QList<TestCollector::Request> batches = collector.requests(tp2);
        int accepted = 0;
        for (const TestCollector::Request &request : batches) {
            if (request.status != 200)
                continue;
            ++accepted;
            QVERIFY2(batchEvents(request.batch).size() <= 10,
                     qPrintable(QString::number(batchEvents(request.batch).size())));
        }
        QVERIFY(accepted >= 4);
        const QStringList ids = eventIds(collector.receivedEvents());
        QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), 37);
    }

    void remoteEventsReachTheEventFilter()
    {
        LogCapture log;
        log.expect(configLog, fetchFailed); // until there is a document
        configure(1, true, 1);
        tracker.setEnabled(true);
        QSentrelEventFilter *filter = SentrelTrackerImpl::instance()->currentEventFilter();
        QVERIFY(filter);
        QEvent probe(QEvent::User);
        QVERIFY(!filter->isTracked(&probe));

        QObject target;
        target.setObjectName(QStringLiteral("remoteTarget"));
        QEvent before(QEvent::User);
        QCoreApplication::sendEvent(&target, &before);

        std::atomic<QThread *> emitter {nullptr};
        const QMetaObject::Connection watch = connect(
                core()->configurationPrivate(),
                &QSentrelConfiguration::eventsChanged,
                this,
                [&emitter] {
                    emitter = QThread::currentThread();
                },
                Qt::DirectConnection);
        collector.setConfigDocument(R"({"events":["User"]})");
        // The list changes on the worker thread and reaches the filter on this one.
        TRY_VERIFY(filter->isTracked(&probe));
        disconnect(watch);
        QVERIFY(emitter.load() && emitter.load() != QThread::currentThread());
        QCOMPARE(filter->thread(), QThread::currentThread());

        QEvent after(QEvent::User);
        QCoreApplication::sendEvent(&target, &after);
        TRY_VERIFY(receivedWith(Schema::qevent,
                                QStringLiteral("object"),
                                QStringLiteral("remoteTarget")));
        const QList<QJsonObject> captured =
                eventsStartingWith(collector.receivedEvents(), Schema::qevent);
        QCOMPARE(captured.size(), 1);
        QCOMPARE(contextsWith(captured.first(), Schema::qevent)
                         .first()
                         .value(QLatin1String("type"))
                         .toString(),
                 QStringLiteral("User"));

        // Withdrawn, the local empty list is back.
        collector.setConfigDocument(QByteArray());
        TRY_VERIFY(!filter->isTracked(&probe));
    }

    void sameDocumentTwice()
    {
        LogCapture log;
        QSignalSpy models(config(), &QSentrelConfiguration::deviceModelChanged);
        collector.setConfigDocument(R"({"device_model":"RemoteModel"})");
        configure(0, true, 1);
        models.clear();
        tracker.setEnabled(true);
        TRY_VERIFY(log.count(configLog, QStringLiteral("No changes to the remote configurations"))
                   >= 2);
        tracker.setEnabled(false); // the signals of the worker thread are all in

        QCOMPARE(log.count(configLog, QStringLiteral("New remote configuration with checksum:")),
                 1);
        QCOMPARE(models.size(), 1);
        QCOMPARE(models.first().first().toString(), QStringLiteral("RemoteModel"));
        QCOMPARE(config()->deviceModel(), QStringLiteral("RemoteModel"));
    }

    void withdrawnDocument()
    {
        LogCapture log;
        const QByteArray document =
                QStringLiteral(R"({"server":"%1","token":"remote-token",)"
                               R"("device_model":"RemoteModel","sync":{"max_batch_size":7}})")
                        .arg(collector.server())
                        .toUtf8();
        collector.setConfigDocument(document);
        useManualClock();
        configure(1, true, 1);
        QSignalSpy servers(config(), &QSentrelConfiguration::serverChanged);
        QSignalSpy tokens(config(), &QSentrelConfiguration::tokenChanged);
        QSignalSpy models(config(), &QSentrelConfiguration::deviceModelChanged);
        QSignalSpy batches(config(), &QSentrelConfiguration::batchSizeChanged);
        QSignalSpy platforms(config(), &QSentrelConfiguration::platformChanged);
        tracker.setEnabled(true);
        QVERIFY(nextFetch(log));
        QCOMPARE(config()->token(), QStringLiteral("remote-token"));
        QCOMPARE(deliveredToken(QStringLiteral("Remote")), QStringLiteral("remote-token"));
        QFile stored(core()->configurationPrivate()->remoteConfigFileName());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), document);
        stored.close();

        QVERIFY(fetchesAnswered(log)); // none on its way with the document any more
        collector.setConfigDocument(QByteArray());
        QVERIFY(nextFetch(log));
        QVERIFY(log.contains(
                configLog,
                QStringLiteral("Remote configuration has been removed, restore local config")));
        QCOMPARE(deliveredToken(QStringLiteral("Local")), localToken);
        tracker.setEnabled(false); // the signals of the worker thread are all in

        for (QSignalSpy *spy : {&servers, &tokens, &models, &batches})
            QCOMPARE(spy->size(), 2);
        QCOMPARE(servers.last().first().toString(),
                 collector.server()); // signalled, though unchanged
        QCOMPARE(tokens.last().first().toString(), localToken);
        QCOMPARE(models.last().first().toString(), localModel);
        QCOMPARE(batches.last().first().toInt(), 100);
        QCOMPARE(platforms.size(), 0);
        QCOMPARE(config()->token(), localToken);
        QCOMPARE(config()->deviceModel(), localModel);
        QCOMPARE(config()->batchSize(), 100);
        QVERIFY(!QFile::exists(core()->configurationPrivate()->remoteConfigFileName()));
        QSettings settings(core()->configurationPrivate()->settingsPath(), QSettings::IniFormat);
        QVERIFY(!settings.contains(QStringLiteral("remoteConfigHash")));
        QCOMPARE(settings.value(QStringLiteral("applicationVersion")).toString(),
                 QStringLiteral("4.2.0"));
    }

    // A document changing several storage items reopens the store once, with all of them.
    void storageDocumentReopensOnce_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("withSize");
        QTest::newRow("type and path") << QStringLiteral("SQLITE-ZSTD") << false;
        QTest::newRow("path and size") << QStringLiteral("SQLITE") << true;
        QTest::newRow("type, path and size") << QStringLiteral("SQLITE-ZLIB") << true;
    }

    void storageDocumentReopensOnce()
    {
        QFETCH(QString, type);
        QFETCH(bool, withSize);
        QTemporaryDir other;
        QLoggingCategory::setFilterRules(
                QStringLiteral("sentrel.config.debug=true\nsentrel.config.info=true\n"
                               "sentrel.events.info=true\nsentrel.storage.debug=true"));
        const auto restoreRules = qScopeGuard([] {
            QLoggingCategory::setFilterRules(
                    QStringLiteral("sentrel.config.debug=true\nsentrel.config.info=true\n"
                                   "sentrel.events.info=true"));
        });
        LogCapture log;
        log.expect(configLog, fetchFailed); // until there is a document
        configure(0, true, 1);
        tracker.setEnabled(true);
        TRY_VERIFY(fetches() >= 1);

        log.clear();
        QString document =
                QStringLiteral(R"({"storage":"%1","storage_path":"%2")").arg(type, other.path());
        if (withSize)
            document += QStringLiteral(R"(,"storage_size":50)");
        collector.setConfigDocument(document.toUtf8() + '}');
        TRY_VERIFY(
                log.contains(configLog, QStringLiteral("New remote configuration with checksum:")));
        tracker.transition(QStringLiteral("After"));
        tracker.setEnabled(false); // the worker has handled everything

        const QString opened =
                QStringLiteral("Using \"%1\" event storage: \"%2\"")
                        .arg(type, other.filePath(QStringLiteral("SentrelTracker.db")));
        QCOMPARE(log.texts(QStringLiteral("sentrel.storage"), QtDebugMsg)
                         .filter(QStringLiteral("event storage:")),
                 QStringList {opened});
        QVERIFY(QFile::exists(other.filePath(QStringLiteral("SentrelTracker.db"))));
    }

    void brokenDocument()
    {
        LogCapture log;
        log.expect(configLog, QStringLiteral("Invalid JSON configuration:"));
        log.expect(configLog, QStringLiteral("Could not apply remote configuration"));
        collector.setConfigDocument(R"({"token":"remote-token"})");
        useManualClock();
        configure(1, true, 1);
        tracker.setEnabled(true);
        QVERIFY(nextFetch(log));
        QCOMPARE(config()->token(), QStringLiteral("remote-token"));

        collector.setConfigDocument(R"({"token":"broken-token",)");
        QVERIFY(nextFetch(log));
        QVERIFY(log.contains(configLog, QStringLiteral("Could not apply remote configuration")));
        QVERIFY(log.contains(configLog, QStringLiteral("Invalid JSON configuration:")));
        QCOMPARE(config()->token(), localToken);
        // Remembered: fetched again, it is no change.
        const QString unchanged = QStringLiteral("No changes to the remote configurations");
        const int before = log.count(configLog, unchanged);
        QVERIFY(nextFetch(log));
        QCOMPARE(log.count(configLog, unchanged), before + 1);
        QCOMPARE(log.count(configLog, QStringLiteral("Could not apply remote configuration")), 1);
        QCOMPARE(deliveredToken(QStringLiteral("After broken")), localToken);
    }

    void fetchFailure_data()
    {
        QTest::addColumn<TestCollector::Failure>("failure");
        QTest::addColumn<int>("status");
        QTest::newRow("no document") << TestCollector::Failure::None << 404;
        QTest::newRow("server error") << TestCollector::Failure::HttpStatus << 503;
        QTest::newRow("connection reset") << TestCollector::Failure::Reset << 0;
        QTest::newRow("no answer") << TestCollector::Failure::NoAnswer << 0;
    }

    // A failed fetch leaves the configuration in force as it was.
    void fetchFailure()
    {
        QFETCH(TestCollector::Failure, failure);
        QFETCH(int, status);

        if (failure == TestCollector::Failure::NoAnswer)
            qputenv("SENTREL_TRANSFER_TIMEOUT_MS", "300");
        const QByteArray document = R"({"token":"remote-token"})";
        collector.setConfigDocument(document);
        LogCapture log;
        log.expect(configLog, fetchFailed);
        useManualClock();
        configure(0, true, 1);
        tracker.setEnabled(true);
        QVERIFY(nextFetch(log));
        QCOMPARE(config()->token(), QStringLiteral("remote-token"));

        log.clear();
        if (failure == TestCollector::Failure::None)
            collector.clearConfigDocument();
        else
            collector.setFailure(configPath, failure, -1, status);
        QVERIFY(nextFetch(log));
        QVERIFY(nextFetch(log));
        QCOMPARE(log.count(configLog, QStringLiteral("%1 %2 \"").arg(fetchFailed).arg(status)), 2);

        QCOMPARE(config()->token(), QStringLiteral("remote-token"));
        QVERIFY(!log.contains(configLog, QStringLiteral("New remote configuration")));
        QVERIFY(!log.contains(configLog, QStringLiteral("Remote configuration has been removed")));
        QVERIFY(!log.contains(configLog,
                              QStringLiteral("No changes to the remote configurations")));
        QFile stored(core()->configurationPrivate()->remoteConfigFileName());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), document);
    }

    void redirectedFetch_data()
    {
        QTest::addColumn<QString>("target"); // %1: the collector's port
        QTest::newRow("the same host over https") << "https://localhost:%1/config";
        QTest::newRow("another host") << "https://127.0.0.1:%1/config";
        QTest::newRow("plain http") << "http://localhost:%1/config";
    }

    // A redirect is a failed fetch: the token goes nowhere the server item does not name.
    void redirectedFetch()
    {
        QFETCH(QString, target);
        collector.setConfigDocument(R"({"token":"remote-token"})");
        collector.setFailure(configPath, TestCollector::Failure::HttpStatus, -1, 307);
        collector.setLocation(target.arg(collector.port()).toLatin1());
        LogCapture log;
        log.expect(configLog, fetchFailed);
        configure(0, true, 1);
        tracker.setEnabled(true);
        TRY_VERIFY(log.count(configLog, QStringLiteral("%1 307").arg(fetchFailed)) >= 2);
        QCOMPARE(config()->token(), localToken);
        for (const TestCollector::Request &request : collector.requests(configPath))
            QCOMPARE(request.status, 307); // each an attempt of its own, never followed
    }

    void hostileDocument_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("warning"); // the first one expected
        QTest::addColumn<QString>("token"); // in force afterwards
        QTest::addColumn<bool>("stored");

        const qsizetype limit = SentrelHttpTransport::maximumReplySize;
        QTest::newRow("at the size limit") << paddedDocument("big-token", limit) << QString()
                                           << QStringLiteral("big-token") << true;
        QTest::newRow("one byte over the limit")
                << paddedDocument("big-token", limit + 1) << fetchFailed << localToken << false;
        QTest::newRow("huge") << paddedDocument("big-token", 16 * limit) << fetchFailed
                              << localToken << false;
        const QString invalid = QStringLiteral("Invalid JSON configuration:");
        QTest::newRow("deeply nested") << nestedDocument(200000) << invalid << localToken << true;
        QTest::newRow("not JSON") << binaryGarbage() << invalid << localToken << true;
        QTest::newRow("JSON array")
                << QByteArray(R"([{"token":"array-token"}])") << invalid << localToken << true;
        QTest::newRow("JSON string") << QByteArray(R"("token")") << invalid << localToken << true;
    }

    // The application keeps running with its local configuration.
    void hostileDocument()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, warning);
        QFETCH(QString, token);
        QFETCH(bool, stored);

        LogCapture log;
        if (!warning.isEmpty()) {
            log.expect(configLog, warning);
            log.expect(configLog, QStringLiteral("Could not apply remote configuration"));
        }
        collector.setConfigDocument(document);
        // One fetch at a time, however long a huge document takes.
        useManualClock();
        configure(1, true, 1);
        tracker.setEnabled(true);
        QVERIFY(nextFetch(log));
        QVERIFY(nextFetch(log));
        if (warning == fetchFailed) {
            // Refused every time, never handed on.
            QCOMPARE(log.count(configLog, warning), 2);
            QVERIFY(!log.contains(configLog, QStringLiteral("New remote configuration")));
        } else if (!warning.isEmpty()) {
            // Remembered although unusable: fetched again, it is no change.
            QVERIFY(log.contains(configLog,
                                 QStringLiteral("No changes to the remote configurations")));
            QCOMPARE(log.count(configLog, warning), 1);
            QCOMPARE(log.count(configLog, QStringLiteral("Could not apply remote configuration")),
                     1);
        }

        QCOMPARE(config()->token(), token);
        QCOMPARE(config()->deviceModel(), localModel);
        QCOMPARE(config()->batchSize(), 100);
        QVERIFY(config()->remoteConfig());
        QCOMPARE(QFile::exists(core()->configurationPrivate()->remoteConfigFileName()), stored);
        QCOMPARE(deliveredToken(QStringLiteral("Still running")), token);
        QVERIFY(SentrelTrackerImpl::instance()->isEnabled());
    }

    // Runs of a separate application: the stored document is in force from the start of the
    // next run, and a new application version ignores it until a different one comes.
    void nextRuns()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QString configFile = home.filePath(QStringLiteral("sentrel.conf"));
        {
            QFile file(configFile);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QStringLiteral(R"({"server":"%1","token":"%2","storage_path":"%3",)"
                                      R"("sync_config":{"enabled":true,"interval":{"seconds":1}}})")
                               .arg(collector.server(),
                                    localToken,
                                    home.filePath(QStringLiteral("cache")))
                               .toUtf8());
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("SENTREL_CONFIG"), configFile);
        environment.insert(QStringLiteral("QT_LOGGING_RULES"),
                           QStringLiteral("sentrel.config.debug=true;sentrel.config.info=true"));

        struct Run
        {
            QString version;
            QByteArray document; // null: none, the collector answers 404
            QString until; // the message after which the run ends
            QString startToken;
            QString endToken;
            QString logged; // a message of the run
        };
        const QByteArray first = R"({"token":"remote-token"})";
        const QList<Run> runs = {
                {QStringLiteral("1.0"),
                 first,
                 QStringLiteral("New remote configuration with checksum:"),
                 localToken,
                 QStringLiteral("remote-token"),
                 QStringLiteral("Storing remote configuration to")},
                {QStringLiteral("1.0"),
                 QByteArray(),
                 fetchFailed + QLatin1String(" 404"),
                 QStringLiteral("remote-token"),
                 QStringLiteral("remote-token"),
                 QStringLiteral("Using remote configurations from:")},
                // After the update the stored document waits until the collector sends it again.
                {QStringLiteral("2.0"),
                 first,
                 QStringLiteral("New remote configuration with checksum:"),
                 localToken,
                 QStringLiteral("remote-token"),
                 QStringLiteral("Skip remote configuration from previous application version")},
                {QStringLiteral("2.0"),
                 first,
                 QStringLiteral("No changes to the remote configurations"),
                 QStringLiteral("remote-token"),
                 QStringLiteral("remote-token"),
                 QStringLiteral("Using remote configurations from:")},
                {QStringLiteral("2.0"),
                 R"({"token":"remote-token-2"})",
                 QStringLiteral("New remote configuration with checksum:"),
                 QStringLiteral("remote-token"),
                 QStringLiteral("remote-token-2"),
                 QStringLiteral("Storing remote configuration to")},
                {QStringLiteral("2.0"),
                 QByteArray(),
                 fetchFailed + QLatin1String(" 404"),
                 QStringLiteral("remote-token-2"),
                 QStringLiteral("remote-token-2"),
                 QStringLiteral("Using remote configurations from:")},
        };
        for (int i = 0; i < runs.size(); ++i) {
            const Run &run = runs.at(i);
            const QString name = QStringLiteral("run %1").arg(i + 1);
            if (run.document.isNull())
                collector.clearConfigDocument();
            else
                collector.setConfigDocument(run.document);
            collector.clear();

            QProcess probe;
            probe.setProcessEnvironment(environment);
            QByteArray output;
            QString log;
            connect(&probe, &QProcess::readyReadStandardOutput, this, [&] {
                output += probe.readAllStandardOutput();
            });
            connect(&probe, &QProcess::readyReadStandardError, this, [&] {
                log += QString::fromUtf8(probe.readAllStandardError());
            });
            probe.start(QStringLiteral(REMOTECONFIG_PROBE), {run.version});
            QVERIFY2(probe.waitForStarted(), qPrintable(probe.errorString()));
            TRY_VERIFY2(log.contains(run.until), qPrintable(name + QLatin1Char('\n') + log));
            if (run.endToken != run.startToken)
                TRY_VERIFY2(log.contains(QLatin1String("token changed: ") + run.endToken),
                            qPrintable(name + QLatin1Char('\n') + log));
            probe.write("quit\n");
            probe.closeWriteChannel();
            TRY_COMPARE(probe.state(), QProcess::NotRunning);
            QVERIFY2(probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0,
                     qPrintable(name + QLatin1Char('\n') + log));

            const QStringList lines =
                    QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            QCOMPARE(lines,
                     (QStringList {QStringLiteral("start ") + run.startToken,
                                   QStringLiteral("end ") + run.endToken}));
            QVERIFY2(log.contains(run.logged), qPrintable(name + QLatin1Char('\n') + log));
            const QJsonObject body =
                    QJsonDocument::fromJson(collector.requests(configPath).last().body).object();
            QCOMPARE(body.value(QLatin1String("app_id")).toString(),
                     QStringLiteral("sentrel-remoteconfig-probe"));
            QCOMPARE(body.value(QLatin1String("app_version")).toString(), run.version);
        }
    }
};

SENTREL_TEST_MAIN(tst_RemoteConfig, QGuiApplication)

#include "tst_remoteconfig.moc"
