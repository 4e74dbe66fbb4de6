// SPDX-License-Identifier: MIT
#include "logcapture.h"
#include "qsqlitestorage_p.h"
#include "qsqlitezlibstorage_p.h"
#include "qsqlitezstdstorage_p.h"
#include "sampleevents.h"
#include "sentrelcodec_p.h"
#include "sentrelstoragelimits_p.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#  include <sys/stat.h>
#endif
#include <zdict.h>
#include <zlib.h>
#include <zstd.h>

#include <memory>
#include <optional>
#include <vector>

enum class Variant {
    Plain,
    Zlib,
    Zstd
};
Q_DECLARE_METATYPE(Variant)

using Ids = QList<quint64>;

namespace {
const QString storage = QStringLiteral("sentrel.storage");

std::unique_ptr<QSQLiteStorage> createStore(Variant variant, const QString &path, int limit = 0)
{
    switch (variant) {
    case Variant::Plain:
        return std::make_unique<QSQLiteStorage>(path, limit);
    case Variant::Zlib:
        return std::make_unique<QSQLiteZlibStorage>(path, limit);
    case Variant::Zstd:
        return std::make_unique<QSQLiteZstdStorage>(path, limit);
    }
    return nullptr;
}

const char *variantName(Variant variant)
{
    return variant == Variant::Plain ? "plain" : variant == Variant::Zlib ? "zlib" : "zstd";
}

void addVariantColumn()
{
    QTest::addColumn<Variant>("variant");
}

// Reads and changes the cache file through a connection of its own, as another program would.
class FileInspector
{
public:
    explicit FileInspector(const QString &path)
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(path);
        database.open();
    }
    ~FileInspector()
    {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }

    QVariantList column(const QString &statement, const QVariantList &values = {}) const
    {
        QVariantList result;
        QSqlQuery query(QSqlDatabase::database(name, false));
        query.prepare(statement);
        for (const QVariant &value : values)
            query.addBindValue(value);
        if (!query.exec())
            qFatal("inspection failed: %s", qPrintable(query.lastError().text()));
        while (query.next())
            result.append(query.value(0));
        return result;
    }
    QVariant value(const QString &statement) const
    {
        const QVariantList values = column(statement);
        return values.isEmpty() ? QVariant() : values.first();
    }
    QList<QByteArray> rows() const
    {
        QList<QByteArray> result;
        for (const QVariant &value : column(QStringLiteral("SELECT data FROM events ORDER BY id")))
            result.append(value.toByteArray());
        return result;
    }
    QVariant dictionary(Variant variant) const
    {
        return value(QStringLiteral("SELECT value FROM configuration WHERE item = '%1_dictionary'")
                             .arg(QLatin1String(variantName(variant))));
    }
    // The events as a reader of the file that is not the store (sentrel-cache) decodes them.
    QList<QByteArray> decodedRows() const
    {
        SentrelCodec codec;
        codec.loadDictionaries(QSqlDatabase::database(name, false));
        QList<QByteArray> result;
        for (const QByteArray &row : rows())
            result.append(codec.decode(row));
        return result;
    }

private:
    const QString name = QStringLiteral("inspector");
};

// Debug and info messages of the stores are off by default; the tests that assert them turn them on.
struct StorageMessages
{
    StorageMessages() { QLoggingCategory::setFilterRules(QStringLiteral("sentrel.storage=true")); }
    ~StorageMessages() { QLoggingCategory::setFilterRules(QString()); }
};

Ids idsOf(const QList<QPair<quint64, QByteArray>> &events)
{
    Ids ids;
    for (const auto &event : events)
        ids.append(event.first);
    return ids;
}

QList<QByteArray> dataOf(const QList<QPair<quint64, QByteArray>> &events)
{
    QList<QByteArray> data;
    for (const auto &event : events)
        data.append(event.second);
    return data;
}

Ids range(quint64 first, quint64 last)
{
    Ids ids;
    for (quint64 id = first; id <= last; ++id)
        ids.append(id);
    return ids;
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

// Raw inflate with zlib directly: the whole value must be one complete stream.
std::optional<QByteArray> rawInflate(const QByteArray &data, const QByteArray &dictionary)
{
    z_stream stream = {};
    if (inflateInit2(&stream, -11) != Z_OK)
        return std::nullopt;
    inflateSetDictionary(&stream,
                         reinterpret_cast<const Bytef *>(dictionary.constData()),
                         uInt(dictionary.size()));
    QByteArray output;
    char buffer[65536];
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef *>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        output.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
    }
    const bool complete = result == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return complete ? std::optional<QByteArray>(output) : std::nullopt;
}

QByteArray rawDeflate(const QByteArray &data, const QByteArray &dictionary = QByteArray())
{
    z_stream stream = {};
    deflateInit2(&stream, 9, Z_DEFLATED, -11, 8, Z_DEFAULT_STRATEGY);
    deflateSetDictionary(&stream,
                         reinterpret_cast<const Bytef *>(dictionary.constData()),
                         uInt(dictionary.size()));
    QByteArray output(qsizetype(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(output.data());
    stream.avail_out = uInt(output.size());
    deflate(&stream, Z_FINISH);
    output.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return output;
}

// Whether a compressed row was made with the dictionary (none: empty). A zstd frame names its
// dictionary; a raw deflate stream names none, but one made with it refers back into it and no
// longer inflates without it. Made without it, a row would read back alike, only larger.
bool madeWith(Variant variant, const QByteArray &row, const QByteArray &dictionary)
{
    if (variant == Variant::Zstd)
        return ZSTD_getDictID_fromFrame(row.constData(), size_t(row.size()))
                == ZDICT_getDictID(dictionary.constData(), size_t(dictionary.size()));
    return rawInflate(row, dictionary) && (dictionary.isEmpty() || !rawInflate(row, QByteArray()));
}

// A zstd frame header (single segment, 8-byte content size) followed by a raw block header
// and a few bytes: what a damaged or hostile row may claim.
QByteArray frameClaiming(quint64 contentSize)
{
    QByteArray frame("\x28\xb5\x2f\xfd\xe0", 5);
    for (int i = 0; i < 8; ++i)
        frame.append(char((contentSize >> (8 * i)) & 0xff));
    frame.append("\x21\x00\x00"
                 "abcd",
                 7);
    return frame;
}

// The events of the sample generator, as many as asked for.
QList<QByteArray> sampleEvents(int count, quint32 seed = 7)
{
    return SampleEvents(seed).take(count);
}

// Events whose context and dimension data carry values of their own, one per event, the
// others as the sample generator makes them.
QList<QByteArray> eventsWithUserData(int count)
{
    QList<QByteArray> events = sampleEvents(count, 5);
    const auto context = [](const char *schema, const QString &key, const QString &value) {
        return QJsonObject {
                {QStringLiteral("data"),
                 QJsonObject {{QStringLiteral("key"), key}, {QStringLiteral("val"), value}}},
                {QStringLiteral("schema"), QLatin1String(schema)}};
    };
    for (int i = 0; i < count; i += 2) {
        const QJsonObject envelope {
                {QStringLiteral("data"),
                 QJsonArray {context("iglu:com.tamlor.sentrel/context_data/jsonschema/2-0-2",
                                     QStringLiteral("search_query"),
                                     QStringLiteral("private-text-%1").arg(i)),
                             context("iglu:com.tamlor.sentrel/context_dimension/jsonschema/1-0-0",
                                     QStringLiteral("licence"),
                                     QStringLiteral("private-dimension-%1").arg(i))}},
                {QStringLiteral("schema"),
                 QStringLiteral("iglu:com.snowplowanalytics.snowplow/contexts/jsonschema/1-0-0")}};
        QJsonObject event = QJsonDocument::fromJson(events.at(i)).object();
        event.insert(QStringLiteral("co"),
                     QString::fromUtf8(QJsonDocument(envelope).toJson(QJsonDocument::Compact)));
        events[i] = QJsonDocument(event).toJson(QJsonDocument::Compact);
    }
    return events;
}

// What identifies an event or its user, as it appears in the event's bytes.
QList<QByteArray> identifiersOf(const QByteArray &event)
{
    const QJsonObject object = QJsonDocument::fromJson(event).object();
    QList<QByteArray> found;
    for (const char *key : {"eid", "duid", "sid", "dtm"})
        found.append(object.value(QLatin1String(key)).toString().toUtf8());
    for (const char *prefix : {"private-text-", "private-dimension-"}) {
        if (event.contains(prefix))
            found.append(prefix);
    }
    return found;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void addAll(QSQLiteStorage &store, const QList<QByteArray> &events)
{
    for (const QByteArray &event : events) {
        if (!store.add(event))
            qFatal("add failed");
    }
}

#ifdef Q_OS_UNIX
struct Umask
{
    explicit Umask(mode_t mask) : previous(::umask(mask)) { }
    ~Umask() { ::umask(previous); }
    mode_t previous;
};

mode_t modeOf(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return mode_t(-1);
    return status.st_mode & 0777;
}
#endif
} // namespace

class tst_Storage : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir directory;
    QString path;

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(directory.isValid());
    }

    void init()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        path = directory.filePath(
                QStringLiteral("%1.db").arg(QLatin1String(QTest::currentTestFunction())));
        const QString tag =
                QString::fromLatin1(QTest::currentDataTag())
                        .replace(QRegularExpression(QStringLiteral("\\W")), QStringLiteral("_"));
        if (!tag.isEmpty())
            path = directory.filePath(
                    QStringLiteral("%1-%2.db")
                            .arg(QLatin1String(QTest::currentTestFunction()), tag));
    }

    void openSetsUpTheFile_data()
    {
        addVariantColumn();
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("compression");
        QTest::newRow("plain") << Variant::Plain << 0 << QString();
        QTest::newRow("plain, limited") << Variant::Plain << 10 << QString();
        QTest::newRow("zlib") << Variant::Zlib << 0 << QStringLiteral("zlib");
        QTest::newRow("zstd, limited") << Variant::Zstd << 10 << QStringLiteral("zstd");
    }

    void openSetsUpTheFile()
    {
        QFETCH(Variant, variant);
        QFETCH(int, limit);
        QFETCH(QString, compression);
        auto store = createStore(variant, path, limit);
        QVERIFY(store->open());
        QCOMPARE(store->size(), 0u);
        QVERIFY(store->get(10, 0).isEmpty());

        FileInspector file(path);
        QCOMPARE(file.value(QStringLiteral("PRAGMA journal_mode")).toString(),
                 QStringLiteral("wal"));
        QCOMPARE(file.value(QStringLiteral("PRAGMA auto_vacuum")).toInt(), 1);
        QCOMPARE(file.value(QStringLiteral(
                                    "SELECT value FROM configuration WHERE item = 'compression'"))
                         .toString(),
                 compression);
        const QVariantList triggers =
                file.column(QStringLiteral("SELECT sql FROM sqlite_master WHERE type = 'trigger'"));
        if (limit > 0) {
            QCOMPARE(triggers.size(), 1);
            QVERIFY(triggers.first().toString().contains(QStringLiteral("NEW.id - %1").arg(limit)));
        } else {
            QVERIFY(triggers.isEmpty());
        }
    }

    void sizeLimit_data()
    {
        addVariantColumn();
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("adds");
        QTest::addColumn<int>("kept");
        for (Variant variant : {Variant::Plain, Variant::Zlib, Variant::Zstd}) {
            const char *name = variantName(variant);
            QTest::addRow("%s, no limit", name) << variant << 0 << 7 << 7;
            QTest::addRow("%s, negative limit", name) << variant << -1 << 7 << 7;
            QTest::addRow("%s, N+1 adds keep N", name) << variant << 3 << 4 << 3;
            QTest::addRow("%s, many adds", name) << variant << 3 << 9 << 3;
            QTest::addRow("%s, limit 1", name) << variant << 1 << 2 << 1;
            QTest::addRow("%s, exactly the limit", name) << variant << 5 << 5 << 5;
        }
    }

    void sizeLimit()
    {
        QFETCH(Variant, variant);
        QFETCH(int, limit);
        QFETCH(int, adds);
        QFETCH(int, kept);
        auto store = createStore(variant, path, limit);
        QVERIFY(store->open());
        const QList<QByteArray> events = sampleEvents(adds);
        for (const QByteArray &event : events)
            QVERIFY(store->add(event));
        QCOMPARE(store->size(), quint64(kept));
        const auto stored = store->get(-1, 0);
        // The oldest are the ones dropped.
        QCOMPARE(idsOf(stored), range(quint64(adds - kept + 1), quint64(adds)));
        QCOMPARE(dataOf(stored), events.mid(adds - kept));
    }

    void limitChangesAtReopen_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        QTest::addColumn<int>("keptAtReopen");
        QTest::addColumn<int>("keptAfterAdd");
        QTest::newRow("limit removed by 0") << 2 << 0 << 2 << 5;
        QTest::newRow("limit removed by -1") << 2 << -1 << 2 << 5;
        QTest::newRow("limit lowered: applies at the next insert") << 10 << 3 << 5 << 3;
        QTest::newRow("limit raised") << 2 << 4 << 2 << 4;
    }

    void limitChangesAtReopen()
    {
        QFETCH(int, first);
        QFETCH(int, second);
        QFETCH(int, keptAtReopen);
        QFETCH(int, keptAfterAdd);
        const QList<QByteArray> events = sampleEvents(8);
        {
            QSQLiteStorage store(path, first);
            QVERIFY(store.open());
            addAll(store, events.mid(0, 5));
        }
        QSQLiteStorage store(path, second);
        QVERIFY(store.open());
        QCOMPARE(store.size(), quint64(keptAtReopen));
        addAll(store, events.mid(5));
        QCOMPARE(store.size(), quint64(keptAfterAdd));
        QCOMPARE(idsOf(store.get(-1, 0)).last(), 8u);
    }

    void getLimitAndOffset_data()
    {
        addVariantColumn();
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<Ids>("expected");
        for (Variant variant : {Variant::Plain, Variant::Zlib, Variant::Zstd}) {
            const char *name = variantName(variant);
            QTest::addRow("%s, two oldest", name)
                    << variant << qint64(2) << qint64(0) << Ids {5, 6};
            QTest::addRow("%s, no limit", name)
                    << variant << qint64(-1) << qint64(0) << Ids {5, 6, 9};
            QTest::addRow("%s, no limit, offset", name)
                    << variant << qint64(-1) << qint64(1) << Ids {6, 9};
            QTest::addRow("%s, limit 0", name) << variant << qint64(0) << qint64(0) << Ids {};
            QTest::addRow("%s, offset past the end", name)
                    << variant << qint64(10) << qint64(3) << Ids {};
            QTest::addRow("%s, last one", name) << variant << qint64(1) << qint64(2) << Ids {9};
            QTest::addRow("%s, limit beyond the rows", name)
                    << variant << qint64(100) << qint64(0) << Ids {5, 6, 9};
        }
    }

    void getLimitAndOffset()
    {
        QFETCH(Variant, variant);
        QFETCH(qint64, limit);
        QFETCH(qint64, offset);
        QFETCH(Ids, expected);
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        const QList<QByteArray> events = sampleEvents(9);
        addAll(*store, events);
        QVERIFY(store->remove(QSet<quint64> {1, 2, 3, 4, 7, 8}));
        const auto stored = store->get(limit, offset);
        QCOMPARE(idsOf(stored), expected);
        for (const auto &event : stored)
            QCOMPARE(event.second, events.at(qsizetype(event.first - 1)));
    }

    void removeIds_data()
    {
        QTest::addColumn<Ids>("ids");
        QTest::addColumn<Ids>("remaining");
        QTest::newRow("empty set") << Ids {} << Ids {1, 2, 3, 4, 5};
        QTest::newRow("some") << Ids {2, 4} << Ids {1, 3, 5};
        QTest::newRow("with a missing id") << Ids {3, 99} << Ids {1, 2, 4, 5};
        QTest::newRow("all") << Ids {5, 1, 3, 2, 4} << Ids {};
    }

    void removeIds()
    {
        QFETCH(Ids, ids);
        QFETCH(Ids, remaining);
        QSQLiteStorage store(path, 0);
        QVERIFY(store.open());
        addAll(store, sampleEvents(5));
        StorageMessages messages;
        LogCapture log;
        QVERIFY(store.remove(QSet<quint64>(ids.cbegin(), ids.cend())));
        // The count is of the ids passed, not of the rows deleted.
        QCOMPARE(log.texts(storage, QtDebugMsg),
                 QStringList {QStringLiteral("Removed %1 events").arg(ids.size())});
        QCOMPARE(idsOf(store.get(-1, 0)), remaining);
    }

    void removeOneId()
    {
        QSQLiteStorage store(path, 0);
        QVERIFY(store.open());
        addAll(store, sampleEvents(3));
        StorageMessages messages;
        LogCapture log;
        QVERIFY(store.remove(quint64(42)));
        QVERIFY(store.remove(quint64(2)));
        QCOMPARE(log.texts(storage, QtDebugMsg), QStringList(2, QStringLiteral("Removed event")));
        QCOMPARE(idsOf(store.get(-1, 0)), (Ids {1, 3}));
    }

    void removeAllNeverReusesIds_data()
    {
        addVariantColumn();
        QTest::addColumn<bool>("earlierFile"); // made with ids that could be used again
        QTest::newRow("plain") << Variant::Plain << false;
        QTest::newRow("zlib") << Variant::Zlib << false;
        QTest::newRow("zstd") << Variant::Zstd << false;
        QTest::newRow("a file of the earlier form") << Variant::Plain << true;
    }

    // Another process's late answer names rows by id: an id never comes back in a file.
    void removeAllNeverReusesIds()
    {
        QFETCH(Variant, variant);
        QFETCH(bool, earlierFile);
        const QList<QByteArray> events = sampleEvents(4);
        if (earlierFile) {
            FileInspector file(path);
            file.column(QStringLiteral("CREATE TABLE events(id INTEGER PRIMARY KEY, data BLOB)"));
            file.column(QStringLiteral("INSERT INTO events(data) VALUES(?)"), {events.at(0)});
        }
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        addAll(*store, events.mid(earlierFile ? 1 : 0, earlierFile ? 2 : 3));
        QCOMPARE(store->get(-1, 0).first().second, events.at(0)); // kept through the change
        {
            StorageMessages messages;
            LogCapture log;
            QVERIFY(store->removeAll());
            QVERIFY(log.texts(storage, QtDebugMsg).contains(QStringLiteral("Removed all events")));
        }
        QCOMPARE(store->size(), 0u);
        QVERIFY(store->add(events.at(3)));
        const auto stored = store->get(-1, 0);
        QCOMPARE(idsOf(stored), Ids {4});
        QCOMPARE(stored.first().second, events.at(3));
    }

    void rowsKeepTheirForm_data()
    {
        addVariantColumn();
        QTest::newRow("plain") << Variant::Plain;
        QTest::newRow("zlib") << Variant::Zlib;
        QTest::newRow("zstd") << Variant::Zstd;
    }

    // A file whose rows kept no form is given one per row when opened; rows that a process of
    // the earlier version adds afterwards have none and still read back.
    void rowsKeepTheirForm()
    {
        QFETCH(Variant, variant);
        const QList<QByteArray> events = sampleEvents(112);
        {
            auto store = createStore(variant, path);
            QVERIFY(store->open());
            addAll(*store, events.mid(0, 110));
        }
        const int form = variant == Variant::Plain ? 0 : variant == Variant::Zlib ? 1 : 2;
        {
            FileInspector file(path);
            QCOMPARE(file.column(QStringLiteral("SELECT DISTINCT form FROM events")),
                     QVariantList {form});
            file.column(QStringLiteral("ALTER TABLE events DROP COLUMN form"));
        }
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        {
            FileInspector file(path);
            QCOMPARE(file.column(QStringLiteral("SELECT DISTINCT form FROM events")),
                     QVariantList {form});
            file.column(QStringLiteral("INSERT INTO events(data) VALUES(?)"), {events.at(110)});
        }
        QVERIFY(store->add(events.at(111)));
        QCOMPARE(dataOf(store->get(-1, 0)), events);
    }

    void oldestByBytes_data()
    {
        QTest::addColumn<int>("budgetRows"); // the rows whose bytes make the budget
        QTest::addColumn<qint64>("extra"); // bytes added to it
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<Ids>("notCounted");
        QTest::addColumn<int>("expected");
        QTest::newRow("exactly five rows") << 5 << qint64(0) << qint64(40) << Ids {} << 5;
        QTest::newRow("a byte more reads one more") << 5 << qint64(1) << qint64(40) << Ids {} << 6;
        QTest::newRow("the limit first") << 5 << qint64(0) << qint64(3) << Ids {} << 3;
        QTest::newRow("rows set aside are not counted")
                << 3 << qint64(0) << qint64(40) << Ids {1, 2} << 5;
        QTest::newRow("fewer rows than the budget")
                << 40 << qint64(1) << qint64(100) << Ids {} << 40;
    }

    // A batch decodes the rows it can send and one more, not a fixed number of rows.
    void oldestByBytes()
    {
        QFETCH(int, budgetRows);
        QFETCH(qint64, extra);
        QFETCH(qint64, limit);
        QFETCH(Ids, notCounted);
        QFETCH(int, expected);
        const QList<QByteArray> events = sampleEvents(40);
        auto store = createStore(Variant::Zstd, path);
        QVERIFY(store->open());
        addAll(*store, events);
        qint64 budget = extra;
        for (int row = int(notCounted.size()); row < int(notCounted.size()) + budgetRows; ++row)
            budget += events.at(row % events.size()).size();
        const auto read =
                store->oldest(budget, limit, QSet<quint64>(notCounted.cbegin(), notCounted.cend()));
        QCOMPARE(dataOf(read), events.mid(0, expected));
    }

    void failingStatements_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("message");
        QTest::newRow("size") << "size"
                              << "Failed to get storage size:";
        QTest::newRow("add") << "add"
                             << "Failed to write to storage:";
        QTest::newRow("get") << "get"
                             << "Failed to read from storage:";
        QTest::newRow("remove id") << "remove id"
                                   << "Failed to remove event:";
        QTest::newRow("remove ids") << "remove ids"
                                    << "Failed to remove events:";
        QTest::newRow("remove all") << "remove all"
                                    << "Failed to remove events:";
    }

    void failingStatements()
    {
        QFETCH(QString, operation);
        QFETCH(QString, message);
        QSQLiteStorage store(path, 0);
        QVERIFY(store.open());
        addAll(store, sampleEvents(2));
        FileInspector(path).column(QStringLiteral("DROP TABLE events"));

        QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(
                        QStringLiteral("^%1 \".+\"$").arg(QRegularExpression::escape(message))));
        if (operation == QLatin1String("size"))
            QCOMPARE(store.size(), 0u);
        else if (operation == QLatin1String("add"))
            QVERIFY(!store.add("{}"));
        else if (operation == QLatin1String("get"))
            QVERIFY(store.get(10, 0).isEmpty() && store.readFailed());
        else if (operation == QLatin1String("remove id"))
            QVERIFY(!store.remove(quint64(1)));
        else if (operation == QLatin1String("remove ids"))
            QVERIFY(!store.remove(QSet<quint64> {1, 2}));
        else
            QVERIFY(!store.removeAll());
    }

    void missingDirectory_data()
    {
        addVariantColumn();
        QTest::newRow("plain") << Variant::Plain;
        QTest::newRow("zlib") << Variant::Zlib;
        QTest::newRow("zstd") << Variant::Zstd;
    }

    void missingDirectory()
    {
        QFETCH(Variant, variant);
        const QString missing = directory.filePath(QStringLiteral("absent/SentrelTracker.db"));
        {
            auto store = createStore(variant, missing);
            QTest::ignoreMessage(
                    QtWarningMsg,
                    qPrintable(
                            QStringLiteral("Failed to open the storage at \"%1\"").arg(missing)));
            QVERIFY(!store->open());
        } // destroying it is safe
        QVERIFY(!QFile::exists(directory.filePath(QStringLiteral("absent"))));
        // The connection is free again for the next store.
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        QVERIFY(store->add("{}"));
    }

    void destroyingAnUnopenedStore()
    {
        {
            QSQLiteZstdStorage neverOpened(path, 0);
        }
        QSQLiteStorage open(path, 0);
        QVERIFY(open.open());
        QVERIFY(open.add("{\"n\":1}"));
        // A store that never opened leaves the connection of the open one alone.
        {
            QSQLiteZlibStorage neverOpened(path, 0);
        }
        QVERIFY(open.add("{\"n\":2}"));
        QCOMPARE(open.size(), 2u);
        QCOMPARE(dataOf(open.get(-1, 0)), (QList<QByteArray> {"{\"n\":1}", "{\"n\":2}"}));
    }

    void reopenKeepsEventsAndDictionary_data()
    {
        addVariantColumn();
        QTest::addColumn<QString>("loaded");
        QTest::newRow("plain") << Variant::Plain << QString();
        QTest::newRow("zlib") << Variant::Zlib << QStringLiteral("Zlib dictionary loaded");
        QTest::newRow("zstd") << Variant::Zstd << QStringLiteral("Zstd dictionary loaded");
    }

    void reopenKeepsEventsAndDictionary()
    {
        QFETCH(Variant, variant);
        QFETCH(QString, loaded);
        const QList<QByteArray> events = sampleEvents(260);
        {
            auto store = createStore(variant, path);
            QVERIFY(store->open());
            addAll(*store, events.mid(0, 120));
            QVERIFY(store->remove(QSet<quint64> {1, 2}));
        }
        const QVariant dictionary = FileInspector(path).dictionary(variant);
        QCOMPARE(dictionary.isValid(), variant != Variant::Plain);

        StorageMessages messages;
        LogCapture log;
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        QCOMPARE(log.texts(storage, QtDebugMsg).contains(loaded), !loaded.isEmpty());
        auto stored = store->get(-1, 0);
        QCOMPARE(idsOf(stored), range(3, 120));
        QCOMPARE(dataOf(stored), events.mid(2, 118));

        // The dictionary stays: never made again however many events are added.
        addAll(*store, events.mid(120));
        QCOMPARE(log.texts(storage, QtInfoMsg), QStringList());
        QCOMPARE(dataOf(store->get(-1, 0)), events.mid(2));
        FileInspector file(path);
        QCOMPARE(file.dictionary(variant), dictionary);
        QCOMPARE(file.value(QStringLiteral("SELECT COUNT(*) FROM configuration")).toInt(),
                 variant == Variant::Plain ? 1 : 2);
        // Compressed with the dictionary that open() found.
        if (variant != Variant::Plain) {
            for (const QByteArray &row : file.rows().mid(118))
                QVERIFY(madeWith(variant, row, dictionary.toByteArray()));
        }
    }

    void batches_data()
    {
        addVariantColumn();
        QTest::addColumn<int>("visibleMidBatch"); // rows another connection sees within the batch
        QTest::newRow("plain") << Variant::Plain << 10;
        // The dictionary is written, and what it was trained on committed, before the batch
        // goes on: a batch rolled back later must not take the dictionary of its events along.
        QTest::newRow("zlib") << Variant::Zlib << 100;
        QTest::newRow("zstd") << Variant::Zstd << 100;
    }

    void batches()
    {
        QFETCH(Variant, variant);
        QFETCH(int, visibleMidBatch);
        const QList<QByteArray> events = sampleEvents(160);
        {
            auto store = createStore(variant, path);
            QVERIFY(store->open());
            addAll(*store, events.mid(0, 10));
            QVERIFY(store->transaction());
            addAll(*store, events.mid(10, 140));
            QCOMPARE(store->size(), quint64(150));
            {
                FileInspector file(path);
                QCOMPARE(file.value(QStringLiteral("SELECT COUNT(*) FROM events")).toInt(),
                         visibleMidBatch);
                QCOMPARE(file.dictionary(variant).isValid(), variant != Variant::Plain);
            }
            QVERIFY(store->commit());
            QCOMPARE(FileInspector(path)
                             .value(QStringLiteral("SELECT COUNT(*) FROM events"))
                             .toInt(),
                     150);

            // Clearing within a batch clears what the batch added before, and keeps what follows.
            QVERIFY(store->transaction());
            addAll(*store, events.mid(150, 5));
            QVERIFY(store->removeAll());
            addAll(*store, events.mid(155, 3));
            QVERIFY(store->commit());
            QCOMPARE(dataOf(store->get(-1, 0)), events.mid(155, 3));

            // A store destroyed within a batch commits it.
            QVERIFY(store->transaction());
            addAll(*store, events.mid(158, 2));
        }
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        QCOMPARE(dataOf(store->get(-1, 0)), events.mid(155, 5));
    }

    void anotherConnectionHoldsTheLock_data()
    {
        addVariantColumn();
        QTest::addColumn<bool>("released"); // before the store closes
        QTest::newRow("plain, freed") << Variant::Plain << true;
        QTest::newRow("zstd, freed") << Variant::Zstd << true;
        QTest::newRow("plain, held to the end") << Variant::Plain << false;
    }

    // Events wait in memory, not in the busy handler, while another program holds the write
    // lock, and reach the file once it is free; what never could is counted.
    void anotherConnectionHoldsTheLock()
    {
        QFETCH(Variant, variant);
        QFETCH(bool, released);
        const QList<QByteArray> events = sampleEvents(30);
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        addAll(*store, events.mid(0, 10));
        {
            FileInspector file(path);
            file.column(QStringLiteral("BEGIN IMMEDIATE"));
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral(
                                         "^The storage is locked by another connection, events "
                                         "wait in memory until it is free: .*locked")));
            for (int batch = 0; batch < 2; ++batch) {
                store->transaction();
                addAll(*store, events.mid(10 + batch * 10, 10));
                QVERIFY(store->commit());
            }
            if (!released) {
                QTest::ignoreMessage(QtWarningMsg,
                                     "The storage was still locked by another connection when "
                                     "it closed; events lost: 20");
                store.reset();
                file.column(QStringLiteral("ROLLBACK"));
                QCOMPARE(file.rows().size(), 10);
                return;
            }
            file.column(QStringLiteral("ROLLBACK"));
        }
        QTest::ignoreMessage(QtWarningMsg,
                             "The storage is free again; events kept in memory: 20 lost: 0");
        store.reset();
        auto reopened = createStore(variant, path);
        QVERIFY(reopened->open());
        QCOMPARE(dataOf(reopened->get(-1, 0)), events.mid(0, 30));
    }

    void dictionaryTraining_data()
    {
        addVariantColumn();
        QTest::newRow("zlib") << Variant::Zlib;
        QTest::newRow("zstd") << Variant::Zstd;
    }

    // The add that finds 100 stored events makes the dictionary and is the first event
    // compressed against it; the events before it read back as they were.
    void dictionaryTraining()
    {
        QFETCH(Variant, variant);
        const QList<QByteArray> events = sampleEvents(131);
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        StorageMessages messages;
        LogCapture log;
        addAll(*store, events.mid(0, 100));
        QCOMPARE(log.texts(storage, QtInfoMsg), QStringList());
        QVERIFY(!FileInspector(path).dictionary(variant).isValid());

        QVERIFY(store->add(events.at(100)));
        qsizetype sampleBytes = 0;
        for (const QByteArray &event : events.mid(0, 100))
            sampleBytes += event.size();
        // The samples are counted as they are masked, so a little less than the events.
        const QRegularExpression expected(
                variant == Variant::Zlib
                        ? QStringLiteral("^Creating Zlib dictionary from 8 samples out of 100 "
                                         "events$")
                        : QStringLiteral("^Training Zstd with 100 samples \\( \\d+ kb \\) of "
                                         "event data$"));
        const QStringList infos = log.texts(storage, QtInfoMsg);
        QCOMPARE(infos.size(), 1);
        QVERIFY2(expected.match(infos.first()).hasMatch(), qPrintable(infos.first()));

        addAll(*store, events.mid(101));
        QCOMPARE(log.texts(storage, QtInfoMsg).size(), 1);
        QCOMPARE(dataOf(store->get(-1, 0)), events);

        FileInspector file(path);
        const QByteArray dictionary = file.dictionary(variant).toByteArray();
        const QList<QByteArray> rows = file.rows();
        if (variant == Variant::Zlib) {
            // Eight events of the first hundred, one after the other.
            QCOMPARE(dictionary.count("{\"aid\":"), 8);
            for (int i = 0; i < rows.size(); ++i)
                QCOMPARE(rawInflate(rows.at(i), i < 100 ? QByteArray() : dictionary)
                                 .value_or("<not one stream>"),
                         events.at(i));
        } else {
            QVERIFY(dictionary.startsWith(QByteArray("\x37\xa4\x30\xec", 4)));
            QVERIFY(dictionary.size() <= sampleBytes / 10);
            QVERIFY(ZDICT_getDictID(dictionary.constData(), size_t(dictionary.size())) != 0);
        }
        for (int i = 0; i < rows.size(); ++i)
            QVERIFY2(madeWith(variant, rows.at(i), i < 100 ? QByteArray() : dictionary),
                     qPrintable(QString::number(i)));
        QCOMPARE(file.decodedRows(), events);
    }

    void dictionaryHoldsNoIdentifiers_data()
    {
        addVariantColumn();
        QTest::addColumn<bool>("earlierDictionary"); // made from whole events, as before
        QTest::newRow("zlib") << Variant::Zlib << false;
        QTest::newRow("zstd") << Variant::Zstd << false;
        QTest::newRow("zlib, dictionary of whole events") << Variant::Zlib << true;
        QTest::newRow("zstd, dictionary of whole events") << Variant::Zstd << true;
    }

    // A dictionary keeps the shape of events, never what identifies one of them or its user;
    // a file whose dictionary kept whole events reads all the same.
    void dictionaryHoldsNoIdentifiers()
    {
        QFETCH(Variant, variant);
        QFETCH(bool, earlierDictionary);
        const QList<QByteArray> events = eventsWithUserData(110);
        if (earlierDictionary) {
            {
                auto store = createStore(variant, path);
                QVERIFY(store->open());
            }
            QByteArray dictionary;
            QList<QByteArray> rows;
            if (variant == Variant::Zlib) {
                dictionary = events.mid(0, 8).join();
                for (const QByteArray &event : events)
                    rows.append(rawDeflate(event, dictionary));
            } else {
                const QByteArray samples = events.join();
                std::vector<size_t> lengths;
                for (const QByteArray &event : events)
                    lengths.push_back(size_t(event.size()));
                dictionary.resize(samples.size() / 10);
                dictionary.resize(qsizetype(ZDICT_trainFromBuffer(dictionary.data(),
                                                                  size_t(dictionary.size()),
                                                                  samples.constData(),
                                                                  lengths.data(),
                                                                  unsigned(lengths.size()))));
                ZSTD_CCtx *context = ZSTD_createCCtx();
                for (const QByteArray &event : events) {
                    QByteArray frame(qsizetype(ZSTD_compressBound(size_t(event.size()))),
                                     Qt::Uninitialized);
                    frame.resize(qsizetype(ZSTD_compress_usingDict(context,
                                                                   frame.data(),
                                                                   size_t(frame.size()),
                                                                   event.constData(),
                                                                   size_t(event.size()),
                                                                   dictionary.constData(),
                                                                   size_t(dictionary.size()),
                                                                   5)));
                    rows.append(frame);
                }
                ZSTD_freeCCtx(context);
            }
            FileInspector file(path);
            file.column(QStringLiteral("INSERT INTO configuration VALUES('%1_dictionary', ?)")
                                .arg(QLatin1String(variantName(variant))),
                        {dictionary});
            for (const QByteArray &row : std::as_const(rows))
                file.column(QStringLiteral("INSERT INTO events(data) VALUES(?)"), {row});
            auto store = createStore(variant, path);
            QVERIFY(store->open());
            QCOMPARE(dataOf(store->get(-1, 0)), events);
            return;
        }

        auto store = createStore(variant, path);
        QVERIFY(store->open());
        addAll(*store, events);
        QCOMPARE(dataOf(store->get(-1, 0)), events);
        const QByteArray dictionary = FileInspector(path).dictionary(variant).toByteArray();
        QVERIFY(!dictionary.isEmpty());
        for (const QByteArray &event : events.mid(0, 100)) {
            for (const QByteArray &identifier : identifiersOf(event))
                QVERIFY2(!dictionary.contains(identifier), identifier.constData());
        }
    }

    void dictionaryOfAnotherProcess_data()
    {
        addVariantColumn();
        QTest::addColumn<QString>("change");
        QTest::newRow("zlib, cleared elsewhere") << Variant::Zlib << "cleared";
        QTest::newRow("zstd, cleared elsewhere") << Variant::Zstd << "cleared";
        QTest::newRow("zlib, trained elsewhere") << Variant::Zlib << "trained";
        QTest::newRow("zstd, trained elsewhere") << Variant::Zstd << "trained";
        QTest::newRow("zstd, replaced elsewhere") << Variant::Zstd << "replaced";
    }

    // Another process on the file clears the cache (and the dictionaries with it), trains the
    // dictionary first, or clears and trains another between two batches of this store: what
    // this store adds next decodes with what the file holds.
    void dictionaryOfAnotherProcess()
    {
        QFETCH(Variant, variant);
        QFETCH(QString, change);
        const QList<QByteArray> events = sampleEvents(130);
        QByteArray foreign; // a dictionary trained in another file, on other events
        if (change != QLatin1String("cleared")) {
            const QString other = QDir(directory.path()).filePath(QStringLiteral("other.db"));
            {
                auto trainer = createStore(variant, other);
                QVERIFY(trainer->open());
                addAll(*trainer, sampleEvents(120, 3));
            }
            foreign = FileInspector(other).dictionary(variant).toByteArray();
            QVERIFY(!foreign.isEmpty());
            QFile::remove(other);
        }
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        addAll(*store, events.mid(0, change == QLatin1String("trained") ? 50 : 120));
        {
            FileInspector file(path);
            file.column(QStringLiteral("DELETE FROM events"));
            if (change != QLatin1String("trained"))
                file.column(
                        QStringLiteral("DELETE FROM configuration WHERE item LIKE '%_dictionary'"));
            if (change != QLatin1String("cleared"))
                file.column(
                        QStringLiteral("INSERT INTO configuration VALUES(?, ?)"),
                        {QStringLiteral("%1_dictionary").arg(QLatin1String(variantName(variant))),
                         foreign});
        }
        QVERIFY(store->transaction());
        QVERIFY(store->add(events.at(125)));
        QVERIFY(store->commit());

        const QList<QByteArray> rows = FileInspector(path).rows();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(FileInspector(path).dictionary(variant).toByteArray(), foreign);
        QVERIFY(madeWith(variant, rows.first(), foreign));
        QCOMPARE(FileInspector(path).decodedRows(), QList<QByteArray> {events.at(125)});
        QCOMPARE(store->get(-1, 0).first().second, events.at(125));
    }

    void removeAllLeavesNoContent_data()
    {
        addVariantColumn();
        QTest::addColumn<int>("count"); // of the events cleared
        QTest::addColumn<bool>("inBatch");
        for (Variant variant : {Variant::Plain, Variant::Zlib, Variant::Zstd}) {
            QTest::addRow("%s", variantName(variant)) << variant << 150 << false;
            QTest::addRow("%s, within a batch", variantName(variant)) << variant << 150 << true;
        }
        // On a page that stays in the file.
        QTest::newRow("plain, a few events") << Variant::Plain << 3 << false;
    }

    // Nothing of a cleared event stays in the file or its log, nor in a dictionary: the next
    // events make a new one, and read back.
    void removeAllLeavesNoContent()
    {
        QFETCH(Variant, variant);
        QFETCH(int, count);
        QFETCH(bool, inBatch);
        const QByteArray recorded("Recorded-Value-5e1f");
        QList<QByteArray> cleared = sampleEvents(count, 13);
        for (QByteArray &event : cleared)
            event.replace("WriterPro", recorded);
        const QList<QByteArray> next = sampleEvents(102, 17);
        const QString wal = path + QStringLiteral("-wal");
        {
            auto store = createStore(variant, path);
            QVERIFY(store->open());
            if (inBatch)
                QVERIFY(store->transaction());
            addAll(*store, cleared);
            QCOMPARE(FileInspector(path).dictionary(variant).isValid(),
                     variant != Variant::Plain && count > 100);
            QVERIFY(store->removeAll());
            addAll(*store, next.mid(0, 5));
            QVERIFY(store->commit());

            QVERIFY(!FileInspector(path).dictionary(variant).isValid());
            QVERIFY(!fileBytes(path).contains(recorded));
            QVERIFY(!fileBytes(wal).contains(recorded));
            QCOMPARE(dataOf(store->get(-1, 0)), next.mid(0, 5));

            addAll(*store, next.mid(5));
            FileInspector file(path);
            QCOMPARE(file.dictionary(variant).isValid(), variant != Variant::Plain);
            if (variant != Variant::Plain) // the new one
                QVERIFY(madeWith(variant,
                                 file.rows().last(),
                                 file.dictionary(variant).toByteArray()));
            QCOMPARE(dataOf(store->get(-1, 0)), next);
        }
        QVERIFY(!fileBytes(path).contains(recorded));
        QVERIFY(!fileBytes(wal).contains(recorded));
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        QCOMPARE(dataOf(store->get(-1, 0)), next);
    }

    void noDictionaryBelowHundredEvents_data()
    {
        addVariantColumn();
        QTest::newRow("zlib") << Variant::Zlib;
        QTest::newRow("zstd") << Variant::Zstd;
    }

    void noDictionaryBelowHundredEvents()
    {
        QFETCH(Variant, variant);
        const QList<QByteArray> events = sampleEvents(150);
        auto store = createStore(variant, path, 99);
        QVERIFY(store->open());
        StorageMessages messages;
        LogCapture log;
        addAll(*store, events);
        QCOMPARE(log.texts(storage, QtInfoMsg), QStringList());
        QCOMPARE(store->size(), 99u);
        QCOMPARE(dataOf(store->get(-1, 0)), events.mid(51));
        QVERIFY(!FileInspector(path).dictionary(variant).isValid());
    }

    void dictionaryNotStoredIsTriedAgain_data()
    {
        addVariantColumn();
        QTest::addColumn<QString>("message");
        QTest::newRow("zlib") << Variant::Zlib << "Failed to store zlib dictionary:";
        QTest::newRow("zstd") << Variant::Zstd << "Failed to store Zstd dictionary:";
    }

    void dictionaryNotStoredIsTriedAgain()
    {
        QFETCH(Variant, variant);
        QFETCH(QString, message);
        const QList<QByteArray> events = sampleEvents(103);
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        addAll(*store, events.mid(0, 100));
        FileInspector file(path);
        file.column(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON configuration "
                                   "BEGIN SELECT RAISE(ABORT, 'refused'); END"));

        const QRegularExpression warning(
                QStringLiteral("^%1 \".*refused.*\"$").arg(QRegularExpression::escape(message)));
        QTest::ignoreMessage(QtWarningMsg, warning);
        QVERIFY(store->add(events.at(100)));
        QTest::ignoreMessage(QtWarningMsg, warning);
        QVERIFY(store->add(events.at(101)));
        QVERIFY(!file.dictionary(variant).isValid());

        file.column(QStringLiteral("DROP TRIGGER refuse"));
        QVERIFY(store->add(events.at(102)));
        const QByteArray dictionary = file.dictionary(variant).toByteArray();
        QVERIFY(!dictionary.isEmpty());
        QCOMPARE(dataOf(store->get(-1, 0)), events);
        if (variant == Variant::Zlib) {
            // Made anew from eight samples, not added to the dictionary of the failed try.
            QCOMPARE(dictionary.count("{\"aid\":"), 8);
        }
    }

    void zstdTrainingFailureIsTriedAgain()
    {
        QSQLiteZstdStorage store(path, 0);
        QVERIFY(store.open());
        addAll(store, QList<QByteArray>(100, QByteArray()));
        StorageMessages messages;
        LogCapture log;
        QTest::ignoreMessage(QtWarningMsg, "Failed to train Zstd dictionary");
        QVERIFY(store.add("{\"n\":1}"));
        QTest::ignoreMessage(QtWarningMsg, "Failed to train Zstd dictionary");
        QVERIFY(store.add("{\"n\":2}"));
        QCOMPARE(log.count(storage,
                           QStringLiteral("Training Zstd with 100 samples ( 0 kb ) of event data")),
                 2);
        QVERIFY(!FileInspector(path).dictionary(Variant::Zstd).isValid());
        const auto stored = store.get(-1, 0);
        QCOMPARE(stored.size(), 102);
        QVERIFY(stored.at(0).second.isEmpty());
        QCOMPARE(stored.at(101).second, QByteArray("{\"n\":2}"));
    }

    void roundTrip_data()
    {
        addVariantColumn();
        QTest::addColumn<bool>("withDictionary");
        QTest::addColumn<QByteArray>("event");
        QByteArray large = sampleEvents(1).first();
        large.chop(1);
        QByteArray padding =
                SampleEvents(3).take(600).join(' ').replace('"', '\'').replace('\\', '/').left(
                        200 * 1024);
        large.append(",\"padding\":\"" + padding + "\"}");
        const QList<QPair<const char *, QByteArray>> events = {
                {"empty", QByteArray()},
                {"one byte", QByteArray("x")},
                {"short", QByteArray("{}")},
                {"realistic", sampleEvents(5, 99).last()},
                {"1500 bytes", QByteArray(1500, 'a')},
                {"1501 random bytes", randomBytes(1501, 3)},
                {"200 KB", large},
                {"2 MiB of zeros", QByteArray(2 * 1024 * 1024, '\0')},
                {"incompressible 10 bytes", randomBytes(10, 1)},
                {"incompressible 64 KiB", randomBytes(64 * 1024, 2)},
                {"binary with NULs", QByteArray("{\0\"e\"\0}\0", 8)},
        };
        for (Variant variant : {Variant::Plain, Variant::Zlib, Variant::Zstd}) {
            for (bool withDictionary : {false, true}) {
                if (variant == Variant::Plain && withDictionary)
                    continue;
                for (const auto &event : events) {
                    QTest::addRow("%s%s, %s",
                                  variantName(variant),
                                  withDictionary ? " with dictionary" : "",
                                  event.first)
                            << variant << withDictionary << event.second;
                }
            }
        }
    }

    // Every event comes back whole, and what is stored is one complete stream or frame.
    void roundTrip()
    {
        QFETCH(Variant, variant);
        QFETCH(bool, withDictionary);
        QFETCH(QByteArray, event);
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        if (withDictionary)
            addAll(*store, sampleEvents(101, 11));
        QVERIFY(store->add(event));
        const auto stored = store->get(1, qint64(store->size()) - 1);
        QCOMPARE(stored.size(), 1);
        QCOMPARE(stored.first().second, event);

        FileInspector file(path);
        const QByteArray row = file.rows().last();
        const QByteArray dictionary = file.dictionary(variant).toByteArray();
        QCOMPARE(dictionary.isEmpty(), !withDictionary);
        switch (variant) {
        case Variant::Plain:
            QCOMPARE(row, event);
            // An empty event is an empty BLOB, not NULL.
            QCOMPARE(file.value(QStringLiteral("SELECT typeof(data) FROM events")).toString(),
                     QStringLiteral("blob"));
            break;
        case Variant::Zlib:
            QCOMPARE(rawInflate(row, dictionary).value_or("<not one stream>"), event);
            break;
        case Variant::Zstd:
            QCOMPARE(ZSTD_getFrameContentSize(row.constData(), size_t(row.size())),
                     quint64(event.size()));
            break;
        }
        QCOMPARE(file.decodedRows().last(), event);
    }

    void eventsBeyondTheLimit_data()
    {
        addVariantColumn();
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("compressed");
        for (Variant variant : {Variant::Zlib, Variant::Zstd}) {
            QTest::addRow("%s, at the limit", variantName(variant))
                    << variant << SentrelStorage::maxEventSize << true;
            QTest::addRow("%s, above the limit", variantName(variant))
                    << variant << SentrelStorage::maxEventSize + 1 << false;
        }
    }

    // An event above the limit is stored as it is, so that it can be read back whole.
    void eventsBeyondTheLimit()
    {
        QFETCH(Variant, variant);
        QFETCH(qsizetype, size);
        QFETCH(bool, compressed);
        QByteArray event(size, 'a');
        event[0] = '{';
        event[size - 1] = '}';
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        QVERIFY(store->add(event));
        QCOMPARE(store->get(-1, 0).first().second, event);
        const QByteArray row = FileInspector(path).rows().first();
        QCOMPARE(row != event, compressed);
        QCOMPARE(row.size() < event.size() / 100, compressed);
    }

    void foreignRows_data()
    {
        QTest::addColumn<Variant>("writer");
        QTest::addColumn<Variant>("reader");
        for (Variant writer : {Variant::Plain, Variant::Zlib, Variant::Zstd}) {
            for (Variant reader : {Variant::Plain, Variant::Zlib, Variant::Zstd}) {
                if (writer != reader)
                    QTest::addRow("%s rows read by %s", variantName(writer), variantName(reader))
                            << writer << reader;
            }
        }
    }

    // Rows that another store left in the file read back intact through every store, with
    // the dictionary that the file keeps for them.
    void foreignRows()
    {
        QFETCH(Variant, writer);
        QFETCH(Variant, reader);
        const QList<QByteArray> events = sampleEvents(125);
        {
            // The last twenty are compressed against the writer's dictionary; ninety rows are
            // left, so that the reader makes no dictionary of its own.
            auto store = createStore(writer, path);
            QVERIFY(store->open());
            addAll(*store, events.mid(0, 120));
            const Ids oldest = range(1, 30);
            QVERIFY(store->remove(QSet<quint64>(oldest.cbegin(), oldest.cend())));
        }
        const QList<QByteArray> written = events.mid(30, 90);

        {
            auto store = createStore(reader, path);
            QVERIFY(store->open());
            QCOMPARE(FileInspector(path)
                             .value(QStringLiteral(
                                     "SELECT value FROM configuration WHERE item = 'compression'"))
                             .toString(),
                     QString::fromLatin1(reader == Variant::Plain ? "" : variantName(reader)));
            QCOMPARE(dataOf(store->get(-1, 0)), written);
            addAll(*store, events.mid(120));
            QCOMPARE(dataOf(store->get(-1, 0)).mid(90), events.mid(120));
        }

        // Back with the first store: its own rows as before, and the other's.
        auto store = createStore(writer, path);
        QVERIFY(store->open());
        const auto stored = dataOf(store->get(-1, 0));
        QCOMPARE(stored.mid(0, 90), written);
        QCOMPARE(stored.mid(90), events.mid(120));
    }

    void plainRowsThroughCompressedStores_data()
    {
        addVariantColumn();
        QTest::newRow("zlib") << Variant::Zlib;
        QTest::newRow("zstd") << Variant::Zstd;
    }

    // Realistic events stored uncompressed are never taken for compressed ones, with or
    // without a dictionary in place.
    void plainRowsThroughCompressedStores()
    {
        QFETCH(Variant, variant);
        const QList<QByteArray> events = sampleEvents(1101, 23);
        {
            QSQLiteStorage plain(path, 0);
            QVERIFY(plain.open());
            addAll(plain, events.mid(0, 1000));
        }
        {
            auto store = createStore(variant, path);
            QVERIFY(store->open());
            QCOMPARE(dataOf(store->get(-1, 0)), events.mid(0, 1000));
            QVERIFY(store->removeAll());
            addAll(*store, events.mid(1000));
            QVERIFY(FileInspector(path).dictionary(variant).isValid());
        }
        {
            QSQLiteStorage plain(path, 0);
            QVERIFY(plain.open());
            addAll(plain, events.mid(0, 1000));
        }
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        const auto stored = dataOf(store->get(-1, 0));
        QCOMPARE(stored.mid(0, 101), events.mid(1000));
        QCOMPARE(stored.mid(101), events.mid(0, 1000));
    }

    void damagedRows_data()
    {
        addVariantColumn();
        QTest::addColumn<QByteArray>("row");
        QTest::addColumn<QString>("message");
        const QString zstdFailed = QStringLiteral("Zstd uncompression failed");
        const QString zlibFailed = QStringLiteral("Zlib uncompression failed:");
        QTest::newRow("zstd frame claiming 1 TiB")
                << Variant::Zstd << frameClaiming(quint64(1) << 40) << zstdFailed;
        QTest::newRow("zstd frame claiming 2^64-3 bytes")
                << Variant::Zstd << frameClaiming(~quint64(0) - 2) << zstdFailed;
        QTest::newRow("zstd frame claiming one byte over the limit")
                << Variant::Zstd << frameClaiming(quint64(SentrelStorage::maxEventSize) + 1)
                << zstdFailed;
        QTest::newRow("zstd frame claiming the limit, with too little data")
                << Variant::Zstd << frameClaiming(quint64(SentrelStorage::maxEventSize))
                << zstdFailed;
        const QByteArray event = sampleEvents(1).first();
        QByteArray frame(qsizetype(ZSTD_compressBound(size_t(event.size()))), Qt::Uninitialized);
        frame.resize(qsizetype(ZSTD_compress(frame.data(),
                                             size_t(frame.size()),
                                             event.constData(),
                                             size_t(event.size()),
                                             5)));
        QTest::newRow("zstd truncated frame")
                << Variant::Zstd << frame.left(frame.size() / 2) << zstdFailed;
        QTest::newRow("truncated zstd frame in the plain store")
                << Variant::Plain << frame.left(frame.size() / 2) << zstdFailed;
        QTest::newRow("truncated zstd frame in the zlib store")
                << Variant::Zlib << frame.left(frame.size() / 2) << zstdFailed;

        const QByteArray stream = rawDeflate(event);
        QTest::newRow("zlib stream inflating beyond the limit")
                << Variant::Zlib << rawDeflate(QByteArray(SentrelStorage::maxEventSize + 1, '\0'))
                << zlibFailed;
        QTest::newRow("zlib truncated stream")
                << Variant::Zlib << stream.left(stream.size() / 2) << zlibFailed;
        QTest::newRow("zlib stream with trailing bytes")
                << Variant::Zlib << stream + "trailing" << zlibFailed;
        QTest::newRow("truncated zlib stream in the zstd store")
                << Variant::Zstd << stream.left(stream.size() / 2) << zlibFailed;
        QTest::newRow("plain text in the zlib store")
                << Variant::Zlib << QByteArray("hello, world") << zlibFailed;
    }

    // A row that does not decompress within the limit is handed back as it is stored.
    void damagedRows()
    {
        QFETCH(Variant, variant);
        QFETCH(QByteArray, row);
        QFETCH(QString, message);
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        QVERIFY(store->add("{\"n\":1}"));
        FileInspector(path).column(QStringLiteral("INSERT INTO events(data) VALUES(?)"), {row});
        QVERIFY(store->add("{\"n\":3}"));

        StorageMessages messages;
        LogCapture log;
        QCOMPARE(dataOf(store->get(-1, 0)), (QList<QByteArray> {"{\"n\":1}", row, "{\"n\":3}"}));
        QCOMPARE(log.count(storage, message), 1);
    }

    void filePermissions_data()
    {
        addVariantColumn();
        QTest::addColumn<bool>("existing");
        for (Variant variant : {Variant::Plain, Variant::Zlib, Variant::Zstd}) {
            QTest::addRow("%s, new file", variantName(variant)) << variant << false;
            QTest::addRow("%s, readable file of an earlier run", variantName(variant))
                    << variant << true;
        }
    }

    // The cache and its side files are for their owner alone, whatever the umask.
    void filePermissions()
    {
#ifndef Q_OS_UNIX
        QSKIP("The owner-only permissions are Unix file modes");
#else
        QFETCH(Variant, variant);
        QFETCH(bool, existing);
        Umask umask(0);
        if (existing) {
            {
                QSQLiteStorage earlier(path, 0);
                QVERIFY(earlier.open());
                QVERIFY(earlier.add("{}"));
            }
            QVERIFY(QFile::setPermissions(path,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                                  | QFile::ReadOther));
            QFile wal(path + QStringLiteral("-wal"));
            QVERIFY(wal.open(QIODevice::WriteOnly, QFileDevice::Permissions(0x6666)));
            wal.close();
            QCOMPARE(modeOf(path + QStringLiteral("-wal")), mode_t(0666));
        }
        auto store = createStore(variant, path);
        QVERIFY(store->open());
        QVERIFY(store->add(sampleEvents(1).first()));
        for (const char *suffix : {"", "-wal", "-shm"})
            QCOMPARE(modeOf(path + QLatin1String(suffix)), mode_t(0600));
        QCOMPARE(store->get(-1, 0).size(), existing ? 2 : 1);
#endif
    }
};

QTEST_GUILESS_MAIN(tst_Storage)
#include "tst_storage.moc"
