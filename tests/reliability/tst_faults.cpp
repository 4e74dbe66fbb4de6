// SPDX-License-Identifier: MIT
#include "damagedfile.h"
#include "eventlog.h"
#include "logcapture.h"
#include "pipelinetestsupport.h"
#include "qsentrelstorage_p.h"
#include "sentreltrackerimpl_p.h"
#include "testenvironment.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QGuiApplication>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <functional>

#ifdef Q_OS_UNIX
#  include <signal.h>
#  include <sys/resource.h>
#endif

namespace {
const QString storage = QStringLiteral("sentrel.storage");
const QString events = QStringLiteral("sentrel.events");
} // namespace

// Faults of the machine around the cache: the tracker logs them and carries on in a reduced
// mode, and never crashes the application.
class tst_Faults : public QObject, private PipelineFixture
{
    Q_OBJECT

public:
    tst_Faults() : PipelineFixture(QStringLiteral("faults-token")) { }

private:
    // Records offline into a cache in directory.
    void recordOffline(const QString &directory, const std::function<void()> &beforeDisabling = {})
    {
        configure(0);
        config()->setStoragePath(directory);
        RecordedEvents events;
        tracker.setEventInterceptor(&events);
        tracker.setEnabled(true);
        QVERIFY(tracker.isEnabled());
        tracker.transition(QStringLiteral("Main"));
        tracker.interaction(QStringLiteral("ok"), QString());
        if (beforeDisabling)
            beforeDisabling();
        tracker.setEnabled(false);
        tracker.setEventInterceptor(nullptr); // the worker has stopped
        QVERIFY(events.events().size() >= 3);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.events.info=true"));
        QVERIFY(startPipeline(QStringLiteral("tst_faults")));
    }

    void init() { QVERIFY(beginTest()); }
    void cleanup() { QVERIFY(endTest()); }

    void unusableCache_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("directory below a regular file") << "file-as-directory";
        QTest::newRow("cache file locked by another process") << "locked";
    }

    void unusableCache()
    {
        QFETCH(QString, fault);
        QTemporaryDir root;
        QString directory = root.path();
        QProcess locker;
        if (fault == QLatin1String("file-as-directory")) {
            QFile blocker(root.filePath(QStringLiteral("blocker")));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            directory = blocker.fileName() + QStringLiteral("/cache");
        } else {
            const QString path = root.filePath(QStringLiteral("SentrelTracker.db"));
            locker.start(QStringLiteral(PYTHON_EXECUTABLE),
                         {QStringLiteral("-c"),
                          QStringLiteral("import sqlite3,sys\n"
                                         "c=sqlite3.connect(sys.argv[1],isolation_level=None)\n"
                                         "c.execute('BEGIN EXCLUSIVE')\n"
                                         "print('locked',flush=True)\n"
                                         "sys.stdin.read()\n"),
                          path});
            QVERIFY(locker.waitForReadyRead(20000));
        }

        LogCapture log;
        for (const char *warning : {"Failed to create the storage directory:",
                                    "The storage is locked by another connection:",
                                    "Failed to open storage, caching will be disabled.",
                                    "The storage never opened; events kept in memory were lost:",
                                    "The storage opened; events kept in memory:"})
            log.expect(storage, QLatin1String(warning));
        // A lock that goes is a passing state: the store opens at a later try, and the events
        // that waited in memory meanwhile are stored.
        const auto freeTheLock = [&] {
            if (locker.state() != QProcess::Running)
                return;
            QTRY_VERIFY(log.contains(
                    storage,
                    QStringLiteral("Failed to open storage, caching will be disabled.")));
            locker.closeWriteChannel();
            QVERIFY(locker.waitForFinished(20000));
            QTRY_VERIFY_WITH_TIMEOUT(
                    log.contains(storage,
                                 QStringLiteral("The storage opened; events kept in memory: 3 "
                                                "lost: 0")),
                    20000);
        };
        recordOffline(directory, freeTheLock);
        QVERIFY2(log.contains(storage,
                              QStringLiteral("Failed to open storage, caching will be disabled.")),
                 qPrintable(log.texts(storage).join(QLatin1Char('\n'))));
        if (fault == QLatin1String("file-as-directory")) {
            // Said before any file is tried.
            QCOMPARE(log.texts(storage, QtWarningMsg).first(),
                     QStringLiteral("Failed to create the storage directory: \"%1\"")
                             .arg(directory));
            QVERIFY(log.contains(storage,
                                 QStringLiteral("The storage never opened; events kept in memory "
                                                "were lost: 3")));
            return;
        }
        QCOMPARE(cachedRecords(root.filePath(QStringLiteral("SentrelTracker.db"))), 3);
    }

    // A damaged cache, or something at its path that is no cache, is set aside whole: what it
    // still holds is delivered once, and the new cache works. A folder nobody may write to holds
    // no cache: said once, and events go straight to the collector.
    void damagedCacheIsDelivered_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("type");
        QTest::newRow("zeroed pages in the middle") << "zero-middle"
                                                    << "SQLITE";
        QTest::newRow("zeroed pages near the end") << "zero-end"
                                                   << "SQLITE";
        QTest::newRow("truncated in half") << "truncate"
                                           << "SQLITE-ZSTD";
        QTest::newRow("random bytes") << "random"
                                      << "SQLITE";
        QTest::newRow("another program's database") << "foreign"
                                                    << "SQLITE-ZLIB";
        QTest::newRow("a directory at the path") << "directory"
                                                 << "SQLITE";
        QTest::newRow("a folder that cannot be written") << "read-only"
                                                         << "SQLITE";
    }

    void damagedCacheIsDelivered()
    {
        QFETCH(QString, damage);
        QFETCH(QString, type);
        const bool damagedCache =
                damage.startsWith(QLatin1String("zero")) || damage == QLatin1String("truncate");
        QStringList recorded;
        QString directory = cacheDir->path();
        LogCapture log;
        // Stopping right after 300 recordings stores some of them only.
        log.expect(QStringLiteral("sentrel"), QStringLiteral("Dropped "));
        log.expect(storage, QStringLiteral("Damaged storage set aside as"));
        log.expect(storage, QStringLiteral("The storage folder cannot be written"));
        if (damagedCache) {
            configure(0, type);
            tracker.setEnabled(true);
            for (int i = 0; i < 300; ++i) {
                recorded.append(QStringLiteral("s%1").arg(i));
                tracker.transition(recorded.last());
            }
            tracker.setEnabled(false);
            QVERIFY(damageFile(cacheFile(), damage));
        } else if (damage == QLatin1String("read-only")) {
            directory = cacheDir->filePath(QStringLiteral("read-only"));
            QVERIFY(QDir().mkdir(directory));
            QVERIFY(QFile::setPermissions(directory, QFile::ReadOwner | QFile::ExeOwner));
            if (QTemporaryFile(directory + QStringLiteral("/probe-XXXXXX")).open()) {
#ifdef Q_OS_LINUX
                directory = QStringLiteral("/proc/self"); // root writes anywhere but here
#else
                QSKIP("Running as root: a read-only folder is writable");
#endif
            }
        } else {
            QFile(cacheFile()).open(QIODevice::WriteOnly); // an empty cache for damageFile
            QVERIFY(damageFile(cacheFile(), damage));
        }
        QFile damaged(cacheFile());
        const QByteArray before =
                damaged.open(QIODevice::ReadOnly) ? damaged.readAll() : QByteArray();
        damaged.close();

        log.clear();
        configure(1, type);
        config()->setStoragePath(directory);
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("after"));
        QTRY_VERIFY_WITH_TIMEOUT(
                screenNames(collector.receivedEvents()).contains(QLatin1String("after")),
                30000);
        // Received is not yet removed: the worker removes the batch once the answer arrives,
        // and disabling before that keeps it for the next start.
        if (damage != QLatin1String("read-only"))
            QTRY_COMPARE_WITH_TIMEOUT(cached(), 0, 30000);
        tracker.setEnabled(false);

        // The readable events once each, in order, and only events that were recorded.
        QStringList delivered = screenNames(collector.receivedEvents());
        delivered.removeAll(QStringLiteral("after"));
        const QStringList ids = eventIds(collector.receivedEvents());
        QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), ids.size());
        qsizetype next = 0;
        for (const QString &screen : std::as_const(delivered)) {
            next = recorded.indexOf(screen, next);
            QVERIFY2(next >= 0, qPrintable(screen));
        }
        qDebug("%lld of %lld recorded events delivered",
               qint64(delivered.size()),
               qint64(recorded.size()));
        if (damagedCache)
            QVERIFY2(delivered.size() > 0 && delivered.size() < recorded.size(),
                     qPrintable(QString::number(delivered.size())));

        const QStringList warnings = log.texts(storage, QtWarningMsg);
        if (damage == QLatin1String("read-only")) {
            QCOMPARE(warnings,
                     QStringList {QStringLiteral("The storage folder cannot be written, caching "
                                                 "will be disabled: \"%1\"")
                                          .arg(directory)});
            return;
        }
        QCOMPARE(log.count(storage, QStringLiteral("Damaged storage set aside as")), 1);
        const QStringList aside =
                QDir(directory).entryList({QStringLiteral("SentrelTracker.db.damaged-*")},
                                          QDir::AllEntries | QDir::Hidden);
        QCOMPARE(aside.size(), 1);
        // Kept as it was, for inspection.
        QFile kept(cacheDir->filePath(aside.first()));
        QCOMPARE(QFileInfo(kept).isDir(), damage == QLatin1String("directory"));
        QCOMPARE(kept.open(QIODevice::ReadOnly) ? kept.readAll() : QByteArray(), before);
        // A cache again, emptied by the delivery.
        QCOMPARE(cached(), 0);
        QVERIFY(!log.contains(events,
                              QStringLiteral("Failed to remove events from storage, disable event "
                                             "caching")));
        // Said only when the cache was read and found empty.
        const QList<LogCapture::Message> messages = log.messages();
        for (qsizetype i = 1; i < messages.size(); ++i) {
            if (messages.at(i).text.startsWith(QLatin1String("All events sent at")))
                QVERIFY(!messages.at(i - 1).text.startsWith(
                        QLatin1String("Failed to read from storage:")));
        }
    }

    // A file-size limit stands in for a full disk: inserts fail with a warning, the writer
    // carries on, and what was stored before stays readable.
    void fullDisk_data()
    {
        QTest::addColumn<int>("batch"); // events per commit; 0: each add commits
        QTest::addColumn<int>("roomAfter"); // failed adds until the disk has room again; 0: never
        QTest::newRow("each event") << 0 << 0;
        // A batch the disk cannot take falls back to writing its events one by one.
        QTest::newRow("batches of 64") << 64 << 0;
        // A passing state: one warning, however many events fail, and their count once the
        // disk has room again, after which every event is stored.
        QTest::newRow("room again") << 0 << 300;
        QTest::newRow("room again, batches of 64") << 64 << 20;
    }

    void fullDisk()
    {
#ifndef Q_OS_UNIX
        QSKIP("The file-size limit that stands in for a full disk is a Unix resource limit");
#else
        QFETCH(int, batch);
        QFETCH(int, roomAfter);
        QTemporaryDir root;
        const QString path = root.filePath(QStringLiteral("SentrelTracker.db"));
        QProcess writer;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("SENTREL_WRITER_BATCH"), QString::number(batch));
        environment.insert(QStringLiteral("SENTREL_WRITER_ROOM_AFTER"), QString::number(roomAfter));
        writer.setProcessEnvironment(environment);
        writer.setChildProcessModifier([] {
            ::signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {256 * 1024, RLIM_INFINITY};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        writer.start(QStringLiteral(CRASH_WRITER),
                     {QStringLiteral("SQLITE"), path, QStringLiteral("0"), QStringLiteral("5000")});
        QVERIFY(writer.waitForFinished(120000));
        QCOMPARE(writer.exitStatus(), QProcess::NormalExit);
        QCOMPARE(writer.exitCode(), 0);
        QSet<qint64> completed;
        for (const QByteArray &line : writer.readAllStandardOutput().split('\n')) {
            if (!line.isEmpty())
                completed.insert(line.toLongLong());
        }
        QVERIFY2(completed.size() > 0 && completed.size() < 5000,
                 qPrintable(QString::number(completed.size())));
        if (roomAfter > 0) {
            const QString errors = QString::fromUtf8(writer.readAllStandardError());
            QVERIFY2(errors.count(QLatin1String("Failed to write to storage:")) <= 1
                             && errors.count(QLatin1String("Failed to commit a batch")) <= 1,
                     qPrintable(errors));
            // Each add its own commit: every failed add is one event lost.
            const QString recovered = batch == 0
                    ? QStringLiteral("Writing to storage again; events lost while it failed: %1")
                              .arg(roomAfter)
                    : QStringLiteral("Writing to storage again; events lost while it failed:");
            QVERIFY2(errors.count(recovered) == 1, qPrintable(errors));
            QVERIFY(completed.contains(4999));
        }

        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.storage=false"));
        auto store = QSentrelStorage::create(QStringLiteral("SQLITE"), path, 0);
        QVERIFY(store->open());
        const auto rows = store->get(-1, 0);
        // Every completed insert once, in order; in batches also those of a batch that was
        // written one by one.
        qint64 previous = -1;
        for (const auto &row : rows) {
            const qint64 number = QJsonDocument::fromJson(row.second)
                                          .object()
                                          .value(QLatin1String("n"))
                                          .toInteger(-1);
            QVERIFY2(number > previous,
                     qPrintable(QStringLiteral("%1 after %2").arg(number).arg(previous)));
            completed.remove(number);
            previous = number;
        }
        QVERIFY2(completed.isEmpty(),
                 qPrintable(QStringLiteral("%1 completed events missing").arg(completed.size())));
        if (batch == 0 && roomAfter == 0)
            QCOMPARE(previous + 1, qint64(rows.size()));
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.events.info=true"));
#endif
    }
};

SENTREL_TEST_MAIN(tst_Faults, QGuiApplication)
#include "tst_faults.moc"
