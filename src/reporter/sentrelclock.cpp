// SPDX-License-Identifier: MIT
#include "sentrelclock_p.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <algorithm>
#include <limits>

namespace {

class SystemClock final : public SentrelClock
{
public:
    SystemClock() { started.start(); }
    qint64 now() const override { return QDateTime::currentMSecsSinceEpoch(); }
    qint64 steady() const override { return started.elapsed(); }
    void arm(SentrelAlarm *alarm, qint64 delay) override { alarm->wait(delay); }
    void disarm(SentrelAlarm *) override { }

private:
    QElapsedTimer started;
};

// Never destroyed: an alarm on the worker may still use it while exit() runs destructors.
SentrelClock *systemClock()
{
    static SentrelClock *const clock = new SystemClock;
    return clock;
}

SentrelClock *installed = nullptr;

} // namespace

SentrelClock::~SentrelClock() = default;

void SentrelClock::ringing(SentrelAlarm *) { }

SentrelClock *SentrelClock::current()
{
    return installed ? installed : systemClock();
}

void SentrelClock::setCurrent(SentrelClock *clock)
{
    installed = clock;
}

SentrelAlarm::SentrelAlarm(QObject *parent)
    : QObject(parent)
    , owner(SentrelClock::current())
    , steady(this)
{
    steady.setSingleShot(true);
    steady.setTimerType(Qt::PreciseTimer);
    connect(&steady, &QTimer::timeout, this, &SentrelAlarm::waitMore);
}

SentrelAlarm::~SentrelAlarm()
{
    owner->disarm(this);
}

void SentrelAlarm::start(qint64 delay)
{
    armedDelay = std::max<qint64>(0, delay);
    active = true;
    steady.stop();
    owner->arm(this, armedDelay);
}

void SentrelAlarm::stop()
{
    active = false;
    steady.stop();
    owner->disarm(this);
}

void SentrelAlarm::wait(qint64 delay)
{
    // Even a delay of 0 rings from the event loop, never inside start().
    const qint64 step = std::clamp<qint64>(delay, 0, std::numeric_limits<int>::max());
    remainder = std::max<qint64>(0, delay) - step;
    steady.start(int(step));
}

void SentrelAlarm::waitMore()
{
    if (remainder > 0)
        wait(remainder);
    else
        ring();
}

void SentrelAlarm::ring()
{
    if (!active)
        return;
    active = false;
    steady.stop();
    owner->ringing(this);
    Q_EMIT timeout();
}
