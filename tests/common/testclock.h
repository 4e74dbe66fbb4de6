// SPDX-License-Identifier: MIT
#ifndef TESTCLOCK_H
#define TESTCLOCK_H

#include "sentrelclock_p.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QPointer>

// A clock for the tests. Manual: time stands still until advance(), which rings the alarms
// it passes, in order. Warp: time runs as on the wall, and every alarm rings within a few real
// milliseconds while the clock jumps to its time, so that a test never waits for a delay it
// does not measure. Thread-safe: alarms may live on the tracker's worker thread.
class TestClock : public SentrelClock
{
public:
    enum Mode {
        Manual,
        Warp
    };

    explicit TestClock(Mode mode, qint64 start = QDateTime::currentMSecsSinceEpoch());
    ~TestClock() override;

    // Makes it the library's clock until this is destroyed.
    void install();

    qint64 now() const override;
    qint64 steady() const override;
    void arm(SentrelAlarm *alarm, qint64 delay) override;
    void disarm(SentrelAlarm *alarm) override;
    void ringing(SentrelAlarm *alarm) override;

    // Manual: moves time on by milliseconds, ringing every alarm due by then.
    void advance(qint64 milliseconds);
    // Sets the device's clock, as a user or the network would, without ringing anything.
    void setTime(qint64 msecsSinceEpoch);
    // Warp: the real milliseconds an alarm waits at most (50 by default), for a test that must
    // act between an alarm's arming and its ringing.
    void setWarpDelay(qint64 milliseconds);
    // The milliseconds until the earliest armed alarm rings; -1 when none is armed.
    qint64 nextAlarm() const;

private:
    qint64 warpDelay = 50; // real milliseconds before an alarm rings: time for the network

    Mode mode;
    mutable QMutex mutex;
    QElapsedTimer wall;
    qint64 base; // the clock's time when wall started, plus the jumps
    qint64 settings = 0; // what setTime() moved it by
    QHash<SentrelAlarm *, qint64> due; // armed alarms and their times
    bool installed = false;
};

#endif // TESTCLOCK_H
