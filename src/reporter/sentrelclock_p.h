// SPDX-License-Identifier: MIT
#ifndef SENTRELCLOCK_P_H
#define SENTRELCLOCK_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <QObject>
#include <QTimer>

class SentrelAlarm;

// Time as delivery sees it: the device's clock, which the user or the network may set back
// or forward, and alarms that wait on a steady clock so that such a jump cannot stretch them.
// The library runs on the system clock; tests install one they drive.
class SENTREL_AUTOTEST_EXPORT SentrelClock
{
public:
    virtual ~SentrelClock();

    // Milliseconds since the epoch on the device's clock.
    virtual qint64 now() const = 0;
    // Milliseconds on a clock that only moves forward, from an arbitrary start.
    virtual qint64 steady() const = 0;
    // Arms alarm to ring after delay milliseconds, replacing what it was armed for.
    virtual void arm(SentrelAlarm *alarm, qint64 delay) = 0;
    virtual void disarm(SentrelAlarm *alarm) = 0;
    // Called on the alarm's thread just before it rings.
    virtual void ringing(SentrelAlarm *alarm);

    // The clock in use: the system clock unless a test installed another.
    static SentrelClock *current();
    // Tests only, before any alarm of the old clock exists; null brings back the system clock.
    static void setCurrent(SentrelClock *clock);
};

// A single-shot alarm on the clock that was current when it was made. Lives on the thread
// that made it and rings there; owned by its parent.
class SENTREL_AUTOTEST_EXPORT SentrelAlarm : public QObject
{
    Q_OBJECT

public:
    explicit SentrelAlarm(QObject *parent = nullptr);
    ~SentrelAlarm() override;

    void start(qint64 delay);
    void stop();
    bool isActive() const { return active; }
    // The delay it was last started with, in milliseconds.
    qint64 delay() const { return armedDelay; }
    SentrelClock *clock() const { return owner; }

    // For clocks: waits delay milliseconds on the steady clock, then rings.
    void wait(qint64 delay);
    // For clocks: rings now if armed.
    void ring();

Q_SIGNALS:
    void timeout();

private:
    void waitMore();

    SentrelClock *owner;
    QTimer steady; // child of this, precise: a Retry-After must never be met early
    qint64 remainder = 0; // beyond what one QTimer interval holds
    qint64 armedDelay = 0;
    bool active = false;
};

#endif // SENTRELCLOCK_P_H
