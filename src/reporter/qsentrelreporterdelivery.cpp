// Delivery of the cached events and the remote configuration fetch.
#include "qsentrelreporter_p.h"

#include "qsentrelconfiguration_p.h"
#include "qsentrelstorage_p.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslError>
#include <QStandardPaths>

#include <algorithm>
#include <limits>

namespace {

const QString batchSchema = QStringLiteral("iglu:com.snowplowanalytics.snowplow/payload_data/jsonschema/1-0-4");

// Timer intervals are whole seconds, never below one second and never beyond what the
// timer's int milliseconds can hold.
int timerInterval(qint64 seconds)
{
    const qint64 milliseconds = seconds > std::numeric_limits<qint64>::max() / 1000 ? std::numeric_limits<qint64>::max()
                                                                                      : seconds * 1000;
    return int(std::clamp<qint64>(milliseconds, 1000, std::numeric_limits<int>::max()));
}

QByteArray batchBody(const QJsonArray &events)
{
    const QJsonObject batch{{QStringLiteral("schema"), batchSchema}, {QStringLiteral("data"), events}};
    return QJsonDocument(batch).toJson(QJsonDocument::Compact);
}

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

int QSentrelReporter::transferTimeout()
{
    bool ok = false;
    const int timeout = qEnvironmentVariableIntValue("SENTREL_TRANSFER_TIMEOUT_MS", &ok);
    return ok && timeout > 0 ? timeout : defaultTransferTimeout;
}

void QSentrelReporter::acceptLocalCertificate(QNetworkReply *reply, const QList<QSslError> &errors)
{
    if (!errors.isEmpty() && errors.first().error() == QSslError::SelfSignedCertificate)
        reply->ignoreSslErrors();
}

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

void QSentrelReporter::addEvent(const QJsonArray &contexts)
{
    const QJsonObject event = createUnstructuredEvent(contexts);
    qCDebug(lcEvents) << "New event" << event;

    if (eventStore) {
        eventStore->add(QJsonDocument(event).toJson(QJsonDocument::Compact));
        return;
    }
    if (configuration->syncInterval() != 0) {
        qCDebug(lcEvents) << "Storage is not available, sending event immediately.";
        sendToBackend(QSet<quint64>{0}, batchBody(QJsonArray{event}));
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
    if (!eventStore)
        return;

    const QList<QPair<quint64, QByteArray>> records = eventStore->get(configuration->batchSize(), 0);
    if (!records.isEmpty()) {
        qCDebug(lcEvents) << eventStore->size() << "events in the cache";
        QJsonArray events;
        QSet<quint64> ids;
        ids.reserve(records.size());
        for (const auto &record : records) {
            events.append(QJsonDocument::fromJson(record.second).object());
            ids.insert(record.first);
        }
        sendToBackend(ids, batchBody(events));
        return;
    }

    const QDateTime now = QDateTime::currentDateTime();
    qCInfo(lcEvents) << "All events sent at" << now.toString(Qt::TextDate);
    configuration->setLastSync(now);
    syncTimer.start(timerInterval(configuration->syncInterval()));
    if (configuration->remoteConfig() && !remoteConfigTimer.isActive())
        fetchRemoteConfig();
}

void QSentrelReporter::sendToBackend(const QSet<quint64> &ids, const QByteArray &body)
{
    qCDebug(lcEvents) << "Sending" << ids.size() << "events in" << body.size() << "bytes";
    QNetworkReply *reply = post(collectorUrl, body);
    connect(reply, &QNetworkReply::finished, this, [this, ids, reply] { handleSendReply(ids, reply); });
}

void QSentrelReporter::handleSendReply(const QSet<quint64> &ids, QNetworkReply *reply)
{
    int delay = 0;
    if (reply->error() != QNetworkReply::NoError) {
        // Misspelt on purpose: the log text is fixed and tests pin it.
        qCWarning(lcEvents) << "Failed to sent events:" << httpStatus(reply) << reply->errorString();
        delay = timerInterval(configuration->syncInterval());
    } else {
        qCDebug(lcEvents) << "Events have been sent successfully.";
        if (eventStore && !eventStore->remove(ids)) {
            qCCritical(lcEvents) << "Failed to remove events from storage, disable event caching";
            eventStore.reset();
            syncTimer.stop();
        }
    }
    reply->deleteLater();
    if (eventStore)
        syncTimer.start(delay);
}

void QSentrelReporter::scheduleSync()
{
    syncTimer.stop();
    const int interval = configuration->syncInterval();
    if (!eventStore || interval <= 0)
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
    QString directory = configuration->storagePath();
    if (directory.isEmpty())
        directory = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(directory);
    const QString path = QStringLiteral("%1/SentrelTracker.db").arg(directory);

    const QString type = configuration->storageType();
    std::unique_ptr<QSentrelStorage> store = QSentrelStorage::create(type, path, configuration->storageSize());

    if (!store) {
        if (type.isEmpty())
            qCInfo(lcStorage) << "An empty storage type is specified, caching will be disabled.";
        else
            qCWarning(lcStorage) << type << "is not a valid storage type, caching will be disabled.";
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
    if (eventStore)
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
        qCInfo(lcConfig) << "Next remote configuration check in" << remoteConfigTimer.remainingTime() / 1000
                         << "seconds";
    } else if (!enabled) {
        qCInfo(lcConfig) << "Remote configuration check is disabled";
    }
}

void QSentrelReporter::fetchRemoteConfig()
{
    qCDebug(lcConfig) << "Checking for remote configurations";
    const QJsonObject body{{QStringLiteral("token"), configuration->token()},
                           {QStringLiteral("app_id"), applicationName},
                           {QStringLiteral("app_version"), QCoreApplication::applicationVersion()}};
    QNetworkReply *reply = post(remoteConfigUrl, QJsonDocument(body).toJson(QJsonDocument::Compact));
    connect(reply, &QNetworkReply::finished, this, [this, reply] { handleRemoteConfigReply(reply); });
}

void QSentrelReporter::handleRemoteConfigReply(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError) {
        qCWarning(lcConfig) << "Failed to fetch remote configuration:" << httpStatus(reply) << reply->errorString();
    } else if (reply->bytesAvailable() > maximumReplySize) {
        qCWarning(lcConfig) << "Failed to fetch remote configuration:" << httpStatus(reply)
                            << QStringLiteral("Reply larger than %1 bytes").arg(maximumReplySize);
    } else {
        configuration->applyConfig(reply->readAll());
    }
    reply->deleteLater();
}
