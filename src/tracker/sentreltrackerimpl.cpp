#include "sentreltrackerimpl_p.h"

#include "qsentreleventfilter_p.h"
#include "qsentrelreporter_p.h"

#include <QCoreApplication>
#include <QThread>

namespace {

// Most applications never disable tracking. Stopping the worker while the application object
// still exists lets it finish what was recorded before the configuration and Qt go away.
void stopTrackingAtApplicationExit()
{
    SentrelTrackerImpl::instance()->deinit();
}

} // namespace

SentrelTrackerImpl *SentrelTrackerImpl::instance()
{
    static SentrelTrackerImpl tracker;
    return &tracker;
}

SentrelTrackerImpl::SentrelTrackerImpl()
    : m_configuration(nullptr)
{
}

SentrelTrackerImpl::~SentrelTrackerImpl()
{
    eventFilter.reset();
    if (enabled) {
        // Reached through exit() while tracking runs, with no application object destroyed.
        // The worker still finishes what was recorded, but Qt's SQL and network globals may
        // already be gone, so the reporter is left to the operating system rather than
        // deleted; what it stored is committed.
        enabled = false;
        queue([](QSentrelReporter *abandoned) {
            abandoned->abandonStore();
            QThread::currentThread()->quit();
        });
        thread->wait();
    }
}

void SentrelTrackerImpl::init()
{
    if (enabled)
        return;
    qCInfo(lcSentrel) << "Enabling Sentrel Tracker";
    if (!m_configuration.isValid()) {
        qCWarning(lcSentrel) << "Failed to enabled Sentrel Tracker, the configuration is not valid";
        return;
    }

    static bool exitHookInstalled = false;
    if (!exitHookInstalled) {
        qAddPostRoutine(stopTrackingAtApplicationExit);
        exitHookInstalled = true;
    }

    thread = new QThread;
    reporter = new QSentrelReporter;
    eventFilter = std::make_unique<QSentrelEventFilter>(this);

    QSentrelReporter *workerReporter = reporter;
    QSentrelConfigurationPrivate *configuration = &m_configuration;
    QObject::connect(thread, &QThread::started, reporter, [workerReporter, configuration] {
        workerReporter->init(configuration);
    });
    QThread *initiatingThread = QThread::currentThread();
    QObject::connect(thread, &QThread::finished, reporter, [workerReporter, initiatingThread] {
        workerReporter->moveToThread(initiatingThread);
    });
    reporter->moveToThread(thread);
    thread->start(QThread::InheritPriority);
    enabled = true;
}

void SentrelTrackerImpl::deinit()
{
    if (!enabled)
        return;
    qCInfo(lcSentrel) << "Disabling Sentrel Tracker";
    eventFilter->flush();
    eventFilter.reset();

    // Quit behind the requests already queued, so that everything recorded before disabling
    // is still handed to the reporter. Requests made from now on are ignored.
    enabled = false;
    queue([](QSentrelReporter *) { QThread::currentThread()->quit(); });
    thread->wait();
    SENTREL_TAKE_OVER();
    {
        std::lock_guard<std::mutex> locker(requestLock);
        requests.clear();
    }

    delete thread;
    thread = nullptr;
    delete reporter;
    reporter = nullptr;
}

void SentrelTrackerImpl::setEnabled(bool enable)
{
    if (enable)
        init();
    else
        deinit();
}

void SentrelTrackerImpl::setCategoryFilter(QSentrelCategoryFilter *filter)
{
    if (eventFilter)
        eventFilter->setCategoryFilter(filter);
}

void SentrelTrackerImpl::queue(Request request) const
{
    {
        std::lock_guard<std::mutex> locker(requestLock);
        requests.push_back(std::move(request));
    }
    // Captures nothing: the request travels in the queue.
    QMetaObject::invokeMethod(reporter, [] { SentrelTrackerImpl::instance()->runNextRequest(); }, Qt::AutoConnection);
}

// Runs on the worker thread, which alone reads the reporter pointer while it runs.
void SentrelTrackerImpl::runNextRequest() const
{
    Request request;
    {
        std::lock_guard<std::mutex> locker(requestLock);
        if (requests.empty())
            return;
        request = std::move(requests.front());
        requests.pop_front();
    }
    request(reporter);
}

void SentrelTrackerImpl::sendScreenView(const QString &screen,
                                        const std::optional<SentrelTracker::ContextData<double>> &context)
{
    if (!enabled)
        return;
    queue([screen, context](QSentrelReporter *reporter) { reporter->trackScreenView(screen, context); });
}

void SentrelTrackerImpl::sendClickEvent(const QString &name,
                                        const QString &category,
                                        const std::optional<SentrelTracker::ContextData<double>> &context)
{
    if (!enabled)
        return;
    if (!category.isEmpty() && !instance()->configuration()->categories().contains(category)) {
        qCDebug(lcSentrel) << "category filtered:" << category;
        return;
    }
    queue([name, category, context](QSentrelReporter *reporter) {
        reporter->trackClickEvent(name, category, context);
    });
}

void SentrelTrackerImpl::sendEvent(const QString &type,
                                   const QString &object,
                                   const QString &objectName,
                                   const std::optional<SentrelTracker::EventCoordinates> &position,
                                   const std::optional<QString> &details)
{
    if (!enabled)
        return;
    queue([type, object, objectName, position, details](QSentrelReporter *reporter) {
        reporter->trackEvent(type, object, objectName, position, details);
    });
}

void SentrelTrackerImpl::sendContextData(const SentrelTracker::ContextData<QString> &data) const
{
    if (!enabled)
        return;
    queue([data](QSentrelReporter *reporter) { reporter->trackContextData(data); });
}

void SentrelTrackerImpl::sendDimensionData(const SentrelTracker::ContextData<QString> &data) const
{
    if (!enabled)
        return;
    queue([data](QSentrelReporter *reporter) { reporter->trackDimensionData(data); });
}

void SentrelTrackerImpl::clearCache()
{
    if (!enabled)
        return;
    queue([](QSentrelReporter *reporter) { reporter->clearCache(); });
}

void SentrelTrackerImpl::startNewSession()
{
    if (!enabled)
        return;
    queue([](QSentrelReporter *reporter) { reporter->startNewSession(); });
}
