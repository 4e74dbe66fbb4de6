// SPDX-License-Identifier: MIT
#include "qsentrelstorage_p.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class tst_CrashConsistency : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("sentrel*=false")); }

    void killedWriter_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("batch"); // events per commit; 0: each add commits
        for (const char *type : {"SQLITE", "SQLITE-ZLIB", "SQLITE-ZSTD"}) {
            QTest::addRow("%s", type) << QString::fromLatin1(type) << 0;
            QTest::addRow("%s, batches of 64", type) << QString::fromLatin1(type) << 64;
        }
    }

    // A writer killed with SIGKILL at random moments, many times over the same file: every
    // insert that had completed is there exactly once, and the file is never corrupt.
    void killedWriter()
    {
        QFETCH(QString, type);
        QFETCH(int, batch);
        QTemporaryDir directory;
        const QString path = directory.filePath(QStringLiteral("SentrelTracker.db"));
        QSet<qint64> completed;
        qint64 next = 0;
        QRandomGenerator random(20261208);

        for (int round = 0; round < 25; ++round) {
            QProcess writer;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("SENTREL_WRITER_BATCH"), QString::number(batch));
            writer.setProcessEnvironment(environment);
            writer.start(QStringLiteral(CRASH_WRITER), {type, path, QString::number(next)});
            QVERIFY(writer.waitForStarted());
            // Wait for a first completed insert, then a random moment more.
            QVERIFY(writer.waitForReadyRead(20000));
            QTest::qWait(int(random.bounded(5, 120)));
            writer.kill();
            QVERIFY(writer.waitForFinished(20000));
            const QList<QByteArray> lines = writer.readAllStandardOutput().split('\n');
            for (const QByteArray &line : lines) {
                bool ok = false;
                const qint64 number = line.toLongLong(&ok);
                if (ok) {
                    completed.insert(number);
                    next = qMax(next, number + 1);
                }
            }
            next += 1000; // numbers of a killed writer's unreported insert never come again
        }
        QVERIFY(completed.size() > 100);

        auto store = QSentrelStorage::create(type, path, 0);
        QVERIFY(store->open());
        QHash<qint64, int> seen;
        const auto rows = store->get(-1, 0);
        for (const auto &row : rows) {
            const QJsonObject event = QJsonDocument::fromJson(row.second).object();
            QVERIFY2(event.contains(QLatin1String("n")), row.second.left(80).constData());
            ++seen[event.value(QLatin1String("n")).toInteger()];
        }
        for (qint64 number : std::as_const(completed))
            QVERIFY2(seen.value(number) == 1,
                     qPrintable(QStringLiteral("event %1 seen %2 times")
                                        .arg(number)
                                        .arg(seen.value(number))));
        for (auto it = seen.cbegin(); it != seen.cend(); ++it)
            QVERIFY2(it.value() == 1,
                     qPrintable(QStringLiteral("event %1 stored twice").arg(it.key())));
        QCOMPARE(store->size(), quint64(rows.size()));
        store.reset();

        QSqlDatabase db =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        {
            QSqlQuery integrity(db);
            QVERIFY(integrity.exec(QStringLiteral("PRAGMA integrity_check")));
            QVERIFY(integrity.next());
            QCOMPARE(integrity.value(0).toString(), QStringLiteral("ok"));
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("check"));
    }
};

SENTREL_TEST_MAIN(tst_CrashConsistency, QCoreApplication)
#include "tst_crashconsistency.moc"
