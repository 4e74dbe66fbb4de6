// SPDX-License-Identifier: MIT
// Processes of one application that share the default cache: what any of them records arrives
// once, and nothing is removed by a process that did not send it.
#include "pipelinetestsupport.h"
#include "testcollector.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class tst_SharedCache : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }
    void initTestCase() { QVERIFY2(collector.start(), qPrintable(collector.errorString())); }

    void processesShareOneCache_data()
    {
        QTest::addColumn<int>("processes");
        QTest::addColumn<int>("answerDelay");
        QTest::newRow("two, slow answers") << 2 << 300;
        QTest::newRow("three, prompt answers") << 3 << 0;
    }

    void processesShareOneCache()
    {
        QFETCH(int, processes);
        QFETCH(int, answerDelay);
        constexpr int count = 30;
        QTemporaryDir cache;
        QVERIFY(cache.isValid());
        collector.clear();
        collector.setAnswerDelay(answerDelay);

        QStringList expected;
        std::vector<std::unique_ptr<QProcess>> probes;
        for (int p = 0; p < processes; ++p) {
            const QString name = QStringLiteral("p%1").arg(p);
            for (int i = 0; i < count; ++i)
                expected.append(QStringLiteral("%1-%2").arg(name).arg(i));
            auto probe = std::make_unique<QProcess>();
            probe->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            probe->start(QStringLiteral(SHARED_CACHE_PROBE),
                         {collector.server(), cache.path(), name, QString::number(count)});
            QVERIFY(probe->waitForStarted());
            probes.push_back(std::move(probe));
        }
        const auto arrived = [&] {
            QStringList names = screenNames(collector.receivedEvents());
            names.sort();
            return names;
        };
        expected.sort();
        QTRY_COMPARE_WITH_TIMEOUT(arrived(), expected, 60000); // each once, none lost
        const QString file = QDir(cache.path()).filePath(QStringLiteral("SentrelTracker.db"));
        QTRY_COMPARE_WITH_TIMEOUT(cachedRecords(file), 0, 60000); // every answer taken in

        QFile quit(QDir(cache.path()).filePath(QStringLiteral("quit")));
        QVERIFY(quit.open(QIODevice::WriteOnly));
        quit.close();
        for (const auto &probe : probes) {
            QVERIFY(probe->waitForFinished(30000));
            QCOMPARE(probe->exitStatus(), QProcess::NormalExit);
            QCOMPARE(probe->exitCode(), 0);
        }
        // The device event of each start, once each, and nothing left behind.
        QCOMPARE(collector.receivedEvents().size(), processes * (count + 1));
        const QStringList ids = eventIds(collector.receivedEvents());
        QCOMPARE(QSet<QString>(ids.cbegin(), ids.cend()).size(), ids.size());
        QCOMPARE(cachedRecords(file), 0);
    }

private:
    TestCollector collector;
};

SENTREL_TEST_MAIN(tst_SharedCache, QGuiApplication)
#include "tst_sharedcache.moc"
