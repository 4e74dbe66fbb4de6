// SPDX-License-Identifier: MIT
#include "logcapture.h"
#include "pipelinetestsupport.h"
#include "qsentrelconfiguration_p.h"
#include "qsentreleventfilter_p.h"
#include "sentreltrackerimpl_p.h"
#include "testclock.h"
#include "testcollector.h"
#include "testenvironment.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#ifdef Q_OS_UNIX
#  include <sys/stat.h>
#endif

namespace {

using Consent = QSentrelTracker::Consent;
const QByteArray tp2 = TestCollector::eventsPath;
const QString nilId = QStringLiteral("00000000-0000-0000-0000-000000000000");
const QString sessionSchema = QStringLiteral("iglu:com.tamlor.sentrel/session/jsonschema/1-0-0");
constexpr int recorded = 50;

QString userWideIdentifier()
{
    return QSettings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                             + QStringLiteral("/Tamlor/SentrelTrackerGlobal.conf"),
                     QSettings::IniFormat)
            .value(QStringLiteral("userId"))
            .toString();
}

// The files under directory whose bytes contain text.
QStringList filesContaining(const QString &directory, const QByteArray &text)
{
    QStringList found;
    QDirIterator files(directory, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(text))
            found.append(file.fileName());
    }
    return found;
}

// Each file under directory with a digest of its bytes; SQLite's shared-memory index, which
// readers mark, by name alone.
QMap<QString, QByteArray> snapshot(const QString &directory)
{
    QMap<QString, QByteArray> files;
    QDirIterator entries(directory, QDir::Files | QDir::Hidden);
    while (entries.hasNext()) {
        QFile file(entries.next());
        QByteArray digest;
        if (!file.fileName().endsWith(QLatin1String("-shm")) && file.open(QIODevice::ReadOnly))
            digest = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
        files.insert(file.fileName(), digest);
    }
    return files;
}

} // namespace

class tst_Consent : public QObject, private PipelineFixture
{
    Q_OBJECT

public:
    tst_Consent() : PipelineFixture(QStringLiteral("consent-token")) { }

private:
    QObject captured; // the object whose events automatic capture records

    // Batches of ten: a withdrawal finds one on its way.
    void configure(int syncInterval, const QString &storageType = QStringLiteral("SQLITE"))
    {
        PipelineFixture::configure(syncInterval, storageType);
        config()->setBatchSize(10);
    }

    void record(const QString &source)
    {
        for (int i = 0; i < recorded; ++i) {
            if (source == QLatin1String("call")) {
                tracker.transition(QStringLiteral("screen-%1").arg(i));
            } else if (source != QLatin1String("device")) {
                QEvent shown(QEvent::Show);
                QCoreApplication::sendEvent(&captured, &shown);
            }
        }
    }

private Q_SLOTS:
    void initTestCase()
    {
        captured.setObjectName(QStringLiteral("captured"));
        QVERIFY(startPipeline(QStringLiteral("tst_consent")));
    }

    void init() { QVERIFY(beginTest()); }

    // Each test starts with nothing decided and nothing kept.
    void cleanup() { QVERIFY(endTest()); }

    // What arrives in each state from each source of events, with what identifier and
    // headers. "earlier" events were cached while consent was granted, before the change.
    void eachStateFromEachSource_data()
    {
        QTest::addColumn<Consent>("consent");
        QTest::addColumn<QString>("source");
        const std::pair<const char *, Consent> states[] = {
                {"undecided", QSentrelTracker::ConsentUndecided},
                {"denied", QSentrelTracker::ConsentDenied},
                {"anonymous", QSentrelTracker::ConsentAnonymous},
                {"granted", QSentrelTracker::ConsentGranted},
        };
        for (const auto &[name, consent] : states) {
            for (const char *source : {"call", "captured", "device", "remote", "earlier"})
                QTest::addRow("%s, %s", name, source) << consent << QString::fromLatin1(source);
        }
    }

    void eachStateFromEachSource()
    {
        QFETCH(Consent, consent);
        QFETCH(QString, source);
        const bool allowed = consent >= QSentrelTracker::ConsentAnonymous;
        const bool anonymous = consent == QSentrelTracker::ConsentAnonymous;
        const bool earlier = source == QLatin1String("earlier");

        tracker.setConsentRequired(true);
        configure(earlier ? 0 : 1);
        if (source == QLatin1String("captured"))
            config()->setEvents({QStringLiteral("Show")});
        if (source == QLatin1String("remote")) {
            collector.setConfigDocument(R"({"events":["Show"]})");
            config()->setRemoteConfig(true);
            config()->setRemoteConfigInterval(1);
        }
        tracker.setEnabled(true);
        if (earlier) {
            tracker.setConsent(QSentrelTracker::ConsentGranted);
            record(QStringLiteral("call"));
            core()->waitForRequests();
        }
        tracker.setConsent(consent);
        if (source == QLatin1String("remote") && allowed) {
            // The capture hears of the document after the configuration has it.
            QEvent shown(QEvent::Show);
            TRY_VERIFY(core()->currentEventFilter()->isTracked(&shown));
        }
        record(source);
        core()->waitForRequests();
        if (earlier)
            config()->setSyncInterval(1);

        const int expected = source == QLatin1String("device") ? 0 : recorded;
        if (allowed) {
            TRY_COMPARE(receivedRecorded().size(), expected);
            TRY_VERIFY(!collector.requests(tp2).isEmpty());
        } else {
            // Nothing is left that could send or store: no worker, no cache.
            QVERIFY(!core()->isRecording());
            QVERIFY(collector.requests().isEmpty() || earlier);
            QCOMPARE(QFileInfo::exists(cacheFile()),
                     earlier && consent != QSentrelTracker::ConsentDenied);
            QVERIFY(userWideIdentifier().isEmpty() || earlier);
            return;
        }

        // One event per change of decision: "earlier" granted first.
        const bool changedTwice = earlier && anonymous;
        const QList<QJsonObject> consentEvents =
                eventsStartingWith(collector.receivedEvents(), Schema::consent);
        QCOMPARE(consentEvents.size(), changedTwice ? 2 : 1);
        const QJsonObject decision = contextsWith(consentEvents.last(), Schema::consent).first();
        QCOMPARE(decision.value(QLatin1String("level")).toString(),
                 QLatin1String(anonymous ? "anonymous" : "granted"));
        QCOMPARE(decision.value(QLatin1String("previous")).toString(),
                 QLatin1String(changedTwice ? "granted" : "undecided"));
        const QString duid = anonymous ? nilId : config()->userId();
        for (const QJsonObject &event : collector.receivedEvents())
            QCOMPARE(event.value(QLatin1String("duid")).toString(), duid);

        // The collector sets its cookie on every answer; a client that keeps cookies sends
        // it back on a request that leaves after an answer.
        const qsizetype before = collector.requests(tp2).size();
        tracker.transition(QStringLiteral("follow-up"));
        TRY_VERIFY(collector.requests(tp2).size() > before);
        for (const TestCollector::Request &request : collector.requests()) {
            QCOMPARE(request.header("SP-Anonymous"), QByteArray(anonymous ? "*" : ""));
            if (anonymous)
                QCOMPARE(request.header("Cookie"), QByteArray());
        }
        QCOMPARE(collector.requests(tp2).last().header("Cookie"),
                 anonymous ? QByteArray() : QByteArray("sp=") + TestCollector::cookieValue);
    }

    // Withdrawal while the collector holds the answer to a batch: the upload is abandoned,
    // nothing is sent afterwards and nothing the library keeps names the person.
    void withdrawalWhileABatchIsInFlight_data()
    {
        QTest::addColumn<QString>("storageType");
        for (const char *type : {"SQLITE", "SQLITE-ZLIB", "SQLITE-ZSTD"})
            QTest::newRow(type) << QString::fromLatin1(type);
    }

    void withdrawalWhileABatchIsInFlight()
    {
        QFETCH(QString, storageType);
        tracker.setConsentRequired(true);
        configure(1, storageType);
        collector.setFailure(tp2, TestCollector::Failure::NoAnswer);
        tracker.setEnabled(true);
        tracker.setConsent(QSentrelTracker::ConsentGranted);
        record(QStringLiteral("call"));
        TRY_VERIFY(!collector.requests(tp2).isEmpty());
        const QByteArray duid = config()->userId().toLatin1();
        QVERIFY(!filesContaining(QDir::homePath(), duid).isEmpty());

        tracker.setConsent(QSentrelTracker::ConsentDenied);
        const qsizetype seen = collector.requests().size();
        QVERIFY(!core()->isRecording());
        TRY_COMPARE(collector.openConnections(), 0);
        tracker.transition(QStringLiteral("after"));
        for (const char *suffix : {"", "-wal", "-shm"})
            QVERIFY2(!QFileInfo::exists(cacheFile() + QLatin1String(suffix)), suffix);
        QCOMPARE(filesContaining(QDir::homePath(), duid), QStringList());
        QCOMPARE(filesContaining(cacheDir->path(), duid), QStringList());
        QCOMPARE(collector.requests().size(), seen);
        QCOMPARE(tracker.consent(), QSentrelTracker::ConsentDenied);
    }

    // Waiting for the decision, a privacy dialog is shown what leaves once the person agrees:
    // the events cached while consent was granted, read without changing a file.
    void waitingEventsWhileUndecided_data()
    {
        QTest::addColumn<QString>("storageType");
        QTest::addColumn<int>("cached"); // recorded while granted; past 100 a dictionary is used
        QTest::addColumn<bool>("shared"); // another connection keeps the cache and its log open
        QTest::newRow("never granted, no cache") << "SQLITE" << 0 << false;
        QTest::newRow("plain") << "SQLITE" << recorded << false;
        QTest::newRow("plain, open elsewhere") << "SQLITE" << recorded << true;
        QTest::newRow("zlib") << "SQLITE-ZLIB" << 3 * recorded << false;
        QTest::newRow("zstd") << "SQLITE-ZSTD" << 3 * recorded << false;
    }

    void waitingEventsWhileUndecided()
    {
        QFETCH(QString, storageType);
        QFETCH(int, cached);
        QFETCH(bool, shared);
        // Fewer than the file holds: the device and consent events come first.
        const int maximum = qMax(cached, 1);
        tracker.setConsentRequired(true);
        configure(0, storageType);
        tracker.setEnabled(true);
        QSignalSpy answered(&tracker, &QSentrelTracker::waitingEventsReady);
        QJsonArray expected; // what the worker answered while it ran
        if (cached > 0) {
            tracker.setConsent(QSentrelTracker::ConsentGranted);
            for (int i = 0; i < cached; ++i)
                tracker.transition(QStringLiteral("screen-%1").arg(i));
            tracker.requestWaitingEvents(maximum);
            QVERIFY(answered.wait(pipelineWait));
            expected = answered.takeFirst().first().toJsonArray();
            QCOMPARE(expected.size(), maximum);
        }
        const QString other = QStringLiteral("other");
        if (shared) {
            QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), other);
            database.setDatabaseName(cacheFile());
            QVERIFY(database.open());
            QVERIFY(QSqlQuery(database).exec(QStringLiteral("SELECT COUNT(*) FROM events")));
        }
        tracker.setConsent(QSentrelTracker::ConsentUndecided);
        QVERIFY(!core()->isRecording());
        QCOMPARE(QFileInfo::exists(cacheFile() + QLatin1String("-wal")), shared);
        const QMap<QString, QByteArray> files = snapshot(cacheDir->path());
        const QString identifier = userWideIdentifier();

        tracker.requestWaitingEvents(maximum);
        QCOMPARE(answered.size(), 0);
        QVERIFY(answered.wait(pipelineWait));
        QCOMPARE(answered.first().first().toJsonArray(), expected);
        QCOMPARE(snapshot(cacheDir->path()), files);
        QCOMPARE(userWideIdentifier(), identifier);
        if (shared)
            QSqlDatabase::removeDatabase(other);
    }

    // The decision outlives the process; one made for an older privacy text reads Undecided.
    void decisionIsReadBackAtTheNextStart()
    {
        const auto run = [](const QStringList &arguments) {
            QProcess probe;
            probe.start(QStringLiteral(CONSENT_PROBE), arguments);
            if (!probe.waitForFinished(pipelineWait) || probe.exitCode() != 0)
                return QByteArray("failed");
            return probe.readAllStandardOutput().trimmed();
        };
        QCOMPARE(run({QStringLiteral("forget")}), QByteArray("forgotten"));
        QCOMPARE(run({QStringLiteral("1"), QStringLiteral("anonymous")}), QByteArray("undecided"));
        QCOMPARE(run({QStringLiteral("1")}), QByteArray("anonymous"));
        QCOMPARE(run({QStringLiteral("0")}), QByteArray("anonymous"));
        QCOMPARE(run({QStringLiteral("2")}), QByteArray("undecided"));
    }

    void forgetMeRemovesEverything_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::newRow("removable") << QString();
        QTest::newRow("a file that cannot be removed") << QStringLiteral("refused");
        QTest::newRow("a remote userId") << QStringLiteral("remote userId");
        QTest::newRow("a dormant document's cache") << QStringLiteral("dormant");
    }

    void forgetMeRemovesEverything()
    {
        QFETCH(QString, situation);
        const bool refused = situation == QLatin1String("refused");
        tracker.setConsentRequired(true);
        configure(1);
        tracker.setEnabled(true);
        tracker.setConsent(QSentrelTracker::ConsentGranted);
        record(QStringLiteral("call"));
        TRY_COMPARE(receivedRecorded().size(), recorded);
        const QString before = config()->userId();
        // A directory where a companion file of the cache would be, even for root.
        LogCapture log;
        if (refused) {
            QVERIFY(QDir(cacheDir->path()).mkpath(QStringLiteral("SentrelTracker.db-journal/x")));
            log.expect(QStringLiteral("sentrel.storage"), QStringLiteral("Could not remove"));
        }
        if (situation == QLatin1String("remote userId"))
            core()->configurationPrivate()->applyConfig(R"({"userId": "remote-person"})");
        // Stored by an earlier version of the application, so not in force, with the cache
        // it placed in a run of that version.
        QTemporaryDir dormantDir;
        const QString dormantCache = dormantDir.filePath(QStringLiteral("SentrelTracker.db"));
        if (situation == QLatin1String("dormant")) {
            QFile document(core()->configurationPrivate()->remoteConfigFileName());
            QVERIFY(document.open(QIODevice::WriteOnly));
            document.write(
                    QJsonDocument(QJsonObject {{QStringLiteral("storage_path"), dormantDir.path()}})
                            .toJson());
            document.close();
            for (const QString &file : {dormantCache, dormantCache + QStringLiteral("-wal")}) {
                QFile cache(file);
                QVERIFY(cache.open(QIODevice::WriteOnly));
                cache.write(before.toUtf8());
            }
        }

        // A damaged cache set aside for inspection holds events of the person as well.
        QFile aside(cacheFile() + QStringLiteral(".damaged-20260101T000000Z"));
        QVERIFY(aside.open(QIODevice::WriteOnly));
        aside.write(before.toUtf8());
        aside.close();

        QSignalSpy finished(&tracker, &QSentrelTracker::forgetMeFinished);
        QSignalSpy changed(&tracker, &QSentrelTracker::consentChanged);
        tracker.forgetMe();
        QVERIFY(finished.wait(pipelineWait));
        QCOMPARE(finished.first().first().toBool(), !refused);
        QCOMPARE(log.count(QStringLiteral("sentrel.storage"), QStringLiteral("Could not remove"))
                         > 0,
                 refused);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(tracker.consent(), QSentrelTracker::ConsentUndecided);
        QVERIFY(!core()->isRecording());
        QVERIFY(!QFileInfo::exists(cacheFile()));
        QVERIFY(!QFileInfo::exists(core()->configurationPrivate()->settingsPath()));
        QVERIFY(!QFileInfo::exists(core()->configurationPrivate()->remoteConfigFileName()));
        QCOMPARE(userWideIdentifier(), QString());
        QCOMPARE(filesContaining(dormantDir.path(), before.toUtf8()), QStringList());
        QVERIFY(!aside.exists());
        QDir(cacheDir->path()).removeRecursively();

        collector.clear();
        tracker.setConsent(QSentrelTracker::ConsentGranted);
        TRY_VERIFY(!collector.receivedEvents().isEmpty());
        const QString after =
                collector.receivedEvents().first().value(QLatin1String("duid")).toString();
        QVERIFY(after != before);
        QCOMPARE(after, config()->userId());
    }

    // A decision made in one process of the application holds in another that shares its
    // settings and cache: it stops recording or changes identity within a second, and nothing
    // recorded under the forgotten identifier leaves afterwards, whichever process holds the
    // cache.
    void everyProcessObeysADecision_data()
    {
        QTest::addColumn<QString>("decision");
        QTest::newRow("denied") << QStringLiteral("denied");
        QTest::newRow("forgetMe") << QStringLiteral("undecided");
        QTest::newRow("anonymous") << QStringLiteral("anonymous");
    }

    void everyProcessObeysADecision()
    {
        QFETCH(QString, decision);
        // Both processes write the cache, so a removal may meet the other's write and wait for
        // the next batch: a passing state.
        LogCapture log;
        log.expect(QStringLiteral("sentrel.storage"), QStringLiteral("Failed to remove events:"));
        log.expect(QStringLiteral("sentrel.events"),
                   QStringLiteral("Failed to remove events from storage, trying again"));
        tracker.setConsentRequired(true);
        configure(1);
        tracker.setEnabled(true);
        tracker.setConsent(QSentrelTracker::ConsentGranted);
        const QString person = config()->userId();
        QProcess peer;
        peer.start(QStringLiteral(CONSENT_PROBE),
                   {QStringLiteral("peer"), collector.server(), cacheDir->path()});
        const auto stopPeer = qScopeGuard([&peer] {
            peer.kill();
            peer.waitForFinished(pipelineWait);
        });
        QVERIFY(peer.waitForStarted(pipelineWait));
        const auto peerViews = [this] {
            int views = 0;
            for (const QString &name : screenNames(collector.receivedEvents())) {
                if (name.startsWith(QLatin1String("peer-")))
                    views = std::max(views, name.mid(5).toInt());
            }
            return views;
        };
        TRY_VERIFY(peerViews() > 0);
        record(QStringLiteral("call"));
        (void)peer.readAllStandardOutput();

        QElapsedTimer obeying;
        obeying.start();
        if (decision == QLatin1String("undecided"))
            tracker.forgetMe();
        else
            tracker.setConsent(decision == QLatin1String("denied")
                                       ? QSentrelTracker::ConsentDenied
                                       : QSentrelTracker::ConsentAnonymous);
        const qsizetype decidedAt = collector.requests(tp2).size();
        QByteArray heard;
        TRY_VERIFY((heard += peer.readAllStandardOutput()).contains(decision.toUtf8()));
        qInfo("The other process obeyed %lld ms after the call", obeying.elapsed());
        QVERIFY(obeying.elapsed() < 1000);
        const int viewsAtDecision = heard.split(' ').value(1).trimmed().toInt();
        if (decision != QLatin1String("anonymous"))
            QVERIFY(!QFileInfo::exists(cacheFile()));

        // On again, until the other process's views recorded after it obeyed arrive.
        if (decision != QLatin1String("anonymous"))
            tracker.setConsent(QSentrelTracker::ConsentGranted);
        TRY_VERIFY(peerViews() > viewsAtDecision + 10);
        // The collector runs on this thread, so a request on its way before the call may be
        // read only after it. From the first request of the new identity on none of the old
        // one arrives, and no view the other process recorded after it obeyed carries it.
        const QList<TestCollector::Request> requests = collector.requests(tp2);
        bool newIdentityArrived = false;
        for (qsizetype i = decidedAt; i < requests.size(); ++i) {
            bool newIdentity = false;
            for (const QJsonObject &event : batchEvents(requests.at(i).batch)) {
                const QString duid = event.value(QLatin1String("duid")).toString();
                const QString screen = screenNames({event}).value(0);
                const bool obeyed = screen.startsWith(QLatin1String("peer-"))
                        && screen.mid(5).toInt() > viewsAtDecision;
                if (obeyed || newIdentityArrived)
                    QVERIFY2(duid != person, qPrintable(screen));
                if (obeyed && decision == QLatin1String("anonymous"))
                    QCOMPARE(duid, nilId);
                newIdentity = newIdentity || duid != person;
            }
            newIdentityArrived = newIdentityArrived || newIdentity;
        }
        QVERIFY(newIdentityArrived);
    }

    // Events cached across changes of identity leave each in a request of its own kind: the
    // anonymous ones with "SP-Anonymous" and no cookie, none sharing a session with an
    // identified one.
    void identitiesNeverMix_data()
    {
        QTest::addColumn<QList<Consent>>("periods");
        QTest::addColumn<int>("sessionTimeout");
        const Consent granted = QSentrelTracker::ConsentGranted;
        const Consent anonymous = QSentrelTracker::ConsentAnonymous;
        QTest::newRow("granted, anonymous") << QList<Consent> {granted, anonymous} << 0;
        QTest::newRow("anonymous, granted") << QList<Consent> {anonymous, granted} << 0;
        QTest::newRow("granted, anonymous, granted")
                << QList<Consent> {granted, anonymous, granted} << 0;
        QTest::newRow("anonymous, granted, anonymous")
                << QList<Consent> {anonymous, granted, anonymous} << 0;
        // Session contexts name sessions too.
        QTest::newRow("anonymous, granted, anonymous, with session contexts")
                << QList<Consent> {anonymous, granted, anonymous} << 1800;
    }

    void identitiesNeverMix()
    {
        QFETCH(QList<Consent>, periods);
        QFETCH(int, sessionTimeout);
        tracker.setConsentRequired(true);
        configure(0); // cached through every period, sent at the end
        config()->setSessionTimeout(sessionTimeout);
        tracker.setEnabled(true);
        QSet<QString> recordedIdentified; // the sessions of events recorded with an identifier
        for (const Consent consent : std::as_const(periods)) {
            tracker.setConsent(consent);
            record(QStringLiteral("call"));
            core()->waitForRequests();
            if (consent != QSentrelTracker::ConsentGranted)
                continue;
            QSignalSpy ready(&tracker, &QSentrelTracker::waitingEventsReady);
            tracker.requestWaitingEvents(1000);
            QVERIFY(ready.wait(pipelineWait));
            for (const QJsonValue &event : ready.first().first().toJsonArray()) {
                if (event[QLatin1String("duid")].toString() != nilId)
                    recordedIdentified.insert(event[QLatin1String("sid")].toString());
            }
        }
        config()->setSyncInterval(1);
        TRY_COMPARE(receivedRecorded().size(), recorded * int(periods.size()));

        QSet<QString> anonymousSessions;
        QSet<QString> identifiedSessions;
        for (const TestCollector::Request &request : collector.requests(tp2)) {
            const QJsonArray events = request.batch.value(QLatin1String("data")).toArray();
            const bool anonymousRequest = request.headers.contains("sp-anonymous");
            QCOMPARE(anonymousRequest, request.headers.value("sp-anonymous") == "*");
            if (anonymousRequest)
                QVERIFY(!request.headers.contains("cookie"));
            for (const QJsonValue &value : events) {
                const QJsonObject event = value.toObject();
                const bool anonymousEvent = event.value(QLatin1String("duid")).toString() == nilId;
                QCOMPARE(anonymousEvent, anonymousRequest);
                QSet<QString> &sessions = anonymousEvent ? anonymousSessions : identifiedSessions;
                sessions.insert(event.value(QLatin1String("sid")).toString());
                for (const QJsonObject &session : contextsWith(event, sessionSchema)) {
                    sessions.insert(session.value(u"session_id").toString());
                    sessions.insert(session.value(u"previous_session_id").toString());
                }
                // Those recorded with an identifier leave anonymously without theirs.
                if (!anonymousEvent)
                    QCOMPARE(contextsWith(event, sessionSchema).size(), sessionTimeout > 0 ? 1 : 0);
            }
        }
        QVERIFY(!anonymousSessions.isEmpty());
        QCOMPARE(identifiedSessions.isEmpty(), periods.last() == QSentrelTracker::ConsentAnonymous);
        QVERIFY(!recordedIdentified.isEmpty());
        anonymousSessions.remove(QString()); // a first session has none before it
        QVERIFY(!anonymousSessions.intersects(recordedIdentified));
        QVERIFY(!anonymousSessions.intersects(identifiedSessions));
    }

#ifdef Q_OS_UNIX
    // Every file and folder the library makes is its owner's alone, whatever the umask, and
    // what was delivered soon leaves the cache's log.
    void filesAreTheOwnersAlone_data()
    {
        QTest::addColumn<int>("mask");
        QTest::newRow("umask 0") << 0;
        QTest::newRow("umask 022") << 022;
    }

    void filesAreTheOwnersAlone()
    {
        QFETCH(int, mask);
        const mode_t previousMask = ::umask(mode_t(mask));
        const auto restore = qScopeGuard([previousMask] {
            ::umask(previousMask);
        });
        // Folders the library has to make, and a user-wide identifier it has to write.
        const QString storage = cacheDir->filePath(QStringLiteral("made/by/library"));
        QSettings identifiers(
                QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                        + QStringLiteral("/Tamlor/SentrelTrackerGlobal.conf"),
                QSettings::IniFormat);
        QDir(QFileInfo(identifiers.fileName()).path()).removeRecursively();
        configure(1);
        config()->setStoragePath(storage);
        tracker.setEnabled(true);
        core()->configurationPrivate()->applyConfig(R"({"batch_size": 10})");
        record(QStringLiteral("call"));
        TRY_COMPARE(receivedRecorded().size(), recorded);

        QStringList open;
        const QStringList places = {
                cacheDir->filePath(QStringLiteral("made")),
                QFileInfo(identifiers.fileName()).path(),
                QFileInfo(core()->configurationPrivate()->settingsPath()).path()};
        for (const QString &place : places) {
            QDirIterator entries(place,
                                 QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                 QDirIterator::Subdirectories);
            // QSettings' own lock, there for a moment while the worker writes the settings,
            // is Qt's and holds nothing of the person.
            const auto check = [&open](const QString &path) {
                if ((QFileInfo(path).permissions() & QFileDevice::Permissions(0x0077))
                    && !path.endsWith(QLatin1String(".ini.lock")))
                    open.append(path);
            };
            // The settings folder was made when the process started, before this umask.
            if (place != places.last())
                check(place);
            while (entries.hasNext())
                check(entries.next());
        }
        QVERIFY2(open.isEmpty(), qPrintable(open.join(QStringLiteral(", "))));
        for (const QString &file : {QStringLiteral("SentrelTracker.db"),
                                    QStringLiteral("SentrelTracker.db.lock"),
                                    QStringLiteral("SentrelTracker.db-wal")})
            QVERIFY2(QFileInfo::exists(storage + QLatin1Char('/') + file), qPrintable(file));
        QVERIFY(QFileInfo::exists(identifiers.fileName()));
        QVERIFY(QFileInfo::exists(core()->configurationPrivate()->remoteConfigFileName()));

        const QByteArray delivered =
                receivedRecorded().last().value(QLatin1String("eid")).toString().toUtf8();
        QTRY_COMPARE_WITH_TIMEOUT(filesContaining(storage, delivered), QStringList(), 5000);
    }
#endif
};

SENTREL_TEST_MAIN(tst_Consent, QGuiApplication)
#include "tst_consent.moc"
