// SPDX-License-Identifier: MIT
#ifndef PIPELINEBENCH_H
#define PIPELINEBENCH_H

// Helpers shared by the pipeline and load benchmarks: memory and per-thread CPU readings from
// /proc, the cache file read through SQLite's C interface, and the tracker set-ups they use.
// Where there is no /proc or getrusage() the memory readings are -1, the context switches 0.

#include "qsentrelreporter_p.h"
#include "qsqlitestorage_p.h"
#include "sentreltrackerimpl_p.h"
#include "testcollector.h"

#include <SentrelTracker/qsentreltracker.h>

#include <sqlite3.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSslServer>
#include <QSslSocket>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>

#ifdef Q_OS_UNIX
#  include <sys/resource.h>
#  include <unistd.h>
#endif

namespace bench {

constexpr double MiB = 1024.0 * 1024.0;

inline double seconds(qint64 nanoseconds)
{
    return double(nanoseconds) / 1e9;
}

// The resident set now, from /proc/self/statm.
inline qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
#ifdef Q_OS_UNIX
    return fields.size() > 1 ? fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE) : -1;
#else
    return -1;
#endif
}

// The process's peak resident set so far (getrusage reports kibibytes on Linux). A child
// process inherits its parent's peak at fork, so in a child this is at least the parent's.
inline qint64 maximumResidentBytes()
{
#ifdef Q_OS_UNIX
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_maxrss) * 1024;
#else
    return -1;
#endif
}

// The peak resident set of this program's address space (VmHWM), which starts afresh at exec.
inline qint64 peakResidentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

// CPU time of the whole process, both user and system.
inline qint64 processCpuNanoseconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Context switches of the calling thread: voluntary ones (it waited for something) and
// involuntary ones (the scheduler preempted it).
struct ContextSwitches
{
    qint64 voluntary = 0;
    qint64 involuntary = 0;
};

inline ContextSwitches threadContextSwitches()
{
#ifdef Q_OS_LINUX
    rusage usage {};
    getrusage(RUSAGE_THREAD, &usage);
    return ContextSwitches {qint64(usage.ru_nvcsw), qint64(usage.ru_nivcsw)};
#else
    return ContextSwitches {};
#endif
}

// CPU time of the calling thread.
inline qint64 threadCpuNanoseconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// CPU time of the worker thread, read on it once everything queued before has run. Blocks
// when wait is true; otherwise the value lands in *result when the worker gets to it.
inline void workerCpuNanoseconds(qint64 *result, bool wait)
{
    // Behind the requests already queued, which a call posted to the reporter would overtake.
    SentrelTrackerImpl *tracker = SentrelTrackerImpl::instance();
    tracker->queueRequest([result](QSentrelReporter *) {
        *result = threadCpuNanoseconds();
    });
    if (wait)
        tracker->waitForRequests();
}

// The machine's load, for reading the wall times: the machine is shared.
inline QByteArray loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray("unknown");
}

// Time on the CPU of every thread of the process, summed by thread name (schedstat is in ns).
inline QHash<QString, qint64> cpuNanosecondsByThread()
{
    QHash<QString, qint64> times;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (!comm.open(QIODevice::ReadOnly) || !schedstat.open(QIODevice::ReadOnly))
            continue;
        const QString name = QString::fromUtf8(comm.readAll().trimmed());
        times[name] += schedstat.readAll().split(' ').value(0).toLongLong();
    }
    return times;
}

// Per thread name, what was spent between two readings.
inline QHash<QString, qint64> difference(const QHash<QString, qint64> &after,
                                         const QHash<QString, qint64> &before)
{
    QHash<QString, qint64> spent;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        spent[it.key()] = it.value() - before.value(it.key());
    return spent;
}

// Runs everything queued to the worker so far and returns once it has run. The first call
// after enabling also waits for the reporter's start-up, which runs before anything queued.
inline void waitForWorker()
{
    SentrelTrackerImpl::instance()->waitForRequests();
}

// A connection of SQLite's own to a cache file or a baseline file.
class Database
{
public:
    explicit Database(const QString &path) : path(path)
    {
        if (sqlite3_open(QFile::encodeName(path).constData(), &handle) != SQLITE_OK)
            fail("open", path.toUtf8().constData());
    }
    ~Database() { sqlite3_close(handle); }
    Q_DISABLE_COPY_MOVE(Database)

    void exec(const char *statement)
    {
        char *error = nullptr;
        if (sqlite3_exec(handle, statement, nullptr, nullptr, &error) != SQLITE_OK)
            fail(statement, error);
    }

    qint64 integer(const char *statement)
    {
        sqlite3_stmt *query = prepare(statement);
        const qint64 value =
                sqlite3_step(query) == SQLITE_ROW ? sqlite3_column_int64(query, 0) : -1;
        sqlite3_finalize(query);
        return value;
    }

    QList<QByteArray> blobs(const char *statement)
    {
        QList<QByteArray> values;
        sqlite3_stmt *query = prepare(statement);
        while (sqlite3_step(query) == SQLITE_ROW) {
            values.append(QByteArray(static_cast<const char *>(sqlite3_column_blob(query, 0)),
                                     sqlite3_column_bytes(query, 0)));
        }
        sqlite3_finalize(query);
        return values;
    }

    sqlite3_stmt *prepare(const char *statement)
    {
        sqlite3_stmt *query = nullptr;
        if (sqlite3_prepare_v2(handle, statement, -1, &query, nullptr) != SQLITE_OK)
            fail(statement, sqlite3_errmsg(handle));
        return query;
    }

    // The store's pragmas, whatever its open() sets: a store opens the file first (setting
    // what the file keeps), and the values of the connection are read from the store's own
    // and set on this one. Returns them as "name=value" for the table.
    QStringList applyStorePragmas()
    {
        static const char *const names[] = {"journal_mode",
                                            "synchronous",
                                            "cache_size",
                                            "temp_store",
                                            "locking_mode",
                                            "wal_autocheckpoint",
                                            "journal_size_limit",
                                            "mmap_size",
                                            "busy_timeout",
                                            "auto_vacuum"};
        QStringList settings;
        {
            QSQLiteStorage store(path, 0);
            if (!store.open())
                fail("open a store on", path.toUtf8().constData());
            for (const QString &name : QSqlDatabase::connectionNames()) {
                QSqlDatabase connection = QSqlDatabase::database(name, false);
                if (connection.databaseName() != path)
                    continue;
                QSqlQuery query(connection);
                for (const char *pragma : names) {
                    if (query.exec(QStringLiteral("PRAGMA %1").arg(QLatin1String(pragma)))
                        && query.next())
                        settings.append(QStringLiteral("%1=%2").arg(QLatin1String(pragma),
                                                                    query.value(0).toString()));
                }
            }
        }
        if (settings.isEmpty())
            fail("read the pragmas of the store on", path.toUtf8().constData());
        for (const QString &setting : settings)
            exec(QByteArray("PRAGMA " + setting.toUtf8()).constData());
        exec("CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY, data BLOB)");
        return settings;
    }

    sqlite3 *handle = nullptr;

private:
    QString path;

    [[noreturn]] void fail(const char *what, const char *error)
    {
        std::fprintf(stderr,
                     "SQLite failed: %s: %s\n",
                     what,
                     error ? error : sqlite3_errmsg(handle));
        std::exit(2);
    }
};

inline qint64 cachedRows(const QString &file)
{
    Database database(file);
    return database.integer("SELECT COUNT(*) FROM events");
}

// Folds the write-ahead log into the file, so that the file size is what the events take.
inline qint64 checkpointedFileSize(const QString &file)
{
    {
        Database database(file);
        database.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    return QFileInfo(file).size();
}

inline QString cacheFile(const QString &directory)
{
    return QDir(directory).filePath(QStringLiteral("SentrelTracker.db"));
}

// Clicks on a handful of buttons; the worker turns each into one stored event.
inline const QStringList &buttonNames()
{
    static const QStringList names {QStringLiteral("okButton"),
                                    QStringLiteral("cancelButton"),
                                    QStringLiteral("saveButton"),
                                    QStringLiteral("openButton"),
                                    QStringLiteral("zoomInButton"),
                                    QStringLiteral("zoomOutButton"),
                                    QStringLiteral("undoButton"),
                                    QStringLiteral("redoButton")};
    return names;
}

// The store the pipeline parts use: "SQLITE" unless --storage names another.
inline QString &benchStorageType()
{
    static QString type = QStringLiteral("SQLITE");
    return type;
}

inline void configure(QSentrelTracker &tracker,
                      int syncInterval,
                      const QString &server,
                      const QString &directory,
                      int storageSize,
                      int batchSize = 100)
{
    QSentrelConfiguration *config = tracker.configuration();
    config->setToken(QStringLiteral("benchmark-token"));
    config->setServer(server);
    config->setSyncInterval(syncInterval);
    config->setStorageType(benchStorageType());
    config->setStoragePath(directory);
    config->setStorageSize(storageSize);
    config->setBatchSize(batchSize);
    config->setCategories({QStringLiteral("buttons")});
    config->setEvents({});
    config->setRemoteConfig(false);
}

// Records count clicks offline, letting the worker catch up after every pace calls so that
// its queue stays short.
inline void cacheOffline(QSentrelTracker &tracker,
                         const QString &directory,
                         qint64 count,
                         int storageSize = 0,
                         qint64 pace = 1000)
{
    configure(tracker, 0, QStringLiteral("localhost:1"), directory, storageSize);
    tracker.setEnabled(true);
    waitForWorker();
    const QStringList &names = buttonNames();
    const QString category = QStringLiteral("buttons");
    for (qint64 i = 0; i < count; ++i) {
        tracker.interaction(names.at(int(i % names.size())), category);
        if ((i + 1) % pace == 0)
            waitForWorker();
    }
    waitForWorker(); // disabling would store only what it can within a frame
    tracker.setEnabled(false);
}

// Delivery of the cache to the collector: the clock starts at setEnabled(true), and the first
// sync follows the one-second timer.
struct Delivery
{
    qint64 events = 0;
    qint64 batches = 0;
    qint64 toFirstBatch = 0; // ns from enabling until the first batch was answered
    qint64 toLastBatch = 0; // ns from enabling until the last batch was answered
    QHash<QString, qint64> threadTimes;
    bool complete = false;

    // Events per second once the first batch is through: the drain itself, without the
    // first sync's timer.
    double steadyRate(qint64 firstBatchEvents) const
    {
        const qint64 span = toLastBatch - toFirstBatch;
        return span > 0 ? double(events - firstBatchEvents) / seconds(span) : 0;
    }
};

// Enables tracking with a sync interval of 1 against the collector and waits until it has
// received expected events (or timeout ms have passed). The collector forgets each request
// once counted, so that its memory stays flat. Leaves tracking enabled.
inline Delivery deliver(QSentrelTracker &tracker,
                        TestCollector &collector,
                        const QString &directory,
                        qint64 expected,
                        int storageSize = 0,
                        int timeout = 600000,
                        qint64 *firstBatchEvents = nullptr,
                        int batchSize = 100,
                        const QString &server = QString())
{
    Delivery delivery;
    collector.clear();
    configure(tracker,
              1,
              server.isEmpty() ? collector.server() : server,
              directory,
              storageSize,
              batchSize);

    QEventLoop loop;
    QElapsedTimer clock;
    const QMetaObject::Connection counting =
            QObject::connect(&collector, &TestCollector::eventsReceived, &loop, [&](int count) {
                if (delivery.batches++ == 0) {
                    delivery.toFirstBatch = clock.nsecsElapsed();
                    if (firstBatchEvents)
                        *firstBatchEvents = count;
                }
                delivery.events += count;
                delivery.toLastBatch = clock.nsecsElapsed();
                collector.clear();
                if (delivery.events >= expected)
                    loop.quit();
            });
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);

    const QHash<QString, qint64> before = cpuNanosecondsByThread();
    clock.start();
    tracker.setEnabled(true);
    if (delivery.events < expected)
        loop.exec();
    delivery.threadTimes = difference(cpuNanosecondsByThread(), before);
    QObject::disconnect(counting);
    delivery.complete = delivery.events >= expected;

    // The collector has answered the last batch; the tracker removes it from the cache when
    // the answer reaches it. Disabling before that would keep the batch for the next start.
    const QString file = cacheFile(directory);
    QElapsedTimer removal;
    removal.start();
    while (delivery.complete && cachedRows(file) > 0 && removal.elapsed() < 10000) {
        QEventLoop pause;
        QTimer::singleShot(5, &pause, &QEventLoop::quit);
        pause.exec();
    }
    return delivery;
}

inline double percentile(QList<double> values, double fraction)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype index =
            std::min<qsizetype>(values.size() - 1, qsizetype(fraction * double(values.size())));
    return values.at(index);
}

inline double median(const QList<double> &values)
{
    return percentile(values, 0.5);
}

inline bool check(const char *what, double value, const char *relation, double target, bool met)
{
    std::printf("  %-58s %12.3f  (target %s %.3g: %s)\n",
                what,
                value,
                relation,
                target,
                met ? "met" : "MISSED");
    return met;
}

inline bool atMost(const char *what, double value, double target)
{
    return check(what, value, "at most", target, value <= target);
}

inline bool atLeast(const char *what, double value, double target)
{
    return check(what, value, "at least", target, value >= target);
}

} // namespace bench

#endif // PIPELINEBENCH_H
