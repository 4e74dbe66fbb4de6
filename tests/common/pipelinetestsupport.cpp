// SPDX-License-Identifier: MIT
#include "pipelinetestsupport.h"

#include "eventlog.h"

#include "qsentrelconfiguration_p.h"
#include "qsentrelreporter_p.h"
#include "sentreltrackerimpl_p.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTest>

QStringList contextSchemas(const QJsonObject &event)
{
    QStringList schemas;
    for (const QJsonValue &context : contextsOf(event))
        schemas.append(context.toObject().value(QLatin1String("schema")).toString());
    return schemas;
}

QList<QJsonObject> contextsWith(const QJsonObject &event, const QString &uri)
{
    QList<QJsonObject> found;
    for (const QJsonValue &context : contextsOf(event)) {
        const QJsonObject object = context.toObject();
        if (object.value(QLatin1String("schema")).toString() == uri)
            found.append(object.value(QLatin1String("data")).toObject());
    }
    return found;
}

QList<QJsonObject> eventsStartingWith(const QList<QJsonObject> &events, const QString &uri)
{
    QList<QJsonObject> found;
    for (const QJsonObject &event : events) {
        const QStringList schemas = contextSchemas(event);
        if (!schemas.isEmpty() && schemas.first() == uri)
            found.append(event);
    }
    return found;
}

QStringList screenNames(const QList<QJsonObject> &events)
{
    QStringList names;
    for (const QJsonObject &event : events) {
        const QList<QJsonObject> views = contextsWith(event, Schema::screenView);
        if (!views.isEmpty())
            names.append(views.first().value(QLatin1String("object_id")).toString());
    }
    return names;
}

QList<QJsonObject> batchEvents(const QJsonObject &batch)
{
    QList<QJsonObject> events;
    for (const QJsonValue &event : batch.value(QLatin1String("data")).toArray())
        events.append(event.toObject());
    return events;
}

QStringList eventIds(const QList<QJsonObject> &events)
{
    QStringList ids;
    for (const QJsonObject &event : events)
        ids.append(event.value(QLatin1String("eid")).toString());
    return ids;
}

QList<QByteArray> cachedRows(const QString &databaseFile)
{
    const QString name = QStringLiteral("inspection");
    QList<QByteArray> rows;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(databaseFile);
        QSqlQuery query(database);
        if (database.open() && query.exec(QStringLiteral("SELECT data FROM events ORDER BY id"))) {
            while (query.next())
                rows.append(query.value(0).toByteArray());
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

namespace {
QtMessageHandler forward = nullptr;

void dropEventMessages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg && context.category && qstrcmp(context.category, "sentrel.events") == 0
        && text.startsWith(QLatin1String("New event")))
        return;
    if (forward)
        forward(type, context, text);
}
} // namespace

void quietenEventMessages()
{
    forward = qInstallMessageHandler(dropEventMessages);
}

QList<QJsonObject> PipelineFixture::receivedRecorded() const
{
    QList<QJsonObject> found;
    for (const QJsonObject &event : collector.receivedEvents()) {
        const QStringList schemas = contextSchemas(event);
        if (!schemas.startsWith(Schema::device) && !schemas.startsWith(Schema::consent))
            found.append(event);
    }
    return found;
}

void PipelineFixture::configure(int syncInterval, const QString &storageType)
{
    QSentrelConfiguration *c = config();
    c->setToken(token);
    c->setServer(collector.server());
    c->setSyncInterval(syncInterval);
    c->setStorageType(storageType);
    c->setStoragePath(cacheDir->path());
    c->setStorageSize(0);
    c->setBatchSize(100);
    c->setCategories({QStringLiteral("buttons")});
    c->setEvents({});
    c->setRemoteConfig(false);
}

namespace {
TestClock *manualClock = nullptr; // the test's, while it uses one
} // namespace

void pipelineStep()
{
    if (manualClock) {
        settle(); // every alarm the worker was asked to arm so far, armed
        if (const qint64 next = manualClock->nextAlarm(); next >= 0) {
            manualClock->advance(next);
            settle();
        }
    }
    QTest::qWait(1);
}

TestClock &PipelineFixture::useManualClock()
{
    manual = std::make_unique<TestClock>(TestClock::Manual, clock.now());
    manual->install();
    manualClock = manual.get();
    return *manual;
}

void settle()
{
    SentrelTrackerImpl *core = SentrelTrackerImpl::instance();
    if (!core->isRecording())
        return;
    core->waitForRequests();
    if (QSentrelReporter *reporter = core->currentReporter())
        QMetaObject::invokeMethod(
                reporter,
                [] {},
                Qt::BlockingQueuedConnection);
}

bool PipelineFixture::startPipeline(const QString &applicationName)
{
    // Every delay the tests do not measure passes in a few milliseconds.
    clock.setWarpDelay(warpDelay);
    clock.install();
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationName(applicationName);
    // The process's tracker is made, and its configuration loaded, before the first test.
    SentrelTrackerImpl::instance();
    quietenEventMessages();
    if (!collector.start()) {
        qWarning("The test collector did not start: %s", qPrintable(collector.errorString()));
        return false;
    }
    return true;
}

bool PipelineFixture::beginTest()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    cacheDir = std::make_unique<QTemporaryDir>();
    collector.clear();
    return cacheDir->isValid();
}

bool PipelineFixture::endTest()
{
    SentrelTrackerImpl *core = SentrelTrackerImpl::instance();
    // Disabling runs what was queued, then drops the reporter with its requests.
    tracker.setEnabled(false);
    // A request the last reporter had sent must not arrive in the next test.
    const bool closed = QTest::qWaitFor(
            [this] {
                return collector.openConnections() == 0;
            },
            15000);

    // Nothing decided and nothing kept: the cache, the identifier, the remote document, and the
    // settings with the last sync's time.
    QSignalSpy forgotten(&tracker, &QSentrelTracker::forgetMeFinished);
    tracker.forgetMe();
    const bool forgot = !forgotten.isEmpty() || forgotten.wait(15000);
    tracker.setConsentRequired(false);
    tracker.setConsentVersion(0);

    // Every item back at its start value, no remote one in force.
    QSentrelConfigurationPrivate *c = core->configurationPrivate();
    c->applyConfig(QByteArray());
    c->setServer(QString());
    c->setToken(QString());
    c->setDeviceModel(QString());
    c->setDeviceVariant(QString());
    c->setAppBuild(QString());
    c->setPlatform(QStringLiteral("app"));
    c->setStorageType(QStringLiteral("SQLITE"));
    c->setStoragePath(QString());
    c->setStorageSize(0);
    c->setSyncInterval(0);
    c->setBatchSize(100);
    c->setCategories({});
    c->setEvents({});
    c->setRemoteConfig(false);
    c->setRemoteConfigInterval(0);
    c->setSessionTimeout(0);
    core->setQueueLimits(SentrelTrackerImpl::maximumQueuedRecordings,
                         SentrelTrackerImpl::maximumQueuedBytes);
    core->setExitStoringTime(SentrelTrackerImpl::exitStoringMilliseconds);

    // The library's clock and environment as the run started.
    if (manual) {
        manualClock = nullptr;
        manual.reset();
        clock.install();
    }
    clock.setWarpDelay(warpDelay);
    qunsetenv("SENTREL_TRANSFER_TIMEOUT_MS");
    qunsetenv("SENTREL_DROP_SPAN_MS");

    collector.clearFailures();
    collector.clearRefusals();
    collector.clearConfigDocument();
    collector.clear();
    cacheDir.reset();
    return closed && forgot;
}
