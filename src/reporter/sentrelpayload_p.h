// SPDX-License-Identifier: MIT
#ifndef SENTRELPAYLOAD_P_H
#define SENTRELPAYLOAD_P_H

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

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVariantMap>

#include <optional>

class QSentrelConfigurationPrivate;
class QSentrelEventInterceptor;

// Turns each tracking request into the collector's event: its compact JSON bytes, as they are
// stored and sent, or nothing when the request is refused (with a warning that says why).
//
// Owned by the reporter by value. Made with it on the application's thread, which reads the
// screen there; used on the worker thread only from the reporter's init() on.
class SENTREL_AUTOTEST_EXPORT SentrelPayload
{
public:
    // An event larger than this once written is refused: one such event would hold the
    // memory of many and delay every event behind it.
    static constexpr qsizetype maximumEventSize = 1024 * 1024;

    SentrelPayload();

    void setConfiguration(QSentrelConfigurationPrivate *configuration);

    // text as a JSON string value, quotes included.
    static QByteArray jsonString(const QString &text);

    // The global properties as a JSON object, empty for none; the interceptor, not owned.
    void setGlobalProperties(const QByteArray &json) { globalProperties = json; }
    void setEventInterceptor(QSentrelEventInterceptor *interceptor)
    {
        eventInterceptor = interceptor;
    }

    // A new session starts with the next event. Logs the new identifier.
    void startNewSession();
    QString sessionIdentifier() const { return sessionId; }
    // The context every event of a session carries under a session timeout.
    static constexpr char sessionSchema[] = "iglu:com.tamlor.sentrel/session/jsonschema/1-0-0";

    QByteArray deviceAndAppInfo();
    QByteArray screenView(const QString &screen,
                          const std::optional<SentrelTracker::ContextData<double>> &context);
    QByteArray click(const QString &name,
                     const QString &category,
                     const std::optional<SentrelTracker::ContextData<double>> &context);
    QByteArray capturedEvent(const QString &type,
                             const QString &object,
                             const QString &objectName,
                             const std::optional<SentrelTracker::EventCoordinates> &position,
                             const std::optional<QString> &details,
                             const QString &objectPath = QString());
    // One trigger of an action: its identifier, the route it came by, its state when checkable.
    QByteArray action(const QString &action, const QString &via, std::optional<bool> checked);
    // A freeze of the application's thread that lasted milliseconds.
    QByteArray stall(qint64 milliseconds);
    // The application became active (foreground) or stopped being so; with a session
    // timeout only.
    QByteArray applicationState(bool foreground);
    // A screen left, with its time on screen while the application was active.
    QByteArray screenEnd(const QString &screen, qint64 foregroundMilliseconds);
    QByteArray contextData(const SentrelTracker::ContextData<QString> &data);
    QByteArray dimensionData(const SentrelTracker::ContextData<QString> &data);
    QByteArray typedEvent(const QString &name, const QVariantMap &properties);
    QByteArray selfDescribing(const QString &schema, const QJsonObject &data);
    // The first start of the application for this user account, and a start with another
    // version than the last.
    QByteArray applicationInstall(const QString &version);
    QByteArray applicationUpdate(const QString &version, const QString &previous);
    // The person's change of decision to consent (a QSentrelTracker::Consent) from previous.
    QByteArray consent(int consent, int previous, int version);

private:
    // The contexts envelope of the next event, open for its contexts; finish() closes it and
    // returns the event.
    SentrelJsonWriter &beginContexts();
    QByteArray finish();
    // Under a session timeout (milliseconds): starts a session where one is due, and writes
    // its context.
    void appendSession(SentrelJsonWriter &contexts, QByteArrayView eventId, qint64 timeout);

    QSentrelConfigurationPrivate *configuration = nullptr; // not owned
    QString sessionId;
    QString currentScreen;
    QString screenResolution; // read on the application's thread
    SentrelJsonWriter contextsWriter {1024}; // reused by every event
    SentrelEventIds eventIds;
    // What every event repeats, as its JSON string values.
    QByteArray applicationNameJson;
    QByteArray languageJson;
    QByteArray sessionIdJson;
    QByteArray globalProperties;
    QSentrelEventInterceptor *eventInterceptor = nullptr;
    // Sessions under a timeout, on the steady clock: the last event's time, since when the
    // application is in the background (-1: it is not), and the context of the session in
    // progress (empty until its first event).
    qint64 lastEventAt = -1;
    qint64 backgroundSince = -1;
    QByteArray sessionContext;
    // The envelope after the interceptor saw its contexts; empty when it dropped the event.
    QByteArray intercepted(QByteArrayView envelope);
};

#endif // SENTRELPAYLOAD_P_H
