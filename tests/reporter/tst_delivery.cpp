// SPDX-License-Identifier: MIT
// The rules of delivery against a clock the tests move: verdicts, waits, splitting, giving up
// on events and not giving up on them.
#include "logcapture.h"
#include "sentreldelivery_p.h"
#include "testclock.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <QTimeZone>

#include <functional>
#include <memory>

using Verdict = SentrelDelivery::Verdict;
using Outcome = SentrelDelivery::Outcome;

namespace {

constexpr qint64 second = 1000;
constexpr qint64 hour = 3600 * second;
constexpr qint64 day = 24 * hour;
const QString events = QStringLiteral("sentrel.events");

qint64 utc(int year, int month, int dayOfMonth, int h, int m, int s)
{
    return QDateTime(QDate(year, month, dayOfMonth), QTime(h, m, s), QTimeZone::utc())
            .toMSecsSinceEpoch();
}

// A cache and a collector around one delivery, stepped on a manual clock the way the reporter
// drives it: read the oldest rows, send, act on the answer, wait for the next sync.
class Simulation
{
public:
    // Answers the status for a body at a time; 200 by default.
    std::function<int(const QByteArray &body, qint64 time)> collector;

    explicit Simulation(int interval = 1)
    {
        clock.install();
        delivery = std::make_unique<SentrelDelivery>();
        delivery->setSyncInterval(interval);
    }

    void record(bool marked)
    {
        const QString eid = QString::number(nextId);
        rows.append({nextId++,
                     QJsonDocument(QJsonObject {{QStringLiteral("eid"), eid},
                                                {QStringLiteral("mark"), marked}})
                             .toJson(QJsonDocument::Compact)});
    }

    // Runs until the clock has passed duration, recording an unmarked event every recordEvery.
    void run(qint64 duration, qint64 recordEvery = 0)
    {
        const qint64 end = clock.now() + duration;
        qint64 nextRecord = recordEvery > 0 ? clock.now() + recordEvery : end + 1;
        delivery->schedule(0);
        while (clock.now() <= end && requests < 100000) {
            const qint64 pending = clock.nextAlarm();
            if (pending < 0)
                return;
            if (clock.now() + pending > nextRecord && nextRecord <= end) {
                clock.advance(nextRecord - clock.now());
                record(false);
                nextRecord += recordEvery;
                continue;
            }
            clock.advance(pending);
            step();
        }
    }

    void step()
    {
        SentrelDelivery::Composition next;
        if (delivery->wantsProbe())
            next = delivery->probe(rows.last(), 1);
        else
            next = delivery->compose(rows.mid(0, 100 + delivery->setAside()), 100, 1);
        if (next.batch.ids.isEmpty()) {
            delivery->schedule(next.wait ? *next.wait : delivery->syncInterval() * second);
            return;
        }
        ++requests;
        delivery->sent(next.batch);
        SentrelDelivery::Answer answer;
        answer.status = collector ? collector(next.body, clock.now()) : 200;
        const Outcome outcome = delivery->answered(next.batch, answer, true);
        if (outcome == Outcome::Keep)
            return;
        for (qsizetype i = rows.size() - 1; i >= 0; --i) {
            if (next.batch.ids.contains(rows.at(i).first)) {
                (outcome == Outcome::Remove ? delivered : dropped).append(rows.at(i).first);
                if (outcome == Outcome::Drop)
                    droppedAt.append(clock.now());
                rows.removeAt(i);
            }
        }
    }

    TestClock clock {TestClock::Manual, utc(2026, 1, 1, 12, 0, 0)};
    std::unique_ptr<SentrelDelivery> delivery;
    QList<QPair<quint64, QByteArray>> rows;
    quint64 nextId = 1;
    QList<quint64> delivered;
    QList<quint64> dropped;
    QList<qint64> droppedAt;
    int requests = 0;
};

} // namespace

class tst_Delivery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }
    void verdicts_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<Verdict>("verdict");
        for (const int status : {200, 201, 204, 299})
            QTest::addRow("%d", status) << status << Verdict::Accepted;
        // An interim answer or a redirect has delivered nothing.
        for (const int status : {100, 103, 300, 301, 302, 303, 304, 307, 308, 401, 403, 404})
            QTest::addRow("%d", status) << status << Verdict::Setup;
        for (const int status : {0, 408, 425, 429, 500, 503, 599})
            QTest::addRow("%d", status) << status << Verdict::Transient;
        for (const int status : {400, 413, 422})
            QTest::addRow("%d", status) << status << Verdict::Refused;
    }

    void verdicts()
    {
        QFETCH(int, status);
        QFETCH(Verdict, verdict);
        QCOMPARE(SentrelDelivery::verdictOf(status), verdict);
    }

    void retryAfter_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<qint64>("wait"); // -1: not a request
        QTest::newRow("seconds") << QByteArray("5") << 5 * second;
        QTest::newRow("seconds, padded") << QByteArray(" 7 ") << 7 * second;
        QTest::newRow("zero") << QByteArray("0") << qint64(0);
        QTest::newRow("plus sign") << QByteArray("+5") << qint64(-1);
        QTest::newRow("negative") << QByteArray("-5") << qint64(-1);
        QTest::newRow("fraction") << QByteArray("5.5") << qint64(-1);
        QTest::newRow("hex") << QByteArray("0x10") << qint64(-1);
        QTest::newRow("IMF-fixdate") << QByteArray("Sun, 06 Nov 1994 08:49:37 GMT") << 7 * second;
        QTest::newRow("RFC 850") << QByteArray("Sunday, 06-Nov-94 08:49:37 GMT") << 7 * second;
        QTest::newRow("asctime") << QByteArray("Sun Nov  6 08:49:37 1994") << 7 * second;
        QTest::newRow("in the past") << QByteArray("Sun, 06 Nov 1994 08:00:00 GMT") << qint64(0);
        QTest::newRow("another zone") << QByteArray("Sun, 06 Nov 1994 08:49:37 CET") << qint64(-1);
        QTest::newRow("no such day") << QByteArray("Mon, 31 Nov 1994 08:49:37 GMT") << qint64(-1);
        QTest::newRow("no such hour") << QByteArray("Sun, 06 Nov 1994 25:49:37 GMT") << qint64(-1);
        QTest::newRow("text") << QByteArray("soon") << qint64(-1);
        QTest::newRow("empty") << QByteArray() << qint64(-1);
    }

    // Read as UTC whatever the local zone: the check runs with the process in another zone.
    void retryAfter()
    {
        QFETCH(QByteArray, value);
        QFETCH(qint64, wait);
        const QByteArray zone = qgetenv("TZ");
        qputenv("TZ", "America/New_York");
        const std::optional<qint64> found =
                SentrelDelivery::retryAfter(value, utc(1994, 11, 6, 8, 49, 30));
        qputenv("TZ", zone);
        QCOMPARE(found.value_or(-1), wait);
    }

    void waits_data()
    {
        QTest::addColumn<qint64>("interval");
        QTest::addColumn<int>("failures");
        QTest::addColumn<double>("jitter");
        QTest::addColumn<qint64>("wait");
        QTest::newRow("first failure") << second << 0 << 0.5 << second;
        QTest::newRow("doubled") << second << 3 << 0.5 << 8 * second;
        QTest::newRow("least jitter") << 10 * second << 1 << 0.0 << 16 * second;
        QTest::newRow("most jitter") << 10 * second << 1 << 1.0 << 24 * second;
        QTest::newRow("capped at an hour") << second << 40 << 0.5 << hour;
        QTest::newRow("a longer interval is the cap") << 2 * hour << 5 << 0.5 << 2 * hour;
    }

    void waits()
    {
        QFETCH(qint64, interval);
        QFETCH(int, failures);
        QFETCH(double, jitter);
        QFETCH(qint64, wait);
        QCOMPARE(SentrelDelivery::backOff(interval, failures, jitter), wait);
    }

    // Many clients that fail together come back spread over the whole +-20 %.
    void waitsAreSpread()
    {
        Simulation simulation;
        QList<qint64> waits;
        for (int i = 0; i < 400; ++i) {
            SentrelDelivery delivery;
            delivery.setSyncInterval(60);
            const SentrelDelivery::Batch batch {{1}, 1, {}};
            delivery.sent(batch);
            SentrelDelivery::Answer outage;
            outage.status = 503;
            delivery.answered(batch, outage, true);
            waits.append(delivery.pendingSync());
        }
        std::sort(waits.begin(), waits.end());
        QVERIFY2(waits.first() >= 48 * second && waits.last() <= 72 * second,
                 qPrintable(QStringLiteral("%1..%2").arg(waits.first()).arg(waits.last())));
        QVERIFY2(waits.first() < 52 * second && waits.last() > 68 * second,
                 qPrintable(QStringLiteral("%1..%2").arg(waits.first()).arg(waits.last())));
        QVERIFY(waits.at(200) > 55 * second && waits.at(200) < 65 * second);
    }

    void firstSync_data()
    {
        QTest::addColumn<qint64>("ago");
        QTest::addColumn<qint64>("wait");
        QTest::newRow("100 s ago") << 100 * second << 200 * second;
        QTest::newRow("just now") << qint64(0) << 300 * second;
        QTest::newRow("longer ago than the interval") << 400 * second << qint64(0);
        // A clock set back, or a stored time from a clock that ran ahead.
        QTest::newRow("a day in the future") << -day << 300 * second;
        QTest::newRow("years in the future") << -3000 * day << 300 * second;
    }

    void firstSync()
    {
        QFETCH(qint64, ago);
        QFETCH(qint64, wait);
        const qint64 now = utc(2026, 1, 1, 12, 0, 0);
        QCOMPARE(SentrelDelivery::firstSyncDelay(300 * second, now - ago, now), wait);
    }

    void pendingBackOffHolds_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("the same interval") << "same";
        QTest::newRow("a new interval") << "new";
        QTest::newRow("a reopened store") << "reopen";
        QTest::newRow("a clock set back a day") << "clock";
    }

    // A Retry-After of 30 s is met, whatever is written or reopened meanwhile.
    void pendingBackOffHolds()
    {
        QFETCH(QString, change);
        Simulation simulation;
        SentrelDelivery &delivery = *simulation.delivery;
        const SentrelDelivery::Batch batch {{1}, 1, {}};
        delivery.sent(batch);
        SentrelDelivery::Answer answer;
        answer.status = 503;
        answer.retryAfter = "30";
        delivery.answered(batch, answer, true);
        QVERIFY(delivery.pendingSync() >= 30 * second);
        simulation.clock.advance(2 * second);

        const qint64 lastSync = simulation.clock.now() - 500;
        if (change == QLatin1String("same")) {
            QVERIFY(!delivery.setSyncInterval(1)); // nothing to react to
        } else if (change == QLatin1String("new")) {
            QVERIFY(delivery.setSyncInterval(2));
            delivery.scheduleFromLastSync(lastSync);
        } else if (change == QLatin1String("reopen")) {
            delivery.scheduleFromLastSync(lastSync);
        } else {
            simulation.clock.setTime(simulation.clock.now() - day);
            delivery.scheduleFromLastSync(lastSync);
        }
        QVERIFY2(delivery.pendingSync() >= 28 * second && delivery.pendingSync() <= 37 * second,
                 qPrintable(QString::number(delivery.pendingSync())));
    }

    void strictRows_data()
    {
        QTest::addColumn<QByteArray>("row");
        QTest::addColumn<QByteArray>("spliced"); // empty: unreadable
        QTest::newRow("compact") << QByteArray(R"({"e":"ue","eid":"1"})")
                                 << QByteArray(R"({"e":"ue","eid":"1"})");
        QTest::newRow("byte-order mark")
                << QByteArray("\xEF\xBB\xBF{\"e\":\"ue\"}") << QByteArray(R"({"e":"ue"})");
        QTest::newRow("raw control character")
                << QByteArray("{\"e\":\"a\tb\x01\"}") << QByteArray(R"({"e":"a\tb\u0001"})");
        QTest::newRow("whitespace")
                << QByteArray("{\n \"e\": \"ue\"\n}") << QByteArray(R"({"e":"ue"})");
        QTest::newRow("array") << QByteArray("[1]") << QByteArray();
    }

    void strictRows()
    {
        QFETCH(QByteArray, row);
        QFETCH(QByteArray, spliced);
        QSet<quint64> ids, unreadable;
        const QByteArray body =
                SentrelDelivery::batchFrom({{7, row}}, 10, ~quint64(0), {}, &ids, &unreadable);
        QCOMPARE(unreadable.contains(7), spliced.isEmpty());
        if (!spliced.isEmpty()) {
            QVERIFY2(body.contains("\"data\":[" + spliced + "]}"), body.constData());
            for (const char c : body)
                QVERIFY(uchar(c) >= 0x20);
        }
    }

    void cache_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<QList<int>>("marked"); // ids the rule applies to
        QTest::addColumn<QString>("rule"); // "refuse": 400; "fail": 500; "reset": no answer;
                // "refuse all", "outage": every request
        QTest::addColumn<qint64>("heals"); // the rule stops after this long
        QTest::addColumn<qint64>("recordEvery"); // the application goes on recording
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<int>("dropped");
        QTest::addColumn<int>("maxRequests"); // 0: any number
        QTest::addColumn<bool>("critical");
        const qint64 never = 30 * day;
        // A bad event costs O(log n) requests, and the batches widen again after it.
        QTest::newRow("one refused at the front of 66") << 66 << QList<int> {1} << "refuse" << never
                                                        << qint64(0) << hour << 1 << 10 << false;
        QTest::newRow("one refused in the middle of 66")
                << 66 << QList<int> {34} << "refuse" << never << qint64(0) << hour << 1 << 12
                << false;
        QTest::newRow("three refused among 300") << 300 << QList<int> {5, 150, 290} << "refuse"
                                                 << never << qint64(0) << hour << 3 << 60 << false;
        // A collector that refuses everything is set up wrong: ten drops, then nothing.
        QTest::newRow("everything refused") << 201 << QList<int> {} << "refuse all" << never
                                            << qint64(0) << day << 10 << 0 << true;
        QTest::newRow("everything refused for an hour")
                << 201 << QList<int> {} << "refuse all" << hour << qint64(0) << day << 10 << 0
                << true;
        // Once a probe is accepted, a real run of bad events is dropped.
        QTest::newRow("a run of 15 bad events")
                << 30 << QList<int> {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15} << "refuse"
                << never << qint64(0) << day << 15 << 0 << true;
        // A poison event is set aside, and given up on only after a day of failures while
        // the collector took the others.
        QTest::newRow("one failing with 500 among 7")
                << 7 << QList<int> {3} << "fail" << never << 10 * 60 * second << 3 * day << 1 << 0
                << false;
        // The application records all the time, so no two failing batches hold the same rows.
        QTest::newRow("one failing with 500 while recording every second")
                << 7 << QList<int> {3} << "fail" << never << second << 2 * day << 1 << 0 << false;
        QTest::newRow("one reset among 7") << 7 << QList<int> {1} << "reset" << never
                                           << 10 * 60 * second << 3 * day << 1 << 0 << false;
        QTest::newRow("three days of outage") << 7 << QList<int> {} << "outage" << 3 * day
                                              << 10 * 60 * second << 4 * day << 0 << 0 << false;
        QTest::newRow("a poison event during an outage") << 7 << QList<int> {3} << "fail" << never
                                                         << qint64(0) << 3 * day << 0 << 0 << false;
    }

    void cache()
    {
        QFETCH(int, rows);
        QFETCH(QList<int>, marked);
        QFETCH(QString, rule);
        QFETCH(qint64, heals);
        QFETCH(qint64, recordEvery);
        QFETCH(qint64, duration);
        QFETCH(int, dropped);
        QFETCH(int, maxRequests);
        QFETCH(bool, critical);

        LogCapture log;
        log.expect(QStringLiteral("sentrel.events"), QStringLiteral("Dropped an event that"));
        Simulation simulation;
        for (int id = 1; id <= rows; ++id)
            simulation.record(marked.contains(id));
        const qint64 start = simulation.clock.now();
        simulation.collector = [&](const QByteArray &body, qint64 time) {
            if (time - start >= heals)
                return 200;
            const bool bad = body.contains("\"mark\":true");
            if (rule == QLatin1String("refuse all"))
                return 400;
            if (rule == QLatin1String("outage"))
                return 503;
            if (!bad)
                return 200;
            return rule == QLatin1String("refuse") ? 400 : rule == QLatin1String("fail") ? 500 : 0;
        };
        simulation.run(duration, recordEvery);

        QCOMPARE(simulation.dropped.size(), dropped);
        for (const quint64 id : std::as_const(simulation.dropped)) {
            // Only what the rule hit is given up on.
            if (!rule.endsWith(QLatin1String(" all")))
                QVERIFY(marked.contains(int(id)));
        }
        if (heals < duration) {
            QVERIFY(simulation.rows.isEmpty()); // the rest was delivered
        } else if (rule == QLatin1String("fail") && recordEvery == 0) {
            QCOMPARE(simulation.rows.size(), 1); // the poison event, kept
        }
        if (rule == QLatin1String("fail") || rule == QLatin1String("reset")) {
            for (const qint64 when : std::as_const(simulation.droppedAt))
                QVERIFY(when - start >= SentrelDelivery::dropAfterSpan);
        }
        if (maxRequests > 0)
            QVERIFY2(simulation.requests <= maxRequests,
                     qPrintable(QString::number(simulation.requests)));
        QCOMPARE(log.texts(events, QtCriticalMsg).size(), critical ? 1 : 0);
        QCOMPARE(log.count(events, QStringLiteral("Dropped an event that")), dropped);
    }

    // Three transient failures of the same rows split them, and each failure after that splits
    // further; an acceptance widens again.
    void transientFailuresSplit()
    {
        Simulation simulation;
        for (int id = 1; id <= 8; ++id)
            simulation.record(false);
        SentrelDelivery &delivery = *simulation.delivery;
        QList<qsizetype> sizes;
        SentrelDelivery::Answer failure;
        failure.status = 500;
        for (int attempt = 0; attempt < 5; ++attempt) {
            const SentrelDelivery::Composition next = delivery.compose(simulation.rows, 100, 1);
            sizes.append(next.batch.ids.size());
            delivery.sent(next.batch);
            delivery.answered(next.batch, failure, true);
        }
        const SentrelDelivery::Composition half = delivery.compose(simulation.rows, 100, 1);
        delivery.sent(half.batch);
        delivery.answered(half.batch, {}, true); // status 0 is a failure too
        SentrelDelivery::Answer accepted;
        accepted.status = 200;
        delivery.sent(half.batch);
        delivery.answered(half.batch, accepted, true);
        sizes.append(delivery.compose(simulation.rows, 100, 1).batch.ids.size());
        QCOMPARE(sizes, (QList<qsizetype> {8, 8, 8, 4, 2, 8}));
    }
};

QTEST_GUILESS_MAIN(tst_Delivery)
#include "tst_delivery.moc"
