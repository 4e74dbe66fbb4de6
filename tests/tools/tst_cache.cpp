// SPDX-License-Identifier: MIT
// sentrel-cache: caches written by each store, read back by the program, which must leave
// them exactly as they were.
#include "qsentrelstorage_p.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <QVariant>

#include <memory>

namespace {
constexpr int wait = 60000;

// Events of the shape the tracker stores, different enough from each other to train on.
QList<QByteArray> sampleEvents(int count)
{
    static const char *const screens[] = {"Home", "Form", "Settings", "About"};
    static const char *const types[] = {"MouseButtonRelease", "KeyPress", "FocusIn", "Resize"};
    QList<QByteArray> events;
    for (int i = 0; i < count; ++i) {
        const QJsonObject data {
                {QStringLiteral("type"), QLatin1String(types[i % 4])},
                {QStringLiteral("object"), QStringLiteral("QWidget/pages/button%1").arg(i % 17)},
                {QStringLiteral("screen_id"), QLatin1String(screens[i % 3])},
                {QStringLiteral("data"), QStringLiteral("LeftButton")},
                {QStringLiteral("position"),
                 QJsonObject {{QStringLiteral("x"), i * 7 % 640},
                              {QStringLiteral("y"), i * 13 % 480}}}};
        const QJsonObject contexts {
                {QStringLiteral("schema"),
                 QStringLiteral("iglu:com.snowplowanalytics.snowplow/contexts/jsonschema/1-0-0")},
                {QStringLiteral("data"),
                 QJsonArray {QJsonObject {
                         {QStringLiteral("schema"),
                          QStringLiteral("iglu:com.tamlor.sentrel/qevent/jsonschema/1-0-1")},
                         {QStringLiteral("data"), data}}}}};
        const QJsonObject event {
                {QStringLiteral("e"), QStringLiteral("ue")},
                {QStringLiteral("tna"), QStringLiteral("token")},
                {QStringLiteral("dtm"), QString::number(1765200000000LL + i * 37)},
                {QStringLiteral("eid"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
                {QStringLiteral("tv"), QStringLiteral("6.9.2")},
                {QStringLiteral("lang"), QStringLiteral("en_GB")},
                {QStringLiteral("aid"), QStringLiteral("tst_cache")},
                {QStringLiteral("sid"), QStringLiteral("5f0e2a1c-6a57-4b0e-9d2b-2c1d3e4f5a6b")},
                {QStringLiteral("duid"), QStringLiteral("0c9b8a7d-6e5f-4a3b-8c2d-1e0f9a8b7c6d")},
                {QStringLiteral("p"), QStringLiteral("app")},
                {QStringLiteral("co"),
                 QString::fromUtf8(QJsonDocument(contexts).toJson(QJsonDocument::Compact))}};
        events.append(QJsonDocument(event).toJson(QJsonDocument::Compact));
    }
    return events;
}

// What must not change: every file of the directory, byte for byte, with its time stamp.
QMap<QString, QPair<QByteArray, qint64>> snapshot(const QString &directory)
{
    QMap<QString, QPair<QByteArray, qint64>> files;
    const QFileInfoList entries = QDir(directory).entryInfoList(QDir::Files | QDir::Hidden);
    for (const QFileInfo &entry : entries) {
        QFile file(entry.filePath());
        if (file.open(QIODevice::ReadOnly))
            files.insert(entry.fileName(),
                         {QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256),
                          entry.lastModified().toMSecsSinceEpoch()});
    }
    return files;
}

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run inspect(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(CACHE_TOOL), arguments);
    Run run;
    if (!process.waitForFinished(wait) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    // Messages end their lines as the system does; the output is compared byte for byte.
    run.err = process.readAllStandardError().replace("\r\n", "\n");
    return run;
}

QJsonObject summaryOf(const QString &path)
{
    const Run run = inspect({QStringLiteral("--json"), path});
    return run.exitCode == 0 ? QJsonDocument::fromJson(run.out).object() : QJsonObject();
}

QList<QByteArray> eventsOf(const QString &path)
{
    QList<QByteArray> lines = inspect({QStringLiteral("--events"), path}).out.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The dictionary as the store kept it, read from a copy so that the file itself is not opened
// for writing.
qint64 storedDictionarySize(const QString &path, const QString &item)
{
    QTemporaryDir copyDir;
    const QString copy = copyDir.filePath(QStringLiteral("copy.db"));
    if (!QFile::copy(path, copy))
        return -2;
    qint64 size = -1;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                          QStringLiteral("dictionary-check"));
        database.setDatabaseName(copy);
        if (database.open()) {
            QSqlQuery query(database);
            query.prepare(QStringLiteral("SELECT length(value) FROM configuration WHERE item = ?"));
            query.addBindValue(item);
            if (query.exec() && query.next())
                size = query.value(0).toLongLong();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("dictionary-check"));
    return size;
}

// A file made by hand, not by a store.
bool createDatabase(const QString &path, const QStringList &statements)
{
    bool made = true;
    {
        QSqlDatabase database =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("by-hand"));
        database.setDatabaseName(path);
        made = database.open();
        for (const QString &statement : statements)
            made = made && QSqlQuery(database).exec(statement);
        database.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("by-hand"));
    return made;
}
} // namespace

class tst_Cache : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    int directories = 0;

    QString newDirectory()
    {
        const QString path = scratch.filePath(QString::number(++directories));
        QDir().mkpath(path);
        return path;
    }

    static bool write(const QString &type, const QString &path, const QList<QByteArray> &events)
    {
        std::unique_ptr<QSentrelStorage> store = QSentrelStorage::create(type, path, 0);
        if (!store || !store->open())
            return false;
        for (const QByteArray &event : events) {
            if (!store->add(event))
                return false;
        }
        return true;
    }

private Q_SLOTS:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(scratch.isValid());
    }

    void inspectsEachStore_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("compression");
        QTest::addColumn<QString>("dictionaryItem"); // empty: none expected

        QTest::newRow("plain") << "SQLITE" << 5 << ""
                               << "";
        QTest::newRow("plain, many") << "SQLITE" << 150 << ""
                                     << "";
        QTest::newRow("zlib, before its dictionary") << "SQLITE-ZLIB" << 5 << "zlib"
                                                     << "";
        QTest::newRow("zlib with its dictionary") << "SQLITE-ZLIB" << 150 << "zlib"
                                                  << "zlib_dictionary";
        QTest::newRow("zstd, before its dictionary") << "SQLITE-ZSTD" << 5 << "zstd"
                                                     << "";
        QTest::newRow("zstd with its dictionary") << "SQLITE-ZSTD" << 150 << "zstd"
                                                  << "zstd_dictionary";
    }

    void inspectsEachStore()
    {
        QFETCH(QString, type);
        QFETCH(int, count);
        QFETCH(QString, compression);
        QFETCH(QString, dictionaryItem);
        const QString directory = newDirectory();
        const QString path = directory + QStringLiteral("/SentrelTracker.db");
        const QList<QByteArray> events = sampleEvents(count);
        QVERIFY(write(type, path, events));
        const auto before = snapshot(directory);
        QCOMPARE(before.keys(), QStringList {QStringLiteral("SentrelTracker.db")});

        const QJsonObject summary = summaryOf(path);
        QCOMPARE(summary.value(QStringLiteral("events")).toInt(), count);
        QCOMPARE(summary.value(QStringLiteral("first_id")).toInt(), 1);
        QCOMPARE(summary.value(QStringLiteral("last_id")).toInt(), count);
        QCOMPARE(summary.value(QStringLiteral("compression")).toString(), compression);
        QVERIFY(!summary.value(QStringLiteral("compression")).isNull());
        QCOMPARE(summary.value(QStringLiteral("undecodable")).toInt(), 0);
        QCOMPARE(summary.value(QStringLiteral("file_size")).toInteger(), QFileInfo(path).size());
        QCOMPARE(summary.value(QStringLiteral("bytes_per_event")).toDouble(),
                 double(QFileInfo(path).size()) / count);
        qint64 decoded = 0;
        for (const QByteArray &event : events)
            decoded += event.size();
        QCOMPARE(summary.value(QStringLiteral("decoded_bytes")).toInteger(), decoded);
        QCOMPARE(summary.value(QStringLiteral("dictionary")).toBool(), !dictionaryItem.isEmpty());
        if (!dictionaryItem.isEmpty()) {
            const qint64 size = storedDictionarySize(path, dictionaryItem);
            QVERIFY(size > 0);
            QCOMPARE(summary.value(QStringLiteral("dictionary_size")).toInteger(), size);
        }
        // Compressed rows are smaller than the events, plain rows are the events.
        const qint64 stored = summary.value(QStringLiteral("stored_bytes")).toInteger();
        QVERIFY2(compression.isEmpty() ? stored == decoded : stored < decoded,
                 qPrintable(QString::number(stored)));

        QCOMPARE(eventsOf(path), events);

        const Run text = inspect({path});
        QCOMPARE(text.exitCode, 0);
        QVERIFY2(text.out.contains(
                         QStringLiteral("Events:           %1 (ids 1 to %1)").arg(count).toUtf8()),
                 text.out.constData());
        QVERIFY2(text.out.contains("Compression:      "
                                   + (compression.isEmpty() ? QByteArray("none ('')")
                                                            : compression.toUtf8())),
                 text.out.constData());

        // Nothing was written: no journal, no vacuum, no side files.
        QCOMPARE(snapshot(directory), before);
    }

    // The tracker may be running: its write-ahead log holds events the file does not yet have.
    void readsALiveCacheWithoutTouchingIt()
    {
        const QString directory = newDirectory();
        const QString path = directory + QStringLiteral("/SentrelTracker.db");
        const QList<QByteArray> events = sampleEvents(20);
        std::unique_ptr<QSentrelStorage> store =
                QSentrelStorage::create(QStringLiteral("SQLITE-ZSTD"), path, 0);
        QVERIFY(store->open());
        for (const QByteArray &event : events)
            QVERIFY(store->add(event));
        QVERIFY(QFileInfo(path + QStringLiteral("-wal")).size() > 0);
        // Readers of a write-ahead log mark what they read in its shared-memory index, which
        // holds nothing that outlives the connections: the file and the log are what count.
        const auto kept = [&directory] {
            auto files = snapshot(directory);
            files.remove(QStringLiteral("SentrelTracker.db-shm"));
            return files;
        };
        const auto before = kept();
        QCOMPARE(before.size(), 2);

        // Given the directory rather than the file.
        QCOMPARE(eventsOf(directory), events);
        const QJsonObject summary = summaryOf(directory);
        QCOMPARE(summary.value(QStringLiteral("events")).toInt(), 20);
        QVERIFY(summary.value(QStringLiteral("wal_size")).toInteger() > 0);
        QCOMPARE(kept(), before);

        // The store goes on undisturbed.
        QVERIFY(store->add(events.first()));
        QCOMPARE(store->size(), quint64(21));
    }

    void decodesRowsOfAnEarlierStore_data()
    {
        QTest::addColumn<int>("count"); // of the events each store adds
        QTest::newRow("before the dictionaries") << 2;
        QTest::newRow("with the dictionaries") << 110;
    }

    // A file that changed its store keeps the earlier stores' rows; every kind decodes.
    void decodesRowsOfAnEarlierStore()
    {
        QFETCH(int, count);
        const QString directory = newDirectory();
        const QString path = directory + QStringLiteral("/SentrelTracker.db");
        const QList<QByteArray> events = sampleEvents(3 * count);
        QVERIFY(write(QStringLiteral("SQLITE"), path, events.mid(0, count)));
        QVERIFY(write(QStringLiteral("SQLITE-ZLIB"), path, events.mid(count, count)));
        QVERIFY(write(QStringLiteral("SQLITE-ZSTD"), path, events.mid(2 * count, count)));
        for (const char *item : {"zlib_dictionary", "zstd_dictionary"})
            QCOMPARE(storedDictionarySize(path, QLatin1String(item)) > 0, count > 100);
        QCOMPARE(eventsOf(path), events);
        QCOMPARE(summaryOf(path).value(QStringLiteral("compression")).toString(),
                 QStringLiteral("zstd"));
    }

    void reportsRowsThatDoNotDecode()
    {
        const QString directory = newDirectory();
        const QString path = directory + QStringLiteral("/SentrelTracker.db");
        QList<QByteArray> events = sampleEvents(2);
        events.insert(1, QByteArray("\x28\xb5\x2f\xfd not an event", 17));
        QVERIFY(write(QStringLiteral("SQLITE-ZSTD"), path, events));

        const Run run = inspect({QStringLiteral("--events"), path});
        QCOMPARE(run.exitCode, 2);
        QCOMPARE(run.out.split('\n').size(), 3); // two events and the final newline
        QVERIFY2(run.err.contains("row 2 does not decode to an event"), run.err.constData());
        QCOMPARE(summaryOf(path).value(QStringLiteral("undecodable")).toInt(), 1);
    }

    void refusesWhatIsNotACache_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("missing") << QByteArray() << QByteArray("no cache file at");
        QTest::newRow("not SQLite")
                << QByteArray("just text, long enough to be read as a header by anyone")
                << QByteArray("is not an event cache");
    }

    void refusesWhatIsNotACache()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, message);
        const QString path = newDirectory() + QStringLiteral("/SentrelTracker.db");
        if (!content.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        const Run run = inspect({path});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.startsWith("sentrel-cache: ") && run.err.contains(message),
                 run.err.constData());
        QVERIFY(run.out.isEmpty());
    }

    void refusesADatabaseWithoutEvents()
    {
        const QString path = newDirectory() + QStringLiteral("/other.db");
        QVERIFY(createDatabase(path, {QStringLiteral("CREATE TABLE notes(text TEXT)")}));
        const Run run = inspect({path});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("is not an event cache"), run.err.constData());
    }

    // A view, or anything else that computes its rows, runs what the file says; a recursive
    // one never ends. The file is refused before a row is read.
    void refusesTablesThatAreNotPlain_data()
    {
        QTest::addColumn<QStringList>("statements");
        QTest::addColumn<QByteArray>("message");
        const QString events = QStringLiteral("CREATE TABLE events(id INTEGER PRIMARY KEY, data)");
        QTest::newRow("events a view")
                << QStringList {QStringLiteral("CREATE TABLE rows(id INTEGER PRIMARY KEY, data)"),
                                QStringLiteral("CREATE VIEW events AS SELECT id, data FROM rows")}
                << QByteArray("\"events\" is a view, not a table");
        QTest::newRow("events a view without end")
                << QStringList {QStringLiteral(
                           "CREATE VIEW events AS WITH RECURSIVE n(id, data) AS (SELECT 1, 'x' "
                           "UNION ALL SELECT id + 1, data FROM n) SELECT id, data FROM n")}
                << QByteArray("\"events\" is a view, not a table");
        QTest::newRow("configuration a view without end")
                << QStringList {events,
                                QStringLiteral(
                                        "CREATE VIEW Configuration AS WITH RECURSIVE n(item, "
                                        "value) AS (SELECT 'zstd_dictionary', x'00' UNION ALL "
                                        "SELECT item, value FROM n) SELECT item, value FROM n")}
                << QByteArray("\"configuration\" is a view, not a table");
        QTest::newRow("events a virtual table")
                << QStringList {QStringLiteral("CREATE VIRTUAL TABLE events USING fts5(data)")}
                << QByteArray("\"events\" is a virtual table");
        QTest::newRow("events computed")
                << QStringList {QStringLiteral("CREATE TABLE events(id INTEGER PRIMARY KEY, n, "
                                               "data AS (zeroblob(n)))"),
                                QStringLiteral("INSERT INTO events(n) VALUES (1000000000)")}
                << QByteArray("\"events\" has computed columns");
    }

    void refusesTablesThatAreNotPlain()
    {
        QFETCH(QStringList, statements);
        QFETCH(QByteArray, message);
        const QString path = newDirectory() + QStringLiteral("/SentrelTracker.db");
        QVERIFY(createDatabase(path, statements));
        for (const QString &option : {QStringLiteral("--events"), QStringLiteral("--json")}) {
            const Run run = inspect({option, path});
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.err.startsWith("sentrel-cache: ") && run.err.contains(message),
                     run.err.constData());
            QVERIFY(run.out.isEmpty());
        }
    }

    void cutsAHugeRow_data()
    {
        constexpr qsizetype limit = 1024 * 1024; // as --help says
        // An event of size bytes whose text ends with end.
        const auto event = [](qsizetype size, const QByteArray &end) {
            const QByteArray head = "{\"e\":\"ue\",\"pad\":\"";
            const QByteArray tail = end + "\"}";
            return head + QByteArray(size - head.size() - tail.size(), 'a') + tail;
        };
        QTest::addColumn<QByteArray>("event");
        QTest::addColumn<qsizetype>("printed");
        QTest::newRow("at the limit") << event(limit, "") << limit;
        QTest::newRow("a byte over") << event(limit + 1, "") << limit;
        QTest::newRow("a character across the limit") << event(limit + 3, "\xc3\xa9") << limit - 1;
    }

    void cutsAHugeRow()
    {
        QFETCH(QByteArray, event);
        QFETCH(qsizetype, printed);
        const QString path = newDirectory() + QStringLiteral("/SentrelTracker.db");
        const QByteArray next = sampleEvents(1).first();
        QVERIFY(write(QStringLiteral("SQLITE"), path, {event, next}));

        const Run run = inspect({QStringLiteral("--events"), path});
        QCOMPARE(run.out, event.left(printed) + '\n' + next + '\n');
        if (printed == event.size()) {
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(run.err.isEmpty(), run.err.constData());
        } else {
            QCOMPARE(run.exitCode, 2);
            QCOMPARE(run.err,
                     QStringLiteral("sentrel-cache: row 1 is cut after %1 bytes; bytes left out: "
                                    "%2\n")
                             .arg(printed)
                             .arg(event.size() - printed)
                             .toUtf8());
        }
    }
};

SENTREL_TEST_MAIN(tst_Cache, QCoreApplication)
#include "tst_cache.moc"
