// SPDX-License-Identifier: MIT
#ifndef QSENTRELQUICKTRACKER_H
#define QSENTRELQUICKTRACKER_H

#include <SentrelTracker/qsentrelconfiguration.h>
#include <SentrelTracker/qsentreltracker.h>

#include <QJSValue>
#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QtQml/qqml.h>

class QSentrelQuickTrackerAttached;

// The interceptor QML installed, shared by every attached object; on the application's thread.
class QSentrelQuickInterceptorHolder : public QObject
{
    Q_OBJECT

public:
    static QSentrelQuickInterceptorHolder *instance();
    QObject *current() const { return object; }
    // Installs interceptor, or none when null; a destroyed one is uninstalled.
    void install(QObject *interceptor);

Q_SIGNALS:
    void changed();

private:
    using QObject::QObject;
    QObject *object = nullptr;
    QMetaObject::Connection destroyedConnection;
};

// Makes the configuration's type known to QML; the object itself belongs to the tracker.
struct QSentrelConfigurationForeign
{
    Q_GADGET
    QML_FOREIGN(QSentrelConfiguration)
    QML_NAMED_ELEMENT(Configuration)
    QML_UNCREATABLE("The configuration belongs to the tracker: use Tracker.configuration.")
};

// The QML face of the process-wide tracker: "Tracker.enabled", "Tracker.transition(...)" and
// "Tracker.category" are read through the attached object of the item that uses them. All
// attached objects drive the one tracker, so Tracker behaves as a singleton whose category
// is each item's own.
class QSentrelQuickTracker : public QObject
{
    Q_OBJECT
    QML_NAMED_ELEMENT(Tracker)
    QML_UNCREATABLE("Tracker is used through its attached properties, as in Tracker.enabled.")
    QML_ATTACHED(QSentrelQuickTrackerAttached)

public:
    // QSentrelTracker's values, read in QML as Tracker.ConsentGranted and so on.
    enum Consent {
        ConsentUndecided = QSentrelTracker::ConsentUndecided,
        ConsentDenied = QSentrelTracker::ConsentDenied,
        ConsentAnonymous = QSentrelTracker::ConsentAnonymous,
        ConsentGranted = QSentrelTracker::ConsentGranted,
    };
    Q_ENUM(Consent)

    static QSentrelQuickTrackerAttached *qmlAttachedProperties(QObject *object);

private:
    using QObject::QObject;
};

// Lives on the thread of the object it is attached to (the application's), which owns it.
// Its properties are QSentrelTracker's: they follow the tracker whoever changes it, C++
// included.
class QSentrelQuickTrackerAttached : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool enabled READ isEnabled WRITE setEnabled NOTIFY enabledChanged FINAL)
    Q_PROPERTY(QSentrelQuickTracker::Consent consent READ consent WRITE setConsent NOTIFY
                       consentChanged FINAL)
    Q_PROPERTY(bool consentRequired READ consentRequired WRITE setConsentRequired NOTIFY
                       consentRequiredChanged FINAL)
    Q_PROPERTY(int consentVersion READ consentVersion WRITE setConsentVersion NOTIFY
                       consentVersionChanged FINAL)
    Q_PROPERTY(QStringList remoteConfigurationScope READ remoteConfigurationScope WRITE
                       setRemoteConfigurationScope NOTIFY remoteConfigurationScopeChanged FINAL)
    Q_PROPERTY(QSentrelConfiguration *configuration READ configuration CONSTANT FINAL)
    Q_PROPERTY(QString category READ category WRITE setCategory NOTIFY categoryChanged FINAL)
    // An object of the application's C++ type implementing QSentrelEventInterceptor; null for
    // none. One for the whole tracker, whichever item's Tracker sets it.
    Q_PROPERTY(QObject *eventInterceptor READ eventInterceptor WRITE setEventInterceptor NOTIFY
                       eventInterceptorChanged FINAL)
    QML_ANONYMOUS

public:
    explicit QSentrelQuickTrackerAttached(QObject *object);

    bool isEnabled() const;
    void setEnabled(bool enabled);
    QSentrelQuickTracker::Consent consent() const;
    void setConsent(QSentrelQuickTracker::Consent consent);
    bool consentRequired() const;
    void setConsentRequired(bool required);
    int consentVersion() const;
    void setConsentVersion(int version);
    QStringList remoteConfigurationScope() const;
    void setRemoteConfigurationScope(const QStringList &items);
    QSentrelConfiguration *configuration() const;
    QObject *eventInterceptor() const;
    void setEventInterceptor(QObject *interceptor);

    // The category of the item it is attached to and of the items inside it that have none
    // of their own. Once set (even to an empty string, which means "no category") it replaces
    // the application's category provider for them.
    QString category() const { return m_category; }
    void setCategory(const QString &category);
    bool hasCategory() const { return categorySet; }

    // The calls of QSentrelTracker. Arguments are checked here, as QML converts anything to a
    // string: a call with wrong types is refused with a QML warning naming it.
    Q_INVOKABLE void transition(const QJSValue &screen,
                                const QJSValue &contextKey = QJSValue(),
                                const QJSValue &contextValue = QJSValue()) const;
    Q_INVOKABLE void interaction(const QJSValue &name,
                                 const QJSValue &second = QJSValue(),
                                 const QJSValue &contextValue = QJSValue(),
                                 const QJSValue &category = QJSValue()) const;
    Q_INVOKABLE void track(const QJSValue &name, const QJSValue &properties = QJSValue()) const;
    Q_INVOKABLE void trackSelfDescribing(const QJSValue &schema, const QJSValue &data) const;
    Q_INVOKABLE void setGlobalProperty(const QJSValue &key,
                                       const QJSValue &value = QJSValue()) const;
    Q_INVOKABLE void removeGlobalProperty(const QJSValue &key) const;
    Q_INVOKABLE void contextData(const QJSValue &key, const QJSValue &value) const;
    Q_INVOKABLE void dimensionData(const QJSValue &key, const QJSValue &value) const;
    Q_INVOKABLE void startNewSession() const;
    Q_INVOKABLE void clearCache() const;
    Q_INVOKABLE void forgetMe() const;
    Q_INVOKABLE void flush() const;
    // Answered by waitingEventsReady() of this attached object only.
    Q_INVOKABLE void requestWaitingEvents(int maximum);

Q_SIGNALS:
    void enabledChanged(bool enabled);
    void consentChanged(QSentrelQuickTracker::Consent consent);
    void consentRequiredChanged(bool required);
    void consentVersionChanged(int version);
    void remoteConfigurationScopeChanged(const QStringList &items);
    void forgetMeFinished(bool ok);
    void flushFinished(int delivered, int waiting);
    void eventsDelivered(int count);
    void eventDropped(const QString &eid);
    // A JavaScript array of the event objects, oldest first.
    void waitingEventsReady(const QJsonArray &events);
    void categoryChanged(const QString &category);
    void eventInterceptorChanged();

private:
    void
    refuse(const char *call, const char *expected, std::initializer_list<QJSValue> arguments) const;

    QString m_category;
    bool categorySet = false;
    // The handle that asks for the waiting events, so that the answer comes back here alone;
    // made on the first request, a child of this object.
    QSentrelTracker *asker = nullptr;
};

#endif // QSENTRELQUICKTRACKER_H
