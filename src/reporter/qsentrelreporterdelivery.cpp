// SPDX-License-Identifier: MIT
// Delivery of the cached events and the remote configuration fetch.
#include "qsentrelreporter_p.h"

#include "qsentrelconfiguration_p.h"
#include "qsentrelstorage_p.h"
#include "sentrelfiles_p.h"
#include "sentrelprivacy_p.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#if QT_CONFIG(ssl)
#  include <QSslConfiguration>
#  include <QSslError>
#  include <QSslSocket>
#endif
#include <QStandardPaths>
#include <QTemporaryFile>

#include <optional>
#include <utility>

namespace {

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

std::optional<qint64> lastSyncOf(const QDateTime &lastSync)
{
    return lastSync.isNull() ? std::nullopt : std::make_optional(lastSync.toMSecsSinceEpoch());
}

} // namespace

int QSentrelReporter::transferTimeout()
{
#ifdef SENTREL_TESTING_LIBRARY
    bool ok = false;
    const int timeout = qEnvironmentVariableIntValue("SENTREL_TRANSFER_TIMEOUT_MS", &ok);
    if (ok && timeout > 0)
        return timeout;
#endif
    return defaultTransferTimeout;
}

#if QT_CONFIG(ssl)
void QSentrelReporter::acceptLocalCertificate(QNetworkReply *reply, const QList<QSslError> &errors)
{
    if (reply->url().host() != QLatin1String("localhost"))
        return;
    // The exact errors, so that any other one found later still fails the request.
    const QList<QSslError> expected =
            localCertificateErrors(errors,
                                   reply->sslConfiguration().peerCertificate(),
                                   QSslSocket::activeBackend());
    if (!expected.isEmpty())
        reply->ignoreSslErrors(expected);
}
#endif

QNetworkReply *QSentrelReporter::post(const QUrl &url, const QByteArray &body, bool anonymous)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(transferTimeout());
    // Following a redirect turns the POST into a bodiless GET on 301 to 303, whose 200 would
    // pass for an acceptance, and would send the token where the server item does not point:
    // neither the upload nor the remote configuration fetch follows one.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // Decided by what the request carries: a batch holds anonymous events only or identified
    // ones only, and the anonymous ones never carry or take a cookie.
    if (anonymous) {
        request.setRawHeader("SP-Anonymous", "*");
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    }
    QNetworkReply *reply = networkManager->post(request, body);
    // Checked on every chunk as it arrives: the progress signal is throttled, and its last
    // emission comes when the reply has already finished and can no longer be abandoned.
    connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > maximumReplySize)
            reply->abort();
    });
    return reply;
}

void QSentrelReporter::addEvent(const QByteArray &event)
{
    SENTREL_ASSERT_THREAD(this);
    if (cacheWithdrawn)
        return; // the decision that removed it is in force, or about to be
    if (eventStore) {
        eventStore->add(event);
        retryWaitingEvents();
        return;
    }
    if (configuration->syncInterval() == 0 && openRetryDelay != 0) {
        holdEvent(event);
        return;
    }
    if (configuration->syncInterval() != 0) {
        qCDebug(lcEvents) << "Storage is not available, sending event immediately.";
        sendToBackend(SentrelDelivery::batchOf(event), SentrelPrivacy::isAnonymousEvent(event));
    }
}

// Another process of the application removed the cache (the person withdrew consent or asked
// to be forgotten there): nothing more goes into it, comes out of it or leaves with it, not
// even what is on its way. The tracker core then follows the decision.
bool QSentrelReporter::cacheWasRemoved()
{
    if (cacheWithdrawn)
        return true;
    if (!eventStore || openCachePath.isEmpty() || QFileInfo::exists(openCachePath))
        return false;
    qCInfo(lcStorage) << "The cache was removed by another process:" << openCachePath;
    cacheWithdrawn = true;
    closeForGood(CacheFiles::Keep); // they may already be another process's new ones
    Q_EMIT cacheRemoved();
    return true;
}

void QSentrelReporter::beginBatch()
{
    SENTREL_ASSERT_THREAD(this);
    if (cacheWasRemoved())
        return;
    if (eventStore)
        eventStore->transaction();
}

void QSentrelReporter::endBatch()
{
    SENTREL_ASSERT_THREAD(this);
    if (eventStore)
        eventStore->commit();
    retryWaitingEvents();
}

// A full disk or a folder that cannot be written yet is a passing state: the store is tried
// again with a back-off, and offline events wait in memory meanwhile (online ones are sent as
// they come, as without a cache).
void QSentrelReporter::openLater()
{
    const qint64 delay = std::clamp<qint64>(openRetryDelay * 2, 1000, longestOpenRetry);
    if (openRetryDelay == 0)
        qCInfo(lcStorage) << "Opening the storage is tried again, first in" << delay / 1000
                          << "seconds; events wait in memory until then";
    openRetryDelay = delay;
    openRetry->start(std::chrono::milliseconds(delay));
}

void QSentrelReporter::holdEvent(const QByteArray &event)
{
    if (heldBytes + event.size() > maximumHeldBytes) {
        ++heldLost;
        return;
    }
    heldEvents.append(event);
    heldBytes += event.size();
}

void QSentrelReporter::storeHeldEvents()
{
    openRetry->stop();
    if (std::exchange(openRetryDelay, 0) == 0)
        return;
    eventStore->transaction();
    for (const QByteArray &event : std::as_const(heldEvents))
        eventStore->add(event);
    eventStore->commit();
    qCWarning(lcStorage) << "The storage opened; events kept in memory:" << heldEvents.size()
                         << "lost:" << heldLost;
    heldEvents.clear();
    heldBytes = 0;
    heldLost = 0;
}

void QSentrelReporter::retryWaitingEvents()
{
    const qint64 due = eventStore ? eventStore->waitingRetryIn() : -1;
    if (due < 0)
        waitingTimer->stop();
    else if (!waitingTimer->isActive())
        waitingTimer->start(std::chrono::milliseconds(due));
}

void QSentrelReporter::abandonStore()
{
    SENTREL_ASSERT_THREAD(this);
    if (eventStore)
        eventStore->commit();
    (void)eventStore.release();
}

bool QSentrelReporter::deliversThisCache()
{
    if (!senderLock || senderLock->isLocked() || lockSender())
        return true;
    // No lock file to be had at all (a read-only folder, say): deliver all the same, since
    // ids that are never reused keep another process's rows safe.
    return senderLock->error() != QLockFile::LockFailedError;
}

void QSentrelReporter::sync()
{
    SENTREL_ASSERT_THREAD(this);
    if (!eventStore || !delivery.mayStart() || cacheWasRemoved())
        return;
    if (!deliversThisCache()) {
        // Another process of the application holds the cache: it delivers what this one
        // records, and this one takes over when it has gone.
        qCDebug(lcEvents) << "Another process delivers the events of this cache";
        delivery.schedule(qint64(configuration->syncInterval()) * 1000);
        return;
    }

    if (!removalPending.isEmpty() && !removeRows({})) {
        retryRemovalLater();
        return;
    }

    SentrelDelivery::Composition next;
    if (delivery.wantsProbe()) {
        const quint64 rows = eventStore->size();
        const QList<QPair<quint64, QByteArray>> newest = rows > 0
                ? eventStore->get(1, qint64(rows - 1))
                : QList<QPair<quint64, QByteArray>>();
        if (!newest.isEmpty())
            next = delivery.probe(asSent(newest, detachedSessionIdJson).first(), storeGeneration);
    } else {
        const qsizetype batchSize = configuration->batchSize();
        const QList<QPair<quint64, QByteArray>> records =
                asSent(eventStore->get(batchSize + delivery.setAside(), 0), detachedSessionIdJson);
        if (!records.isEmpty())
            qCDebug(lcEvents) << eventStore->size() << "events in the cache";
        next = delivery.compose(records, batchSize, storeGeneration);
    }
    for (const quint64 id : std::as_const(next.unreadable))
        qCWarning(lcEvents) << "Dropped an unreadable event from the cache:" << id;
    if (!next.unreadable.isEmpty() && !removeRows(next.unreadable)) {
        retryRemovalLater();
        return;
    }
    if (!next.batch.ids.isEmpty()) {
        send(next.batch, next.body);
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
    if (eventStore->readFailed()) {
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

void QSentrelReporter::sendToBackend(const QByteArray &body, bool anonymous)
{
    SENTREL_ASSERT_THREAD(this);
    qCDebug(lcEvents) << "Sending 1 events in" << body.size() << "bytes";
    QNetworkReply *reply = post(collectorUrl, body, anonymous);
    connect(reply, &QNetworkReply::finished, this, [reply] {
        reply->deleteLater();
        const int status = httpStatus(reply);
        if (SentrelDelivery::verdictOf(status) == SentrelDelivery::Verdict::Accepted)
            qCDebug(lcEvents) << "Events have been sent successfully.";
        else // misspelt on purpose: the log text is fixed and tests pin it
            qCWarning(lcEvents) << "Failed to sent events:" << status << reply->errorString();
    });
}

void QSentrelReporter::send(const SentrelDelivery::Batch &batch, const QByteArray &body)
{
    qCDebug(lcEvents) << "Sending" << batch.ids.size() << "events in" << body.size() << "bytes";
    QNetworkReply *reply = post(collectorUrl, body, batch.anonymous);
    upload = reply;
    delivery.sent(batch);
    connect(reply, &QNetworkReply::finished, this, [this, batch, reply] {
        handleSendReply(batch, reply);
    });
}

void QSentrelReporter::handleSendReply(const SentrelDelivery::Batch &batch, QNetworkReply *reply)
{
    reply->deleteLater();
    if (upload == reply)
        upload = nullptr;

    SentrelDelivery::Answer answer;
    answer.status = httpStatus(reply);
    answer.retryAfter = reply->rawHeader("Retry-After");
    answer.location = reply->rawHeader("Location");
    answer.error = reply->errorString();
    const SentrelDelivery::Verdict verdict = SentrelDelivery::verdictOf(answer.status);
    if (verdict == SentrelDelivery::Verdict::Accepted) {
        qCDebug(lcEvents) << "Events have been sent successfully.";
    } else if (answer.status >= 100 && answer.status < 400) {
        // Qt reports no error for these, yet nothing was delivered.
        qCWarning(lcEvents) << "Failed to sent events:" << answer.status
                            << (answer.location.isEmpty()
                                        ? QStringLiteral("an answer that is not an acceptance")
                                        : QStringLiteral("redirected to %1")
                                                  .arg(QString::fromLatin1(answer.location)));
    } else {
        qCWarning(lcEvents) << "Failed to sent events:" << answer.status << answer.error;
    }

    // After clearCache() or with another store the ids may name other events by now.
    const bool sameRows = eventStore && batch.generation == storeGeneration;
    if (!sameRows)
        qCDebug(lcEvents) << "The cache changed while the batch was sent; nothing removed";
    const SentrelDelivery::Outcome outcome = delivery.answered(batch, answer, sameRows);
    if (outcome != SentrelDelivery::Outcome::Keep && sameRows)
        removeRows(batch.ids);
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
    if (!eventStore || maximum <= 0)
        return QJsonArray();
    return eventObjects(asSent(eventStore->get(maximum, 0), detachedSessionIdJson));
}

QJsonArray QSentrelReporter::cachedEvents(const QSentrelConfigurationPrivate &configuration,
                                          int maximum)
{
    const QString path = cachePath(configuration);
    if (maximum <= 0 || path.isEmpty())
        return QJsonArray();
    // With caching off nothing in a file there would leave.
    std::unique_ptr<QSentrelStorage> cache =
            QSentrelStorage::create(configuration.storageType(), path, 0);
    if (!cache || !cache->openReadOnly())
        return QJsonArray();
    const QByteArray sessionId =
            '"' + QSentrelConfigurationPrivate::newIdentifier().toLatin1() + '"';
    return eventObjects(asSent(cache->get(maximum, 0), sessionId));
}

QStringList QSentrelReporter::closeForGood(CacheFiles files)
{
    SENTREL_ASSERT_THREAD(this);
    if (upload) {
        // Abandoned on purpose: its answer is neither awaited nor a failure to report.
        QNetworkReply *inFlight = std::exchange(upload, nullptr);
        disconnect(inFlight, nullptr, this, nullptr);
        inFlight->abort();
        inFlight->deleteLater();
    }
    delivery.stopSync();
    newStoreGeneration();
    eventStore.reset();
    // Before the lock goes: another process that takes it next must find no file to deliver
    // from. The lock file itself goes with the lock.
    if (files == CacheFiles::Remove) {
        for (const QString &path : std::as_const(cachePaths))
            removeCacheFiles(path, LockFile::Keep);
    }
    senderLock.reset();
    return cachePaths;
}

bool QSentrelReporter::removeCacheFiles(const QString &path, LockFile lock)
{
    bool removed = true;
    QStringList files {path};
    for (const QLatin1StringView suffix : QSentrelStorage::companionSuffixes)
        files.append(path + suffix);
    if (lock == LockFile::Remove)
        files.append(path + QLatin1String(".lock")); // senderLock's
    for (const QString &file : std::as_const(files)) {
        QFileInfo info(file);
        if (!info.exists() && !info.isSymLink())
            continue;
        if (!QFile::remove(file)) {
            qCWarning(lcStorage) << "Could not remove" << file;
            removed = false;
        }
    }
    // Damaged caches set aside for inspection hold events as well; what stood at the path and
    // was never a file of ours (a directory) is left.
    const QFileInfo cache(path);
    const QDir directory = cache.dir();
    const QStringList aside = directory.entryList({cache.fileName() + QStringLiteral(".damaged-*")},
                                                  QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : aside) {
        if (!QFile::remove(directory.filePath(name))) {
            qCWarning(lcStorage) << "Could not remove" << directory.filePath(name);
            removed = false;
        }
    }
    return removed;
}

QString QSentrelReporter::cachePath(const QSentrelConfigurationPrivate &configuration)
{
    const QString directory = configuredDirectory(configuration);
    return directory.isEmpty() ? QString() : cacheFileIn(directory);
}

QString QSentrelReporter::cacheFileIn(const QString &directory)
{
    return directory + QLatin1Char('/') + QSentrelStorage::cacheFileName;
}

// A failed removal (a disk briefly full) keeps the cache: the rows wait to be removed, and no
// new batch goes before they are, so that none of them is sent twice.
bool QSentrelReporter::removeRows(const QSet<quint64> &ids)
{
    QSet<quint64> rows = removalPending;
    rows.unite(ids);
    if (eventStore->remove(rows)) {
        if (!removalPending.isEmpty())
            qCInfo(lcEvents) << "Removed the delivered events from storage after all";
        removalPending.clear();
        removalRetry = 0;
        if (!scrubTimer->isActive())
            scrubTimer->start();
        return true;
    }
    if (removalPending.isEmpty())
        qCWarning(lcEvents) << "Failed to remove events from storage, trying again before the "
                               "next batch";
    removalPending = rows;
    return false;
}

void QSentrelReporter::retryRemovalLater()
{
    // Doubling up to a minute: the disk may take a while to have room again.
    removalRetry = qBound(qint64(1000), removalRetry * 2, qint64(60000));
    delivery.schedule(removalRetry);
}

void QSentrelReporter::newStoreGeneration()
{
    ++storeGeneration;
    removalPending.clear(); // ids of the store that went
    removalRetry = 0;
    delivery.forgetRows();
}

void QSentrelReporter::scheduleSync()
{
    // A batch in flight arms the next sync when its answer comes.
    if (!eventStore || configuration->syncInterval() <= 0) {
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
    const qint64 delay = delivery.scheduleFromLastSync(lastSyncOf(lastSync));
    qCInfo(lcEvents) << "Next sync in" << delay / 1000 << "seconds";
}

void QSentrelReporter::setupStorage()
{
    newStoreGeneration();
    senderLock.reset();
    const QString directory = storageDirectory();
    if (directory.isEmpty()) {
        if (openRetryDelay == 0) // once, not at every retry
            qCWarning(lcStorage) << "Failed to open storage, caching will be disabled.";
        eventStore.reset();
        openLater();
        return;
    }
    // SQLite makes its log beside the file: a folder nobody may write to holds no cache, and
    // events go to the collector as they come.
    if (!QTemporaryFile(directory + QStringLiteral("/.SentrelTracker-XXXXXX")).open()) {
        if (openRetryDelay == 0) // once, not at every retry
            qCWarning(lcStorage)
                    << "The storage folder cannot be written, caching will be disabled:"
                    << directory;
        eventStore.reset();
        openLater();
        return;
    }
    const QString path = cacheFileIn(directory);
    if (!cachePaths.contains(path))
        cachePaths.append(path);
    openCachePath.clear();

    const QString type = configuration->storageType();
    std::unique_ptr<QSentrelStorage> store =
            QSentrelStorage::create(type, path, configuration->storageSize());

    if (!store) {
        if (type.isEmpty())
            qCInfo(lcStorage) << "An empty storage type is specified, caching will be disabled.";
        else
            qCWarning(lcStorage) << type
                                 << "is not a valid storage type, caching will be disabled.";
        eventStore.reset();
        return;
    }

    // The stores share one connection name: the old one must be gone before the new one opens.
    eventStore = std::move(store);
    qCDebug(lcStorage) << "Using" << type << "event storage:" << path;
    if (!eventStore->open()) {
        if (openRetryDelay == 0) // once, not at every retry
            qCWarning(lcStorage) << "Failed to open storage, caching will be disabled.";
        eventStore.reset();
        openLater();
        return;
    }
    openCachePath = path;
    storeHeldEvents();
    senderLock = std::make_unique<QLockFile>(path + QLatin1String(".lock"));
    senderLock->setStaleLockTime(0); // held for as long as the process runs; a dead one's is stale
}

// The lock file is made by QLockFile with the umask's mode.
bool QSentrelReporter::lockSender()
{
    if (!senderLock->tryLock(0))
        return false;
    SentrelFiles::makePrivateFile(senderLock->fileName());
    return true;
}

void QSentrelReporter::clearCache()
{
    SENTREL_ASSERT_THREAD(this);
    if (!eventStore)
        return;
    // A reply in flight must not remove the events recorded next.
    newStoreGeneration();
    eventStore->removeAll();
}

void QSentrelReporter::fetchRemoteConfig()
{
    SENTREL_ASSERT_THREAD(this);
    qCDebug(lcConfig) << "Checking for remote configurations";
    const QJsonObject body {
            {QStringLiteral("token"), configuration->token()},
            {QStringLiteral("app_id"), applicationName},
            {QStringLiteral("app_version"), QCoreApplication::applicationVersion()}};
    QNetworkReply *reply = post(remoteConfigUrl,
                                QJsonDocument(body).toJson(QJsonDocument::Compact),
                                SentrelPrivacy::isAnonymous());
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        handleRemoteConfigReply(reply);
    });
}

void QSentrelReporter::handleRemoteConfigReply(QNetworkReply *reply)
{
    const int status = httpStatus(reply);
    if (reply->error() != QNetworkReply::NoError
        || SentrelDelivery::verdictOf(status) != SentrelDelivery::Verdict::Accepted) {
        qCWarning(lcConfig) << "Failed to fetch remote configuration:" << httpStatus(reply)
                            << reply->errorString();
    } else if (reply->bytesAvailable() > maximumReplySize) {
        qCWarning(lcConfig) << "Failed to fetch remote configuration:" << httpStatus(reply)
                            << QStringLiteral("Reply larger than %1 bytes").arg(maximumReplySize);
    } else {
        configuration->applyConfig(reply->readAll());
    }
    reply->deleteLater();
}
