// SPDX-License-Identifier: MIT
#ifndef QSENTRELREPORTER_P_H
#define QSENTRELREPORTER_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentreleventids_p.h"
#include "sentrelglobal_p.h"
#include "sentreljsonwriter_p.h"

#include <SentrelTracker/sentreltrackertypes.h>

#include <QtNetwork/qtnetworkglobal.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QSentrelConfigurationPrivate;
class QSentrelStorage;
class QSslCertificate;
class QSslError;

// Turns tracking requests into collector events, caches them and delivers them in batches.
//
// Created on the application's thread by the tracker core, then moved to the worker thread,
// where init() and every request run. Moved back to the application's thread when the worker
// thread finishes and deleted there by the tracker core.
class SENTREL_AUTOTEST_EXPORT QSentrelReporter : public QObject
{
    Q_OBJECT

public:
    QSentrelReporter();
    ~QSentrelReporter() override;

    void init(QSentrelConfigurationPrivate *configuration);

    void trackScreenView(const QString &screen,
                         const std::optional<SentrelTracker::ContextData<double>> &context);
    void trackClickEvent(const QString &name,
                         const QString &category,
                         const std::optional<SentrelTracker::ContextData<double>> &context);
    void trackEvent(const QString &type,
                    const QString &object,
                    const QString &objectName,
                    const std::optional<SentrelTracker::EventCoordinates> &position,
                    const std::optional<QString> &details);
    void trackContextData(const SentrelTracker::ContextData<QString> &data);
    void trackDimensionData(const SentrelTracker::ContextData<QString> &data);
    void startNewSession();
    void clearCache();

    // The contexts envelope of the next event, open for its contexts; createUnstructuredEvent()
    // closes it and returns the event's compact JSON bytes.
    SentrelJsonWriter &beginContexts();
    QByteArray createUnstructuredEvent();
    void addEvent(const QByteArray &event);
    void sync();
    void sendToBackend(const QSet<quint64> &ids, const QByteArray &body);
    void fetchRemoteConfig();
    void trackDeviceAndAppInfo();

    // Every request is abandoned as an error after this long, so that a collector that never
    // answers cannot hold the cache back.
    static constexpr int defaultTransferTimeout = 30000;
    // Builds with the test suite let the tests shorten it through SENTREL_TRANSFER_TIMEOUT_MS;
    // a shipped library reads no such variable.
    static int transferTimeout();

    // A batch body never grows beyond this (a common limit of proxies); an event larger than
    // that alone goes alone.
    static constexpr qsizetype maximumBatchBytes = 1000000;
    // The batch body of the readable events among records, in their order: at most limit of
    // them, none with an id above upTo, within maximumBatchBytes. Sets ids to the events it
    // holds and unreadable to those that are not JSON objects.
    static QByteArray batchFrom(const QList<QPair<quint64, QByteArray>> &records,
                                qsizetype limit,
                                quint64 upTo,
                                QSet<quint64> *ids,
                                QSet<quint64> *unreadable);
    // The longest wait before another attempt, unless the sync interval is longer.
    static constexpr int maximumBackOffSeconds = 3600;

    QString sessionIdentifier() const { return sessionId; }

    // The events added between the two are written to the cache together.
    void beginBatch();
    void endBatch();

    // At process exit Qt's SQL globals may be gone before the store could close: leave it to
    // the operating system once what it holds is committed.
    void abandonStore();

    // The configured storage directory, or the application's local data location, made if
    // absent; empty, with a warning, when there is none or it cannot be made.
    QString storageDirectory() const;

    // Whether server names this machine, for which a self-signed certificate is accepted.
    static bool isLocalhost(const QString &server);
#if QT_CONFIG(ssl)
    // The errors to ignore for a local collector: all of errors when each is one that the TLS
    // backend named by backend (QSslSocket::activeBackend()) reports for the peer's own
    // self-signed certificate, else none, so that a name mismatch or an expiry still fails.
    static QList<QSslError> localCertificateErrors(const QList<QSslError> &errors,
                                                   const QSslCertificate &peer,
                                                   const QString &backend);
#endif

    // Replies longer than this are abandoned as errors: a collector's answer is small, and a
    // hostile one must not make the application buffer without bound.
    static constexpr qint64 maximumReplySize = 1024 * 1024;

private:
    // What a batch holds: which rows of which store.
    struct Batch
    {
        QSet<quint64> ids;
        quint64 generation = 0; // of the store it was read from
        bool stored = false; // false: one event sent without a store
        QString eventId; // of a batch of one, for the log should it be refused
    };
    enum class Verdict {
        Accepted, // 2xx: the rows go
        Transient, // no answer, 408, 425, 429, 5xx: kept, tried again after a back-off
        Refused, // 400, 413, 422: the data itself; split down to single events
        Setup, // any other status: kept, tried again after a back-off
    };
    static Verdict verdictOf(const QNetworkReply *reply);

    void setupStorage();
    void scheduleSync();
    void scheduleRemoteConfigCheck();
    void handleSendReply(const Batch &batch, QNetworkReply *reply);
    void send(const Batch &batch, const QByteArray &body);
    // Removes rows from the store; on failure caching is turned off.
    bool removeRows(const QSet<quint64> &ids);
    int retryDelay(const QNetworkReply *reply);
    // The next sync after delay milliseconds, unless there is nothing to sync or no upload may
    // start (offline, or a batch in flight).
    void armSync(int delay);
    // Starts over with a store that no reply in flight may touch.
    void newStoreGeneration();
    void handleRemoteConfigReply(QNetworkReply *reply);
    QNetworkReply *post(const QUrl &url, const QByteArray &body);
#if QT_CONFIG(ssl)
    void acceptLocalCertificate(QNetworkReply *reply, const QList<QSslError> &errors);
#endif

    QString applicationName;
    QString sessionId;
    QUrl collectorUrl;
    QUrl remoteConfigUrl;
    QNetworkAccessManager *networkManager; // child of this
    QSentrelConfigurationPrivate *configuration = nullptr; // not owned
    std::unique_ptr<QSentrelStorage> eventStore; // owned; null while caching is off
    QString currentScreen;
    QString screenResolution; // read on the application's thread
    SentrelJsonWriter contextsWriter {1024}; // reused by every event
    SentrelEventIds eventIds;
    // What every event repeats, as its JSON string values.
    QByteArray applicationNameJson;
    QByteArray languageJson;
    QByteArray sessionIdJson;
    QTimer syncTimer; // child of this, single-shot
    QTimer remoteConfigTimer; // child of this, repeating
    QNetworkReply *upload = nullptr; // the batch in flight; child of networkManager
    quint64 storeGeneration = 0; // one more for every new store and clearCache
    int failuresInRow = 0;
    // While the collector refuses a batch's data: batches hold at most splitLimit events and
    // none beyond refusedUpTo, until the rows up to there are gone.
    qint64 splitLimit = 0;
    quint64 refusedUpTo = 0;
};

#endif // QSENTRELREPORTER_P_H
