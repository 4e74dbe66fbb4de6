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

#include "sentreldelivery_p.h"
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
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>

class QLockFile;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
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
    // An event larger than this once written as its JSON payload is refused: one such event
    // would hold the memory of many and delay every event behind it.
    static constexpr qsizetype maximumEventSize = 1024 * 1024;

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
    void trackTypedEvent(const QString &name, const QVariantMap &properties);
    void trackSelfDescribing(const QString &schema, const QJsonObject &data);
    void startNewSession();
    void clearCache();
    // A new session, without the collector's earlier cookies.
    void startNewIdentity();
    // Records the person's change of decision to consent (a QSentrelTracker::Consent) from
    // previous.
    void trackConsent(int consent, int previous, int version);
    // At most maximum waiting events, oldest first, as they would be sent.
    QJsonArray waitingEvents(int maximum);
    // The same from the cache the configuration points at, read-only on the caller's thread
    // (the configuration's), for when no worker runs.
    static QJsonArray cachedEvents(const QSentrelConfigurationPrivate &configuration, int maximum);
    // Aborts the upload and closes the cache for good; with Remove the files of every database
    // opened go before its lock does. Returns those databases, for whatever else of them is to
    // be deleted once the worker is gone.
    enum class CacheFiles {
        Keep,
        Remove
    };
    QStringList closeForGood(CacheFiles files);
    // Deletes the database at path with its companion files; false when one remains.
    // Keep leaves the lock file to the QLockFile that holds it.
    enum class LockFile {
        Keep,
        Remove
    };
    static bool removeCacheFiles(const QString &path, LockFile lock = LockFile::Remove);
    // The database the configuration points at, without making its directory.
    static QString cachePath(const QSentrelConfigurationPrivate &configuration);
    static QString cacheFileIn(const QString &directory);

    // The contexts envelope of the next event, open for its contexts; createUnstructuredEvent()
    // closes it and returns the event's compact JSON bytes, or nothing for an event above
    // maximumEventSize. recordEvent() adds the event it returns.
    SentrelJsonWriter &beginContexts();
    QByteArray createUnstructuredEvent();
    void recordEvent();
    void addEvent(const QByteArray &event);
    void sync();
    void sendToBackend(const QByteArray &body, bool anonymous);
    void fetchRemoteConfig();
    void trackDeviceAndAppInfo();

    // Every request is abandoned as an error after this long, so that a collector that never
    // answers cannot hold the cache back.
    static constexpr int defaultTransferTimeout = 30000;
    // The test-only build of the library lets the tests shorten it through
    // SENTREL_TRANSFER_TIMEOUT_MS; the library that ships reads no such variable.
    static int transferTimeout();

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
    static QString configuredDirectory(const QSentrelConfigurationPrivate &configuration);

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

Q_SIGNALS:
    // The open cache file was removed by another process; this reporter no longer records.
    void cacheRemoved();

private:
    void setupStorage();
    void scheduleSync();
    void handleSendReply(const SentrelDelivery::Batch &batch, QNetworkReply *reply);
    void send(const SentrelDelivery::Batch &batch, const QByteArray &body);
    // Removes rows from the store; on failure caching is turned off.
    bool removeRows(const QSet<quint64> &ids);
    // Whether this process delivers the open cache: one process at a time does, the one that
    // holds its lock file.
    bool deliversThisCache();
    bool lockSender(); // takes the cache's lock file, for the owner only
    // Starts over with a store that no reply in flight may touch.
    void newStoreGeneration();
    void handleRemoteConfigReply(QNetworkReply *reply);
    static QList<QPair<quint64, QByteArray>> asSent(QList<QPair<quint64, QByteArray>> records,
                                                    QByteArrayView sessionId);
    // anonymous: with "SP-Anonymous: *", and no cookie sent or kept.
    QNetworkReply *post(const QUrl &url, const QByteArray &body, bool anonymous);
#if QT_CONFIG(ssl)
    void acceptLocalCertificate(QNetworkReply *reply, const QList<QSslError> &errors);
#endif

    QString applicationName;
    QString sessionId;
    QUrl collectorUrl;
    QUrl remoteConfigUrl;
    QNetworkAccessManager *networkManager; // child of this
    // Empties the write-ahead log a moment after delivered rows were removed, so that their
    // text stays in no file, at most once a second during a drain. Child of this.
    QTimer *scrubTimer;
    // Writes what waits in memory for the cache's lock when its retry is due, whether or not
    // more events come. Child of this.
    QTimer *waitingTimer;
    void retryWaitingEvents();
    // A store that did not open is tried again; offline events wait in memory meanwhile.
    static constexpr qint64 longestOpenRetry = 5 * 60 * 1000;
    static constexpr qint64 maximumHeldBytes = 16 * 1024 * 1024;
    QTimer *openRetry; // child of this
    qint64 openRetryDelay = 0; // ms; 0 while the store opened
    QList<QByteArray> heldEvents;
    qint64 heldBytes = 0;
    qint64 heldLost = 0; // beyond maximumHeldBytes
    void openLater();
    void holdEvent(const QByteArray &event);
    void storeHeldEvents();
    QSentrelConfigurationPrivate *configuration = nullptr; // not owned
    std::unique_ptr<QSentrelStorage> eventStore; // owned; null while caching is off
    std::unique_ptr<QLockFile> senderLock; // of the open cache
    QString currentScreen;
    QString screenResolution; // read on the application's thread
    SentrelJsonWriter contextsWriter {1024}; // reused by every event
    SentrelEventIds eventIds;
    // What every event repeats, as its JSON string values.
    QByteArray applicationNameJson;
    QByteArray languageJson;
    QByteArray sessionIdJson;
    // The session of the events that were cached with an identifier and leave anonymously.
    QByteArray detachedSessionIdJson;
    SentrelDelivery delivery; // child of this: the rules and the schedule
    QNetworkReply *upload = nullptr; // the batch in flight; child of networkManager
    quint64 storeGeneration = 0; // one more for every new store and clearCache
    QSet<quint64> removalPending; // delivered or dropped rows whose removal failed
    qint64 removalRetry = 0; // ms until removing them is tried again
    void retryRemovalLater();
    QStringList storeSettings; // what the open store was made of
    QStringList cachePaths; // every database opened, for closeForGood()
    QString openCachePath; // of eventStore
    bool cacheWithdrawn = false; // removed by another process: nothing more is recorded
    bool cacheWasRemoved();
};

#endif // QSENTRELREPORTER_P_H
