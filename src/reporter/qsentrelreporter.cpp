// Placeholder bodies until the reporter's pipeline lands.
#include "qsentrelreporter_p.h"

#include "qsentrelconfiguration_p.h"
#include "qsentrelstorage_p.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>

QSentrelReporter::QSentrelReporter()
    : applicationName(QCoreApplication::applicationName())
    , networkManager(new QNetworkAccessManager(this))
    , syncTimer(this)
    , remoteConfigTimer(this)
{
}

QSentrelReporter::~QSentrelReporter() = default;

void QSentrelReporter::init(QSentrelConfigurationPrivate *config) { configuration = config; }
void QSentrelReporter::trackScreenView(const QString &, const std::optional<SentrelTracker::ContextData<double>> &) {}
void QSentrelReporter::trackClickEvent(const QString &, const QString &, const std::optional<SentrelTracker::ContextData<double>> &) {}
void QSentrelReporter::trackEvent(const QString &, const QString &, const QString &, const std::optional<SentrelTracker::EventCoordinates> &, const std::optional<QString> &) {}
void QSentrelReporter::trackContextData(const SentrelTracker::ContextData<QString> &) {}
void QSentrelReporter::trackDimensionData(const SentrelTracker::ContextData<QString> &) {}
void QSentrelReporter::startNewSession() {}
void QSentrelReporter::clearCache() {}
