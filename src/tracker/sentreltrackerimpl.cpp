// SPDX-License-Identifier: MIT
#include "sentreltrackerimpl_p.h"

#include "qsentreleventfilter_p.h"
#include "qsentrelreporter_p.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtNetwork/qtnetworkglobal.h>
#if QT_CONFIG(ssl)
#  include <QSslSocket>
#endif
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <memory>

namespace {

// How long exit() waits for the worker to store what was recorded: far longer than it takes,
// yet an end to a process that could not otherwise exit.
constexpr qint64 exitWaitMilliseconds = 10000;

// Most applications never disable tracking. Stopping the worker while the application object
// still exists lets it finish what was recorded before the configuration and Qt go away.
void stopTrackingAtApplicationExit()
{
    SentrelTrackerImpl::instance()->deinit();
}

// exit() with tracking still running destroys Qt's globals in the reverse order of their
// making, while the worker may still be using them. Registered after the Qt SQL globals the
// worker's start-up needs have been made, this runs before they are destroyed.
void stopTrackingAtProcessExit()
{
    SentrelTrackerImpl::instance()->abandonAtExit();
}

// An in-memory database with a statement that binds and reads, as the store does.
void touchSqlGlobals()
{
    const QString name = QStringLiteral("sentrel-startup");
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(QStringLiteral(":memory:"));
        if (database.open()) {
            QSqlQuery query(database);
            query.prepare(QStringLiteral("SELECT ?"));
            query.addBindValue(QByteArray("", 0));
            if (query.exec())
                query.next();
            (void)query.lastError();
        }
        database.close();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace

SentrelTrackerImpl *SentrelTrackerImpl::instance()
{
    static SentrelTrackerImpl tracker;
    return &tracker;
}

SentrelTrackerImpl::SentrelTrackerImpl() : m_configuration(nullptr) { }

SentrelTrackerImpl::~SentrelTrackerImpl()
{
    abandonAtExit();
}

void SentrelTrackerImpl::abandonAtExit()
{
    if (!enabled) {
        eventFilter.reset();
        return;
    }
    // Reached through exit() while tracking runs, with no application object destroyed. The
    // worker still finishes what was recorded, but globals of Qt's that the reporter would
    // need to be deleted may be gone, so it is left to the operating system; what it stored
    // is committed.
    // In a Windows DLL this runs at unload, after the system has ended the worker and under
    // the loader lock: nothing may wait there for the worker, which is then already gone.
    if (thread->isFinished() || thread->wait(QDeadlineTimer(0))) {
        eventFilter.reset();
        enabled = false;
        return;
    }
    if (!stopWorker(
                [](QSentrelReporter *abandoned) {
                    abandoned->abandonStore();
                },
                QDeadlineTimer(exitWaitMilliseconds)))
        qCWarning(lcSentrel) << "The worker did not stop at exit, its last events may be lost";
}

// Quits behind the requests already queued, so that everything recorded before is still
// handed to the reporter, last running last on the worker. Requests made from now on are
// ignored. Returns whether the worker finished before the deadline.
bool SentrelTrackerImpl::stopWorker(void (*last)(QSentrelReporter *), QDeadlineTimer deadline)
{
    eventFilter->flush();
    eventFilter.reset();
    enabled = false;
    queue([last](QSentrelReporter *reporter) {
        if (last)
            last(reporter);
        QThread::currentThread()->quit();
    });
    return thread->wait(deadline);
}

void SentrelTrackerImpl::init()
{
    if (enabled)
        return;
    qCInfo(lcSentrel) << "Enabling Sentrel Tracker";
    if (!m_configuration.isValid()) {
        // Misspelt on purpose: the log text is fixed and tests pin it.
        qCWarning(lcSentrel) << "Failed to enabled Sentrel Tracker, the configuration is not valid";
        return;
    }

    static bool exitHookInstalled = false;
    if (!exitHookInstalled) {
        qAddPostRoutine(stopTrackingAtApplicationExit);
        // Qt SQL and Qt's TLS backend make their globals on first use: use them once here, so
        // that they are made before the hook below and outlive it, rather than on the worker
        // afterwards, where exit() would destroy them under its feet.
        touchSqlGlobals();
#if QT_CONFIG(ssl)
        (void)QSslSocket::supportsSsl();
#endif
        std::atexit(stopTrackingAtProcessExit);
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
    stopWorker(nullptr);
    SENTREL_TAKE_OVER();
    {
        std::lock_guard<SentrelSpinningMutex> locker(requestLock);
        requests.clear();
    }
    taken.clear();

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

namespace {
// Requests run in one batch at most: bounds what a crash can take before it is committed and
// how long the worker's timers and replies wait.
constexpr std::size_t maximumBatch = 256;
} // namespace

void SentrelTrackerImpl::queue(Request request) const
{
    bool wasEmpty;
    {
        std::lock_guard<SentrelSpinningMutex> locker(requestLock);
        wasEmpty = requests.empty();
        requests.push(std::move(request));
    }
    // A non-empty queue already has a call on its way, or a worker running it.
    if (wasEmpty)
        postRunRequests();
}

void SentrelTrackerImpl::postRunRequests() const
{
    // Captures nothing: the requests travel in the queue.
    QMetaObject::invokeMethod(
            reporter,
            [] {
                SentrelTrackerImpl::instance()->runRequests();
            },
            Qt::QueuedConnection);
}

// Runs on the worker thread, which alone reads the reporter pointer while it runs.
void SentrelTrackerImpl::runRequests() const
{
    if (taken.empty()) {
        std::lock_guard<SentrelSpinningMutex> locker(requestLock);
        taken.swap(requests);
    }
    if (taken.empty())
        return;
    reporter->beginBatch();
    for (std::size_t i = 0; i < maximumBatch && !taken.empty(); ++i) {
        Request request = taken.take();
        request(reporter);
    }
    reporter->endBatch();
    // Behind whatever else the worker has to do. Requests queued meanwhile have a call of
    // their own, as the queue was empty when they came.
    if (!taken.empty())
        postRunRequests();
}

void SentrelTrackerImpl::waitForRequests() const
{
    if (!enabled)
        return;
    // A request dropped unrun (by disabling) breaks the promise, which ends the wait as well.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    queue([done](QSentrelReporter *) {
        done->set_value();
    });
    ran.wait();
}

void SentrelTrackerImpl::sendScreenView(
        const QString &screen,
        const std::optional<SentrelTracker::ContextData<double>> &context)
{
    if (!enabled)
        return;
    queue([screen, context](QSentrelReporter *reporter) {
        reporter->trackScreenView(screen, context);
    });
}

void SentrelTrackerImpl::sendClickEvent(
        const QString &name,
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
    queue([data](QSentrelReporter *reporter) {
        reporter->trackContextData(data);
    });
}

void SentrelTrackerImpl::sendDimensionData(const SentrelTracker::ContextData<QString> &data) const
{
    if (!enabled)
        return;
    queue([data](QSentrelReporter *reporter) {
        reporter->trackDimensionData(data);
    });
}

void SentrelTrackerImpl::clearCache()
{
    if (!enabled)
        return;
    queue([](QSentrelReporter *reporter) {
        reporter->clearCache();
    });
}

void SentrelTrackerImpl::startNewSession()
{
    if (!enabled)
        return;
    queue([](QSentrelReporter *reporter) {
        reporter->startNewSession();
    });
}
