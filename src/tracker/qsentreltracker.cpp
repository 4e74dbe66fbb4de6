// SPDX-License-Identifier: MIT
#include <SentrelTracker/qsentreltracker.h>

#include "sentreltrackerimpl_p.h"

using SentrelTracker::ContextData;

QSentrelCategoryFilter::~QSentrelCategoryFilter() = default;

QSentrelTracker::QSentrelTracker() : QObject(nullptr) { }

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
