// SPDX-License-Identifier: MIT
// Freezes of the application's thread: the rule against the tests' clock, and one real freeze
// of a known length read at the test collector.
#include "eventlog.h"
#include "logcapture.h"
#include "sentreltrackerimpl_p.h"
#include "testclock.h"
#include "testcollector.h"
#include "testenvironment.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

namespace {

constexpr int wait = 20000;
const QString stallSchema = QStringLiteral("/ui_stall/jsonschema/1-0-0");

} // namespace

class tst_Stalls : public QObject
{
    Q_OBJECT

private:
    QSentrelTracker tracker;
    QObject receiver;

private Q_SLOTS:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.events.debug=true"));
        QSentrelConfiguration *config = tracker.configuration();
        config->setToken(QStringLiteral("t"));
        config->setServer(QStringLiteral("localhost:1")); // offline: events are built and kept
        config->setSyncInterval(0);
        config->setStorageType(QString());
    }

    void cleanup()
    {
        tracker.setEnabled(false);
        tracker.configuration()->setCaptureStallMs(0);
    }

    // Time away from the event loop, from the first event handled to the loop's next pass.
    void threshold_data()
    {
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("away");
        QTest::addColumn<bool>("woken"); // the loop comes back by waking rather than waiting
        QTest::addColumn<QList<qint64>>("recorded");
        QTest::newRow("longer") << 500 << 750 << false << QList<qint64> {750};
        QTest::newRow("longer, the loop wakes") << 500 << 501 << true << QList<qint64> {501};
        QTest::newRow("as long as the threshold") << 500 << 500 << false << QList<qint64>();
        QTest::newRow("shorter") << 500 << 20 << false << QList<qint64>();
        QTest::newRow("off") << 0 << 60000 << false << QList<qint64>();
    }

    void threshold()
    {
        QFETCH(int, threshold);
        QFETCH(int, away);
        QFETCH(bool, woken);
        TestClock clock(TestClock::Manual);
        clock.install();
        LogCapture log;
        tracker.configuration()->setCaptureStallMs(threshold);
        tracker.setEnabled(true);
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
        Q_EMIT dispatcher->aboutToBlock();
        clock.advance(5000); // waiting in the loop is no freeze
        QEvent event(QEvent::User);
        QCoreApplication::sendEvent(&receiver, &event);
        clock.advance(away);
        QCoreApplication::sendEvent(&receiver, &event); // more work of the same pass
        if (woken)
            Q_EMIT dispatcher->awake();
        else
            Q_EMIT dispatcher->aboutToBlock();
        Q_EMIT dispatcher->aboutToBlock(); // a second return records nothing more
        tracker.setEnabled(false);

        QList<qint64> recorded;
        for (const QJsonObject &stall : loggedContexts(log, stallSchema)) {
            QCOMPARE(stall.value(QLatin1String("screen_id")).toString(), QString());
            recorded.append(stall.value(QLatin1String("duration_ms")).toInteger());
        }
        QTEST(recorded, "recorded");
    }

    // A real freeze, measured on the system's clock: at least as long as the thread was blocked.
    void blockedThread()
    {
        TestCollector collector;
        QVERIFY2(collector.start(), qPrintable(collector.errorString()));
        QSentrelConfiguration *config = tracker.configuration();
        config->setServer(collector.server());
        config->setSyncInterval(3600);
        config->setStorageType(QStringLiteral("SQLITE"));
        config->setCaptureStallMs(100);
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("editor"));
        constexpr int blocked = 300;
        bool done = false;
        QTimer::singleShot(0, &receiver, [&done] {
            QThread::msleep(blocked);
            done = true;
        });
        QVERIFY(QTest::qWaitFor(
                [&done] {
                    return done;
                },
                wait));
        QSignalSpy finished(&tracker, &QSentrelTracker::flushFinished);
        QTest::qWait(0); // the loop's next pass ends the freeze
        tracker.flush();
        QVERIFY(finished.wait(wait));

        // Enabling may itself keep a loaded machine away from the loop past the threshold:
        // only the freeze as long as the block counts.
        QList<QJsonObject> stalls;
        for (const QJsonObject &event : collector.receivedEvents()) {
            const QJsonObject stall = contextData(event, stallSchema);
            if (stall.value(QLatin1String("duration_ms")).toInteger() >= blocked)
                stalls.append(stall);
        }
        QCOMPARE(stalls.size(), 1);
        QCOMPARE(stalls.constFirst().value(QLatin1String("screen_id")).toString(),
                 QStringLiteral("editor"));
        config->setServer(QStringLiteral("localhost:1"));
        config->setSyncInterval(0);
        config->setStorageType(QString());
    }
};

SENTREL_TEST_MAIN(tst_Stalls, QCoreApplication)
#include "tst_stalls.moc"
