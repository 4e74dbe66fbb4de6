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

#include "sentrelglobal_p.h"
#include "sentreloutbox_p.h"
#include "sentrelpayload_p.h"
#include "sentreluploader_p.h"

#include <SentrelTracker/sentreltrackertypes.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QSentrelConfigurationPrivate;

// Turns tracking requests into collector events, caches them and delivers them in batches: the
// coordinator of the payload (events as bytes), the outbox (the cache) and the uploader (the
// collector and the rules of delivery).
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
                    const std::optional<QString> &details,
                    const QString &objectPath = QString());
    void trackAction(const QString &action, const QString &via, std::optional<bool> checked);
    void trackStall(qint64 milliseconds);
    void trackApplicationState(bool foreground);
    void trackScreenEnd(const QString &screen, qint64 foregroundMilliseconds);
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
    // Abandons the upload and closes the cache for good; with Remove the files of every
    // database opened go before its lock does. Returns those databases, for whatever else of
    // them is to be deleted once the worker is gone.
    QStringList closeForGood(SentrelOutbox::CacheFiles files);

    QString sessionIdentifier() const { return payload.sessionIdentifier(); }

    // The events added between the two are written to the cache together.
    void beginBatch();
    void endBatch();

    // At process exit Qt's SQL globals may be gone before the store could close: leave it to
    // the operating system once what it holds is committed.
    void abandonStore();

    // What every event recorded from now on carries, and the application's interceptor.
    void setGlobalProperties(const QByteArray &json) { payload.setGlobalProperties(json); }
    void setEventInterceptor(QSentrelEventInterceptor *interceptor)
    {
        payload.setEventInterceptor(interceptor);
    }

    // Sends everything waiting now, whatever the sync interval; flushFinished() tells how it
    // ended. Nothing goes offline or while the collector asked to wait.
    void flush();

    // For tests: the collector reached another way.
    void setTransport(std::unique_ptr<SentrelTransport> transport);

Q_SIGNALS:
    // The open cache was removed by another process; this reporter no longer records.
    void cacheRemoved();
    // The collector accepted count events.
    void eventsDelivered(int count);
    // The rules of delivery gave up on the event eid.
    void eventDropped(const QString &eid);
    // The flush ended: the cache is empty, or the attempt stopped with waiting events left.
    void flushFinished(int delivered, int waiting);

private:
    void record(const QByteArray &event);
    void sync();
    void scheduleSync();
    void answered(const SentrelDelivery::Batch &batch, const SentrelDelivery::Answer &answer);
    void fetchRemoteConfig();
    void retryRemovalLater();
    // Ends a flush once no batch follows at once.
    void checkFlush();
    bool flushing = false;
    int flushDelivered = 0;
    static QList<QPair<quint64, QByteArray>> asSent(QList<QPair<quint64, QByteArray>> records,
                                                    QByteArrayView sessionId);

    QSentrelConfigurationPrivate *configuration = nullptr; // not owned
    SentrelPayload payload;
    SentrelOutbox *outbox; // child of this
    SentrelUploader *uploader; // child of this
    SentrelDelivery &delivery; // the uploader's
    // The session of the events that were cached with an identifier and leave anonymously.
    QByteArray detachedSessionIdJson;
};

#endif // QSENTRELREPORTER_P_H
