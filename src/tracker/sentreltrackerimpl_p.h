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

#include <SentrelTracker/qsentreltracker.h>
#include <SentrelTracker/sentreltrackertypes.h>

#include <QDeadlineTimer>
#include <QPointer>

#include <functional>
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
    static SentrelTrackerImpl *instance();
    virtual ~SentrelTrackerImpl();

    void init();
    void deinit();
    void setEnabled(bool enabled);
    // Stops the worker at process exit, leaving the reporter to the operating system.
    void abandonAtExit();
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
                   const std::optional<QString> &details);
    void sendContextData(const SentrelTracker::ContextData<QString> &data) const;
    void sendDimensionData(const SentrelTracker::ContextData<QString> &data) const;
    void clearCache();
    void startNewSession();

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

private:
    SentrelTrackerImpl();
    Q_DISABLE_COPY_MOVE(SentrelTrackerImpl)

    void queue(Request request) const;
    void startWorker();
    // Stops the worker, last running on it behind every request made before, and deletes it.
    void shutDownWorker(Request last);
    bool stopWorker(Request last,
                    QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever));
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

    QSentrelConfigurationPrivate m_configuration;
    QSentrelReporter *reporter = nullptr; // owned while enabled
    std::unique_ptr<QSentrelEventFilter> eventFilter; // owned while enabled
    std::unique_ptr<QFileSystemWatcher> decisionWatcher; // owned while enabled
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
    // and one write to the cache per batch, and the lock is only ever held for a push or a swap.
    mutable SentrelSpinningMutex requestLock;
    mutable SentrelRequestQueue requests;
    mutable SentrelRequestQueue taken; // the worker's alone: taken from the queue, not yet run
};

#endif // SENTRELTRACKERIMPL_P_H
