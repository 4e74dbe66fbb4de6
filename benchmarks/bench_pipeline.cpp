// SPDX-License-Identifier: MIT
// The event pipeline end to end, each figure beside its baseline from the same run:
//  1. events per second from interaction() calls to rows stored by the worker (plain store,
//     offline), beside bare SQLite insert loops with the store's pragmas and the same bytes
//     (256 to a transaction, and one each), the worker's cost per event split into building
//     and storing, the building as it was done before, and the cost of the cache's size-limit
//     trigger, the current one and the one it replaced;
//  2. stored bytes per event;
//  3. the drain rate of a cache of 10,000 events to the test collector over HTTPS on loopback,
//     with the time spent per thread, the tracker's own storage and JSON work per batch, and
//     the same drain with a collector that leaves its acknowledgements to the kernel's timer;
//  4. the peak resident memory of a process that caches and then drains 100,000 events,
//     against one that does so with 10,000 (each in a child process of its own, so that the
//     collector's memory does not count);
//  5. the share of the JSON writer in a profile of a recording run (perf where the machine
//     counts instructions, callgrind otherwise).
// Prints a table with each target met or missed; exits 0 unless it could not measure. "--part N" runs only part N.
#include "pipelinebench.h"
#include "qsentrelconfiguration_p.h"
#include "qsentrelreporter_p.h"
#include "qsqlitestorage_p.h"
#include "referenceevents.h"
#include "sentreldelivery_p.h"
#include "testenvironment.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QLoggingCategory>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <memory>

using namespace bench;

namespace {

constexpr qint64 pipelineEvents = 20000;
constexpr int repetitions = 3;
constexpr qint64 drainEvents = 10000;
constexpr int triggerLimit = 10000;

// The cache lives on disk in the user's data directory, so the files go below HOME (inside
// the build tree when run through CTest), not to a memory file system.
std::unique_ptr<QTemporaryDir> scratchDirectory()
{
    QDir().mkpath(QDir::homePath());
    auto directory = std::make_unique<QTemporaryDir>(
            QDir::home().filePath(QStringLiteral("bench-pipeline-XXXXXX")));
    if (!directory->isValid())
        qFatal("cannot create a directory below %s", qPrintable(QDir::homePath()));
    return directory;
}

struct Timing
{
    double wall = 0; // seconds
    double cpu = 0; // seconds of the whole process
};

// 1. interaction() calls until the worker has stored them all and setEnabled(false) has
// returned.
struct PipelineRun
{
    Timing timing;
    double callCpu = 0; // seconds on the application thread, in the calls
    double workerCpu = 0; // seconds on the worker, from the first call to the last row
    double toLastRow = 0; // seconds from the first call until the worker has stored the last row
    qint64 rows = 0;
    QList<QByteArray> stored; // the bytes the store kept, for the baselines
    double bytesPerEvent = 0;
    double dataBytesPerEvent = 0;
};

PipelineRun recordPipeline(QSentrelTracker &tracker, const QString &directory, qint64 count)
{
    PipelineRun run;
    configure(tracker, 0, QStringLiteral("localhost:1"), directory, 0);
    tracker.setEnabled(true);
    waitForWorker();
    const QString file = cacheFile(directory);
    const qint64 before = cachedRows(file); // the device and application event

    const QStringList &names = buttonNames();
    const QString category = QStringLiteral("buttons");
    qint64 workerStart = 0, workerEnd = 0;
    workerCpuNanoseconds(&workerStart, true);
    const qint64 cpu = processCpuNanoseconds();
    const qint64 callCpu = threadCpuNanoseconds();
    QElapsedTimer clock;
    clock.start();
    for (qint64 i = 0; i < count; ++i)
        tracker.interaction(names.at(int(i % names.size())), category);
    run.callCpu = seconds(threadCpuNanoseconds() - callCpu);
    // Runs on the worker after the last event, before disabling quits the thread; waited for,
    // as disabling stores only what it can within a frame. Disabling then closes the store,
    // which folds the write-ahead log into the file: the bare loops leave that to their close
    // as well, outside their clock.
    qint64 lastRow = 0;
    SentrelTrackerImpl::instance()->queueRequest([&](QSentrelReporter *) {
        workerEnd = threadCpuNanoseconds();
        lastRow = clock.nsecsElapsed();
    });
    SentrelTrackerImpl::instance()->waitForRequests();
    tracker.setEnabled(false);
    run.toLastRow = seconds(lastRow);
    run.timing.wall = seconds(clock.nsecsElapsed());
    run.timing.cpu = seconds(processCpuNanoseconds() - cpu);
    run.workerCpu = seconds(workerEnd - workerStart);

    const qint64 rows = cachedRows(file);
    run.rows = rows - before;
    run.bytesPerEvent = double(checkpointedFileSize(file)) / double(rows);
    Database database(file);
    run.dataBytesPerEvent =
            double(database.integer("SELECT SUM(LENGTH(data)) FROM events")) / double(rows);
    run.stored = database.blobs("SELECT data FROM events ORDER BY id");
    return run;
}

template <typename Loop>
Timing timed(Loop &&loop)
{
    const qint64 cpu = processCpuNanoseconds();
    QElapsedTimer clock;
    clock.start();
    loop();
    return Timing {seconds(clock.nsecsElapsed()), seconds(processCpuNanoseconds() - cpu)};
}

// The baseline: inserts through SQLite's C interface, each committed on its own (or batch to
// a transaction, as the worker commits), with the statement prepared once (or anew for every
// insert, as the Qt driver does).
Timing bareInserts(const QString &file,
                   const QList<QByteArray> &events,
                   bool preparedOnce,
                   double *bytesPerEvent = nullptr,
                   int batch = 0,
                   QStringList *pragmas = nullptr)
{
    Database database(file);
    const QStringList settings = database.applyStorePragmas();
    if (pragmas)
        *pragmas = settings;
    sqlite3_stmt *insert = database.prepare("INSERT INTO events(data) VALUES(?)");
    const Timing timing = timed([&] {
        for (qsizetype i = 0; i < events.size(); ++i) {
            if (batch > 0 && i % batch == 0)
                database.exec("BEGIN");
            if (!preparedOnce) {
                sqlite3_finalize(insert);
                insert = database.prepare("INSERT INTO events(data) VALUES(?)");
            }
            const QByteArray &event = events.at(i);
            sqlite3_bind_blob(insert, 1, event.constData(), int(event.size()), SQLITE_STATIC);
            if (sqlite3_step(insert) != SQLITE_DONE)
                qFatal("bare insert failed: %s", sqlite3_errmsg(database.handle));
            sqlite3_reset(insert);
            if (batch > 0 && ((i + 1) % batch == 0 || i + 1 == events.size()))
                database.exec("COMMIT");
        }
    });
    sqlite3_finalize(insert);
    if (bytesPerEvent) {
        database.exec("PRAGMA wal_checkpoint(TRUNCATE)");
        *bytesPerEvent = double(QFileInfo(file).size()) / double(events.size());
    }
    return timing;
}

// The worker's building of count clicks, on this thread: a reporter without a store and
// offline, whose events go nowhere once built. Seconds of this thread's CPU.
double buildClicks(QSentrelTracker &tracker, qint64 count)
{
    configure(tracker, 0, QStringLiteral("localhost:1"), QString(), 0);
    auto *configuration = static_cast<QSentrelConfigurationPrivate *>(tracker.configuration());
    configuration->setStorageType(QString());
    QSentrelReporter reporter;
    reporter.init(configuration);
    const QStringList &names = buttonNames();
    const QString category = QStringLiteral("buttons");
    const qint64 start = threadCpuNanoseconds();
    for (qint64 i = 0; i < count; ++i)
        reporter.trackClickEvent(names.at(int(i % names.size())), category, std::nullopt);
    return seconds(threadCpuNanoseconds() - start);
}

// The same clicks built as the worker built them before it wrote the bytes itself: QJsonObject
// trees, two QJsonDocument serialisations, QUuid, QDateTime, the configuration read per event.
double buildClicksAsBefore(QSentrelTracker &tracker, qint64 count)
{
    auto *configuration = static_cast<QSentrelConfigurationPrivate *>(tracker.configuration());
    const QStringList &names = buttonNames();
    const QString category = QStringLiteral("buttons");
    const QString application = QCoreApplication::applicationName();
    const QString session = QSentrelConfigurationPrivate::newIdentifier();
    qint64 bytes = 0;
    const qint64 start = threadCpuNanoseconds();
    for (qint64 i = 0; i < count; ++i) {
        const QJsonArray contexts =
                ReferenceEvents::click(names.at(int(i % names.size())), category, QString());
        const ReferenceEvents::Fields fields {application,
                                              QString::number(QDateTime::currentMSecsSinceEpoch()),
                                              configuration->userId(),
                                              QSentrelConfigurationPrivate::newIdentifier(),
                                              QLocale::system().name(),
                                              configuration->platform(),
                                              session,
                                              configuration->token()};
        bytes += ReferenceEvents::eventBytes(contexts, fields).size();
    }
    const double spent = seconds(threadCpuNanoseconds() - start);
    return bytes > 0 ? spent : 0;
}

// The store's add() on this thread: the SQL layer without the event building and queueing.
// With a batch size, the adds are committed that many at a time, as the worker does.
Timing
storeAdds(const QString &file, const QList<QByteArray> &events, int sizeLimit = 0, int batch = 0)
{
    QSQLiteStorage store(file, sizeLimit);
    if (!store.open())
        qFatal("cannot open the store at %s", qPrintable(file));
    return timed([&] {
        for (qsizetype i = 0; i < events.size(); ++i) {
            if (batch > 0 && i % batch == 0)
                store.transaction();
            store.add(events.at(i));
            if (batch > 0 && (i + 1) % batch == 0)
                store.commit();
        }
        store.commit();
    });
}

// A file holding limit events, added in one transaction.
void prefill(Database &database, const QList<QByteArray> &events, int limit)
{
    database.exec("BEGIN");
    sqlite3_stmt *insert = database.prepare("INSERT INTO events(data) VALUES(?)");
    for (int i = 0; i < limit; ++i) {
        const QByteArray &event = events.at(i % events.size());
        sqlite3_bind_blob(insert, 1, event.constData(), int(event.size()), SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    database.exec("COMMIT");
}

enum class Trigger {
    None,
    Current,
    Original
};

// Microseconds per insert into a full cache of limit events with the given size-limit trigger.
double
triggerCost(const QString &file, const QList<QByteArray> &events, Trigger trigger, int inserts)
{
    Database database(file);
    database.applyStorePragmas();
    prefill(database, events, triggerLimit);
    const QByteArray limit = QByteArray::number(triggerLimit);
    if (trigger == Trigger::Current) {
        database.exec("CREATE TRIGGER events_cleanup AFTER INSERT ON events BEGIN DELETE FROM "
                      "events WHERE id <= NEW.id - "
                      + limit + "; END");
    } else if (trigger == Trigger::Original) {
        database.exec("CREATE TRIGGER events_cleanup AFTER INSERT ON events BEGIN DELETE FROM "
                      "events WHERE id NOT IN "
                      "(SELECT id FROM events ORDER BY id DESC LIMIT "
                      + limit + "); END");
    }
    sqlite3_stmt *insert = database.prepare("INSERT INTO events(data) VALUES(?)");
    const Timing timing = timed([&] {
        for (int i = 0; i < inserts; ++i) {
            const QByteArray &event = events.at(i % events.size());
            sqlite3_bind_blob(insert, 1, event.constData(), int(event.size()), SQLITE_STATIC);
            if (sqlite3_step(insert) != SQLITE_DONE)
                qFatal("insert failed: %s", sqlite3_errmsg(database.handle));
            sqlite3_reset(insert);
        }
    });
    sqlite3_finalize(insert);
    if (trigger != Trigger::None && database.integer("SELECT COUNT(*) FROM events") != triggerLimit)
        qFatal("the trigger did not keep the cache at its limit");
    return timing.wall * 1e6 / inserts;
}

// The store's add() into a full cache of limit events, with the store's own trigger.
double storeTriggerCost(const QString &file, const QList<QByteArray> &events, int inserts)
{
    {
        Database database(file);
        database.applyStorePragmas();
        prefill(database, events, triggerLimit);
    }
    QList<QByteArray> batch;
    for (int i = 0; i < inserts; ++i)
        batch.append(events.at(i % events.size()));
    const Timing timing = storeAdds(file, batch, triggerLimit);
    if (cachedRows(file) != triggerLimit)
        qFatal("the store did not keep the cache at its limit");
    return timing.wall * 1e6 / inserts;
}

// 3. What the reporter does per batch apart from the network, on a copy of a filled cache:
// get(100, 0), check the rows and splice them into the batch body, remove(ids); beside it, the
// batch body made by parsing each row and writing them out again, as it was made before.
struct BatchWork
{
    double get = 0, json = 0, remove = 0; // microseconds per batch
    double rebuilt = 0;
    qint64 batches = 0;
};

BatchWork batchWork(const QString &file)
{
    BatchWork work;
    QSQLiteStorage store(file, 0);
    if (!store.open())
        qFatal("cannot open the store at %s", qPrintable(file));
    QElapsedTimer clock;
    qint64 get = 0, json = 0, remove = 0, rebuilt = 0;
    for (;;) {
        clock.start();
        const QList<QPair<quint64, QByteArray>> records = store.get(100, 0);
        get += clock.nsecsElapsed();
        if (records.isEmpty())
            break;
        clock.start();
        QJsonArray events;
        for (const auto &record : records)
            events.append(QJsonDocument::fromJson(record.second).object());
        const QJsonObject body {
                {QStringLiteral("schema"),
                 QStringLiteral(
                         "iglu:com.snowplowanalytics.snowplow/payload_data/jsonschema/1-0-4")},
                {QStringLiteral("data"), events}};
        const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Compact);
        rebuilt += clock.nsecsElapsed();
        clock.start();
        QSet<quint64> ids, unreadable;
        const QByteArray spliced = SentrelDelivery::batchFrom(records,
                                                              records.size(),
                                                              ~quint64(0),
                                                              {},
                                                              &ids,
                                                              &unreadable);
        json += clock.nsecsElapsed();
        // A body stops before 16 KiB: what it holds is what the collector would get.
        if (bytes.isEmpty() || ids.isEmpty() || spliced.isEmpty())
            qFatal("the batch body lacks events");
        clock.start();
        store.remove(ids);
        remove += clock.nsecsElapsed();
        ++work.batches;
    }
    work.get = double(get) / 1e3 / double(work.batches);
    work.json = double(json) / 1e3 / double(work.batches);
    work.rebuilt = double(rebuilt) / 1e3 / double(work.batches);
    work.remove = double(remove) / 1e3 / double(work.batches);
    return work;
}

// 4. The child process: caches count events, then drains them to the collector at server.
int memoryChild(qint64 count, const QString &server, const QString &directory)
{
    QSentrelTracker tracker;
    configure(tracker, 0, QStringLiteral("localhost:1"), directory, 0);
    tracker.setEnabled(true);
    waitForWorker();
    const qint64 start = residentBytes();
    qint64 cachingPeak = start;
    const QStringList &names = buttonNames();
    const QString category = QStringLiteral("buttons");
    QList<qint64> cachingSamples;
    for (qint64 i = 0; i < count; ++i) {
        tracker.interaction(names.at(int(i % names.size())), category);
        if ((i + 1) % 1000 == 0) {
            waitForWorker();
            cachingPeak = std::max(cachingPeak, residentBytes());
        }
        if ((i + 1) % (count / 10) == 0)
            cachingSamples.append(residentBytes());
    }
    tracker.setEnabled(false);
    const QString file = cacheFile(directory);
    const qint64 cached = cachedRows(file);
    const qint64 afterCaching = residentBytes();

    configure(tracker, 1, server, directory, 0);
    QElapsedTimer clock;
    clock.start();
    tracker.setEnabled(true);
    Database probe(file);
    QEventLoop loop;
    qint64 drainPeak = 0;
    QList<qint64> drainSamples;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &loop, [&] {
        const qint64 resident = residentBytes();
        drainPeak = std::max(drainPeak, resident);
        if (drainSamples.size() < 1000)
            drainSamples.append(resident);
        if (probe.integer("SELECT EXISTS(SELECT 1 FROM events)") == 0)
            loop.quit();
    });
    sampler.start(100);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    loop.exec();
    const double drainSeconds = seconds(clock.nsecsElapsed());
    const bool drained = probe.integer("SELECT COUNT(*) FROM events") == 0;
    tracker.setEnabled(false);

    std::printf("cached %lld\n", qlonglong(cached));
    std::printf("drained %d\n", drained ? 1 : 0);
    std::printf("start %lld\n", qlonglong(start));
    std::printf("cachingPeak %lld\n", qlonglong(cachingPeak));
    std::printf("afterCaching %lld\n", qlonglong(afterCaching));
    std::printf("drainPeak %lld\n", qlonglong(drainPeak));
    std::printf("peak %lld\n", qlonglong(peakResidentBytes()));
    std::printf("maxrss %lld\n", qlonglong(maximumResidentBytes()));
    std::printf("drainSeconds %.3f\n", drainSeconds);
    QStringList samples;
    for (const qint64 sample : cachingSamples)
        samples.append(QString::number(double(sample) / MiB, 'f', 1));
    std::printf("cachingSamples %s\n", qPrintable(samples.join(QLatin1Char(' '))));
    samples.clear();
    for (qsizetype i = 0; i < drainSamples.size();
         i += std::max<qsizetype>(1, drainSamples.size() / 10))
        samples.append(QString::number(double(drainSamples.at(i)) / MiB, 'f', 1));
    std::printf("drainSamples %s\n", qPrintable(samples.join(QLatin1Char(' '))));
    std::fflush(stdout);
    return drained ? 0 : 1;
}

struct MemoryRun
{
    QHash<QString, QString> values;
    qint64 value(const char *name) const { return values.value(QLatin1String(name)).toLongLong(); }
    double mib(const char *name) const { return double(value(name)) / MiB; }
    bool ok = false;
};

// Runs the child against the collector, which serves it from this thread's event loop.
MemoryRun runMemoryChild(TestCollector &collector, qint64 count)
{
    const auto directory = scratchDirectory();
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QEventLoop loop;
    QObject::connect(&child, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&child, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    const QMetaObject::Connection forgetting =
            QObject::connect(&collector, &TestCollector::eventsReceived, &loop, [&collector] {
                collector.clear();
            });
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--memory-child"),
                 QString::number(count),
                 collector.server(),
                 directory->path()});
    loop.exec();
    QObject::disconnect(forgetting);

    MemoryRun run;
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const qsizetype space = line.indexOf(' ');
        if (space > 0)
            run.values.insert(QString::fromUtf8(line.left(space)),
                              QString::fromUtf8(line.mid(space + 1)));
    }
    run.ok = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0
            && run.value("drained") == 1;
    return run;
}

// 1 and 2, repeated with the runs interleaved so that the noise of a shared machine spreads
// over all of them alike. Returns whether the targets were met.
bool recording(QSentrelTracker &tracker)
{
    std::printf("1. Recording: %lld interaction() calls to stored rows, plain store, offline; "
                "median of %d runs\n",
                qlonglong(pipelineEvents),
                repetitions);
    QList<double> callCpu, workerCpu;
    QList<double> pipelineWall, pipelineCpu, bareWall, bareCpu, repreparedWall, repreparedCpu,
            storeWall, storeCpu, batchedWall, batchedCpu, bareBatchedWall, bareBatchedCpu, building,
            buildingBefore, toLastRow;
    QStringList pragmas;
    double bytesPerEvent = 0, dataBytesPerEvent = 0, bareBytesPerEvent = 0;
    qint64 rows = 0;
    QList<QByteArray> stored;
    for (int repetition = 0; repetition < repetitions; ++repetition) {
        const auto directory = scratchDirectory();
        const PipelineRun run = recordPipeline(tracker,
                                               directory->filePath(QStringLiteral("pipeline")),
                                               pipelineEvents);
        rows = run.rows;
        bytesPerEvent = run.bytesPerEvent;
        dataBytesPerEvent = run.dataBytesPerEvent;
        stored = run.stored;
        pipelineWall.append(run.timing.wall);
        pipelineCpu.append(run.timing.cpu);
        callCpu.append(run.callCpu);
        workerCpu.append(run.workerCpu);
        toLastRow.append(run.toLastRow);

        const Timing bare = bareInserts(directory->filePath(QStringLiteral("bare.db")),
                                        run.stored,
                                        true,
                                        &bareBytesPerEvent);
        bareWall.append(bare.wall);
        bareCpu.append(bare.cpu);
        const Timing bareBatched =
                bareInserts(directory->filePath(QStringLiteral("bare-batched.db")),
                            run.stored,
                            true,
                            nullptr,
                            256,
                            &pragmas);
        bareBatchedWall.append(bareBatched.wall);
        bareBatchedCpu.append(bareBatched.cpu);
        const Timing reprepared = bareInserts(directory->filePath(QStringLiteral("reprepared.db")),
                                              run.stored,
                                              false);
        repreparedWall.append(reprepared.wall);
        repreparedCpu.append(reprepared.cpu);
        const Timing adds = storeAdds(directory->filePath(QStringLiteral("store.db")), run.stored);
        storeWall.append(adds.wall);
        storeCpu.append(adds.cpu);
        const Timing batched =
                storeAdds(directory->filePath(QStringLiteral("batched.db")), run.stored, 0, 256);
        batchedWall.append(batched.wall);
        batchedCpu.append(batched.cpu);
        building.append(buildClicks(tracker, pipelineEvents));
        buildingBefore.append(buildClicksAsBefore(tracker, pipelineEvents));
    }
    bool met = rows == pipelineEvents;
    if (!met)
        std::printf("  !! %lld rows stored for %lld calls\n",
                    qlonglong(rows),
                    qlonglong(pipelineEvents));
    const double events = double(stored.size());
    const auto row =
            [events](const char *what, const QList<double> &wall, const QList<double> &cpu) {
                std::printf("  %-52s %8.0f events/s %7.1f us/event, CPU %6.1f us/event\n",
                            what,
                            events / median(wall),
                            median(wall) * 1e6 / events,
                            median(cpu) * 1e6 / events);
            };
    row("interaction() -> worker -> stored row", pipelineWall, pipelineCpu);
    std::printf("  %-52s %8.0f events/s %7.1f us/event\n",
                "  the same until the last row is stored, not closed",
                events / median(toLastRow),
                median(toLastRow) * 1e6 / events);
    row("bare SQLite insert, 256 to a transaction", bareBatchedWall, bareBatchedCpu);
    row("bare SQLite insert, statement prepared once", bareWall, bareCpu);
    row("bare SQLite insert, statement prepared per insert", repreparedWall, repreparedCpu);
    row("QSQLiteStorage::add() on one thread", storeWall, storeCpu);
    row("the same, committed 256 at a time as the worker does", batchedWall, batchedCpu);
    std::printf("  (the bare loops use the store's pragmas, read from its connection: %s)\n",
                qPrintable(pragmas.join(QLatin1Char(' '))));
    std::printf("  (the pipeline's CPU time counts both the application thread and the worker)\n");
    std::printf("  %-52s %8.1f us/event\n",
                "  of which the application thread, in the calls",
                median(callCpu) * 1e6 / events);
    std::printf("  %-52s %8.1f us/event\n",
                "  of which the worker",
                median(workerCpu) * 1e6 / events);
    std::printf("  %-52s %8.1f us/event\n",
                "  the worker less the batched add(): event building",
                (median(workerCpu) - median(batchedCpu)) * 1e6 / events);
    std::printf("  The worker's cost per event, split (CPU, this thread):\n");
    std::printf("  %-52s %8.2f us/event\n",
                "  building: trackClickEvent() without a store",
                median(building) * 1e6 / events);
    std::printf("  %-52s %8.2f us/event\n",
                "  storing: add() committed 256 at a time",
                median(batchedCpu) * 1e6 / events);
    std::printf("  %-52s %8.2f us/event\n",
                "  building as before (QJsonObject, QJsonDocument, QUuid)",
                median(buildingBefore) * 1e6 / events);
    std::printf("  %-52s %8.1f times\n",
                "  before / now",
                median(buildingBefore) / median(building));

    std::printf(
            "\n   Size-limit trigger, one insert into a full cache of %d events (bare SQLite):\n",
            triggerLimit);
    {
        const auto directory = scratchDirectory();
        const double none = triggerCost(directory->filePath(QStringLiteral("none.db")),
                                        stored,
                                        Trigger::None,
                                        5000);
        const double current = triggerCost(directory->filePath(QStringLiteral("current.db")),
                                           stored,
                                           Trigger::Current,
                                           5000);
        const double original = triggerCost(directory->filePath(QStringLiteral("original.db")),
                                            stored,
                                            Trigger::Original,
                                            100);
        const double store =
                storeTriggerCost(directory->filePath(QStringLiteral("store.db")), stored, 5000);
        std::printf("  %-52s %10.1f us\n", "no trigger", none);
        std::printf("  %-52s %10.1f us\n", "DELETE ... WHERE id <= NEW.id - N (current)", current);
        std::printf("  %-52s %10.1f us\n",
                    "DELETE ... WHERE id NOT IN (... LIMIT N) (original)",
                    original);
        std::printf("  %-52s %10.1f us\n", "QSQLiteStorage::add() with a size of N (full)", store);
        std::printf("  original / current: %.0f times\n", original / current);
    }

    std::printf("\n2. Stored bytes per event (file size / rows after a checkpoint)\n");
    std::printf("  %-52s %10.1f bytes\n", "plain store", bytesPerEvent);
    std::printf("  %-52s %10.1f bytes\n",
                "of which event data (the JSON bytes)",
                dataBytesPerEvent);
    std::printf("  %-52s %10.1f bytes\n",
                "bare SQLite file with the same events",
                bareBytesPerEvent);

    std::printf("\n   Targets:\n");
    met &= atMost("pipeline time / bare SQLite loop time (wall)",
                  median(pipelineWall) / median(bareWall),
                  1.5);
    met &= atLeast("recording rate / bare batched insert rate (wall, to the last row)",
                   median(bareBatchedWall) / median(toLastRow),
                   0.5);
    std::printf("  %-58s %12.3f\n",
                "the same with disabling, which closes the store",
                median(bareBatchedWall) / median(pipelineWall));
    std::printf("  %-58s %12.3f\n",
                "bare batched insert CPU / pipeline CPU, per event",
                median(bareBatchedCpu) / median(pipelineCpu));
    std::printf("  %-58s %12.3f\n",
                "recording rate / bare single-insert rate (wall, to the last row)",
                median(bareWall) / median(toLastRow));
    std::printf("  %-58s %12.3f\n",
                "pipeline CPU time / bare SQLite loop CPU time",
                median(pipelineCpu) / median(bareCpu));
    return met;
}

// 3. The drain to the collector, from a cache filled offline. Without quickAcks the collector
// leaves its acknowledgements to the kernel's delayed-acknowledgement timer.
struct DrainRun
{
    Delivery delivery;
    qint64 firstBatch = 0;
    qint64 expected = 0;
    double steadyRate = 0;
};

DrainRun drainOnce(QSentrelTracker &tracker,
                   TestCollector &collector,
                   const QString &path,
                   bool quickAcks,
                   const QString &copy = QString(),
                   const QString &front = QString())
{
    DrainRun run;
    cacheOffline(tracker, path, drainEvents);
    if (!copy.isEmpty())
        QFile::copy(cacheFile(path), copy);
    // Enabling adds its own device and application event to the cache first.
    run.expected = cachedRows(cacheFile(path)) + 1;
    HttpsServer *server = collector.findChild<HttpsServer *>();
    server->setImmediateAcknowledgements(quickAcks);
    run.delivery =
            deliver(tracker, collector, path, run.expected, 0, 600000, &run.firstBatch, 100, front);
    tracker.setEnabled(false);
    server->setImmediateAcknowledgements(true);
    run.steadyRate = run.delivery.steadyRate(run.firstBatch);
    if (!run.delivery.complete)
        std::printf("  !! only %lld of %lld events arrived\n",
                    qlonglong(run.delivery.events),
                    qlonglong(run.expected));
    return run;
}

// nginx in front of the test collector, as a real collector often is: it acknowledges as the
// kernel does by default and speaks HTTP/1.1 or, when http2 is set, HTTP/2 to the tracker.
class NginxFront
{
public:
    NginxFront(const TestCollector &collector, bool http2)
    {
        const QString executable = QStandardPaths::findExecutable(
                QStringLiteral("nginx"),
                {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
        if (executable.isEmpty() || !directory.isValid()) {
            problem = QStringLiteral("nginx is not installed (make deps installs it)");
            return;
        }
        QTcpServer probe; // a free port, given back at once
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
        probe.close();
        const QString root = directory.path();
        QFile certificate(root + QLatin1String("/cert.pem"));
        QFile key(root + QLatin1String("/key.pem"));
        if (!certificate.open(QIODevice::WriteOnly) || !key.open(QIODevice::WriteOnly)) {
            problem = QStringLiteral("cannot write the certificate");
            return;
        }
        certificate.write(collector.certificate().toPem());
        key.write(collector.certificateKey().toPem());
        certificate.close();
        key.close();
        const QString config =
                QStringLiteral(
                        "daemon off; master_process off; worker_processes 1; pid %1/nginx.pid;\n"
                        "error_log %1/error.log;\n"
                        "events { worker_connections 64; }\n"
                        "http {\n"
                        "  log_format protocol '$server_protocol';\n"
                        "  access_log %1/access.log protocol;\n"
                        "  client_body_temp_path %1/body; proxy_temp_path %1/proxy;\n"
                        "  fastcgi_temp_path %1/fastcgi; uwsgi_temp_path %1/uwsgi; scgi_temp_path "
                        "%1/scgi;\n"
                        "  upstream collector { server 127.0.0.1:%2; keepalive 8; }\n"
                        "  server {\n"
                        "    listen 127.0.0.1:%3 ssl%4;\n"
                        "    server_name localhost;\n"
                        "    ssl_certificate %1/cert.pem; ssl_certificate_key %1/key.pem;\n"
                        "    client_max_body_size 2m;\n"
                        "    location / {\n"
                        "      proxy_pass https://collector; proxy_ssl_verify off;\n"
                        "      proxy_http_version 1.1; proxy_set_header Connection \"\";\n"
                        "    }\n"
                        "  }\n"
                        "}\n")
                        .arg(root)
                        .arg(collector.port())
                        .arg(port)
                        .arg(http2 ? QStringLiteral(" http2") : QString());
        QFile file(root + QLatin1String("/nginx.conf"));
        if (!file.open(QIODevice::WriteOnly)) {
            problem = QStringLiteral("cannot write nginx.conf");
            return;
        }
        file.write(config.toUtf8());
        file.close();
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(executable,
                      {QStringLiteral("-p"),
                       root,
                       QStringLiteral("-c"),
                       file.fileName(),
                       QStringLiteral("-e"),
                       root + QLatin1String("/error.log")});
        QElapsedTimer started;
        started.start();
        while (started.elapsed() < 5000 && process.state() != QProcess::NotRunning) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(100))
                return;
            QThread::msleep(20);
        }
        QFile log(root + QLatin1String("/error.log"));
        log.open(QIODevice::ReadOnly);
        problem = QStringLiteral("nginx did not start: %1 %2")
                          .arg(QString::fromUtf8(process.readAll()),
                               QString::fromUtf8(log.readAll()));
    }
    ~NginxFront()
    {
        process.terminate();
        if (!process.waitForFinished(3000))
            process.kill();
        process.waitForFinished(1000);
    }

    bool isRunning() const { return problem.isEmpty(); }
    QString error() const { return problem; }
    QString server() const { return QStringLiteral("localhost:%1").arg(port); }
    // The protocols of the requests nginx served, with their counts.
    QString protocols() const
    {
        QFile log(directory.path() + QLatin1String("/access.log"));
        if (!log.open(QIODevice::ReadOnly))
            return QStringLiteral("none logged");
        QMap<QString, int> counts;
        for (const QByteArray &line : log.readAll().split('\n')) {
            if (!line.isEmpty())
                ++counts[QString::fromLatin1(line)];
        }
        QStringList parts;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            parts.append(QStringLiteral("%1 x%2").arg(it.key()).arg(it.value()));
        return parts.join(QLatin1String(", "));
    }

private:
    QTemporaryDir directory;
    QProcess process;
    quint16 port = 0;
    QString problem;
};

bool drain(QSentrelTracker &tracker, TestCollector &collector)
{
    std::printf("\n3. Drain of %lld cached events (%s) to the collector over HTTPS on loopback, "
                "batches of at most 100 events and 16 KiB\n",
                qlonglong(drainEvents),
                qPrintable(benchStorageType()));
    const auto directory = scratchDirectory();
    const QString copy = directory->filePath(QStringLiteral("copy.db"));
    const DrainRun run =
            drainOnce(tracker, collector, directory->filePath(QStringLiteral("drain")), true, copy);
    const Delivery &delivery = run.delivery;
    bool met = delivery.complete;
    const double span = seconds(delivery.toLastBatch - delivery.toFirstBatch);
    const double perBatch = span * 1e3 / double(std::max<qint64>(1, delivery.batches - 1));
    std::printf("  %lld events in %lld batches\n",
                qlonglong(delivery.events),
                qlonglong(delivery.batches));
    std::printf("  %-52s %10.3f s\n",
                "enabling to the first batch (the sync timer)",
                seconds(delivery.toFirstBatch));
    std::printf("  %-52s %10.3f s\n", "first batch to the last", span);
    std::printf("  %-52s %10.0f events/s\n", "drain rate after the first batch", run.steadyRate);
    std::printf("  %-52s %10.0f events/s\n",
                "rate from enabling, with the timer",
                double(delivery.events) / seconds(delivery.toLastBatch));
    std::printf("  %-52s %10.2f ms\n", "per batch, wall time", perBatch);
    std::printf("  CPU time per thread during the drain (per batch):\n");
    QList<QPair<qint64, QString>> threads;
    for (auto it = delivery.threadTimes.cbegin(); it != delivery.threadTimes.cend(); ++it) {
        if (it.value() > 0)
            threads.append({it.value(), it.key()});
    }
    std::sort(threads.rbegin(), threads.rend());
    qint64 total = 0;
    for (const auto &thread : threads) {
        total += thread.first;
        std::printf("    %-50s %8.3f s %7.2f ms\n",
                    qPrintable(thread.second),
                    seconds(thread.first),
                    seconds(thread.first) * 1e3 / double(delivery.batches));
    }
    std::printf("    %-50s %8.3f s %7.2f ms\n",
                "all threads",
                seconds(total),
                seconds(total) * 1e3 / double(delivery.batches));
    std::printf("    %-50s %10.1f us\n",
                "worker thread (QThread) per delivered event",
                seconds(delivery.threadTimes.value(QStringLiteral("QThread"))) * 1e6
                        / double(std::max<qint64>(1, delivery.events)));
    std::printf("    (\"%s\" is the application thread, which serves the collector; \"QThread\" is "
                "the\n"
                "    worker; \"QNetworkAccessM\" is the network manager's HTTP thread)\n",
                qPrintable(QCoreApplication::applicationName().left(15)));

    const BatchWork work = batchWork(copy);
    std::printf("  The reporter's work per batch without the network (same cache, this thread):\n");
    std::printf("    %-50s %10.2f ms\n", "get(100, 0)", work.get / 1e3);
    std::printf("    %-50s %10.2f ms\n",
                "check 100 rows, splice them into the batch body",
                work.json / 1e3);
    std::printf("    %-50s %10.2f ms\n",
                "  (baseline: parse 100 rows, write them out again)",
                work.rebuilt / 1e3);
    std::printf("    %-50s %10.2f ms\n", "remove(100 ids)", work.remove / 1e3);
    std::printf("    %-50s %10.2f ms\n", "together", (work.get + work.json + work.remove) / 1e3);

    // A request body beyond 16 KiB goes out in several writes without TCP_NODELAY. On the
    // loopback interface (MTU 65536) each is a segment below the MSS, so Nagle's algorithm holds
    // each one after the first until the collector acknowledges; one that leaves that to the
    // kernel's delayed-acknowledgement timer costs 40 ms per batch. Batches stop growing before
    // 16 KiB, which Qt writes with the request's head at once. The test collector acknowledges
    // at once; this shows the other kind, as most servers are.
    const DrainRun delayed =
            drainOnce(tracker, collector, directory->filePath(QStringLiteral("delayed")), false);
    const double delayedSpan =
            seconds(delayed.delivery.toLastBatch - delayed.delivery.toFirstBatch);
    std::printf(
            "  The same with a collector that leaves acknowledgements to the kernel's timer:\n");
    std::printf("    %-50s %10.0f events/s\n",
                "drain rate after the first batch",
                delayed.steadyRate);
    std::printf("    %-50s %10.2f ms\n",
                "per batch, wall time",
                delayedSpan * 1e3 / double(std::max<qint64>(1, delayed.delivery.batches - 1)));

    QList<QPair<QString, double>> fronted;
    for (const bool http2 : {false, true}) {
        const NginxFront nginx(collector, http2);
        const QString name = http2 ? QStringLiteral("nginx in front, HTTP/2 offered")
                                   : QStringLiteral("nginx in front, HTTP/1.1");
        if (!nginx.isRunning()) {
            std::printf("  %s: not measured, %s\n", qPrintable(name), qPrintable(nginx.error()));
            continue;
        }
        const DrainRun behind =
                drainOnce(tracker,
                          collector,
                          directory->filePath(http2 ? QStringLiteral("h2") : QStringLiteral("h1")),
                          true,
                          QString(),
                          nginx.server());
        const double span = seconds(behind.delivery.toLastBatch - behind.delivery.toFirstBatch);
        std::printf("  %s (requests: %s):\n", qPrintable(name), qPrintable(nginx.protocols()));
        std::printf("    %-50s %10.0f events/s\n",
                    "drain rate after the first batch",
                    behind.steadyRate);
        std::printf("    %-50s %10.2f ms\n",
                    "per batch, wall time",
                    span * 1e3 / double(std::max<qint64>(1, behind.delivery.batches - 1)));
        if (behind.delivery.complete)
            fronted.append({name, behind.steadyRate});
    }

    std::printf("\n   Targets:\n");
    met &= atLeast("drain rate, events/s", run.steadyRate, 10000);
    met &= delayed.delivery.complete;
    met &= atLeast("drain rate with delayed acknowledgements, events/s", delayed.steadyRate, 10000);
    for (const auto &[name, rate] : std::as_const(fronted))
        met &= atLeast(qPrintable(name + QLatin1String(", events/s")), rate, 10000);
    return met;
}

// 4. Memory of a process that caches and drains, against ten times fewer events.
bool memory(TestCollector &collector)
{
    std::printf("\n4. Resident memory of a process caching and then draining N events (child "
                "processes)\n");
    const MemoryRun small = runMemoryChild(collector, 10000);
    const MemoryRun large = runMemoryChild(collector, 100000);
    for (const MemoryRun *run : {&small, &large}) {
        std::printf("  N = %6lld: start %5.1f MiB, caching peak %5.1f, after caching %5.1f, drain "
                    "peak %5.1f, "
                    "VmHWM %5.1f MiB; drained in %s s%s\n",
                    qlonglong(run->value("cached") - 1),
                    run->mib("start"),
                    run->mib("cachingPeak"),
                    run->mib("afterCaching"),
                    run->mib("drainPeak"),
                    run->mib("peak"),
                    qPrintable(run->values.value(QStringLiteral("drainSeconds"))),
                    run->ok ? "" : " (FAILED)");
        std::printf("      ru_maxrss %.1f MiB (a child inherits its parent's peak at fork; the "
                    "parent's is %.1f MiB)\n",
                    run->mib("maxrss"),
                    double(maximumResidentBytes()) / MiB);
        std::printf("      caching samples (MiB): %s\n",
                    qPrintable(run->values.value(QStringLiteral("cachingSamples"))));
        std::printf("      drain samples (MiB):   %s\n",
                    qPrintable(run->values.value(QStringLiteral("drainSamples"))));
    }
    std::printf("\n   Targets:\n");
    bool met = small.ok && large.ok;
    // Ten times the events must not cost more than a few MiB: the 90,000 events more take
    // over 40 MiB in the file.
    met &= atMost("peak RSS (VmHWM) growth from 10,000 to 100,000 events, MiB",
                  large.mib("peak") - small.mib("peak"),
                  4);
    met &= atMost("drain peak growth from 10,000 to 100,000 events, MiB",
                  large.mib("drainPeak") - small.mib("drainPeak"),
                  4);
    return met;
}

// 5. The child of the profile: records count clicks offline into directory.
int recordChild(qint64 count, const QString &directory)
{
    QSentrelTracker tracker;
    cacheOffline(tracker, directory, count);
    return cachedRows(cacheFile(directory)) == count + 1 ? 0 : 1;
}

QByteArray runTool(const QString &program, const QStringList &arguments, bool *ok)
{
    QProcess process;
    process.start(program, arguments);
    *ok = process.waitForFinished(1800000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    return process.readAllStandardOutput() + process.readAllStandardError();
}

// Whether perf counts instructions on this machine (virtual machines often hide the counters).
bool perfCountsInstructions()
{
    bool ok = false;
    const QByteArray output = runTool(QStringLiteral("perf"),
                                      {QStringLiteral("stat"),
                                       QStringLiteral("-e"),
                                       QStringLiteral("instructions"),
                                       QStringLiteral("true")},
                                      &ok);
    return ok && !output.contains("not supported") && !output.contains("not counted");
}

struct Profile
{
    double total = 0; // the whole process
    double writer = 0; // self cost of SentrelJsonWriter's functions
    double click = 0; // trackClickEvent with what it calls: building and storing, inclusive
    double event = 0; // SentrelPayload::finish, inclusive
    double add = 0; // QSQLiteStorage::add, inclusive
    bool ok = false;

    // A function's own cost and its cost with what it calls, as the profiler reports them.
    void self(const QString &function, double cost)
    {
        if (function.startsWith(QLatin1String("SentrelJsonWriter::")))
            writer += cost;
    }
    void inclusive(const QString &function, double cost)
    {
        if (function.startsWith(QLatin1String("QSentrelReporter::trackClickEvent")))
            click = std::max(click, cost);
        else if (function.startsWith(QLatin1String("SentrelPayload::finish")))
            event = std::max(event, cost);
        else if (function.startsWith(QLatin1String("QSQLiteStorage::add")))
            add = std::max(add, cost);
    }
};

// perf report lines: "  12.34%  bench_pipeline  libSentrelTracker.so  [.] SentrelJsonWriter::value(...)".
Profile perfProfile(const QStringList &child, const QString &directory)
{
    Profile profile;
    const QString data = QDir(directory).filePath(QStringLiteral("perf.data"));
    bool ok = false;
    runTool(QStringLiteral("perf"),
            QStringList {QStringLiteral("record"),
                         QStringLiteral("-e"),
                         QStringLiteral("instructions:u"),
                         QStringLiteral("--call-graph=dwarf"),
                         QStringLiteral("-o"),
                         data,
                         QStringLiteral("--")}
                    + child,
            &ok);
    if (!ok)
        return profile;
    const auto report = [&](bool children) {
        return runTool(QStringLiteral("perf"),
                       {QStringLiteral("report"),
                        QStringLiteral("--stdio"),
                        QStringLiteral("-i"),
                        data,
                        children ? QStringLiteral("--children") : QStringLiteral("--no-children"),
                        QStringLiteral("--sort"),
                        QStringLiteral("symbol"),
                        QStringLiteral("-g"),
                        QStringLiteral("none")},
                       &ok);
    };
    static const QRegularExpression line(
            QStringLiteral("^\\s*([\\d.]+)%\\s+(?:[\\d.]+%\\s+)?\\[.\\]\\s+(.*)$"));
    for (const bool children : {false, true}) {
        for (const QByteArray &text : report(children).split('\n')) {
            const QRegularExpressionMatch match = line.match(QString::fromUtf8(text));
            if (!match.hasMatch())
                continue;
            if (children)
                profile.inclusive(match.captured(2), match.captured(1).toDouble());
            else
                profile.self(match.captured(2), match.captured(1).toDouble());
        }
    }
    profile.total = 100;
    profile.ok = ok && profile.click > 0;
    return profile;
}

// callgrind_annotate lines: "12,345,678 (12.34%)  ???:SentrelJsonWriter::value(...) [lib]".
Profile callgrindProfile(const QStringList &child, const QString &directory)
{
    Profile profile;
    const QString out = QDir(directory).filePath(QStringLiteral("callgrind.out"));
    bool ok = false;
    runTool(QStringLiteral("valgrind"),
            QStringList {QStringLiteral("--tool=callgrind"),
                         QStringLiteral("--callgrind-out-file=") + out}
                    + child,
            &ok);
    if (!ok)
        return profile;
    static const QRegularExpression line(
            QStringLiteral("^\\s*([\\d,]+)\\s+(?:\\([^)]*\\)\\s+)?(.*)$"));
    const auto costs = [&](bool inclusive) {
        QList<QPair<double, QString>> entries;
        const QByteArray text = runTool(
                QStringLiteral("callgrind_annotate"),
                {QStringLiteral("--threshold=100"),
                 inclusive ? QStringLiteral("--inclusive=yes") : QStringLiteral("--inclusive=no"),
                 out},
                &ok);
        for (const QByteArray &row : text.split('\n')) {
            const QRegularExpressionMatch match = line.match(QString::fromUtf8(row));
            if (match.hasMatch())
                entries.append(
                        {match.captured(1).remove(QLatin1Char(',')).toDouble(), match.captured(2)});
        }
        return entries;
    };
    const auto function = [](const QString &entry) {
        return entry.mid(entry.indexOf(QLatin1Char(':')) + 1);
    };
    for (const auto &entry : costs(false)) {
        if (entry.second.contains(QLatin1String("PROGRAM TOTALS")))
            profile.total = entry.first;
        profile.self(function(entry.second), entry.first);
    }
    for (const auto &entry : costs(true))
        profile.inclusive(function(entry.second), entry.first);
    profile.ok = ok && profile.total > 0 && profile.click > 0;
    return profile;
}

bool profile()
{
    constexpr qint64 clicks = 5000;
    const bool perf = perfCountsInstructions();
    std::printf("\n5. Profile of a recording run: %lld clicks offline in a child process, %s\n",
                qlonglong(clicks),
                perf ? "perf record -e instructions:u"
                     : "valgrind --tool=callgrind (perf stat -e instructions: not supported on "
                       "this machine)");
    const auto directory = scratchDirectory();
    const QStringList child {QCoreApplication::applicationFilePath(),
                             QStringLiteral("--record-child"),
                             QString::number(clicks),
                             directory->filePath(QStringLiteral("cache"))};
    const Profile result = perf ? perfProfile(child, directory->path())
                                : callgrindProfile(child, directory->path());
    if (!result.ok) {
        std::printf("  !! the profiler did not run (is %s installed?)\n",
                    perf ? "perf" : "valgrind");
        return false;
    }
    const struct
    {
        const char *what;
        double part, whole;
    } shares[] = {
            {"the writer's own functions, of the whole process", result.writer, result.total},
            {"trackClickEvent() and all it calls, of the process", result.click, result.total},
            {"  the writer, of trackClickEvent()", result.writer, result.click},
            {"  SentrelPayload::finish(), of trackClickEvent()", result.event, result.click},
            {"  QSQLiteStorage::add(), of trackClickEvent()", result.add, result.click},
    };
    for (const auto &share : shares)
        std::printf("  %-52s %8.1f %%\n",
                    share.what,
                    share.whole > 0 ? 100 * share.part / share.whole : 0);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    sentrelUsePrivateHome();
    QGuiApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("bench_pipeline"));
    QLoggingCategory::setFilterRules(
            QStringLiteral("sentrel.eventfilter.debug=false\nsentrel.eventfilter.info=false"));
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 5 && arguments.at(1) == QLatin1String("--memory-child"))
        return memoryChild(arguments.at(2).toLongLong(), arguments.at(3), arguments.at(4));
    if (arguments.size() == 4 && arguments.at(1) == QLatin1String("--record-child"))
        return recordChild(arguments.at(2).toLongLong(), arguments.at(3));

    // --part N (repeatable) runs only the parts named, for profiling one of them; --storage
    // TYPE drains a store of that type.
    QSet<int> parts;
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--part"))
            parts.insert(arguments.at(i + 1).toInt());
        if (arguments.at(i) == QLatin1String("--storage"))
            benchStorageType() = arguments.at(i + 1);
    }
    const auto running = [&parts](int part) {
        return parts.isEmpty() || parts.contains(part);
    };

    QSentrelTracker tracker;
    TestCollector collector;
    if (!collector.start())
        qFatal("the collector does not start: %s", qPrintable(collector.errorString()));
    std::printf("Load average at the start: %s (2 cores, shared)\n\n", loadAverage().constData());
    bool met = true;
    if (running(1) || running(2))
        met &= recording(tracker);
    if (running(3))
        met &= drain(tracker, collector);
    if (running(4))
        met &= memory(collector);
    if (running(5))
        met &= profile();
    std::printf("\nLoad average at the end: %s\n", loadAverage().constData());
    std::printf("%s\n", met ? "All targets met." : "Some targets MISSED.");
    // A missed target is a finding, reported above; only a run that cannot measure fails.
    return 0;
}
