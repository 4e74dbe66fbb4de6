// SPDX-License-Identifier: MIT
#include "testclock.h"

#include <QMetaObject>
#include <QThread>

#include <algorithm>

TestClock::TestClock(Mode mode, qint64 start) : mode(mode), base(start)
{
    wall.start();
}

TestClock::~TestClock()
{
    if (installed)
        SentrelClock::setCurrent(nullptr);
}

void TestClock::install()
{
    installed = true;
    SentrelClock::setCurrent(this);
}

qint64 TestClock::now() const
{
    QMutexLocker locker(&mutex);
    return mode == Warp ? base + wall.elapsed() : base;
}

qint64 TestClock::steady() const
{
    QMutexLocker locker(&mutex);
    return (mode == Warp ? base + wall.elapsed() : base) - settings;
}

void TestClock::arm(SentrelAlarm *alarm, qint64 delay)
{
    qint64 wait = 0;
    {
        QMutexLocker locker(&mutex);
        due.insert(alarm, (mode == Warp ? base + wall.elapsed() : base) + delay);
        wait = std::min(delay, warpDelay);
    }
    if (mode == Warp)
        alarm->wait(wait);
}

void TestClock::setWarpDelay(qint64 milliseconds)
{
    QMutexLocker locker(&mutex);
    warpDelay = milliseconds;
}

void TestClock::disarm(SentrelAlarm *alarm)
{
    QMutexLocker locker(&mutex);
    due.remove(alarm);
}

void TestClock::ringing(SentrelAlarm *alarm)
{
    QMutexLocker locker(&mutex);
    const qint64 when = due.take(alarm);
    if (mode == Warp)
        base = std::max(base, when - wall.elapsed());
}

void TestClock::advance(qint64 milliseconds)
{
    const qint64 target = now() + milliseconds;
    for (;;) {
        QPointer<SentrelAlarm> next;
        {
            QMutexLocker locker(&mutex);
            qint64 earliest = target + 1;
            for (auto it = due.cbegin(); it != due.cend(); ++it) {
                if (it.value() < earliest) {
                    earliest = it.value();
                    next = it.key();
                }
            }
            if (!next) {
                base = std::max(base, target);
                return;
            }
            base = std::max(base, earliest);
            due.remove(next); // before it rings: it may arm itself again
        }
        // An alarm rings on its own thread; one of this thread rings before advance returns.
        if (next->thread() == QThread::currentThread())
            next->ring();
        else
            QMetaObject::invokeMethod(next, &SentrelAlarm::ring, Qt::BlockingQueuedConnection);
    }
}

void TestClock::setTime(qint64 msecsSinceEpoch)
{
    QMutexLocker locker(&mutex);
    const qint64 shift = msecsSinceEpoch - (mode == Warp ? base + wall.elapsed() : base);
    base += shift;
    settings += shift;
    for (auto it = due.begin(); it != due.end(); ++it)
        it.value() += shift; // alarms wait on the steady clock
}

qint64 TestClock::nextAlarm() const
{
    QMutexLocker locker(&mutex);
    if (due.isEmpty())
        return -1;
    const qint64 current = mode == Warp ? base + wall.elapsed() : base;
    return std::max<qint64>(0, *std::min_element(due.cbegin(), due.cend()) - current);
}
