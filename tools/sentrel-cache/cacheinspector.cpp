// SPDX-License-Identifier: MIT
#include "cacheinspector.h"
#include "qsentrelstorage_p.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUuid>
#include <QVariant>

namespace {
const QString cacheFileName = QSentrelStorage::cacheFileName;

bool isJsonObject(const QByteArray &bytes)
{
    QJsonParseError parseError;
    return QJsonDocument::fromJson(bytes, &parseError).isObject()
            && parseError.error == QJsonParseError::NoError;
}

QString sizeText(qint64 bytes)
{
    return bytes == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(bytes);
}

// Why name is not a plain table of the file; empty when it is one, or when there is none. Only
// plain tables are read: a view, a virtual table or a computed column runs whatever the file
// says on every read, and a recursive view never ends.
QString notPlainTable(const QSqlDatabase &database, const QString &name)
{
    QSqlQuery query(database);
    query.prepare(QStringLiteral("SELECT type, rootpage FROM sqlite_master "
                                 "WHERE name = ? COLLATE NOCASE AND type IN ('table', 'view')"));
    query.addBindValue(name);
    if (!query.exec())
        return query.lastError().text();
    bool found = false;
    while (query.next()) {
        if (query.value(0).toString() != QLatin1String("table"))
            return QStringLiteral("\"%1\" is a view, not a table").arg(name);
        if (query.value(1).toLongLong() <= 0)
            return QStringLiteral("\"%1\" is a virtual table").arg(name);
        found = true;
    }
    if (!found)
        return QString();
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM pragma_table_xinfo(?) WHERE hidden <> 0"));
    query.addBindValue(name);
    if (!query.exec() || !query.next())
        return query.lastError().text();
    if (query.value(0).toLongLong() > 0)
        return QStringLiteral("\"%1\" has computed columns").arg(name);
    return QString();
}
} // namespace

CacheInspector::CacheInspector()
    : connectionName(QStringLiteral("sentrel-cache-")
                     + QUuid::createUuid().toString(QUuid::WithoutBraces))
{ }

CacheInspector::~CacheInspector()
{
    if (database.isOpen())
        database.close();
    database = QSqlDatabase();
    if (QSqlDatabase::contains(connectionName))
        QSqlDatabase::removeDatabase(connectionName);
}

bool CacheInspector::open(const QString &given)
{
    const QFileInfo info(given);
    path = info.isDir() ? QDir(given).absoluteFilePath(cacheFileName) : info.absoluteFilePath();
    if (!QFileInfo(path).isFile()) {
        error = QStringLiteral("no cache file at %1").arg(path);
        return false;
    }

    // A read-only connection on a file without its write-ahead log still creates the log and
    // the shared-memory file and leaves them behind. Such a file is complete in itself, so it
    // is opened as immutable: no locks, no side files. With a log present (the tracker is
    // running, or did not close the file) the log must be read too, and the side files exist
    // already, so a plain read-only connection shares them.
    const bool walPresent = QFileInfo::exists(path + QStringLiteral("-wal"));
    QUrl uri = QUrl::fromLocalFile(path);
    uri.setQuery(walPresent ? QStringLiteral("mode=ro") : QStringLiteral("immutable=1"));

    database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    if (!database.isValid()) {
        error = QStringLiteral("the SQLite driver of Qt SQL is not available");
        return false;
    }
    database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
    database.setDatabaseName(uri.toString(QUrl::FullyEncoded));
    if (!database.open()) {
        error = QStringLiteral("cannot open %1: %2").arg(path, database.lastError().text());
        return false;
    }

    for (const QString &table : {QStringLiteral("events"), QStringLiteral("configuration")}) {
        const QString refused = notPlainTable(database, table);
        if (!refused.isEmpty()) {
            error = QStringLiteral("%1 is not an event cache: %2").arg(path, refused);
            return false;
        }
    }

    QSqlQuery query(database);
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM events"))) {
        error = QStringLiteral("%1 is not an event cache: %2").arg(path, query.lastError().text());
        return false;
    }

    if (query.exec(QStringLiteral("SELECT value FROM configuration WHERE item = 'compression'"))
        && query.next())
        compression = SentrelCodec::fromName(query.value(0).toString());
    codec.loadDictionaries(database);
    return true;
}

bool CacheInspector::forEachEvent(
        const std::function<void(qint64, const QByteArray &, bool)> &visit)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT id, data FROM events ORDER BY id ASC"))) {
        error = QStringLiteral("cannot read the events: %1").arg(query.lastError().text());
        return false;
    }
    while (query.next()) {
        const QByteArray stored = query.value(1).toByteArray();
        const QByteArray event = codec.decode(stored);
        const bool decoded = isJsonObject(event);
        visit(query.value(0).toLongLong(), decoded ? event : stored, decoded);
    }
    return true;
}

CacheInspector::Summary CacheInspector::summary()
{
    Summary summary;
    summary.path = path;
    summary.fileSize = QFileInfo(path).size();
    const QFileInfo wal(path + QStringLiteral("-wal"));
    if (wal.exists())
        summary.walSize = wal.size();

    QSqlQuery query(database);
    if (query.exec(QStringLiteral("SELECT item, value FROM configuration"))) {
        while (query.next()) {
            const QString item = query.value(0).toString();
            if (item == QLatin1String("compression")) {
                summary.hasCompression = true;
                summary.compression = query.value(1).toString();
            }
        }
    }
    if (!codec.dictionary(compression).isNull())
        summary.dictionarySize = codec.dictionary(compression).size();

    if (query.exec(QStringLiteral(
                "SELECT sql FROM sqlite_master WHERE type = 'trigger' AND name = 'events_cleanup'"))
        && query.next()) {
        static const QRegularExpression limit(QStringLiteral("LIMIT\\s+(\\d+)"));
        const QRegularExpressionMatch match = limit.match(query.value(0).toString());
        if (match.hasMatch())
            summary.sizeLimit = match.captured(1).toInt();
    }

    if (query.exec(QStringLiteral("SELECT length(data) FROM events")))
        while (query.next())
            summary.storedBytes += query.value(0).toLongLong();
    query.finish();

    forEachEvent([&summary](qint64 id, const QByteArray &event, bool decoded) {
        if (summary.events == 0)
            summary.firstId = id;
        summary.lastId = id;
        ++summary.events;
        if (decoded)
            summary.decodedBytes += event.size();
        else
            ++summary.undecodable;
    });
    return summary;
}

QJsonObject CacheInspector::Summary::toJson() const
{
    QJsonObject object {
            {QStringLiteral("path"), path},
            {QStringLiteral("file_size"), fileSize},
            {QStringLiteral("events"), events},
            {QStringLiteral("stored_bytes"), storedBytes},
            {QStringLiteral("decoded_bytes"), decodedBytes},
            {QStringLiteral("undecodable"), undecodable},
            {QStringLiteral("bytes_per_event"), bytesPerEvent()},
            {QStringLiteral("dictionary"), dictionarySize >= 0},
            {QStringLiteral("size_limit"), sizeLimit},
    };
    object.insert(QStringLiteral("compression"),
                  hasCompression ? QJsonValue(compression) : QJsonValue());
    if (walSize >= 0)
        object.insert(QStringLiteral("wal_size"), walSize);
    if (dictionarySize >= 0)
        object.insert(QStringLiteral("dictionary_size"), dictionarySize);
    if (events > 0) {
        object.insert(QStringLiteral("first_id"), firstId);
        object.insert(QStringLiteral("last_id"), lastId);
    }
    return object;
}

QString CacheInspector::Summary::toText() const
{
    QStringList lines;
    const auto line = [&lines](const char *label, const QString &value) {
        lines.append(QStringLiteral("%1 %2").arg(QLatin1String(label), -17).arg(value));
    };
    line("Cache:", path);
    line("File size:",
         walSize >= 0 ? QStringLiteral("%1 (write-ahead log: %2)")
                                .arg(sizeText(fileSize), sizeText(walSize))
                      : sizeText(fileSize));
    line("Events:",
         events > 0 ? QStringLiteral("%1 (ids %2 to %3)").arg(events).arg(firstId).arg(lastId)
                    : QStringLiteral("0"));
    line("Compression:",
         !hasCompression                 ? QStringLiteral("unknown (no compression entry)")
                 : compression.isEmpty() ? QStringLiteral("none ('')")
                                         : compression);
    if (hasCompression && !compression.isEmpty())
        line("Dictionary:",
             dictionarySize >= 0 ? QStringLiteral("stored, %1").arg(sizeText(dictionarySize))
                                 : QStringLiteral("none yet"));
    line("Size limit:",
         sizeLimit > 0 ? QStringLiteral("%1 events").arg(sizeLimit) : QStringLiteral("none"));
    if (events > 0) {
        const qint64 decodedEvents = events - undecodable;
        line("Bytes per event:",
             QStringLiteral("%1 in the file, %2 stored, %3 decoded")
                     .arg(bytesPerEvent(), 0, 'f', 1)
                     .arg(double(storedBytes) / double(events), 0, 'f', 1)
                     .arg(decodedEvents ? double(decodedBytes) / double(decodedEvents) : 0.0,
                          0,
                          'f',
                          1));
    }
    if (undecodable > 0)
        line("Undecodable:", QStringLiteral("%1 rows").arg(undecodable));
    return lines.join(QLatin1Char('\n'));
}
