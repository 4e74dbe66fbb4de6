// SPDX-License-Identifier: MIT
#include "sentreltrackerimpl_p.h"

#include "qsentreleventfilter_p.h"
#include "qsentrelreporter_p.h"
#include "sentrelclock_p.h"
#include "sentrelprivacy_p.h"
#include "sentrelproperties_p.h"
#include "sentreltrackernotifier_p.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QJsonArray>
#include <QThread>

#ifdef Q_OS_WIN
#  include <qt_windows.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <future>
#include <memory>
#include <utility>

namespace {

// How long exit() waits for the worker to finish once its storing time is up: far longer than
// it takes, yet an end to a process that could not otherwise exit.
constexpr qint64 exitWaitMilliseconds = 10000;

// Most applications never disable tracking. Stopping the worker while the application object
// still exists lets it finish what was recorded before the configuration and Qt go away.
void stopTrackingAtApplicationExit()
{
    SentrelTrackerImpl::instance()->deinitAtExit();
}

#ifndef Q_OS_WIN
// exit() from another thread than the tracker's, which the guard below does not see.
void stopTrackingAtProcessExit()
{
    SentrelTrackerImpl::instance()->abandonAtExit();
}
#else
// In a DLL, std::atexit and the destructors of thread_local and static objects run as the DLL
// is unloaded, after ExitProcess has ended every other thread, the worker among them. exit()
// first runs the C runtime's process-wide table, the one an application's own atexit fills,
// with every thread and global still there: registered there, the worker stops as on Linux.
void __cdecl stopTrackingAtWindowsExit()
{
    SentrelTrackerImpl::instance()->stopAtProcessExit();
}

#  if !defined(_UCRT) && !defined(_MSC_VER)
int __cdecl stopTrackingAtMsvcrtExit()
{
    stopTrackingAtWindowsExit();
    return 0;
}
#  endif

// Looked up in the runtime's DLL: the names the library links against are its own table's.
// Falls back to the DLL's table (a runtime linked statically has no other).
void registerProcessExitHook()
{
    // A function pointer of any type converts to this one and back without a warning.
    using Function = void (*)();
#  if defined(_UCRT) || defined(_MSC_VER)
    HMODULE runtime = GetModuleHandleW(L"ucrtbase.dll");
    if (!runtime)
        runtime = GetModuleHandleW(L"ucrtbased.dll");
    using Register = int(__cdecl *)(void(__cdecl *)());
    const auto add = runtime ? reinterpret_cast<Register>(
                             reinterpret_cast<Function>(GetProcAddress(runtime, "_crt_atexit")))
                             : nullptr;
    if (add && add(stopTrackingAtWindowsExit) == 0)
        return;
#  else
    const HMODULE runtime = GetModuleHandleW(L"msvcrt.dll");
    using Register = _onexit_t(__cdecl *)(_onexit_t);
    const auto add = runtime ? reinterpret_cast<Register>(
                             reinterpret_cast<Function>(GetProcAddress(runtime, "_onexit")))
                             : nullptr;
    if (add && add(stopTrackingAtMsvcrtExit))
        return;
#  endif
    qCWarning(lcSentrel) << "No process-wide exit hook: exit() may lose the events still waiting";
    std::atexit(stopTrackingAtWindowsExit);
}
#endif

// Destroyed as the thread that tracks ends. For the main thread that is the first thing exit()
// does, before any object of static storage (Qt's globals, the TLS library's state) is
// destroyed, whichever thread made them and whenever: so the worker can make them when it
// needs them rather than the application's thread at enabling.
struct ExitGuard
{
    ExitGuard() = default;
    Q_DISABLE_COPY_MOVE(ExitGuard)
    ~ExitGuard() { SentrelTrackerImpl::instance()->stopAtExit(); }
};

} // namespace

SentrelTrackerImpl *SentrelTrackerImpl::instance()
{
    // Never destroyed: a worker that did not stop at exit must not find its queue gone.
    static SentrelTrackerImpl *const tracker = new SentrelTrackerImpl;
    return tracker;
}

SentrelTrackerImpl::SentrelTrackerImpl()
    : m_configuration(nullptr)
    , storedConsent(m_configuration.storedConsent())
{ }

SentrelTrackerImpl::~SentrelTrackerImpl() = default;

void SentrelTrackerImpl::abandonAtExit()
{
    if (!running) {
        eventFilter.reset();
        return;
    }
    // Reached through exit() from another thread while tracking runs. The worker still stores
    // what it can, but globals of Qt's that the reporter would need to be deleted may be gone,
    // so it is left to the operating system; what it stored is committed.
    // Should it run as a Windows DLL is unloaded, the system has ended the worker and holds
    // the loader lock: nothing may wait there for the worker, which is then already gone.
    if (thread->isFinished() || thread->wait(QDeadlineTimer(0))) {
        eventFilter.reset();
        running = false;
        return;
    }
    if (!stopWorker(
                [](QSentrelReporter *abandoned) {
                    abandoned->abandonStore();
                },
                QDeadlineTimer(exitWaitMilliseconds),
                storedWhenStopping,
                exitStoringTime)) {
        qCWarning(lcSentrel) << "The worker did not stop at exit, its last events may be lost";
        return;
    }
    reportDropped(true);
}

// The tracker's thread ends, at exit() or on return from main(), with every global still
// there: the worker stores for a bounded time and is deleted with its connections.
void SentrelTrackerImpl::stopAtExit()
{
    if (!running) {
        eventFilter.reset();
        return;
    }
    if (!shutDownWorker([](QSentrelReporter *) {},
                        storedWhenStopping,
                        exitStoringTime,
                        QDeadlineTimer(exitWaitMilliseconds)))
        qCWarning(lcSentrel) << "The worker did not stop at exit, its last events may be lost";
}

void SentrelTrackerImpl::stopAtProcessExit()
{
    if (sentrelOnThreadOf(&m_configuration))
        stopAtExit();
    else
        abandonAtExit();
}

// Quits behind the requests already queued, so that what was recorded before is handed to the
// reporter (keep recording calls at least, then more for storeMilliseconds; the rest is
// dropped and counted), last running last on the worker. Requests made from now on are
// ignored. Returns whether the worker finished before the deadline.
bool SentrelTrackerImpl::stopWorker(Request last,
                                    QDeadlineTimer deadline,
                                    std::size_t keep,
                                    int storeMilliseconds)
{
    eventFilter->flush();
    eventFilter.reset();
    endScreen();
    shownScreen.clear();
    running = false;
    keepWhenStopping = keep;
    storeUntil = QDeadlineTimer(keep == 0 ? 0 : storeMilliseconds, Qt::PreciseTimer);
    stopping.store(true, std::memory_order_release);
    // The queue is drained in order, so the worker quits behind last.
    queue(std::move(last));
    queue([](QSentrelReporter *) {
        QThread::currentThread()->quit();
    });
    return thread->wait(deadline);
}

void SentrelTrackerImpl::init()
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (enabled)
        return;
    qCInfo(lcSentrel) << "Enabling Sentrel Tracker";
    if (!m_configuration.isValid()) {
        // Misspelt on purpose: the log text is fixed and tests pin it.
        qCWarning(lcSentrel) << "Failed to enabled Sentrel Tracker, the configuration is not valid";
        return;
    }
    enabled = true;
    watchDecisions(true);
    const QSentrelTracker::Consent consent = effectiveConsent();
    SentrelPrivacy::setAnonymous(consent == QSentrelTracker::ConsentAnonymous);
    if (consent >= QSentrelTracker::ConsentAnonymous)
        startWorker();
    else
        qCInfo(lcSentrel) << "Tracking waits for the person's consent";
    // Last: a slot may disable tracking again, and that call must have the last word.
    Q_EMIT SentrelTrackerNotifier::instance()->enabledChanged(true);
}

void SentrelTrackerImpl::startWorker()
{
    if (running)
        return;

    static bool exitHookInstalled = false;
    if (!exitHookInstalled) {
        qAddPostRoutine(stopTrackingAtApplicationExit);
#ifdef Q_OS_WIN
        registerProcessExitHook();
#else
        std::atexit(stopTrackingAtProcessExit);
#endif
        exitHookInstalled = true;
    }
    static thread_local ExitGuard exitGuard;

    // The worker of the previous period has finished: nothing reads these meanwhile.
    stopping.store(false, std::memory_order_relaxed);
    keepWhenStopping = keepAll;
    stopNoticed = false;
    stillKept = keepAll;
    pastStoreDeadline = false;
    droppedWhenStopping = 0;
    queuedRecordings.store(0, std::memory_order_relaxed);
    queuedBytes.store(0, std::memory_order_relaxed);

    thread = new QThread;
    reporter = new QSentrelReporter;
    // Before the worker starts, so that the device event has them too.
    reporter->setGlobalProperties(globalPropertiesJson);
    reporter->setEventInterceptor(eventInterceptor);
    eventFilter = std::make_unique<QSentrelEventFilter>(this);

    // Handed to every handle on the application's thread, queued through the notifier.
    SentrelTrackerNotifier *notifier = SentrelTrackerNotifier::instance();
    QObject::connect(reporter,
                     &QSentrelReporter::flushFinished,
                     notifier,
                     &SentrelTrackerNotifier::flushFinished,
                     Qt::QueuedConnection);
    QObject::connect(reporter,
                     &QSentrelReporter::eventsDelivered,
                     notifier,
                     &SentrelTrackerNotifier::eventsDelivered,
                     Qt::QueuedConnection);
    QObject::connect(reporter,
                     &QSentrelReporter::eventDropped,
                     notifier,
                     &SentrelTrackerNotifier::eventDropped,
                     Qt::QueuedConnection);
    QSentrelReporter *workerReporter = reporter;
    QSentrelConfigurationPrivate *configuration = &m_configuration;
    QObject::connect(thread, &QThread::started, reporter, [workerReporter, configuration] {
        workerReporter->init(configuration);
    });
    QObject::connect(
            reporter,
            &QSentrelReporter::cacheRemoved,
            SentrelTrackerNotifier::instance(),
            [] {
                SentrelTrackerImpl::instance()->followDecisionOfAnotherProcess(true);
            },
            Qt::QueuedConnection);
    QThread *initiatingThread = QThread::currentThread();
    QObject::connect(thread, &QThread::finished, reporter, [workerReporter, initiatingThread] {
        workerReporter->moveToThread(initiatingThread);
    });
    reporter->moveToThread(thread);
    thread->start(QThread::InheritPriority);
    running = true;
    queueConsentEvent();
}

void SentrelTrackerImpl::queueConsentEvent()
{
    if (!running || !consentEvent)
        return;
    const auto [consent, previous] = *std::exchange(consentEvent, std::nullopt);
    queue([consent = consent, previous = previous, version = m_consentVersion](
                  QSentrelReporter *reporter) {
        reporter->trackConsent(consent, previous, version);
    });
}

void SentrelTrackerImpl::deinit()
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    disable(storedWhenStopping);
}

// The application is ending: nothing waits for a frame any more, and what was recorded is kept
// for as long as exit may take.
void SentrelTrackerImpl::deinitAtExit()
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    disable(storedWhenStopping, exitStoringTime);
}

void SentrelTrackerImpl::disable(std::size_t keep, int storeMilliseconds)
{
    if (!enabled)
        return;
    qCInfo(lcSentrel) << "Disabling Sentrel Tracker";
    enabled = false;
    watchDecisions(false);
    if (running)
        shutDownWorker([](QSentrelReporter *) {}, keep, storeMilliseconds);
    Q_EMIT SentrelTrackerNotifier::instance()->enabledChanged(false);
}

bool SentrelTrackerImpl::shutDownWorker(Request last,
                                        std::size_t keep,
                                        int storeMilliseconds,
                                        QDeadlineTimer deadline)
{
    if (!stopWorker(std::move(last), deadline, keep, storeMilliseconds))
        return false;
    SENTREL_TAKE_OVER();
    reportDropped(keep != 0);
    {
        std::lock_guard<SentrelSpinningMutex> locker(requestLock);
        requests.clear();
    }
    taken.clear();

    delete thread;
    thread = nullptr;
    delete reporter;
    reporter = nullptr;
    return true;
}

void SentrelTrackerImpl::setEnabled(bool enable)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (enable)
        init();
    else
        deinit();
}

void SentrelTrackerImpl::setCategoryFilter(QSentrelCategoryFilter *filter)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (eventFilter)
        eventFilter->setCategoryFilter(filter);
}

namespace {
// Requests run in one batch at most: bounds what a crash can take before it is committed and
// how long the worker's timers and replies wait.
constexpr std::size_t maximumBatch = 256;
} // namespace

void SentrelTrackerImpl::reportDropped(bool stoppingLosses) const
{
    reportDroppedWhileFull();
    if (stoppingLosses && droppedWhenStopping > 0)
        qCWarning(lcSentrel) << "Dropped" << droppedWhenStopping
                             << "recorded events still waiting to be stored when tracking stopped";
    droppedWhenStopping = 0;
}

void SentrelTrackerImpl::reportDroppedWhileFull() const
{
    if (const std::uint64_t dropped = droppedWhileFull.exchange(0))
        qCWarning(lcSentrel) << "Dropped" << dropped
                             << "recording calls while the request queue was full";
}

bool SentrelTrackerImpl::mayFitAnEvent(qsizetype characters) const
{
    if (characters <= SentrelPayload::maximumEventSize)
        return true;
    qCWarning(lcEvents) << "Dropped an event of at least" << characters
                        << "bytes, above the limit of" << SentrelPayload::maximumEventSize;
    return false;
}

void SentrelTrackerImpl::record(Request request, qsizetype characters) const
{
    if (!mayFitAnEvent(characters))
        return;
    request = Request::recording(std::move(request), std::size_t(characters) * sizeof(QChar));
    const std::size_t bytes = request.recordingBytes();
    if (queuedRecordings.load(std::memory_order_relaxed) >= recordingLimit
        || queuedBytes.load(std::memory_order_relaxed) + bytes > byteLimit) {
        // Once until the worker has caught up; the count follows then, or when it stops.
        if (droppedWhileFull.fetch_add(1, std::memory_order_relaxed) == 0)
            qCWarning(lcSentrel) << "The request queue is full, recording calls are dropped "
                                    "until the worker catches up; its limit is"
                                 << recordingLimit << "requests or" << byteLimit << "bytes";
        return;
    }
    // Before the worker can see the request, so that it never subtracts what is not added.
    queuedRecordings.fetch_add(1, std::memory_order_relaxed);
    queuedBytes.fetch_add(bytes, std::memory_order_relaxed);
    queue(std::move(request));
}

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
    SENTREL_ASSERT_THREAD(reporter);
    if (!noticeStop() && taken.empty()) {
        std::lock_guard<SentrelSpinningMutex> locker(requestLock);
        taken.swap(requests);
    }
    if (taken.empty())
        return;
    std::size_t recordings = 0;
    std::size_t bytes = 0;
    // Stopping, what is still stored goes in one batch, whose commit is the costly part; the
    // batch under way when the stop comes becomes that one. Dropped requests do not count
    // towards a batch: they cost next to nothing.
    std::size_t batch = stopNoticed ? keepAll : maximumBatch;
    reporter->beginBatch();
    for (std::size_t ran = 0; ran < batch && !taken.empty();) {
        if (noticeStop())
            batch = keepAll;
        Request request = taken.take();
        if (request.isRecording()) {
            ++recordings;
            bytes += request.recordingBytes();
            if (stillKept != keepAll && !storeWhileStopping()) {
                ++droppedWhenStopping;
                continue;
            }
        }
        request(reporter);
        ++ran;
    }
    reporter->endBatch();
    queuedBytes.fetch_sub(bytes, std::memory_order_relaxed);
    if (recordings > 0 && queuedRecordings.fetch_sub(recordings) == recordings) {
        reportDroppedWhileFull(); // caught up: the end of a period of a full queue, if any
    }
    // Behind whatever else the worker has to do. Requests queued meanwhile have a call of
    // their own, as the queue was empty when they came.
    if (!taken.empty())
        postRunRequests();
}

// On the worker: whether tracking has just begun to stop. Nothing more is recorded then, so
// what waits behind the requests already taken joins them.
bool SentrelTrackerImpl::noticeStop() const
{
    if (stopNoticed || !stopping.load(std::memory_order_acquire))
        return false;
    std::lock_guard<SentrelSpinningMutex> locker(requestLock);
    taken.append(requests);
    stillKept = keepWhenStopping;
    stopNoticed = true;
    return true;
}

// On the worker: whether the next recording call waiting still has its turn. The clock is read
// only for calls that are then run, which take far longer.
bool SentrelTrackerImpl::storeWhileStopping() const
{
    if (stillKept > 0) {
        --stillKept;
        return true;
    }
    if (!pastStoreDeadline)
        pastStoreDeadline = storeUntil.hasExpired();
    return !pastStoreDeadline;
}

void SentrelTrackerImpl::waitForRequests() const
{
    if (!running)
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
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!running)
        return;
    endScreen();
    shownScreen = screen;
    // A program without a graphical application has no state: it counts as active.
    const bool active = !qobject_cast<QGuiApplication *>(QCoreApplication::instance())
            || QGuiApplication::applicationState() == Qt::ApplicationActive;
    screenTime.start(SentrelClock::current()->steady(), active);
    const qsizetype characters = screen.size() + (context ? context->key.size() : 0);
    record(
            [screen, context](QSentrelReporter *reporter) {
                reporter->trackScreenView(screen, context);
            },
            characters);
}

void SentrelTrackerImpl::endScreen()
{
    if (shownScreen.isNull() || !m_configuration.captureScreens())
        return;
    const qint64 foreground = screenTime.foregroundAt(SentrelClock::current()->steady());
    record(
            [screen = shownScreen, foreground](QSentrelReporter *reporter) {
                reporter->trackScreenEnd(screen, foreground);
            },
            shownScreen.size());
}

void SentrelTrackerImpl::setApplicationActive(bool active)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    screenTime.setActive(active, SentrelClock::current()->steady());
}

void SentrelTrackerImpl::sendClickEvent(
        const QString &name,
        const QString &category,
        const std::optional<SentrelTracker::ContextData<double>> &context)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!running)
        return;
    if (!category.isEmpty() && !instance()->configuration()->categories().contains(category)) {
        qCDebug(lcSentrel) << "category filtered:" << category;
        return;
    }
    const qsizetype characters =
            name.size() + category.size() + (context ? context->key.size() : 0);
    record(
            [name, category, context](QSentrelReporter *reporter) {
                reporter->trackClickEvent(name, category, context);
            },
            characters);
}

void SentrelTrackerImpl::sendEvent(const QString &type,
                                   const QString &object,
                                   const QString &objectName,
                                   const std::optional<SentrelTracker::EventCoordinates> &position,
                                   const std::optional<QString> &details,
                                   const QString &objectPath)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!running)
        return;
    const qsizetype characters = type.size() + object.size() + objectName.size()
            + (details ? details->size() : 0) + objectPath.size();
    if (objectPath.isEmpty()) {
        record(
                [type, object, objectName, position, details](QSentrelReporter *reporter) {
                    reporter->trackEvent(type, object, objectName, position, details);
                },
                characters);
        return;
    }
    // Six values exceed the request's room for captures: the three names travel together.
    record(
            [type, names = QStringList {object, objectName, objectPath}, position, details](
                    QSentrelReporter *reporter) {
                reporter->trackEvent(type,
                                     names.at(0),
                                     names.at(1),
                                     position,
                                     details,
                                     names.at(2));
            },
            characters);
}

void SentrelTrackerImpl::sendAction(const QString &action,
                                    const QString &via,
                                    std::optional<bool> checked)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!running)
        return;
    record(
            [action, via, checked](QSentrelReporter *reporter) {
                reporter->trackAction(action, via, checked);
            },
            action.size() + via.size());
}

void SentrelTrackerImpl::sendStall(qint64 milliseconds)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!running)
        return;
    record(
            [milliseconds](QSentrelReporter *reporter) {
                reporter->trackStall(milliseconds);
            },
            0);
}

void SentrelTrackerImpl::sendApplicationState(bool foreground)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!running)
        return;
    record(
            [foreground](QSentrelReporter *reporter) {
                reporter->trackApplicationState(foreground);
            },
            0);
}

void SentrelTrackerImpl::sendContextData(const SentrelTracker::ContextData<QString> &data) const
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!running)
        return;
    const qsizetype characters = data.key.size() + data.value.size();
    record(
            [data](QSentrelReporter *reporter) {
                reporter->trackContextData(data);
            },
            characters);
}

// The properties are shared, not copied, and checked and written on the worker.
void SentrelTrackerImpl::sendTypedEvent(const QString &name, const QVariantMap &properties) const
{
    if (!running)
        return;
    record(
            [name, properties](QSentrelReporter *reporter) {
                reporter->trackTypedEvent(name, properties);
            },
            name.size());
}

void SentrelTrackerImpl::sendSelfDescribing(const QString &schema, const QJsonObject &data) const
{
    if (!running)
        return;
    record(
            [schema, data](QSentrelReporter *reporter) {
                reporter->trackSelfDescribing(schema, data);
            },
            schema.size());
}

void SentrelTrackerImpl::sendDimensionData(const SentrelTracker::ContextData<QString> &data) const
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!running)
        return;
    const qsizetype characters = data.key.size() + data.value.size();
    record(
            [data](QSentrelReporter *reporter) {
                reporter->trackDimensionData(data);
            },
            characters);
}

void SentrelTrackerImpl::clearCache()
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!running)
        return;
    queue([](QSentrelReporter *reporter) {
        reporter->clearCache();
    });
}

void SentrelTrackerImpl::startNewSession()
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!running)
        return;
    queue([](QSentrelReporter *reporter) {
        reporter->startNewSession();
    });
}

void SentrelTrackerImpl::setGlobalProperty(const QString &key, const QVariant &value)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (key.isEmpty()) {
        qCWarning(lcEvents) << "Refused a global property without a key";
        return;
    }
    QVariantMap properties = globalProperties;
    properties.insert(key, value);
    setGlobalProperties(properties);
}

void SentrelTrackerImpl::removeGlobalProperty(const QString &key)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!globalProperties.contains(key))
        return;
    QVariantMap properties = globalProperties;
    properties.remove(key);
    setGlobalProperties(properties);
}

// Written here once rather than for every event on the worker.
void SentrelTrackerImpl::setGlobalProperties(const QVariantMap &properties)
{
    QByteArray json;
    if (!properties.isEmpty()) {
        SentrelProperties::Written written = SentrelProperties::write(properties);
        if (written.json.isEmpty()) {
            qCWarning(lcEvents).noquote()
                    << QStringLiteral("Refused the global properties: %1").arg(written.refusal);
            return;
        }
        json = std::move(written.json);
    }
    globalProperties = properties;
    globalPropertiesJson = json;
    if (running) {
        queue([json](QSentrelReporter *reporter) {
            reporter->setGlobalProperties(json);
        });
    }
}

void SentrelTrackerImpl::flush()
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (!running) {
        // Nothing may leave: disabled, or the person has not agreed.
        const int waiting = int(SentrelOutbox::cachedCount(m_configuration));
        QMetaObject::invokeMethod(
                SentrelTrackerNotifier::instance(),
                [waiting] {
                    Q_EMIT SentrelTrackerNotifier::instance()->flushFinished(0, waiting);
                },
                Qt::QueuedConnection);
        return;
    }
    queue([](QSentrelReporter *reporter) {
        reporter->flush();
    });
}

void SentrelTrackerImpl::setEventInterceptor(QSentrelEventInterceptor *interceptor)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    eventInterceptor = interceptor;
    if (running) {
        queue([interceptor](QSentrelReporter *reporter) {
            reporter->setEventInterceptor(interceptor);
        });
    }
}

QSentrelTracker::Consent SentrelTrackerImpl::consent() const
{
    if (!storedConsent || storedConsent->second < m_consentVersion)
        return QSentrelTracker::ConsentUndecided;
    return QSentrelTracker::Consent(qBound(int(QSentrelTracker::ConsentUndecided),
                                           storedConsent->first,
                                           int(QSentrelTracker::ConsentGranted)));
}

QSentrelTracker::Consent SentrelTrackerImpl::effectiveConsent() const
{
    return m_consentRequired ? consent() : QSentrelTracker::ConsentGranted;
}

void SentrelTrackerImpl::setConsentRequired(bool required)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (required == m_consentRequired)
        return;
    const QSentrelTracker::Consent previous = effectiveConsent();
    m_consentRequired = required;
    applyConsent(previous);
    Q_EMIT SentrelTrackerNotifier::instance()->consentRequiredChanged(required);
}

void SentrelTrackerImpl::setConsentVersion(int version)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    if (version == m_consentVersion)
        return;
    const QSentrelTracker::Consent previousDecision = consent();
    const QSentrelTracker::Consent previous = effectiveConsent();
    m_consentVersion = version;
    applyConsent(previous);
    Q_EMIT SentrelTrackerNotifier::instance()->consentVersionChanged(version);
    if (consent() != previousDecision)
        Q_EMIT SentrelTrackerNotifier::instance()->consentChanged(consent());
}

void SentrelTrackerImpl::setConsent(QSentrelTracker::Consent decision)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    const QSentrelTracker::Consent previousDecision = consent();
    if (decision == previousDecision)
        return;
    const QSentrelTracker::Consent previous = effectiveConsent();
    storedConsent = std::make_pair(int(decision), m_consentVersion);
    m_configuration.storeConsent(decision, m_consentVersion);
    settingsPresent = true;
    if (decision >= QSentrelTracker::ConsentAnonymous)
        consentEvent = std::make_pair(decision, previousDecision);
    else
        consentEvent.reset();
    applyConsent(previous);
    queueConsentEvent();
    Q_EMIT SentrelTrackerNotifier::instance()->consentChanged(decision);
}

void SentrelTrackerImpl::applyConsent(QSentrelTracker::Consent previous)
{
    using Tracker = QSentrelTracker;
    const Tracker::Consent now = effectiveConsent();
    if (now == previous)
        return;
    // Before anything else, so that no request leaving from now on carries an identifier.
    SentrelPrivacy::setAnonymous(now == Tracker::ConsentAnonymous);
    const bool allows = now >= Tracker::ConsentAnonymous;
    if (now == Tracker::ConsentDenied) {
        qCInfo(lcSentrel) << "Tracking was denied, deleting its data";
        forgetData();
    } else if (!allows && running) {
        qCInfo(lcSentrel) << "Tracking waits for the person's consent";
        shutDownWorker([](QSentrelReporter *) {});
    } else if (allows && enabled && !running) {
        startWorker();
    } else if (allows && running) {
        // Between anonymous and granted: nothing links the two periods.
        queue([](QSentrelReporter *reporter) {
            reporter->startNewIdentity();
        });
    }
}

bool SentrelTrackerImpl::forgetData()
{
    // The caches this run opened, the one of an earlier run, and the local one that the
    // remote document's storage path may have replaced.
    auto paths = std::make_shared<QStringList>();
    if (running) {
        shutDownWorker(
                [paths](QSentrelReporter *reporter) {
                    *paths = reporter->closeForGood(SentrelOutbox::CacheFiles::Remove);
                },
                0);
    }
    paths->append(SentrelOutbox::cachePath(m_configuration));
    // A document kept from an earlier version of the application is dormant, yet an earlier
    // run may have placed a cache where it says.
    const QString documentDirectory = m_configuration.storedDocumentStoragePath();
    if (!documentDirectory.isEmpty())
        paths->append(SentrelOutbox::cacheFileIn(documentDirectory));
    // The document first: withdrawing a remote "userId" reads the identifier in force, which
    // would make a new one once the old one is forgotten.
    bool removed = m_configuration.forgetRemoteDocument();
    m_configuration.forgetUserId();
    paths->append(SentrelOutbox::cachePath(m_configuration));
    paths->removeDuplicates();
    for (const QString &path : std::as_const(*paths))
        removed = (path.isEmpty() || SentrelOutbox::removeCacheFiles(path)) && removed;
    return removed;
}

bool SentrelTrackerImpl::forgetEverything()
{
    // The decision first: another process that finds the cache gone must find it gone too,
    // and not start a cache of its own again.
    m_configuration.forgetConsent();
    bool removed = forgetData();
    removed = m_configuration.forgetSettings() && removed;
    storedConsent.reset();
    consentEvent.reset();
    return removed;
}

void SentrelTrackerImpl::watchDecisions(bool watch)
{
    // The watcher stays once made: tearing its watches down costs the application's thread
    // 3-20 ms, more than a frame, at every disable.
    watchingDecisions = watch;
    if (!watch)
        return;
    const QString settings = m_configuration.settingsPath();
    if (!decisionWatcher) {
        // The folder as well as the file: QSettings replaces the file, and forgetMe() removes
        // it.
        decisionWatcher = std::make_unique<QFileSystemWatcher>();
        const auto changed = [this] {
            if (watchingDecisions)
                followDecisionOfAnotherProcess();
        };
        QObject::connect(decisionWatcher.get(), &QFileSystemWatcher::fileChanged, changed);
        QObject::connect(decisionWatcher.get(), &QFileSystemWatcher::directoryChanged, changed);
    }
    const QString folder = QFileInfo(settings).path();
    if (!decisionWatcher->directories().contains(folder))
        decisionWatcher->addPath(folder);
    settingsPresent = QFileInfo::exists(settings);
    if (settingsPresent && !decisionWatcher->files().contains(settings))
        decisionWatcher->addPath(settings);
}

// What this process decides itself it already follows, so only a stored decision that differs
// from this process's counts: another process of the application made it.
void SentrelTrackerImpl::followDecisionOfAnotherProcess(bool cacheRemoved)
{
    const QString settings = m_configuration.settingsPath();
    const bool present = QFileInfo::exists(settings);
    if (decisionWatcher && present && !decisionWatcher->files().contains(settings))
        decisionWatcher->addPath(settings);
    const bool wasPresent = std::exchange(settingsPresent, present);
    const auto stored = m_configuration.storedConsent();
    const bool decided = stored && stored != storedConsent;
    // The decision gone (this process may have written the file again since), or the file.
    const bool forgotten = !decided
            && ((!stored && storedConsent) || (!present && wasPresent)
                || (cacheRemoved && !stored));
    if (!decided && !forgotten) {
        if (cacheRemoved && running) {
            // Removed by hand: on with a new cache.
            shutDownWorker([](QSentrelReporter *) {});
            startWorker();
        }
        return;
    }
    const QSentrelTracker::Consent previousDecision = consent();
    const QSentrelTracker::Consent previous = effectiveConsent();
    if (forgotten) {
        // Everything was forgotten there, the files included: this process lets go of what it
        // holds and goes on, if at all, with a new identity. It deletes nothing itself, as the
        // files at those paths may already be the other process's new ones.
        qCInfo(lcSentrel) << "Another process of the application forgot everything";
        if (running) {
            shutDownWorker(
                    [](QSentrelReporter *reporter) {
                        reporter->closeForGood(SentrelOutbox::CacheFiles::Keep);
                    },
                    0);
        }
        m_configuration.withdrawRemoteItems();
        m_configuration.forgetResolvedUserId();
        storedConsent.reset();
        consentEvent.reset();
        SentrelPrivacy::setAnonymous(false);
        if (enabled && effectiveConsent() >= QSentrelTracker::ConsentAnonymous)
            startWorker();
    } else {
        qCInfo(lcSentrel) << "Another process of the application changed the decision";
        storedConsent = stored;
        consentEvent.reset(); // recorded by the process that decided
        applyConsent(previous);
    }
    if (consent() != previousDecision)
        Q_EMIT SentrelTrackerNotifier::instance()->consentChanged(consent());
}

void SentrelTrackerImpl::forgetMe()
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    qCInfo(lcSentrel) << "Forgetting everything tracked for this application";
    const QSentrelTracker::Consent previousDecision = consent();
    const bool removed = forgetEverything();
    settingsPresent = false;
    const QSentrelTracker::Consent now = effectiveConsent();
    SentrelPrivacy::setAnonymous(false);
    if (enabled && now >= QSentrelTracker::ConsentAnonymous)
        startWorker();
    if (previousDecision != QSentrelTracker::ConsentUndecided)
        Q_EMIT SentrelTrackerNotifier::instance()->consentChanged(consent());
    // Queued, so that a caller connecting after the call still hears it.
    QMetaObject::invokeMethod(
            SentrelTrackerNotifier::instance(),
            [removed] {
                Q_EMIT SentrelTrackerNotifier::instance()->forgetMeFinished(removed);
            },
            Qt::QueuedConnection);
}

void SentrelTrackerImpl::requestWaitingEvents(int maximum, QSentrelTracker *asker)
{
    SENTREL_ASSERT_THREAD(&m_configuration);
    // Handed back through the notifier, which outlives the asker, on the asker's thread.
    const auto answer = [asker = QPointer<QSentrelTracker>(asker)](const QJsonArray &events) {
        QMetaObject::invokeMethod(
                SentrelTrackerNotifier::instance(),
                [asker, events] {
                    if (asker)
                        Q_EMIT asker->waitingEventsReady(events);
                },
                Qt::QueuedConnection);
    };
    if (!running) {
        // Waiting for the decision no worker runs to ask: the cache is read here, read-only.
        const bool waiting = enabled && effectiveConsent() == QSentrelTracker::ConsentUndecided;
        answer(waiting ? QSentrelReporter::cachedEvents(m_configuration, maximum) : QJsonArray());
        return;
    }
    queue([maximum, answer](QSentrelReporter *reporter) {
        answer(reporter->waitingEvents(maximum));
    });
}
