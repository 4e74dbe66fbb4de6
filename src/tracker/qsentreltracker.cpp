// SPDX-License-Identifier: MIT
#include <SentrelTracker/qsentreltracker.h>

#include "sentreltrackerimpl_p.h"
#include "sentreltrackernotifier_p.h"

using SentrelTracker::ContextData;

QSentrelCategoryFilter::~QSentrelCategoryFilter() = default;

SentrelTrackerNotifier *SentrelTrackerNotifier::instance()
{
    // Never destroyed: handles and the tracker may still emit and connect during exit.
    static SentrelTrackerNotifier *const notifier = new SentrelTrackerNotifier;
    return notifier;
}

QSentrelTracker::QSentrelTracker() : QObject(nullptr)
{
    SentrelTrackerNotifier *notifier = SentrelTrackerNotifier::instance();
    connect(notifier,
            &SentrelTrackerNotifier::enabledChanged,
            this,
            &QSentrelTracker::enabledChanged);
    connect(notifier,
            &SentrelTrackerNotifier::consentChanged,
            this,
            &QSentrelTracker::consentChanged);
    connect(notifier,
            &SentrelTrackerNotifier::consentRequiredChanged,
            this,
            &QSentrelTracker::consentRequiredChanged);
    connect(notifier,
            &SentrelTrackerNotifier::consentVersionChanged,
            this,
            &QSentrelTracker::consentVersionChanged);
    connect(notifier,
            &SentrelTrackerNotifier::remoteConfigurationScopeChanged,
            this,
            &QSentrelTracker::remoteConfigurationScopeChanged);
    connect(notifier,
            &SentrelTrackerNotifier::forgetMeFinished,
            this,
            &QSentrelTracker::forgetMeFinished);
    connect(notifier,
            &SentrelTrackerNotifier::flushFinished,
            this,
            &QSentrelTracker::flushFinished);
    connect(notifier,
            &SentrelTrackerNotifier::eventsDelivered,
            this,
            &QSentrelTracker::eventsDelivered);
    connect(notifier, &SentrelTrackerNotifier::eventDropped, this, &QSentrelTracker::eventDropped);
}

QSentrelConfiguration *QSentrelTracker::configuration() const
{
    return SentrelTrackerImpl::instance()->configuration();
}

void QSentrelTracker::setEnabled(bool enabled)
{
    SentrelTrackerImpl::instance()->setEnabled(enabled);
}

bool QSentrelTracker::isEnabled() const
{
    return SentrelTrackerImpl::instance()->isEnabled();
}

void QSentrelTracker::setConsentRequired(bool required)
{
    SentrelTrackerImpl::instance()->setConsentRequired(required);
}

bool QSentrelTracker::consentRequired() const
{
    return SentrelTrackerImpl::instance()->consentRequired();
}

void QSentrelTracker::setConsent(Consent consent)
{
    SentrelTrackerImpl::instance()->setConsent(consent);
}

QSentrelTracker::Consent QSentrelTracker::consent() const
{
    return SentrelTrackerImpl::instance()->consent();
}

void QSentrelTracker::setConsentVersion(int version)
{
    SentrelTrackerImpl::instance()->setConsentVersion(version);
}

int QSentrelTracker::consentVersion() const
{
    return SentrelTrackerImpl::instance()->consentVersion();
}

void QSentrelTracker::setRemoteConfigurationScope(const QStringList &items)
{
    QSentrelConfigurationPrivate *configuration =
            SentrelTrackerImpl::instance()->configurationPrivate();
    if (configuration->remoteScope() == items)
        return;
    configuration->setRemoteScope(items);
    Q_EMIT SentrelTrackerNotifier::instance()->remoteConfigurationScopeChanged(items);
}

QStringList QSentrelTracker::remoteConfigurationScope() const
{
    return SentrelTrackerImpl::instance()->configurationPrivate()->remoteScope();
}

void QSentrelTracker::forgetMe()
{
    SentrelTrackerImpl::instance()->forgetMe();
}

void QSentrelTracker::requestWaitingEvents(int maximum)
{
    SentrelTrackerImpl::instance()->requestWaitingEvents(maximum, this);
}

void QSentrelTracker::setCategoryFilter(QSentrelCategoryFilter *filter) const
{
    SentrelTrackerImpl::instance()->setCategoryFilter(filter);
}

void QSentrelTracker::transition(const QString &screen) const
{
    SentrelTrackerImpl::instance()->sendScreenView(screen, std::nullopt);
}

void QSentrelTracker::transition(const QString &screen,
                                 const QString &contextKey,
                                 double contextValue) const
{
    SentrelTrackerImpl::instance()->sendScreenView(screen,
                                                   ContextData<double> {contextKey, contextValue});
}

void QSentrelTracker::interaction(const QString &name, const QString &category) const
{
    SentrelTrackerImpl::instance()->sendClickEvent(name, category, std::nullopt);
}

void QSentrelTracker::interaction(const QString &name,
                                  const QString &contextKey,
                                  double contextValue,
                                  const QString &category) const
{
    SentrelTrackerImpl::instance()->sendClickEvent(name,
                                                   category,
                                                   ContextData<double> {contextKey, contextValue});
}

void QSentrelTracker::track(const QString &name, const QVariantMap &properties) const
{
    SentrelTrackerImpl::instance()->sendTypedEvent(name, properties);
}

void QSentrelTracker::trackSelfDescribing(const QString &schema, const QJsonObject &data) const
{
    SentrelTrackerImpl::instance()->sendSelfDescribing(schema, data);
}

void QSentrelTracker::setGlobalProperty(const QString &key, const QVariant &value)
{
    SentrelTrackerImpl::instance()->setGlobalProperty(key, value);
}

void QSentrelTracker::removeGlobalProperty(const QString &key)
{
    SentrelTrackerImpl::instance()->removeGlobalProperty(key);
}

void QSentrelTracker::flush()
{
    SentrelTrackerImpl::instance()->flush();
}

void QSentrelTracker::setEventInterceptor(QSentrelEventInterceptor *interceptor)
{
    SentrelTrackerImpl::instance()->setEventInterceptor(interceptor);
}

QSentrelEventInterceptor::~QSentrelEventInterceptor() = default;

void QSentrelTracker::contextData(const QString &key, const QString &value) const
{
    SentrelTrackerImpl::instance()->sendContextData(ContextData<QString> {key, value});
}

void QSentrelTracker::dimensionData(const QString &key, QString &value) const
{
    SentrelTrackerImpl::instance()->sendDimensionData(ContextData<QString> {key, value});
}

void QSentrelTracker::startNewSession()
{
    SentrelTrackerImpl::instance()->startNewSession();
}

void QSentrelTracker::clearCache()
{
    SentrelTrackerImpl::instance()->clearCache();
}
