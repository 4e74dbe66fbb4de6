// SPDX-License-Identifier: MIT
#ifndef SENTRELTRACKERIMPL_P_H
#define SENTRELTRACKERIMPL_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "qsentrelconfiguration_p.h"
#include "sentrelglobal_p.h"
#include "sentrelrequestqueue_p.h"
#include "sentrelscreentime_p.h"

#include <SentrelTracker/qsentreltracker.h>
#include <SentrelTracker/sentreltrackertypes.h>

#include <QDeadlineTimer>
#include <QPointer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>

class QFileSystemWatcher;
class QSentrelCategoryFilter;
class QSentrelEventFilter;
class QSentrelReporter;
class QThread;

// The process-wide tracker behind every QSentrelTracker. It lives on the thread that first
// reached instance() and is called there only. While tracking is enabled, and the person's
// consent allows it, it owns the worker thread, the reporter living on it and the
// application-wide event filter; every request is copied and queued to the reporter, so no
// tracking work runs on the caller's thread. Waiting for consent, none of them exists.
class SENTREL_AUTOTEST_EXPORT SentrelTrackerImpl
{
public:
    // Recording calls waiting for the worker, at most; beyond either bound they are dropped
    // until the worker catches up. The bytes are the requests' own and their strings'.
    static constexpr std::size_t maximumQueuedRecordings = 100000;
    static constexpr std::size_t maximumQueuedBytes = 64 * 1024 * 1024;
    // Stopping, the worker stores the recording calls still waiting, oldest first: this many
    // at least, then more for as long as it has been stopping for less than
    // stoppingMilliseconds. It drops the rest: storing them all would hold the application's
    // thread, which waits for the worker, for as long as they took to record.
    static constexpr std::size_t storedWhenStopping = 128;
    static constexpr int stoppingMilliseconds = 2;
    // The same at exit and as the application object goes, when nothing waits for a frame: a
    // full queue stores in well under a second, and a slow or locked disk holds the process's
    // end no longer than this.
    static constexpr int exitStoringMilliseconds = 3000;

    static SentrelTrackerImpl *instance();
    virtual ~SentrelTrackerImpl();

    void init();
    void deinit();
    // Disables tracking as the application object goes, storing everything still waiting.
    void deinitAtExit();
    void setEnabled(bool enabled);
    // Stops the worker at process exit, leaving the reporter to the operating system.
    void abandonAtExit();
    // Stops and deletes the worker as the tracker's thread ends, before anything static goes.
    void stopAtExit();
    // exit() on Windows, before any thread has ended: stopAtExit() on the tracker's thread,
    // abandonAtExit() on another.
    void stopAtProcessExit();
    bool isEnabled() const { return enabled; }

    void setConsentRequired(bool required);
    bool consentRequired() const { return m_consentRequired; }
    void setConsent(QSentrelTracker::Consent consent);
    QSentrelTracker::Consent consent() const;
    void setConsentVersion(int version);
    int consentVersion() const { return m_consentVersion; }
    void forgetMe();
    void requestWaitingEvents(int maximum, QSentrelTracker *asker);
    QSentrelConfiguration *configuration() { return &m_configuration; }
    QSentrelConfigurationPrivate *configurationPrivate() { return &m_configuration; }
    void setCategoryFilter(QSentrelCategoryFilter *filter);

    void sendScreenView(const QString &screen,
                        const std::optional<SentrelTracker::ContextData<double>> &context);
    void sendClickEvent(const QString &name,
                        const QString &category,
                        const std::optional<SentrelTracker::ContextData<double>> &context);
    void sendEvent(const QString &type,
                   const QString &object,
                   const QString &objectName,
                   const std::optional<SentrelTracker::EventCoordinates> &position,
                   const std::optional<QString> &details,
                   const QString &objectPath = QString());
    void sendAction(const QString &action, const QString &via, std::optional<bool> checked);
    void sendStall(qint64 milliseconds);
    void sendApplicationState(bool foreground);
    // The screen of the last screen view of this enabled period, automatic or explicit.
    const QString &currentScreen() const { return shownScreen; }
    // The application became active or inactive: its time on the current screen counts only
    // while it is active.
    void setApplicationActive(bool active);
    void sendContextData(const SentrelTracker::ContextData<QString> &data) const;
    void sendTypedEvent(const QString &name, const QVariantMap &properties) const;
    void sendSelfDescribing(const QString &schema, const QJsonObject &data) const;
    void sendDimensionData(const SentrelTracker::ContextData<QString> &data) const;
    void clearCache();
    void startNewSession();
    void setGlobalProperty(const QString &key, const QVariant &value);
    void removeGlobalProperty(const QString &key);
    void setEventInterceptor(QSentrelEventInterceptor *interceptor);
    void flush();

    // For the tests: the worker thread and reporter of the current enabled period.
    QThread *workerThread() const { return thread; }
    QSentrelReporter *currentReporter() const { return reporter; }
    bool isRecording() const { return running; }
    QSentrelEventFilter *currentEventFilter() const { return eventFilter.get(); }

    // For the tests: runs request on the worker behind every request made before it.
    using Request = SentrelRequest;
    void queueRequest(std::function<void(QSentrelReporter *)> request) const
    {
        queue(std::move(request));
    }
    // For the tests: returns once every request made before has run. Not on the worker.
    void waitForRequests() const;
    // For the tests: other bounds of the queue, so that a test fills it with a few calls.
    void setQueueLimits(std::size_t recordings, std::size_t bytes)
    {
        recordingLimit = recordings;
        byteLimit = bytes;
    }
    // For the tests: a shorter time to store at exit, so that a backlog outlasts it.
    void setExitStoringTime(int milliseconds) { exitStoringTime = milliseconds; }

private:
    SentrelTrackerImpl();
    Q_DISABLE_COPY_MOVE(SentrelTrackerImpl)

    void queue(Request request) const;
    // Queues a recording call holding strings of that many UTF-16 units, or drops it when it
    // cannot fit the size limit or while the queue is full.
    void record(Request request, qsizetype characters) const;
    // Whether an event with strings of that many UTF-16 units may still fit the size limit;
    // each unit takes a byte at least once written.
    bool mayFitAnEvent(qsizetype characters) const;
    void startWorker();
    // Records that the current screen is left, with capture/screens on.
    void endScreen();
    // Stops the worker, last running on it behind every request made before, and deletes it.
    // keep: recording calls still waiting that are stored at least, as storedWhenStopping
    // says, the rest dropped and counted; keepAll stores all; 0 drops all unannounced (their
    // data is deleted anyway).
    // storeMilliseconds: as stoppingMilliseconds. Returns false, deleting nothing, when the
    // worker has not finished by the deadline.
    bool shutDownWorker(Request last,
                        std::size_t keep = storedWhenStopping,
                        int storeMilliseconds = stoppingMilliseconds,
                        QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever));
    void disable(std::size_t keep, int storeMilliseconds = stoppingMilliseconds);
    bool stopWorker(Request last, QDeadlineTimer deadline, std::size_t keep, int storeMilliseconds);
    // Logs what the worker dropped: while the queue was full, and when stopping. Once the
    // worker has finished.
    void reportDropped(bool stoppingLosses) const;
    void reportDroppedWhileFull() const;
    // What the person's decision means for the tracker: consent() where it is required.
    QSentrelTracker::Consent effectiveConsent() const;
    // Starts or stops the worker, and deletes the data, for the change from previous.
    void applyConsent(QSentrelTracker::Consent previous);
    // Records the pending change of decision once the worker runs.
    void queueConsentEvent();
    // Deletes the cache, the remote document and the identifier; false when a file remains.
    bool forgetData();
    // Deletes what forgetMe() deletes and forgets the decision; false when a file remains.
    bool forgetEverything();
    // Another process of the application shares "sentrel.ini": its decisions hold here too.
    void watchDecisions(bool watch);
    // Called as well when the reporter found its cache removed by another process.
    void followDecisionOfAnotherProcess(bool cacheRemoved = false);
    void postRunRequests() const;
    void runRequests() const;
    bool noticeStop() const;
    bool storeWhileStopping() const;

    QSentrelConfigurationPrivate m_configuration; // on the tracker's thread, like the tracker
    QSentrelReporter *reporter = nullptr; // owned while enabled
    // Kept for the life of the process and handed to every reporter: the global properties
    // as written once for every event, and the application's interceptor (not owned).
    QVariantMap globalProperties;
    QByteArray globalPropertiesJson;
    QSentrelEventInterceptor *eventInterceptor = nullptr;
    void setGlobalProperties(const QVariantMap &properties);
    std::unique_ptr<QSentrelEventFilter> eventFilter; // owned while enabled
    QString shownScreen; // since the last screen view; empty before the first of a period
    SentrelScreenTime screenTime;
    std::unique_ptr<QFileSystemWatcher> decisionWatcher; // owned; made at the first enabling
    bool watchingDecisions = false; // while enabled
    QThread *thread = nullptr; // owned while enabled
    bool enabled = false; // by the application
    bool running = false; // the worker, which enabled tracking has when consent allows
    bool settingsPresent = false; // "sentrel.ini" as this process last left or saw it
    bool m_consentRequired = false;
    int m_consentVersion = 0;
    std::optional<std::pair<int, int>> storedConsent; // the decision and its version
    // A change of decision that allows tracking, recorded when the worker next runs.
    std::optional<std::pair<QSentrelTracker::Consent, QSentrelTracker::Consent>> consentEvent;
    // Requests waiting for the worker, oldest first; the queue itself carries the data across,
    // under a lock the thread sanitizer can see. A call to runRequests() is posted to the
    // worker when the queue stops being empty. The worker swaps the whole queue for its own
    // empty one and runs what it took in batches, so that a burst of events costs one post
    // and one write to the cache per batch, and the lock is only ever held for a push or a swap
    // (or, once stopping, for moving what is left behind what the worker took).
    mutable SentrelSpinningMutex requestLock;
    mutable SentrelRequestQueue requests;
    mutable SentrelRequestQueue taken; // the worker's alone: taken from the queue, not yet run

    // The queue's bound. The application's thread adds a recording call before queuing it,
    // the worker subtracts it once run or dropped; so the counts may run late, never early.
    std::size_t recordingLimit = maximumQueuedRecordings; // read on the application's thread
    std::size_t byteLimit = maximumQueuedBytes;
    int exitStoringTime = exitStoringMilliseconds;
    mutable std::atomic<std::size_t> queuedRecordings {0};
    mutable std::atomic<std::size_t> queuedBytes {0};
    // Dropped while the queue was full, since the last report; one warning when it leaves 0.
    mutable std::atomic<std::uint64_t> droppedWhileFull {0};

    // Stopping: set on the application's thread with keepWhenStopping, before the last
    // requests are queued. The worker then takes all that is left at once.
    static constexpr std::size_t keepAll = std::numeric_limits<std::size_t>::max();
    std::atomic<bool> stopping {false};
    std::size_t keepWhenStopping = keepAll;
    QDeadlineTimer storeUntil; // then the worker stores no more than keepWhenStopping
    // The worker's: whether it has seen the stop, the recording calls it still stores whatever
    // the time, and whether the time is up.
    mutable bool stopNoticed = false;
    mutable std::size_t stillKept = keepAll;
    mutable bool pastStoreDeadline = false;
    mutable std::uint64_t droppedWhenStopping = 0; // the worker's until it has finished
};

#endif // SENTRELTRACKERIMPL_P_H
