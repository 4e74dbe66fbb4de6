// SPDX-License-Identifier: MIT
// The event stores on a realistic mix of 1,000 events: stored bytes per event, time per add()
// and per get(100, 0) of the three stores, beside a bare SQLite insert loop with the same
// pragmas as the baseline. All compressed figures are taken with the dictionary in place.
#include "qsqlitestorage_p.h"
#include "qsqlitezlibstorage_p.h"
#include "qsqlitezstdstorage_p.h"
#include "sampleevents.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <QCoreApplication>
#include <QDir>
#include <QMap>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <cstdio>
#include <memory>

namespace {
enum Variant {
    Plain,
    Zlib,
    Zstd
};
const char *const variantNames[] = {"plain", "zlib", "zstd"};

const QList<QByteArray> &events()
{
    static const QList<QByteArray> list = SampleEvents(2024).take(1000);
    return list;
}

std::unique_ptr<QSQLiteStorage> createStore(int variant, const QString &path)
{
    if (variant == Zlib)
        return std::make_unique<QSQLiteZlibStorage>(path, 0);
    if (variant == Zstd)
        return std::make_unique<QSQLiteZstdStorage>(path, 0);
    return std::make_unique<QSQLiteStorage>(path, 0);
}

// The cache lives on disk in the user's data directory, so the files go below HOME (inside
// the build tree when run through CTest), not to a memory file system.
QString benchmarkDirectory()
{
    QDir().mkpath(QDir::homePath());
    return QDir::home().filePath(QStringLiteral("bench-storage-XXXXXX"));
}

QString databasePath(const QTemporaryDir &directory, const char *name = "SentrelTracker.db")
{
    if (!directory.isValid())
        qFatal("cannot create a directory below %s", qPrintable(QDir::homePath()));
    return directory.filePath(QLatin1String(name));
}

// A store holding the 1,000 events, all of them added after its dictionary was made.
void fill(int variant, const QString &path)
{
    auto store = createStore(variant, path);
    if (!store->open())
        qFatal("cannot open the store at %s", qPrintable(path));
    for (const QByteArray &event : events())
        store->add(event);
    // Removed by id: clearing the cache would drop the dictionary with the events.
    QSet<quint64> ids;
    for (const auto &event : store->get(-1, 0))
        ids.insert(event.first);
    store->remove(ids);
    for (const QByteArray &event : events())
        store->add(event);
}

// One filled file per store, made once; every run works on a fresh copy of it.
QTemporaryDir *templates = nullptr;

QString templateFile(int variant)
{
    return databasePath(*templates, variantNames[variant]);
}

QString copyOfTemplate(const QTemporaryDir &directory, int variant)
{
    const QString path = databasePath(directory);
    if (!QFile::copy(templateFile(variant), path))
        qFatal("cannot copy %s", qPrintable(templateFile(variant)));
    return path;
}

std::unique_ptr<QSQLiteStorage> openCopy(const QTemporaryDir &directory, int variant)
{
    auto store = createStore(variant, copyOfTemplate(directory, variant));
    if (!store->open())
        qFatal("cannot open the store");
    return store;
}

void BM_Add(benchmark::State &state)
{
    QTemporaryDir directory(benchmarkDirectory());
    auto store = openCopy(directory, int(state.range(0)));
    const QList<QByteArray> &list = events();
    qsizetype next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store->add(list.at(next)));
        next = (next + 1) % list.size();
    }
    state.SetLabel(variantNames[state.range(0)]);
}

void BM_Get100(benchmark::State &state)
{
    QTemporaryDir directory(benchmarkDirectory());
    auto store = openCopy(directory, int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(store->get(100, 0));
    state.SetLabel(variantNames[state.range(0)]);
}

// The bare insert loop on a copy of the plain file: SQLite's C interface, the same pragmas,
// one prepared statement, each insert its own transaction as in the store.
void BM_BareSqliteInsert(benchmark::State &state)
{
    QTemporaryDir directory(benchmarkDirectory());
    sqlite3 *database = nullptr;
    if (sqlite3_open(QFile::encodeName(copyOfTemplate(directory, Plain)).constData(), &database)
        != SQLITE_OK)
        qFatal("cannot open the bare database");
    sqlite3_exec(database, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(database, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    sqlite3_exec(database, "PRAGMA auto_vacuum=full", nullptr, nullptr, nullptr);
    sqlite3_exec(database, "VACUUM", nullptr, nullptr, nullptr);
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(database, "INSERT INTO events(data) VALUES(?)", -1, &insert, nullptr);
    const QList<QByteArray> &list = events();
    qsizetype next = 0;
    for (auto _ : state) {
        const QByteArray &event = list.at(next);
        sqlite3_bind_blob(insert, 1, event.constData(), int(event.size()), SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE)
            state.SkipWithError("insert failed");
        sqlite3_reset(insert);
        next = (next + 1) % list.size();
    }
    sqlite3_finalize(insert);
    sqlite3_close(database);
}

// Stored bytes per event once the dictionary exists: the data column only; the dictionary row
// is stored once per file and reported apart.
struct StoredBytes
{
    double perEvent = 0;
    qint64 dictionary = 0;
};

StoredBytes storedBytes(int variant)
{
    StoredBytes result;
    {
        QSqlDatabase database =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("measure"));
        database.setDatabaseName(templateFile(variant));
        database.open();
        QSqlQuery query(database);
        query.exec(QStringLiteral("SELECT SUM(LENGTH(data)), COUNT(*) FROM events"));
        if (query.next())
            result.perEvent = query.value(0).toDouble() / query.value(1).toDouble();
        query.exec(QStringLiteral(
                "SELECT LENGTH(value) FROM configuration WHERE item LIKE '%_dictionary'"));
        if (query.next())
            result.dictionary = query.value(0).toLongLong();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("measure"));
    return result;
}

// Passes every run on to the console and keeps the medians for the ratios.
class RecordingReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median"
                && !run.error_occurred) {
                const QString name = QString::fromStdString(run.run_name.function_name + "/"
                                                            + run.run_name.args);
                realTimes[name] = run.GetAdjustedRealTime();
                cpuTimes[name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    QMap<QString, double> realTimes;
    QMap<QString, double> cpuTimes;
};

bool check(const char *what, double value, double target)
{
    const bool met = value <= target;
    std::printf("  %-44s %6.3f  (target at most %.2f: %s)\n",
                what,
                value,
                target,
                met ? "met" : "MISSED");
    return met;
}
} // namespace

int main(int argc, char **argv)
{
    // Repetitions in random order spread the noise of a shared disk over all the stores alike.
    std::vector<char *> arguments(argv, argv + argc);
    char interleaving[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleaving);
    int count = int(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    QCoreApplication application(count, arguments.data());

    const auto setUp = [](benchmark::internal::Benchmark *benchmark) {
        benchmark->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(5);
    };
    for (int variant : {Plain, Zlib, Zstd}) {
        setUp(benchmark::RegisterBenchmark("BM_Add", BM_Add)->Arg(variant));
        setUp(benchmark::RegisterBenchmark("BM_Get100", BM_Get100)->Arg(variant));
    }
    setUp(benchmark::RegisterBenchmark("BM_BareSqliteInsert", BM_BareSqliteInsert));

    qint64 eventBytes = 0;
    for (const QByteArray &event : events())
        eventBytes += event.size();
    std::printf("%lld events, %.1f bytes each on average\n\n",
                qlonglong(events().size()),
                double(eventBytes) / double(events().size()));

    QTemporaryDir templateDirectory(benchmarkDirectory());
    templates = &templateDirectory;
    StoredBytes bytes[3];
    std::printf("Stored bytes per event, dictionary in place:\n");
    for (int variant : {Plain, Zlib, Zstd}) {
        fill(variant, templateFile(variant));
        bytes[variant] = storedBytes(variant);
        std::printf("  %-6s %8.1f bytes (dictionary %lld bytes)\n",
                    variantNames[variant],
                    bytes[variant].perEvent,
                    qlonglong(bytes[variant].dictionary));
    }
    std::printf("\n");

    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nRatios of medians, measured in this run:\n");
    bool met = true;
    met &= check("zstd bytes per event / plain", bytes[Zstd].perEvent / bytes[Plain].perEvent, 0.2);
    met &= check("zlib bytes per event / plain", bytes[Zlib].perEvent / bytes[Plain].perEvent, 0.3);
    const auto &real = reporter.realTimes;
    const auto &cpu = reporter.cpuTimes;
    const QString add = QStringLiteral("BM_Add/%1");
    const QString get = QStringLiteral("BM_Get100/%1");
    if (real.contains(add.arg(Plain))) {
        met &= check("zlib add() / plain add(), real time",
                     real.value(add.arg(Zlib)) / real.value(add.arg(Plain)),
                     1.5);
        met &= check("zstd add() / plain add(), real time",
                     real.value(add.arg(Zstd)) / real.value(add.arg(Plain)),
                     1.5);
        const auto ratio = [](const char *what, double value) {
            std::printf("  %-44s %6.3f\n", what, value);
        };
        ratio("zlib add() / plain add(), CPU time",
              cpu.value(add.arg(Zlib)) / cpu.value(add.arg(Plain)));
        ratio("zstd add() / plain add(), CPU time",
              cpu.value(add.arg(Zstd)) / cpu.value(add.arg(Plain)));
        ratio("plain add() / bare SQLite insert, real time",
              real.value(add.arg(Plain)) / real.value(QStringLiteral("BM_BareSqliteInsert/")));
        ratio("plain add() / bare SQLite insert, CPU time",
              cpu.value(add.arg(Plain)) / cpu.value(QStringLiteral("BM_BareSqliteInsert/")));
        ratio("zlib get(100, 0) / plain get(100, 0)",
              real.value(get.arg(Zlib)) / real.value(get.arg(Plain)));
        ratio("zstd get(100, 0) / plain get(100, 0)",
              real.value(get.arg(Zstd)) / real.value(get.arg(Plain)));
    }
    // A missed target is a finding, reported above; only a run that cannot measure fails.
    return 0;
}
