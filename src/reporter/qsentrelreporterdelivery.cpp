// SPDX-License-Identifier: MIT
// Delivery of the cached events and the remote configuration fetch.
#include "qsentrelreporter_p.h"

#include "qsentrelconfiguration_p.h"
#include "qsentrelstorage_p.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#if QT_CONFIG(ssl)
#  include <QSslConfiguration>
#  include <QSslError>
#  include <QSslSocket>
#endif
#include <QStandardPaths>
#include <QTimeZone>

#include <algorithm>
#include <limits>
#include <optional>

namespace {

const QByteArray batchSchema =
        QByteArrayLiteral("iglu:com.snowplowanalytics.snowplow/payload_data/jsonschema/1-0-4");
// The stored events are compact JSON objects already: a batch body is put together around them.
const QByteArray batchPrefix = "{\"schema\":\"" + batchSchema + "\",\"data\":[";
const QByteArray batchSuffix = QByteArrayLiteral("]}");

// Timer intervals are whole seconds, never below one second and never beyond what the
// timer's int milliseconds can hold.
int timerInterval(qint64 seconds)
{
    const qint64 milliseconds = seconds > std::numeric_limits<qint64>::max() / 1000
            ? std::numeric_limits<qint64>::max()
            : seconds * 1000;
    return int(std::clamp<qint64>(milliseconds, 1000, std::numeric_limits<int>::max()));
}

QByteArray batchBody(const QByteArray &event)
{
    return batchPrefix + event + batchSuffix;
}

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// Seconds, or an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT").
std::optional<qint64> retryAfterSeconds(const QNetworkReply *reply)
{
    const QByteArray value = reply->rawHeader("Retry-After").trimmed();
    if (value.isEmpty())
        return std::nullopt;
    bool ok = false;
    const qint64 seconds = value.toLongLong(&ok);
    if (ok)
        return seconds >= 0 ? std::make_optional(seconds) : std::nullopt;
    QDateTime date = QLocale::c().toDateTime(QString::fromLatin1(value),
                                             QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!date.isValid())
        return std::nullopt;
    date.setTimeZone(QTimeZone::utc());
    return std::max<qint64>(0, QDateTime::currentDateTimeUtc().secsTo(date));
}

double jitter()
{
    return QRandomGenerator::global()->generateDouble();
}

} // namespace

int QSentrelReporter::transferTimeout()
{
#ifdef SENTREL_DEVELOPER_BUILD
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

QNetworkReply *QSentrelReporter::post(const QUrl &url, const QByteArray &body)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(transferTimeout());
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
    if (eventStore) {
        eventStore->add(event);
        return;
    }
    if (configuration->syncInterval() != 0) {
        qCDebug(lcEvents) << "Storage is not available, sending event immediately.";
        sendToBackend(QSet<quint64> {0}, batchBody(event));
    }
}

void QSentrelReporter::beginBatch()
{
    if (eventStore)
        eventStore->transaction();
}

void QSentrelReporter::endBatch()
{
    if (eventStore)
        eventStore->commit();
}

void QSentrelReporter::abandonStore()
{
    if (eventStore)
        eventStore->commit();
    (void)eventStore.release();
}

void QSentrelReporter::sync()
{
    if (!eventStore || upload)
        return;

    const QList<QPair<quint64, QByteArray>> records =
            eventStore->get(configuration->batchSize(), 0);
    if (splitLimit > 0 && (records.isEmpty() || records.first().first > refusedUpTo))
        splitLimit = 0; // the refused rows are gone
    if (!records.isEmpty()) {
        qCDebug(lcEvents) << eventStore->size() << "events in the cache";
        Batch batch {{}, storeGeneration, true, {}};
        QSet<quint64> unreadable;
        const qsizetype limit = splitLimit > 0 ? splitLimit : records.size();
        const QByteArray body = batchFrom(records,
                                          limit,
                                          splitLimit > 0 ? refusedUpTo : ~quint64(0),
                                          &batch.ids,
                                          &unreadable);
        for (const quint64 id : std::as_const(unreadable))
            qCWarning(lcEvents) << "Dropped an unreadable event from the cache:" << id;
        if (!unreadable.isEmpty() && !removeRows(unreadable))
            return;
        if (batch.ids.isEmpty()) {
            armSync(0); // on with the rows behind the unreadable ones
            return;
        }
        for (const auto &[id, event] : records) {
            if (batch.ids.size() == 1 && batch.ids.contains(id))
                batch.eventId = QJsonDocument::fromJson(event)
                                        .object()
                                        .value(QLatin1String("eid"))
                                        .toString();
        }
        send(batch, body);
        return;
    }

    const QDateTime now = QDateTime::currentDateTime();
    qCInfo(lcEvents) << "All events sent at" << now.toString(Qt::TextDate);
    configuration->setLastSync(now);
    armSync(timerInterval(configuration->syncInterval()));
    if (configuration->remoteConfig() && !remoteConfigTimer.isActive())
        fetchRemoteConfig();
}

QByteArray QSentrelReporter::batchFrom(const QList<QPair<quint64, QByteArray>> &records,
                                       qsizetype limit,
                                       quint64 upTo,
                                       QSet<quint64> *ids,
                                       QSet<quint64> *unreadable)
{
    QByteArray body = batchPrefix;
    for (const auto &[id, event] : records) {
        if (ids->size() >= limit || id > upTo)
            break;
        // Checked, not rebuilt: what is not an object would spoil the whole batch.
        if (!QJsonDocument::fromJson(event).isObject()) {
            unreadable->insert(id);
            continue;
        }
        if (!ids->isEmpty()
            && body.size() + 1 + event.size() + batchSuffix.size() > maximumBatchBytes)
            break;
        if (!ids->isEmpty())
            body += ',';
        body += event;
        ids->insert(id);
    }
    return body + batchSuffix;
}

void QSentrelReporter::sendToBackend(const QSet<quint64> &ids, const QByteArray &body)
{
    send(Batch {ids, storeGeneration, eventStore != nullptr, {}}, body);
}

void QSentrelReporter::send(const Batch &batch, const QByteArray &body)
{
    qCDebug(lcEvents) << "Sending" << batch.ids.size() << "events in" << body.size() << "bytes";
    QNetworkReply *reply = post(collectorUrl, body);
    if (batch.stored) {
        upload = reply;
        syncTimer.stop();
    }
    connect(reply, &QNetworkReply::finished, this, [this, batch, reply] {
        handleSendReply(batch, reply);
    });
}

QSentrelReporter::Verdict QSentrelReporter::verdictOf(const QNetworkReply *reply)
{
    const int status = httpStatus(reply);
    // A 2xx is the collector's word that it has the events, even if the reply broke off later.
    if ((status >= 200 && status < 300) || reply->error() == QNetworkReply::NoError)
        return Verdict::Accepted;
    if (status == 0 || status == 408 || status == 425 || status == 429 || status >= 500)
        return Verdict::Transient;
    if (status == 400 || status == 413 || status == 422)
        return Verdict::Refused;
    return Verdict::Setup;
}

void QSentrelReporter::handleSendReply(const Batch &batch, QNetworkReply *reply)
{
    reply->deleteLater();
    const Verdict verdict = verdictOf(reply);
    if (verdict == Verdict::Accepted)
        qCDebug(lcEvents) << "Events have been sent successfully.";
    else // misspelt on purpose: the log text is fixed and tests pin it
        qCWarning(lcEvents) << "Failed to sent events:" << httpStatus(reply)
                            << reply->errorString();
    if (!batch.stored)
        return; // without a store there is nothing to keep or to send again
    if (upload == reply)
        upload = nullptr;

    // After clearCache() or with another store the ids may name other events by now.
    const bool sameRows = eventStore && batch.generation == storeGeneration;
    if (!sameRows)
        qCDebug(lcEvents) << "The cache changed while the batch was sent; nothing removed";
    int delay = 0;
    switch (verdict) {
    case Verdict::Accepted:
        failuresInRow = 0;
        if (sameRows && !removeRows(batch.ids))
            return;
        break;
    case Verdict::Refused:
        failuresInRow = 0; // the collector is there; it is the data it will not take
        if (!sameRows)
            break;
        if (batch.ids.size() > 1) {
            splitLimit = (batch.ids.size() + 1) / 2;
            refusedUpTo =
                    std::max(refusedUpTo, *std::max_element(batch.ids.cbegin(), batch.ids.cend()));
            break;
        }
        qCWarning(lcEvents) << "Dropped an event that the collector refused:" << batch.eventId
                            << httpStatus(reply);
        if (!removeRows(batch.ids))
            return;
        break;
    case Verdict::Transient:
    case Verdict::Setup:
        delay = retryDelay(reply);
        break;
    }
    armSync(delay);
}

bool QSentrelReporter::removeRows(const QSet<quint64> &ids)
{
    if (eventStore->remove(ids))
        return true;
    qCCritical(lcEvents) << "Failed to remove events from storage, disable event caching";
    eventStore.reset();
    syncTimer.stop();
    return false;
}

int QSentrelReporter::retryDelay(const QNetworkReply *reply)
{
    const qint64 interval = std::max(1, configuration->syncInterval());
    const qint64 cap = std::max<qint64>(interval, maximumBackOffSeconds);
    const int doublings = std::min(failuresInRow, 30);
    ++failuresInRow;
    // Jittered, so that clients that failed together do not come back together.
    double seconds = double(std::min(cap, interval << doublings)) * (0.8 + 0.4 * jitter());
    const int status = httpStatus(reply);
    if (status == 429 || status == 503) {
        // Never earlier than asked, and spread a little later than that.
        if (const std::optional<qint64> after = retryAfterSeconds(reply))
            seconds = std::max(seconds, double(std::min(cap, *after)) * (1.0 + 0.2 * jitter()));
    }
    return int(std::clamp(seconds * 1000.0, 1000.0, double(std::numeric_limits<int>::max())));
}

void QSentrelReporter::armSync(int delay)
{
    if (eventStore && !upload && configuration->syncInterval() > 0)
        syncTimer.start(delay);
}

void QSentrelReporter::newStoreGeneration()
{
    ++storeGeneration;
    splitLimit = 0;
    refusedUpTo = 0;
}

void QSentrelReporter::scheduleSync()
{
    syncTimer.stop();
    const int interval = configuration->syncInterval();
    // A batch in flight arms the timer when its reply comes.
    if (!eventStore || interval <= 0 || upload)
        return;

    syncTimer.setSingleShot(true);
    qint64 seconds = interval;
    const QDateTime lastSync = configuration->lastSync();
    const QDateTime now = QDateTime::currentDateTime();
    if (lastSync.isNull()) {
        configuration->setLastSync(now);
    } else {
        const qint64 elapsed = lastSync.secsTo(now);
        qCDebug(lcEvents) << "Last sync at" << lastSync << elapsed << "seconds ago.";
        seconds = qint64(interval) - elapsed;
    }
    syncTimer.start(timerInterval(seconds));
    // The interval just armed, in whole seconds: the remaining time has already lost a
    // millisecond or two, which would turn a one-second delay into "0".
    qCInfo(lcEvents) << "Next sync in" << syncTimer.interval() / 1000 << "seconds";
}

void QSentrelReporter::setupStorage()
{
    newStoreGeneration();
    const QString directory = storageDirectory();
    if (directory.isEmpty()) {
        qCWarning(lcStorage) << "Failed to open storage, caching will be disabled.";
        eventStore.reset();
        return;
    }
    const QString path = QStringLiteral("%1/SentrelTracker.db").arg(directory);

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
        qCWarning(lcStorage) << "Failed to open storage, caching will be disabled.";
        eventStore.reset();
    }
}

void QSentrelReporter::clearCache()
{
    if (!eventStore)
        return;
    // Ids start again at 1: a reply in flight must not remove the events recorded next.
    newStoreGeneration();
    eventStore->removeAll();
}

void QSentrelReporter::scheduleRemoteConfigCheck()
{
    remoteConfigTimer.stop();
    const bool enabled = configuration->remoteConfig();
    const int interval = configuration->remoteConfigInterval();
    if (enabled && interval > 0) {
        remoteConfigTimer.setSingleShot(false);
        remoteConfigTimer.setInterval(timerInterval(interval));
        remoteConfigTimer.start();
        qCInfo(lcConfig) << "Next remote configuration check in"
                         << remoteConfigTimer.remainingTime() / 1000 << "seconds";
    } else if (!enabled) {
        qCInfo(lcConfig) << "Remote configuration check is disabled";
    }
}

void QSentrelReporter::fetchRemoteConfig()
{
    qCDebug(lcConfig) << "Checking for remote configurations";
    const QJsonObject body {
            {QStringLiteral("token"), configuration->token()},
            {QStringLiteral("app_id"), applicationName},
            {QStringLiteral("app_version"), QCoreApplication::applicationVersion()}};
    QNetworkReply *reply =
            post(remoteConfigUrl, QJsonDocument(body).toJson(QJsonDocument::Compact));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        handleRemoteConfigReply(reply);
    });
}

void QSentrelReporter::handleRemoteConfigReply(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError) {
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
