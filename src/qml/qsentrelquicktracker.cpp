// SPDX-License-Identifier: MIT
#include "qsentrelquicktracker.h"

#include <SentrelTracker/qsentreleventinterceptor.h>
#include <SentrelTracker/qsentreltracker.h>

#include <QJsonObject>
#include <QQmlEngine>
#include <QQmlInfo>
#include <QStringList>

#include <cmath>

namespace {

// The facade holds no state; one is as good as any other.
QSentrelTracker &tracker()
{
    static QSentrelTracker facade;
    return facade;
}

QString typeOf(const QJSValue &value)
{
    if (value.isUndefined())
        return QStringLiteral("undefined");
    if (value.isNull())
        return QStringLiteral("null");
    if (value.isString())
        return QStringLiteral("string");
    if (value.isNumber())
        return QStringLiteral("number");
    if (value.isBool())
        return QStringLiteral("bool");
    if (value.isCallable())
        return QStringLiteral("function");
    if (value.isArray())
        return QStringLiteral("array");
    return QStringLiteral("object");
}

// A number the payload can carry: NaN and the infinities have no JSON form.
bool isFiniteNumber(const QJSValue &value)
{
    return value.isNumber() && std::isfinite(value.toNumber());
}

} // namespace

QSentrelQuickTrackerAttached *QSentrelQuickTracker::qmlAttachedProperties(QObject *object)
{
    return new QSentrelQuickTrackerAttached(object);
}

QSentrelQuickTrackerAttached::QSentrelQuickTrackerAttached(QObject *object) : QObject(object)
{
    // The facade hears of every change to the tracker, whoever made it.
    QSentrelTracker *facade = &tracker();
    connect(facade,
            &QSentrelTracker::enabledChanged,
            this,
            &QSentrelQuickTrackerAttached::enabledChanged);
    connect(facade, &QSentrelTracker::consentChanged, this, [this](QSentrelTracker::Consent now) {
        Q_EMIT consentChanged(QSentrelQuickTracker::Consent(now));
    });
    connect(facade,
            &QSentrelTracker::consentRequiredChanged,
            this,
            &QSentrelQuickTrackerAttached::consentRequiredChanged);
    connect(facade,
            &QSentrelTracker::consentVersionChanged,
            this,
            &QSentrelQuickTrackerAttached::consentVersionChanged);
    connect(facade,
            &QSentrelTracker::remoteConfigurationScopeChanged,
            this,
            &QSentrelQuickTrackerAttached::remoteConfigurationScopeChanged);
    connect(facade,
            &QSentrelTracker::forgetMeFinished,
            this,
            &QSentrelQuickTrackerAttached::forgetMeFinished);
    connect(facade,
            &QSentrelTracker::flushFinished,
            this,
            &QSentrelQuickTrackerAttached::flushFinished);
    connect(facade,
            &QSentrelTracker::eventsDelivered,
            this,
            &QSentrelQuickTrackerAttached::eventsDelivered);
    connect(facade,
            &QSentrelTracker::eventDropped,
            this,
            &QSentrelQuickTrackerAttached::eventDropped);
    connect(QSentrelQuickInterceptorHolder::instance(),
            &QSentrelQuickInterceptorHolder::changed,
            this,
            &QSentrelQuickTrackerAttached::eventInterceptorChanged);
}

QSentrelQuickInterceptorHolder *QSentrelQuickInterceptorHolder::instance()
{
    static QSentrelQuickInterceptorHolder holder;
    return &holder;
}

void QSentrelQuickInterceptorHolder::install(QObject *interceptor)
{
    if (interceptor == object)
        return;
    disconnect(destroyedConnection);
    object = interceptor;
    tracker().setEventInterceptor(qobject_cast<QSentrelEventInterceptor *>(interceptor));
    // Only narrows the window: an interceptor must outlive the tracking it was installed for.
    if (interceptor)
        destroyedConnection = connect(interceptor, &QObject::destroyed, this, [this] {
            install(nullptr);
        });
    Q_EMIT changed();
}

QObject *QSentrelQuickTrackerAttached::eventInterceptor() const
{
    return QSentrelQuickInterceptorHolder::instance()->current();
}

void QSentrelQuickTrackerAttached::setEventInterceptor(QObject *interceptor)
{
    if (interceptor && !qobject_cast<QSentrelEventInterceptor *>(interceptor)) {
        qmlWarning(parent()) << QStringLiteral(
                                        "Tracker.eventInterceptor = %1 was ignored: its type does "
                                        "not implement QSentrelEventInterceptor (Q_INTERFACES)")
                                        .arg(QString::fromLatin1(
                                                interceptor->metaObject()->className()));
        return;
    }
    QSentrelQuickInterceptorHolder::instance()->install(interceptor);
}

void QSentrelQuickTrackerAttached::flush() const
{
    tracker().flush();
}

bool QSentrelQuickTrackerAttached::isEnabled() const
{
    return tracker().isEnabled();
}

void QSentrelQuickTrackerAttached::setEnabled(bool enabled)
{
    tracker().setEnabled(enabled);
}

QSentrelQuickTracker::Consent QSentrelQuickTrackerAttached::consent() const
{
    return QSentrelQuickTracker::Consent(tracker().consent());
}

void QSentrelQuickTrackerAttached::setConsent(QSentrelQuickTracker::Consent consent)
{
    // QML writes any number into an enumeration.
    if (consent < QSentrelQuickTracker::ConsentUndecided
        || consent > QSentrelQuickTracker::ConsentGranted) {
        qmlWarning(parent()) << QStringLiteral("Tracker.consent = %1 was ignored: it takes one "
                                               "of the Tracker.Consent values")
                                        .arg(int(consent));
        return;
    }
    tracker().setConsent(QSentrelTracker::Consent(consent));
}

bool QSentrelQuickTrackerAttached::consentRequired() const
{
    return tracker().consentRequired();
}

void QSentrelQuickTrackerAttached::setConsentRequired(bool required)
{
    tracker().setConsentRequired(required);
}

int QSentrelQuickTrackerAttached::consentVersion() const
{
    return tracker().consentVersion();
}

void QSentrelQuickTrackerAttached::setConsentVersion(int version)
{
    tracker().setConsentVersion(version);
}

QStringList QSentrelQuickTrackerAttached::remoteConfigurationScope() const
{
    return tracker().remoteConfigurationScope();
}

void QSentrelQuickTrackerAttached::setRemoteConfigurationScope(const QStringList &items)
{
    tracker().setRemoteConfigurationScope(items);
}

QSentrelConfiguration *QSentrelQuickTrackerAttached::configuration() const
{
    QSentrelConfiguration *configuration = tracker().configuration();
    // The tracker owns it; the JavaScript garbage collector must never take it.
    QQmlEngine::setObjectOwnership(configuration, QQmlEngine::CppOwnership);
    return configuration;
}

void QSentrelQuickTrackerAttached::setCategory(const QString &category)
{
    const bool changed = !categorySet || category != m_category;
    m_category = category;
    categorySet = true;
    if (changed)
        Q_EMIT categoryChanged(m_category);
}

void QSentrelQuickTrackerAttached::refuse(const char *call,
                                          const char *expected,
                                          std::initializer_list<QJSValue> arguments) const
{
    QStringList types;
    for (const QJSValue &argument : arguments)
        types.append(typeOf(argument));
    while (!types.isEmpty() && types.constLast() == QLatin1String("undefined"))
        types.removeLast();
    qmlWarning(parent()) << QStringLiteral("Tracker.%1(%2) was ignored: it takes %3")
                                    .arg(QLatin1String(call),
                                         types.join(QLatin1String(", ")),
                                         QLatin1String(expected));
}

void QSentrelQuickTrackerAttached::transition(const QJSValue &screen,
                                              const QJSValue &contextKey,
                                              const QJSValue &contextValue) const
{
    if (screen.isString() && contextKey.isUndefined() && contextValue.isUndefined())
        tracker().transition(screen.toString());
    else if (screen.isString() && contextKey.isString() && isFiniteNumber(contextValue))
        tracker().transition(screen.toString(), contextKey.toString(), contextValue.toNumber());
    else
        refuse("transition",
               "(string screen) or (string screen, string key, number value)",
               {screen, contextKey, contextValue});
}

void QSentrelQuickTrackerAttached::interaction(const QJSValue &name,
                                               const QJSValue &second,
                                               const QJSValue &contextValue,
                                               const QJSValue &category) const
{
    if (name.isString() && second.isString() && contextValue.isUndefined()
        && category.isUndefined())
        tracker().interaction(name.toString(), second.toString());
    else if (name.isString() && second.isString() && isFiniteNumber(contextValue)
             && category.isString())
        tracker().interaction(name.toString(),
                              second.toString(),
                              contextValue.toNumber(),
                              category.toString());
    else
        refuse("interaction",
               "(string name, string category) or (string name, string key, number value, string "
               "category)",
               {name, second, contextValue, category});
}

// The properties' own types are checked by the tracker, which says what it refused.
void QSentrelQuickTrackerAttached::track(const QJSValue &name, const QJSValue &properties) const
{
    if (name.isString() && properties.isUndefined())
        tracker().track(name.toString());
    else if (name.isString() && properties.isObject() && !properties.isArray()
             && !properties.isCallable())
        tracker().track(name.toString(), properties.toVariant().toMap());
    else
        refuse("track", "(string name) or (string name, object properties)", {name, properties});
}

void QSentrelQuickTrackerAttached::trackSelfDescribing(const QJSValue &schema,
                                                       const QJSValue &data) const
{
    if (schema.isString() && data.isObject() && !data.isArray() && !data.isCallable())
        tracker().trackSelfDescribing(schema.toString(),
                                      QJsonObject::fromVariantMap(data.toVariant().toMap()));
    else
        refuse("trackSelfDescribing", "(string schema, object data)", {schema, data});
}

void QSentrelQuickTrackerAttached::setGlobalProperty(const QJSValue &key,
                                                     const QJSValue &value) const
{
    // The value's own types are checked as track()'s properties are.
    if (key.isString() && !value.isUndefined() && !value.isCallable())
        tracker().setGlobalProperty(key.toString(), value.toVariant());
    else
        refuse("setGlobalProperty", "(string key, value)", {key, value});
}

void QSentrelQuickTrackerAttached::removeGlobalProperty(const QJSValue &key) const
{
    if (key.isString())
        tracker().removeGlobalProperty(key.toString());
    else
        refuse("removeGlobalProperty", "(string key)", {key});
}

void QSentrelQuickTrackerAttached::contextData(const QJSValue &key, const QJSValue &value) const
{
    // A number is recorded as JavaScript writes it: 3, not 3.0.
    if (key.isString() && (value.isString() || isFiniteNumber(value)))
        tracker().contextData(key.toString(), value.toString());
    else
        refuse("contextData", "(string key, string or number value)", {key, value});
}

void QSentrelQuickTrackerAttached::dimensionData(const QJSValue &key, const QJSValue &value) const
{
    if (key.isString() && value.isString()) {
        QString text = value.toString();
        tracker().dimensionData(key.toString(), text);
    } else {
        refuse("dimensionData", "(string key, string value)", {key, value});
    }
}

void QSentrelQuickTrackerAttached::startNewSession() const
{
    tracker().startNewSession();
}

void QSentrelQuickTrackerAttached::clearCache() const
{
    tracker().clearCache();
}

void QSentrelQuickTrackerAttached::forgetMe() const
{
    tracker().forgetMe();
}

void QSentrelQuickTrackerAttached::requestWaitingEvents(int maximum)
{
    if (!asker) {
        asker = new QSentrelTracker;
        asker->setParent(this);
        connect(asker,
                &QSentrelTracker::waitingEventsReady,
                this,
                &QSentrelQuickTrackerAttached::waitingEventsReady);
    }
    asker->requestWaitingEvents(maximum);
}
