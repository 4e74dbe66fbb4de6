// SPDX-License-Identifier: MIT
#ifndef SENTRELDELIVERY_P_H
#define SENTRELDELIVERY_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelclock_p.h"
#include "sentrelglobal_p.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

// The rules of delivery: which cached rows go in the next batch, what an answer means for
// them, and when the next upload and the next remote configuration fetch are due. It does no
// input or output itself: the reporter reads the store, sends, and removes what it is told.
//
// Lives on the worker thread, owned by the reporter. Times are milliseconds on its clock.
class SENTREL_AUTOTEST_EXPORT SentrelDelivery : public QObject
{
    Q_OBJECT

public:
    enum class Verdict {
        Accepted, // 2xx: the rows go
        Transient, // no answer, 408, 425, 429, 5xx: kept, tried again after a back-off
        Refused, // 400, 413, 422: the data itself; split down to single events
        Setup, // 1xx, 3xx and any other status: kept, tried again after a back-off
    };

    // What the collector said, as far as delivery cares.
    struct Answer
    {
        int status = 0; // 0: no answer (a network error, a reset, the transfer timeout)
        QByteArray retryAfter;
        QByteArray location;
        QString error; // the network error's text
    };

    // What a batch holds: which rows of which store.
    struct Batch
    {
        QSet<quint64> ids;
        quint64 generation = 0; // of the store it was read from
        QString eventId; // of a batch of one, for the log
        bool anonymous = false; // its events were recorded anonymously, all or none
    };

    // The next batch made from the oldest rows of the store.
    struct Composition
    {
        Batch batch;
        QByteArray body;
        QSet<quint64> unreadable; // rows that are not JSON objects: to be dropped
        std::optional<qint64> wait; // nothing may go before this many milliseconds
    };

    enum class Outcome {
        Keep, // the rows stay in the cache
        Remove, // delivered
        Drop, // given up on; a warning has named them
    };

    // The rules themselves, free of state.
    static Verdict verdictOf(int status);
    // Milliseconds from now that a Retry-After value asks for: delta-seconds (digits only) or
    // an HTTP date in any of its three forms, read as UTC. Anything else is no request.
    static std::optional<qint64> retryAfter(QByteArrayView value, qint64 now);
    // The wait before attempt failures + 1 of a batch failing in a row: the interval doubled
    // per failure, capped at max(interval, maximumBackOff), scaled by 0.8 + 0.4 * jitter.
    static qint64 backOff(qint64 interval, int failures, double jitter);
    // The wait before the first sync after a start, from the last sync on the device's clock:
    // within 0..interval whatever the clock did meanwhile.
    static qint64 firstSyncDelay(qint64 interval, qint64 lastSync, qint64 now);
    // The batch body of the readable rows among records in their order: at most limit of them,
    // none with an id above upTo or in skipped, within maximumBatchBytes. Each row goes in as
    // strict JSON: one that parses but is not in that form is written again. A body carries
    // anonymous events only or identified ones only (anonymous tells which), so that no request
    // links the two.
    // The batch body of one event that goes without a cache.
    static QByteArray batchOf(const QByteArray &event);
    static QByteArray batchFrom(const QList<QPair<quint64, QByteArray>> &records,
                                qsizetype limit,
                                quint64 upTo,
                                const QSet<quint64> &skipped,
                                QSet<quint64> *ids,
                                QSet<quint64> *unreadable,
                                bool *anonymous = nullptr);

    // A batch body stops growing before it would exceed this; a larger event goes alone. Qt
    // writes a body of this size with its head at once, while a larger one leaves in pieces,
    // each of which waits for the collector's acknowledgement of the one before: 40 ms apiece
    // from a server that leaves acknowledgements to the kernel's timer, as most do.
    static constexpr qsizetype maximumBatchBytes = 16 * 1024;
    // The longest wait before another attempt, unless the sync interval is longer.
    static constexpr qint64 maximumBackOff = 3600 * 1000;
    // Transient failures in a row of the same rows before they are split.
    static constexpr int splitAfter = 3;
    // A single event failing transiently while others go through is given up on after this
    // many such failures, spread over at least dropAfterSpan.
    static constexpr int dropAfterFailures = 10;
    static constexpr qint64 dropAfterSpan = qint64(24) * 3600 * 1000;
    // Single events refused in a row, with nothing accepted in between, before refusals are
    // taken for a collector that is set up wrong rather than for bad events.
    static constexpr int haltAfterDrops = 10;

    explicit SentrelDelivery(QObject *parent = nullptr);

    SentrelClock *clock() const { return syncAlarm.clock(); }
    // For tests: a source of numbers in 0..1 for the jitter.
    void setJitterSource(std::function<double()> source) { jitter = std::move(source); }

    // The sync interval in seconds (0: offline). Returns whether it changed.
    bool setSyncInterval(int seconds);
    int syncInterval() const { return intervalSeconds; }
    // Whether an upload may start now: online, and no batch in flight.
    bool mayStart() const { return intervalSeconds > 0 && !inFlight; }
    bool isInFlight() const { return inFlight.has_value(); }
    // Whether the collector asked to wait: a back-off or a Retry-After is pending.
    bool isHeldBack() const { return retryAt && *retryAt > clock()->steady(); }

    // Arms the next sync after delay milliseconds, or later while a back-off is pending.
    // Returns the delay armed; -1 when none is (offline, or a batch in flight).
    qint64 schedule(qint64 delay);
    // Arms the first sync from the last one (null: never), as at a start or a reopen.
    qint64 scheduleFromLastSync(std::optional<qint64> lastSync);
    void stopSync();
    // The delay of the pending sync; -1 when none is armed.
    qint64 pendingSync() const { return syncAlarm.isActive() ? syncAlarm.delay() : -1; }

    // Whether the next attempt should be the newest row alone: the collector refused every
    // single event lately, and only an acceptance shows it takes any.
    bool wantsProbe() const { return halted; }
    // The newest row alone, as a probe.
    Composition probe(const QPair<quint64, QByteArray> &newest, quint64 generation);
    // How many rows beyond the batch size to read, for those set aside.
    qsizetype setAside() const { return qsizetype(parked.size()); }
    QSet<quint64> setAsideRows() const { return QSet<quint64>(parked.keyBegin(), parked.keyEnd()); }
    // The next batch from the oldest rows (or from the newest alone, for a probe).
    Composition compose(const QList<QPair<quint64, QByteArray>> &records,
                        qsizetype batchSize,
                        quint64 generation);
    void sent(const Batch &batch);
    // The answer to the batch in flight; sameRows is false when its ids may name other rows
    // by now (a new store, or a cleared one). Arms the next sync.
    Outcome answered(const Batch &batch, const Answer &answer, bool sameRows);
    // The cache is another now: what was known about its rows is void.
    void forgetRows();

    // The remote configuration fetch: every intervalSeconds while enabled.
    void setRemoteConfig(bool enabled, int intervalSeconds);
    bool remoteConfigScheduled() const { return remoteAlarm.isActive(); }

Q_SIGNALS:
    void syncDue();
    void remoteConfigDue();

private:
    struct Parked
    {
        QString eventId;
        int failures = 0; // counted while the collector accepted other events
        qint64 firstFailure = 0;
        qint64 nextTry = 0; // on the steady clock
        int attempts = 0; // for its own back-off
        quint64 acceptancesSeen = 0;
    };

    qint64 now() const { return clock()->now(); }
    qint64 intervalMs() const { return qint64(intervalSeconds) * 1000; }
    qint64 retryDelay(const Answer &answer);
    Outcome refused(const Batch &batch, const Answer &answer, bool sameRows);
    Outcome failedTransiently(const Batch &batch, const Answer &answer, bool sameRows);
    void split(const Batch &batch);

    SentrelAlarm syncAlarm; // child of this
    SentrelAlarm remoteAlarm; // child of this
    std::function<double()> jitter;
    int intervalSeconds = -1;
    int remoteIntervalSeconds = 0;
    std::optional<Batch> inFlight;
    int failuresInRow = 0;
    std::optional<qint64> retryAt; // a pending back-off or Retry-After, on the steady clock
    quint64 acceptances = 0;
    // While a batch is split: batches hold at most splitLimit rows and none beyond splitUpTo,
    // until an acceptance or a drop.
    qsizetype splitLimit = 0;
    quint64 splitUpTo = 0;
    quint64 transientFront = 0; // the oldest row of the batch that failed transiently last
    quint64 transientUpTo = 0; // rows up to here were split for failing transiently
    int transientStreak = 0;
    QHash<quint64, Parked> parked; // single events that fail transiently, tried apart
    int droppedInRow = 0;
    bool halted = false;
};

#endif // SENTRELDELIVERY_P_H
