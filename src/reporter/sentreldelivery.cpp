// SPDX-License-Identifier: MIT
#include "sentreldelivery_p.h"

#include "sentrelprivacy_p.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QByteArray batchPrefix =
        QByteArrayLiteral("{\"schema\":\"iglu:com.snowplowanalytics.snowplow/payload_data/"
                          "jsonschema/1-0-4\",\"data\":[");
const QByteArray batchSuffix = QByteArrayLiteral("]}");

bool isDigits(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) {
        return c >= '0' && c <= '9';
    });
}

// A number of exactly the given count of digits (0: any count up to 4).
std::optional<int> number(QByteArrayView text, qsizetype digits = 0)
{
    if (!isDigits(text) || (digits > 0 && text.size() != digits) || text.size() > 4)
        return std::nullopt;
    return QByteArray(text.data(), text.size()).toInt();
}

std::optional<int> monthOf(QByteArrayView name)
{
    static const char *const names[] =
            {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; ++i) {
        if (name == QByteArrayView(names[i]))
            return i + 1;
    }
    return std::nullopt;
}

std::optional<QTime> timeOf(QByteArrayView text)
{
    const QList<QByteArray> parts = QByteArray(text.data(), text.size()).split(':');
    if (parts.size() != 3)
        return std::nullopt;
    const auto h = number(parts.at(0), 2), m = number(parts.at(1), 2), s = number(parts.at(2), 2);
    if (!h || !m || !s)
        return std::nullopt;
    const QTime time(*h, *m, *s);
    return time.isValid() ? std::make_optional(time) : std::nullopt;
}

// The three forms of an HTTP date, always in UTC:
//   IMF-fixdate  "Sun, 06 Nov 1994 08:49:37 GMT"
//   RFC 850      "Sunday, 06-Nov-94 08:49:37 GMT"
//   asctime      "Sun Nov  6 08:49:37 1994"
std::optional<QDateTime> httpDate(QByteArrayView value, int currentYear)
{
    const QList<QByteArray> parts = QByteArray(value.data(), value.size()).simplified().split(' ');
    std::optional<int> day, month, year;
    std::optional<QTime> time;
    if (parts.size() == 6 && parts.at(0).endsWith(',') && parts.at(5) == "GMT") {
        day = number(parts.at(1), 2);
        month = monthOf(parts.at(2));
        year = number(parts.at(3), 4);
        time = timeOf(parts.at(4));
    } else if (parts.size() == 4 && parts.at(0).endsWith(',') && parts.at(3) == "GMT") {
        const QList<QByteArray> date = parts.at(1).split('-');
        if (date.size() == 3) {
            day = number(date.at(0), 2);
            month = monthOf(date.at(1));
            // Two digits: the year in the last fifty or the next fifty years.
            if (const std::optional<int> yy = number(date.at(2), 2)) {
                year = currentYear - currentYear % 100 + *yy;
                if (*year > currentYear + 50)
                    *year -= 100;
                else if (*year < currentYear - 50)
                    *year += 100;
            }
        }
        time = timeOf(parts.at(2));
    } else if (parts.size() == 5 && !parts.at(0).endsWith(',')) {
        month = monthOf(parts.at(1));
        day = parts.at(2).size() <= 2 ? number(parts.at(2)) : std::nullopt;
        time = timeOf(parts.at(3));
        year = number(parts.at(4), 4);
    }
    if (!day || !month || !year || !time)
        return std::nullopt;
    const QDate date(*year, *month, *day);
    if (!date.isValid())
        return std::nullopt;
    return QDateTime(date, *time, QTimeZone::utc());
}

// Bytes that can go into a batch as they are: an object, in UTF-8, with no byte-order mark
// and no control character anywhere (whitespace between tokens included, which costs only a
// rewrite of a row that never comes from this library).
bool isStrictObject(const QByteArray &row, const QJsonDocument &parsed)
{
    if (!parsed.isObject() || row.startsWith("\xEF\xBB\xBF"))
        return false;
    return std::none_of(row.cbegin(), row.cend(), [](char c) {
        return uchar(c) < 0x20;
    });
}

QString eventIdOf(const QByteArray &row)
{
    return QJsonDocument::fromJson(row).object().value(QLatin1String("eid")).toString();
}

qint64 clampedWait(qint64 wait, qint64 cap)
{
    return std::clamp<qint64>(wait, 0, cap);
}

#ifdef SENTREL_TESTING_LIBRARY
// The tests shorten the day over which a failing event is given up on.
qint64 dropSpan()
{
    bool ok = false;
    const qint64 span = qEnvironmentVariable("SENTREL_DROP_SPAN_MS").toLongLong(&ok);
    return ok && span >= 0 ? span : SentrelDelivery::dropAfterSpan;
}
#else
constexpr qint64 dropSpan()
{
    return SentrelDelivery::dropAfterSpan;
}
#endif

} // namespace

SentrelDelivery::SentrelDelivery(QObject *parent)
    : QObject(parent)
    , syncAlarm(this)
    , remoteAlarm(this)
    , jitter([] {
        return QRandomGenerator::global()->generateDouble();
    })
{
    connect(&syncAlarm, &SentrelAlarm::timeout, this, &SentrelDelivery::syncDue);
    connect(&remoteAlarm, &SentrelAlarm::timeout, this, [this] {
        remoteAlarm.start(qint64(remoteIntervalSeconds) * 1000);
        Q_EMIT remoteConfigDue();
    });
}

SentrelDelivery::Verdict SentrelDelivery::verdictOf(int status)
{
    if (status >= 200 && status < 300)
        return Verdict::Accepted;
    if (status == 0 || status == 408 || status == 425 || status == 429 || status >= 500)
        return Verdict::Transient;
    if (status == 400 || status == 413 || status == 422)
        return Verdict::Refused;
    // 1xx and 3xx included: an interim answer or a redirect delivered nothing.
    return Verdict::Setup;
}

std::optional<qint64> SentrelDelivery::retryAfter(QByteArrayView value, qint64 now)
{
    const QByteArrayView text = value.trimmed();
    if (isDigits(text)) {
        if (text.size() > 12) // longer than anyone waits
            return maximumBackOff;
        return QByteArray(text.data(), text.size()).toLongLong() * 1000;
    }
    const QDateTime nowUtc = QDateTime::fromMSecsSinceEpoch(now, QTimeZone::utc());
    const std::optional<QDateTime> date = httpDate(text, nowUtc.date().year());
    if (!date)
        return std::nullopt;
    return std::max<qint64>(0, date->toMSecsSinceEpoch() - now);
}

qint64 SentrelDelivery::backOff(qint64 interval, int failures, double jitter)
{
    interval = std::max<qint64>(1000, interval);
    const qint64 cap = std::max(interval, maximumBackOff);
    qint64 base = interval;
    for (int i = 0; i < failures && base < cap; ++i)
        base *= 2;
    // Jittered, so that clients that failed together do not come back together.
    return std::max<qint64>(1000, std::llround(double(std::min(base, cap)) * (0.8 + 0.4 * jitter)));
}

qint64 SentrelDelivery::firstSyncDelay(qint64 interval, qint64 lastSync, qint64 now)
{
    // A last sync in the future (a clock set back) waits no longer than one interval.
    return std::clamp<qint64>(interval - (now - lastSync), 0, interval);
}

QByteArray SentrelDelivery::batchFrom(const QList<QPair<quint64, QByteArray>> &records,
                                      qsizetype limit,
                                      quint64 upTo,
                                      const QSet<quint64> &skipped,
                                      QSet<quint64> *ids,
                                      QSet<quint64> *unreadable,
                                      bool *anonymous)
{
    QByteArray body = batchPrefix;
    std::optional<bool> identity; // of the events taken so far
    for (const auto &[id, row] : records) {
        if (ids->size() >= limit || id > upTo)
            break;
        if (skipped.contains(id))
            continue;
        const QJsonDocument parsed = QJsonDocument::fromJson(row);
        if (!parsed.isObject()) {
            unreadable->insert(id);
            continue;
        }
        // A strict reader at the collector refuses what a lenient one parsed here.
        const QByteArray event =
                isStrictObject(row, parsed) ? row : parsed.toJson(QJsonDocument::Compact);
        if (!ids->isEmpty()
            && body.size() + 1 + event.size() + batchSuffix.size() > maximumBatchBytes)
            break;
        const bool anonymousEvent = SentrelPrivacy::isAnonymousEvent(event);
        if (identity && *identity != anonymousEvent)
            break;
        identity = anonymousEvent;
        if (!ids->isEmpty())
            body += ',';
        body += event;
        ids->insert(id);
    }
    if (anonymous)
        *anonymous = identity.value_or(false);
    return body + batchSuffix;
}

QByteArray SentrelDelivery::batchOf(const QByteArray &event)
{
    return batchPrefix + event + batchSuffix;
}

bool SentrelDelivery::setSyncInterval(int seconds)
{
    SENTREL_ASSERT_THREAD(this);
    if (seconds == intervalSeconds)
        return false;
    intervalSeconds = seconds;
    if (seconds <= 0)
        stopSync();
    return true;
}

qint64 SentrelDelivery::schedule(qint64 delay)
{
    SENTREL_ASSERT_THREAD(this);
    if (!mayStart()) {
        syncAlarm.stop();
        return -1;
    }
    if (retryAt)
        delay = std::max(
                delay,
                clampedWait(*retryAt - clock()->steady(), std::max(intervalMs(), maximumBackOff)));
    syncAlarm.start(delay);
    return syncAlarm.delay();
}

qint64 SentrelDelivery::scheduleFromLastSync(std::optional<qint64> lastSync)
{
    SENTREL_ASSERT_THREAD(this);
    const qint64 interval = intervalMs();
    return schedule(lastSync ? firstSyncDelay(interval, *lastSync, now()) : interval);
}

void SentrelDelivery::stopSync()
{
    SENTREL_ASSERT_THREAD(this);
    syncAlarm.stop();
}

SentrelDelivery::Composition
SentrelDelivery::compose(const QList<QPair<quint64, QByteArray>> &records,
                         qsizetype batchSize,
                         quint64 generation)
{
    SENTREL_ASSERT_THREAD(this);
    Composition result;
    result.batch.generation = generation;
    const qint64 t = clock()->steady();
    const qint64 cap = std::max(intervalMs(), maximumBackOff);
    QSet<quint64> skipped;
    for (const auto &record : records) {
        const auto it = parked.constFind(record.first);
        if (it == parked.cend())
            continue;
        const qint64 wait = clampedWait(it->nextTry - t, cap);
        if (wait == 0) {
            // Its turn: alone, so that its failure costs no other row.
            result.body = batchFrom({record},
                                    1,
                                    ~quint64(0),
                                    {},
                                    &result.batch.ids,
                                    &result.unreadable,
                                    &result.batch.anonymous);
            result.batch.eventId = it->eventId;
            return result;
        }
        result.wait = result.wait ? std::min(*result.wait, wait) : wait;
        skipped.insert(record.first);
    }

    const auto first = std::find_if(records.cbegin(), records.cend(), [&](const auto &record) {
        return !skipped.contains(record.first);
    });
    if (splitLimit > 0 && (first == records.cend() || first->first > splitUpTo))
        splitLimit = 0; // the rows that were split are gone
    if (first == records.cend() || first->first > transientUpTo)
        transientUpTo = 0;
    result.body = batchFrom(records,
                            splitLimit > 0 ? splitLimit : batchSize,
                            splitLimit > 0 ? splitUpTo : ~quint64(0),
                            skipped,
                            &result.batch.ids,
                            &result.unreadable,
                            &result.batch.anonymous);
    if (result.batch.ids.size() == 1) {
        for (const auto &[id, row] : records) {
            if (result.batch.ids.contains(id))
                result.batch.eventId = eventIdOf(row);
        }
    }
    if (!result.batch.ids.isEmpty())
        result.wait.reset();
    return result;
}

SentrelDelivery::Composition SentrelDelivery::probe(const QPair<quint64, QByteArray> &newest,
                                                    quint64 generation)
{
    SENTREL_ASSERT_THREAD(this);
    Composition result;
    result.batch.generation = generation;
    result.body = batchFrom({newest},
                            1,
                            ~quint64(0),
                            {},
                            &result.batch.ids,
                            &result.unreadable,
                            &result.batch.anonymous);
    result.batch.eventId = eventIdOf(newest.second);
    return result;
}

void SentrelDelivery::sent(const Batch &batch)
{
    SENTREL_ASSERT_THREAD(this);
    inFlight = batch;
    retryAt.reset();
    syncAlarm.stop();
}

SentrelDelivery::Outcome
SentrelDelivery::answered(const Batch &batch, const Answer &answer, bool sameRows)
{
    SENTREL_ASSERT_THREAD(this);
    inFlight.reset();
    switch (verdictOf(answer.status)) {
    case Verdict::Accepted:
        ++acceptances;
        failuresInRow = 0;
        retryAt.reset();
        droppedInRow = 0;
        splitLimit = 0; // full batches again
        transientStreak = 0;
        if (halted) {
            halted = false;
            qCInfo(lcEvents) << "The collector accepts events again";
        }
        for (const quint64 id : batch.ids)
            parked.remove(id);
        schedule(0);
        return sameRows ? Outcome::Remove : Outcome::Keep;
    case Verdict::Refused:
        return refused(batch, answer, sameRows);
    case Verdict::Transient:
        return failedTransiently(batch, answer, sameRows);
    case Verdict::Setup:
        break;
    }
    schedule(retryDelay(answer));
    return Outcome::Keep;
}

qint64 SentrelDelivery::retryDelay(const Answer &answer)
{
    const qint64 interval = std::max<qint64>(1000, intervalMs());
    const qint64 cap = std::max(interval, maximumBackOff);
    qint64 delay = backOff(interval, failuresInRow, jitter());
    ++failuresInRow;
    if (answer.status == 429 || answer.status == 503) {
        // Never earlier than asked, and spread a little later than that.
        if (const std::optional<qint64> after = retryAfter(answer.retryAfter, now()))
            delay = std::max(delay,
                             std::llround(double(std::min(cap, *after)) * (1.0 + 0.2 * jitter())));
    }
    retryAt = clock()->steady() + delay;
    return delay;
}

void SentrelDelivery::split(const Batch &batch)
{
    splitLimit = (batch.ids.size() + 1) / 2;
    splitUpTo = *std::max_element(batch.ids.cbegin(), batch.ids.cend());
}

SentrelDelivery::Outcome
SentrelDelivery::refused(const Batch &batch, const Answer &answer, bool sameRows)
{
    failuresInRow = 0; // the collector is there; it is the data it will not take
    retryAt.reset();
    if (!sameRows) {
        schedule(0);
        return Outcome::Keep;
    }
    if (batch.ids.size() > 1) {
        split(batch);
        schedule(0);
        return Outcome::Keep;
    }
    if (!halted && droppedInRow >= haltAfterDrops) {
        halted = true;
        qCCritical(lcEvents) << "The collector refused" << droppedInRow
                             << "events in a row and accepted none; events are kept until it "
                                "accepts one";
    }
    if (halted) {
        // Refusing everything is a setup error, not bad data: keep the rows and wait.
        schedule(retryDelay(answer));
        return Outcome::Keep;
    }
    ++droppedInRow;
    splitLimit = 0;
    for (const quint64 id : batch.ids)
        parked.remove(id);
    qCWarning(lcEvents) << "Dropped an event that the collector refused:" << batch.eventId
                        << answer.status;
    schedule(0);
    return Outcome::Drop;
}

SentrelDelivery::Outcome
SentrelDelivery::failedTransiently(const Batch &batch, const Answer &answer, bool sameRows)
{
    const quint64 first = batch.ids.isEmpty() ? 0 : *batch.ids.cbegin();
    const auto it = batch.ids.size() == 1 ? parked.find(first) : parked.end();
    if (!sameRows || it == parked.end()) {
        const qint64 delay = retryDelay(answer);
        if (sameRows) {
            // The same rows: those from the same oldest one, whatever was recorded meanwhile.
            const quint64 oldest = *std::min_element(batch.ids.cbegin(), batch.ids.cend());
            if (transientStreak > 0 && oldest == transientFront) {
                ++transientStreak;
            } else {
                transientFront = oldest;
                transientStreak = 1;
            }
            // Rows already split for failing go on being split at each failure, also after
            // the half before them was accepted: only a new run of failures waits for three.
            const bool suspect = transientUpTo > 0 && oldest <= transientUpTo;
            if (transientStreak >= splitAfter || suspect) {
                transientStreak = 0;
                transientUpTo = std::max(transientUpTo,
                                         *std::max_element(batch.ids.cbegin(), batch.ids.cend()));
                if (batch.ids.size() > 1) {
                    split(batch);
                } else {
                    // Set aside: the rows behind it go on without it, and it is tried apart.
                    Parked event;
                    event.eventId = batch.eventId;
                    event.acceptancesSeen = acceptances;
                    event.nextTry =
                            clock()->steady() + backOff(intervalMs(), event.attempts++, jitter());
                    parked.insert(first, event);
                    qCInfo(lcEvents) << "Trying the event" << batch.eventId
                                     << "apart from the others, it keeps failing";
                }
            }
        }
        schedule(delay);
        return Outcome::Keep;
    }

    // A failure of this event alone counts only when others went through since the last one:
    // while the collector takes nothing (an outage), nothing is given up on.
    if (acceptances != it->acceptancesSeen) {
        it->acceptancesSeen = acceptances;
        if (it->failures++ == 0)
            it->firstFailure = now();
        if (it->failures >= dropAfterFailures && now() - it->firstFailure >= dropSpan()) {
            qCWarning(lcEvents) << "Dropped an event that failed every attempt:" << it->eventId
                                << answer.status;
            parked.erase(it);
            schedule(0);
            return Outcome::Drop;
        }
    }
    it->nextTry = clock()->steady() + backOff(intervalMs(), it->attempts++, jitter());
    schedule(0); // the others
    return Outcome::Keep;
}

void SentrelDelivery::forgetRows()
{
    SENTREL_ASSERT_THREAD(this);
    splitLimit = 0;
    splitUpTo = 0;
    transientStreak = 0;
    transientUpTo = 0;
    parked.clear();
}

void SentrelDelivery::setRemoteConfig(bool enabled, int intervalSeconds)
{
    SENTREL_ASSERT_THREAD(this);
    remoteAlarm.stop();
    remoteIntervalSeconds = intervalSeconds;
    if (enabled && intervalSeconds > 0) {
        remoteAlarm.start(qint64(intervalSeconds) * 1000);
        qCInfo(lcConfig) << "Next remote configuration check in" << intervalSeconds << "seconds";
    } else if (!enabled) {
        qCInfo(lcConfig) << "Remote configuration check is disabled";
    }
}
