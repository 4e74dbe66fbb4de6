// SPDX-License-Identifier: MIT
#include "qsentrelreporter_p.h"

#include "qsentrelconfiguration_p.h"
#include "sentrelprivacy_p.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#if QT_CONFIG(ssl)
#  include <QSslSocket>
#endif
#include <QThread>

#include <optional>
#include <utility>

QSentrelReporter::QSentrelReporter()
    : outbox(new SentrelOutbox(this))
    , uploader(new SentrelUploader(this))
    , delivery(uploader->rules())
    , detachedSessionIdJson(
              SentrelPayload::jsonString(QSentrelConfigurationPrivate::newIdentifier()))
{
    connect(outbox, &SentrelOutbox::rowsForgotten, &delivery, &SentrelDelivery::forgetRows);
    connect(outbox, &SentrelOutbox::removedElsewhere, this, [this] {
        closeForGood(SentrelOutbox::CacheFiles::Keep); // they may already be another's new ones
        Q_EMIT cacheRemoved();
    });
}

QSentrelReporter::~QSentrelReporter() = default;

void QSentrelReporter::init(QSentrelConfigurationPrivate *config)
{
    SENTREL_ASSERT_THREAD(this);
    configuration = config;
    configuration->markRunning();
    payload.setConfiguration(configuration);
    outbox->setConfiguration(configuration);

    const QString server = configuration->server();
    uploader->setServer(server);
    uploader->setHeaders(configuration->headers());
    connect(configuration, &QSentrelConfiguration::headersChanged, this, [this] {
        uploader->setHeaders(configuration->headers());
    });
#if QT_CONFIG(ssl)
    const bool tls = QSslSocket::supportsSsl();
#else
    const bool tls = false; // some embedded builds of Qt
#endif
    if (!tls)
        qCWarning(lcEvents) << "HTTPS is not available in this Qt, nothing reaches the collector";

    startNewSession();
    if (!SentrelPrivacy::isAnonymous())
        qCDebug(lcEvents) << "Using user identifier:" << configuration->userId();
    if (configuration->syncInterval() != 0)
        qCInfo(lcEvents) << "Sending events to:" << configuration->server();
    else
        qCInfo(lcEvents) << "Working in offline mode";

    // A remote document signals each storage item it changes, after all of them are in force:
    // the store is reopened when what it is made of differs, so once per document. A store made
    // at run time is synced like the one opened now, and a pending back-off holds across both.
    const auto storageChanged = [this] {
        if (outbox->reopen())
            scheduleSync();
    };
    connect(configuration, &QSentrelConfiguration::storageTypeChanged, this, storageChanged);
    connect(configuration, &QSentrelConfiguration::storagePathChanged, this, storageChanged);
    connect(configuration, &QSentrelConfiguration::storageSizeChanged, this, storageChanged);
    outbox->reopen();

    connect(&delivery, &SentrelDelivery::syncDue, this, [this] {
        sync();
        checkFlush();
    });
    connect(QThread::currentThread(), &QThread::finished, this, [this] {
        delivery.stopSync();
    });
    // The store's SQL connection belongs to this thread: close it here, before the reporter
    // is handed back to the application's thread for deletion.
    connect(
            QThread::currentThread(),
            &QThread::finished,
            this,
            [this] {
                outbox->close();
                SENTREL_HAND_OFF(); // to the tracker core, which deletes the reporter next
            },
            Qt::DirectConnection);

    // The signal comes with every accepted write, also of the same value: only a new interval
    // re-arms the sync, and even then a pending back-off holds.
    connect(configuration, &QSentrelConfiguration::syncIntervalChanged, this, [this] {
        if (delivery.setSyncInterval(configuration->syncInterval()))
            scheduleSync();
    });
    delivery.setSyncInterval(configuration->syncInterval());
    scheduleSync();

    connect(&delivery,
            &SentrelDelivery::remoteConfigDue,
            this,
            &QSentrelReporter::fetchRemoteConfig);
    const auto remoteChanged = [this] {
        delivery.setRemoteConfig(configuration->remoteConfig(),
                                 configuration->remoteConfigInterval());
    };
    connect(configuration, &QSentrelConfiguration::remoteConfigChanged, this, remoteChanged);
    connect(configuration,
            &QSentrelConfiguration::remoteConfigIntervalChanged,
            this,
            remoteChanged);
    remoteChanged();

    record(payload.deviceAndAppInfo());
    // Here, on the worker, since a worker runs only once the person agreed. The test-only
    // build leaves it to the tests that ask for it, so that the others count their own events.
#ifdef SENTREL_TESTING_LIBRARY
    const bool versions = !qEnvironmentVariableIsSet("SENTREL_NO_VERSION_EVENTS");
#else
    constexpr bool versions = true;
#endif
    if (const auto change = versions ? configuration->takeVersionChange() : std::nullopt) {
        const auto &[version, previous] = *change;
        record(previous.isNull() ? payload.applicationInstall(version)
                                 : payload.applicationUpdate(version, previous));
    }
}

void QSentrelReporter::setTransport(std::unique_ptr<SentrelTransport> transport)
{
    uploader->setTransport(std::move(transport));
}

void QSentrelReporter::record(const QByteArray &event)
{
    SENTREL_ASSERT_THREAD(this);
    if (event.isEmpty() || outbox->add(event))
        return;
    // No cache to wait in: online, the event goes as it comes; offline, there is nowhere.
    if (configuration->syncInterval() != 0) {
        qCDebug(lcEvents) << "Storage is not available, sending event immediately.";
        uploader->sendNow(event, SentrelPrivacy::isAnonymousEvent(event));
    }
}

void QSentrelReporter::trackScreenView(
        const QString &screen,
        const std::optional<SentrelTracker::ContextData<double>> &context)
{
    record(payload.screenView(screen, context));
}

void QSentrelReporter::trackClickEvent(
        const QString &name,
        const QString &category,
        const std::optional<SentrelTracker::ContextData<double>> &context)
{
    record(payload.click(name, category, context));
}

void QSentrelReporter::trackEvent(const QString &type,
                                  const QString &object,
                                  const QString &objectName,
                                  const std::optional<SentrelTracker::EventCoordinates> &position,
                                  const std::optional<QString> &details,
                                  const QString &objectPath)
{
    record(payload.capturedEvent(type, object, objectName, position, details, objectPath));
}

void QSentrelReporter::trackAction(const QString &action,
                                   const QString &via,
                                   std::optional<bool> checked)
{
    record(payload.action(action, via, checked));
}

void QSentrelReporter::trackStall(qint64 milliseconds)
{
    record(payload.stall(milliseconds));
}

void QSentrelReporter::trackApplicationState(bool foreground)
{
    record(payload.applicationState(foreground));
}

void QSentrelReporter::trackScreenEnd(const QString &screen, qint64 foregroundMilliseconds)
{
    record(payload.screenEnd(screen, foregroundMilliseconds));
}

void QSentrelReporter::trackContextData(const SentrelTracker::ContextData<QString> &data)
{
    record(payload.contextData(data));
}

void QSentrelReporter::trackDimensionData(const SentrelTracker::ContextData<QString> &data)
{
    record(payload.dimensionData(data));
}

void QSentrelReporter::trackTypedEvent(const QString &name, const QVariantMap &properties)
{
    record(payload.typedEvent(name, properties));
}

void QSentrelReporter::trackSelfDescribing(const QString &schema, const QJsonObject &data)
{
    record(payload.selfDescribing(schema, data));
}

void QSentrelReporter::trackConsent(int consent, int previous, int version)
{
    record(payload.consent(consent, previous, version));
}

void QSentrelReporter::startNewSession()
{
    SENTREL_ASSERT_THREAD(this);
    payload.startNewSession();
}

void QSentrelReporter::startNewIdentity()
{
    SENTREL_ASSERT_THREAD(this);
    // The collector's cookies set before would link the two periods.
    uploader->forgetCookies();
    startNewSession();
    detachedSessionIdJson =
            SentrelPayload::jsonString(QSentrelConfigurationPrivate::newIdentifier());
}

void QSentrelReporter::beginBatch()
{
    outbox->beginBatch();
}

void QSentrelReporter::endBatch()
{
    outbox->endBatch();
}

void QSentrelReporter::abandonStore()
{
    outbox->abandon();
}

void QSentrelReporter::clearCache()
{
    outbox->removeAll();
}

QStringList QSentrelReporter::closeForGood(SentrelOutbox::CacheFiles files)
{
    SENTREL_ASSERT_THREAD(this);
    uploader->abandonUpload();
    delivery.stopSync();
    return outbox->closeForGood(files);
}

void QSentrelReporter::sync()
{
    SENTREL_ASSERT_THREAD(this);
    if (!outbox->isOpen() || !delivery.mayStart() || outbox->wasRemoved())
        return;
    if (!outbox->deliversThisCache()) {
        // Another process of the application holds the cache: it delivers what this one
        // records, and this one takes over when it has gone.
        qCDebug(lcEvents) << "Another process delivers the events of this cache";
        delivery.schedule(qint64(configuration->syncInterval()) * 1000);
        return;
    }

    if (outbox->removalPending() && !outbox->remove({})) {
        retryRemovalLater();
        return;
    }
    outbox->trim();

    SentrelDelivery::Composition next;
    if (delivery.wantsProbe()) {
        const SentrelOutbox::Rows newest = outbox->newest();
        if (!newest.isEmpty())
            next = delivery.probe(asSent(newest, detachedSessionIdJson).first(),
                                  outbox->generation());
    } else {
        const qsizetype batchSize = configuration->batchSize();
        const SentrelOutbox::Rows records =
                asSent(outbox->nextBatch(SentrelDelivery::maximumBatchBytes,
                                         batchSize + delivery.setAside(),
                                         delivery.setAsideRows()),
                       detachedSessionIdJson);
        if (!records.isEmpty())
            qCDebug(lcEvents) << outbox->size() << "events in the cache";
        next = delivery.compose(records, batchSize, outbox->generation());
    }
    for (const quint64 id : std::as_const(next.unreadable))
        qCWarning(lcEvents) << "Dropped an unreadable event from the cache:" << id;
    if (!next.unreadable.isEmpty() && !outbox->remove(next.unreadable)) {
        retryRemovalLater();
        return;
    }
    if (!next.batch.ids.isEmpty()) {
        uploader->send(
                next.batch,
                next.body,
                [this](const SentrelDelivery::Batch &batch, const SentrelDelivery::Answer &answer) {
                    answered(batch, answer);
                });
        return;
    }
    if (next.wait) {
        delivery.schedule(*next.wait); // only rows tried apart are left, none due yet
        return;
    }
    if (!next.unreadable.isEmpty()) {
        delivery.schedule(0); // on with the rows behind the unreadable ones
        return;
    }
    if (outbox->readFailed()) {
        // Nothing was read, so nothing was sent: the store has said why, and a damaged file it
        // has already set aside.
        delivery.schedule(qint64(configuration->syncInterval()) * 1000);
        return;
    }

    const QDateTime now = QDateTime::fromMSecsSinceEpoch(delivery.clock()->now());
    qCInfo(lcEvents) << "All events sent at" << now.toString(Qt::TextDate);
    configuration->setLastSync(now);
    delivery.schedule(qint64(configuration->syncInterval()) * 1000);
    if (configuration->remoteConfig() && !delivery.remoteConfigScheduled())
        fetchRemoteConfig();
}

void QSentrelReporter::answered(const SentrelDelivery::Batch &batch,
                                const SentrelDelivery::Answer &answer)
{
    // After clearCache() or with another store the ids may name other events by now.
    const bool sameRows = outbox->isOpen() && batch.generation == outbox->generation();
    if (!sameRows)
        qCDebug(lcEvents) << "The cache changed while the batch was sent; nothing removed";
    const SentrelDelivery::Outcome outcome = delivery.answered(batch, answer, sameRows);
    if (outcome != SentrelDelivery::Outcome::Keep && sameRows)
        outbox->remove(batch.ids);
    if (outcome == SentrelDelivery::Outcome::Remove) {
        flushDelivered += int(batch.ids.size());
        Q_EMIT eventsDelivered(int(batch.ids.size()));
    } else if (outcome == SentrelDelivery::Outcome::Drop && !batch.eventId.isEmpty()) {
        Q_EMIT eventDropped(batch.eventId);
    }
    checkFlush();
}

void QSentrelReporter::flush()
{
    SENTREL_ASSERT_THREAD(this);
    if (!outbox->isOpen() || outbox->wasRemoved() || delivery.syncInterval() <= 0
        || delivery.isHeldBack()) {
        Q_EMIT flushFinished(0, int(outbox->size()));
        return;
    }
    if (!flushing) {
        flushing = true;
        flushDelivered = 0;
    }
    if (!delivery.isInFlight())
        delivery.schedule(0);
}

void QSentrelReporter::checkFlush()
{
    if (!flushing || delivery.isInFlight() || delivery.pendingSync() == 0)
        return;
    flushing = false;
    Q_EMIT flushFinished(std::exchange(flushDelivered, 0), int(outbox->size()));
}

void QSentrelReporter::retryRemovalLater()
{
    delivery.schedule(outbox->removalRetryDelay());
}

void QSentrelReporter::scheduleSync()
{
    // A batch in flight arms the next sync when its answer comes.
    if (!outbox->isOpen() || configuration->syncInterval() <= 0) {
        delivery.stopSync();
        return;
    }
    if (delivery.isInFlight())
        return;

    const QDateTime lastSync = configuration->lastSync();
    if (lastSync.isNull())
        configuration->setLastSync(QDateTime::fromMSecsSinceEpoch(delivery.clock()->now()));
    else
        qCDebug(lcEvents) << "Last sync at" << lastSync
                          << (delivery.clock()->now() - lastSync.toMSecsSinceEpoch()) / 1000
                          << "seconds ago.";
    const qint64 delay = delivery.scheduleFromLastSync(
            lastSync.isNull() ? std::nullopt : std::make_optional(lastSync.toMSecsSinceEpoch()));
    qCInfo(lcEvents) << "Next sync in" << delay / 1000 << "seconds";
}

void QSentrelReporter::fetchRemoteConfig()
{
    SENTREL_ASSERT_THREAD(this);
    const QJsonObject body {
            {QStringLiteral("token"), configuration->token()},
            {QStringLiteral("app_id"), QCoreApplication::applicationName()},
            {QStringLiteral("app_version"), QCoreApplication::applicationVersion()}};
    uploader->fetchRemoteConfig(QJsonDocument(body).toJson(QJsonDocument::Compact),
                                SentrelPrivacy::isAnonymous(),
                                [this](const QByteArray &document) {
                                    configuration->applyConfig(document);
                                });
}

// Events recorded before the person chose anonymity leave without anything that links them to
// the person: the nil identifier, and a session of their own, shared with no event that
// carries an identifier.
QList<QPair<quint64, QByteArray>>
QSentrelReporter::asSent(QList<QPair<quint64, QByteArray>> records, QByteArrayView sessionId)
{
    if (SentrelPrivacy::isAnonymous()) {
        for (auto &record : records) {
            if (!SentrelPrivacy::isAnonymousEvent(record.second))
                SentrelPrivacy::detach(record.second, sessionId);
        }
    }
    return records;
}

namespace {
QJsonArray eventObjects(const QList<QPair<quint64, QByteArray>> &records)
{
    QJsonArray events;
    for (const auto &record : records) {
        const QJsonDocument event = QJsonDocument::fromJson(record.second);
        if (event.isObject())
            events.append(event.object());
    }
    return events;
}
} // namespace

QJsonArray QSentrelReporter::waitingEvents(int maximum)
{
    SENTREL_ASSERT_THREAD(this);
    return eventObjects(asSent(outbox->oldest(maximum), detachedSessionIdJson));
}

QJsonArray QSentrelReporter::cachedEvents(const QSentrelConfigurationPrivate &configuration,
                                          int maximum)
{
    const QByteArray sessionId =
            SentrelPayload::jsonString(QSentrelConfigurationPrivate::newIdentifier());
    return eventObjects(asSent(SentrelOutbox::cachedRows(configuration, maximum), sessionId));
}
