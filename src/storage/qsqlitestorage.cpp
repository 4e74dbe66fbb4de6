// SPDX-License-Identifier: MIT
#include "qsqlitestorage_p.h"

#include "sentrelfiles_p.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QSqlError>
#include <QStringList>
#include <QThread>
#include <QUrl>
#include <QVariant>

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

namespace {
using SentrelFiles::ownerOnly;

bool isFilePath(const QString &path)
{
    return !path.isEmpty() && !path.startsWith(QLatin1String(":memory:"))
            && !path.startsWith(QLatin1String("file:"));
}

// SQLite's primary result codes for a file that is damaged (SQLITE_CORRUPT) or is no database
// at all (SQLITE_NOTADB); the driver reports them as the native error code.
bool isDamage(const QSqlError &error)
{
    constexpr int corrupt = 11;
    constexpr int notADatabase = 26;
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return code == corrupt || code == notADatabase;
}

// SQLITE_BUSY and SQLITE_LOCKED: another connection holds the lock.
bool isLocked(const QSqlError &error)
{
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return code == 5 || code == 6;
}

// Long enough for another process's commit, short enough for a frame of the application's,
// which may be waiting for this thread to stop.
constexpr int busyTimeoutMilliseconds = 20;
// The switch to the write-ahead log, tried again while another process holds the new file;
// then the store is opened again later, like a locked one.
constexpr int journalModeAttempts = 5;
constexpr unsigned long journalModeRetryMilliseconds = 10;
constexpr qint64 maximumLockedOutBytes = 16 * 1024 * 1024;
constexpr int longestLockedOutDelay = 30000;

constexpr auto &companions = QSentrelStorage::companionSuffixes;
} // namespace

QSQLiteStorage::QSQLiteStorage(const QString &path, int size, SentrelCodec::Form form)
    : form(form)
    , path(path)
    , sizeLimit(size)
{ }

QSQLiteStorage::~QSQLiteStorage()
{
    commit();
    if (lockedOut && !writeLockedOut(true))
        qCWarning(lcStorage) << "The storage was still locked by another connection when it "
                                "closed; events lost:"
                             << lockedOutRows.size() + lockedOutLost;
    closeConnection();
}

void QSQLiteStorage::closeConnection()
{
    // The queries go first so that the connection is no longer in use when it is removed.
    insertQuery = QSqlQuery();
    query = QSqlQuery();
    if (database.isOpen())
        database.close();
    // Another store may have registered the name since; its connection is not ours to remove.
    const bool ours = registeredConnection && QSqlDatabase::contains(connectionName)
            && QSqlDatabase::database(connectionName, false).driver() == database.driver();
    database = QSqlDatabase();
    if (ours)
        QSqlDatabase::removeDatabase(connectionName);
    registeredConnection = false;
}

// The cache holds what the user did in the application: only its owner may read it. SQLite
// gives the -wal and -shm files the mode of the database file when it creates them; files left
// from an earlier run are set here as well.
void QSQLiteStorage::restrictFilePermissions() const
{
    if (!isFilePath(path))
        return;
    const QFileInfo info(path);
    if (info.isFile()) {
        QFile::setPermissions(path, ownerOnly);
    } else if (!info.exists()) {
        // An empty file is an empty database to SQLite.
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly, ownerOnly))
            file.close();
    }
    for (const QLatin1String suffix : companions) {
        const QString sideFile = path + suffix;
        if (QFileInfo(sideFile).isFile())
            QFile::setPermissions(sideFile, ownerOnly);
    }
}

bool QSQLiteStorage::open()
{
    SENTREL_ASSERT_THREAD(this);
    const Opening opening = openFile();
    if (opening == Opening::Opened)
        return true;
    if (opening == Opening::Failed)
        return false;
    return setAside(opening == Opening::Damaged);
}

QSQLiteStorage::Opening QSQLiteStorage::openFile()
{
    dataVersion = -1;
    database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    registeredConnection = true;
    if (!database.isValid()) {
        qCWarning(lcStorage) << "Failed to open sqlite connection";
        return Opening::Failed;
    }

    if (isFilePath(path) && QFileInfo(path).isDir())
        return Opening::Foreign;
    restrictFilePermissions();
    database.setDatabaseName(path);
    database.setConnectOptions(
            QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMilliseconds));
    if (!database.open()) {
        qCWarning(lcStorage) << "Failed to open the storage at" << path;
        return Opening::Failed;
    }

    query = QSqlQuery(database);
    query.setForwardOnly(true);

    // Found before anything is written to the file. A file that cannot be checked now, locked
    // by another process, is not opened now and tried again later.
    if (query.exec(QStringLiteral("PRAGMA quick_check(1)"))) {
        const bool read = query.next();
        const bool sound = read && query.value(0).toString() == QLatin1String("ok");
        const QSqlError error = query.lastError();
        query.finish();
        if (!read && isLocked(error)) {
            qCWarning(lcStorage) << "The storage is locked by another connection:" << path;
            return Opening::Failed;
        }
        if (!sound)
            return Opening::Damaged;
        if (isForeign())
            return Opening::Foreign;
    } else if (isLocked(query.lastError())) {
        qCWarning(lcStorage) << "The storage is locked by another connection:" << path;
        return Opening::Failed;
    } else if (isDamage(query.lastError())) {
        return Opening::Damaged;
    }

    // Two processes making the file at once: the switch to the log needs the file alone for a
    // moment, and SQLite answers busy at once instead of waiting for it.
    bool journaled = false;
    for (int attempt = 0; attempt < journalModeAttempts && !journaled; ++attempt) {
        journaled = query.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        if (!journaled && !isLocked(query.lastError()))
            break;
        if (!journaled)
            QThread::msleep(journalModeRetryMilliseconds);
    }
    if (!journaled && isLocked(query.lastError())) {
        qCWarning(lcStorage) << "The storage is locked by another connection:" << path;
        return Opening::Failed;
    }
    if (!journaled)
        qCWarning(lcStorage) << "Failed to set journal_mode:" << query.lastError().text();
    // FULL: a commit survives a power cut as well, not only a crash of the application. The
    // adds are committed in batches, so this costs one sync per batch, not one per event.
    if (!query.exec(QStringLiteral("PRAGMA synchronous=FULL")))
        qCWarning(lcStorage) << "Failed to set synchronous:" << query.lastError().text();
#ifdef Q_OS_DARWIN
    // On Apple systems fsync() leaves the data in the drive's cache; only F_FULLFSYNC makes
    // FULL survive a power cut, for the commits and for the checkpoints of the log.
    if (!query.exec(QStringLiteral("PRAGMA fullfsync=ON")))
        qCWarning(lcStorage) << "Failed to set fullfsync:" << query.lastError().text();
    if (!query.exec(QStringLiteral("PRAGMA checkpoint_fullfsync=ON")))
        qCWarning(lcStorage) << "Failed to set checkpoint_fullfsync:" << query.lastError().text();
#endif
    if (!query.exec(QStringLiteral("PRAGMA auto_vacuum=full")))
        qCWarning(lcStorage) << "Failed to set auto_vacuum:" << query.lastError().text();
    // A new file takes the mode at once; a file made without it only through a VACUUM, which
    // rewrites the whole file and so runs once, not at every open.
    const bool vacuuming = query.exec(QStringLiteral("PRAGMA auto_vacuum")) && query.next()
            && query.value(0).toInt() != 1;
    query.finish();
    if (vacuuming && !query.exec(QStringLiteral("VACUUM"))) {
        if (isDamage(query.lastError()))
            return Opening::Damaged;
        qCWarning(lcStorage) << "Failed to vacuum the database:" << query.lastError().text();
    }
    // The write-ahead log and its index exist by now.
    restrictFilePermissions();

    // Ids are never used twice in one file, even once the table has emptied: several
    // processes may share the cache, and an id must never name a row its sender did not send.
    if (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY "
                                   "AUTOINCREMENT, data BLOB, form INTEGER)"))) {
        qCWarning(lcStorage) << "Failed to create events table:" << query.lastError().text();
        return Opening::Failed;
    }
    if (!useLastingIds())
        return Opening::Failed;
    if (!query.exec(QStringLiteral(
                "CREATE TABLE IF NOT EXISTS configuration(item TEXT UNIQUE, value BLOB)"))) {
        qCWarning(lcStorage) << "Failed to create config table:" << query.lastError().text();
        return Opening::Failed;
    }
    query.prepare(QStringLiteral("REPLACE INTO configuration VALUES('compression', ?)"));
    query.addBindValue(QString::fromLatin1(SentrelCodec::name(form)));
    if (!query.exec())
        qCWarning(lcStorage) << "Failed to store compression configuration:"
                             << query.lastError().text();
    if (!query.exec(QStringLiteral("DROP TRIGGER IF EXISTS events_cleanup"))) {
        qCWarning(lcStorage) << "Failed to drop events table cleanup trigger:"
                             << query.lastError().text();
        return Opening::Failed;
    }
    if (sizeLimit > 0) {
        // Keeps the sizeLimit newest ids. Ids grow by one per insert and are removed oldest
        // first, so this bound costs one index lookup, where selecting the newest sizeLimit
        // ids on every insert cost milliseconds with a limit of ten thousand.
        const QString trigger = QStringLiteral("CREATE TRIGGER events_cleanup AFTER INSERT ON "
                                               "events BEGIN DELETE FROM events WHERE id <= "
                                               "NEW.id - %1; END")
                                        .arg(QString::number(sizeLimit, 10));
        if (!query.exec(trigger)) {
            qCWarning(lcStorage) << "Failed to create events table cleanup trigger:"
                                 << query.lastError().text();
            return Opening::Failed;
        }
    }
    // Deleted events are overwritten, not only unlinked, so that cleared and delivered events
    // cannot be read from free space. FAST leaves the pages that go to the free list as they
    // are: with auto_vacuum=full those are cut off the file at each commit anyway.
    if (!query.exec(QStringLiteral("PRAGMA secure_delete=FAST")))
        qCWarning(lcStorage) << "Failed to set secure_delete:" << query.lastError().text();
    codec.loadDictionaries(database);
    if (form != SentrelCodec::Plain && !needsDictionary())
        qCDebug(lcStorage) << (form == SentrelCodec::Zlib ? "Zlib dictionary loaded"
                                                          : "Zstd dictionary loaded");
    if (!keepRowForms())
        return Opening::Failed;
    followOtherConnections(); // from here on
    insertQuery = QSqlQuery(database);
    if (!insertQuery.prepare(QStringLiteral("INSERT INTO events(data, form) VALUES(?, ?)"))) {
        qCWarning(lcStorage) << "Failed to prepare the event insert:"
                             << insertQuery.lastError().text();
        return Opening::Failed;
    }
    return Opening::Opened;
}

// A database that another program made: its tables are not ours to add to or to send.
bool QSQLiteStorage::isForeign()
{
    if (!query.exec(QStringLiteral("SELECT name, type FROM sqlite_master WHERE type IN "
                                   "('table', 'view') AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'")))
        return false;
    QHash<QString, QString> kinds;
    while (query.next())
        kinds.insert(query.value(0).toString(), query.value(1).toString());
    query.finish();
    const auto hasColumns = [this](const QString &table, const QStringList &wanted) {
        QStringList found;
        if (query.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table))) {
            while (query.next())
                found.append(query.value(1).toString());
        }
        query.finish();
        return std::all_of(wanted.begin(), wanted.end(), [&](const QString &column) {
            return found.contains(column, Qt::CaseInsensitive);
        });
    };
    const QString events = QStringLiteral("events");
    const QString configuration = QStringLiteral("configuration");
    if (!kinds.contains(events)) {
        // Nothing, or what an interrupted first open of ours left.
        for (auto it = kinds.cbegin(); it != kinds.cend(); ++it) {
            if (it.key() != configuration && it.key() != QLatin1String("events_lasting"))
                return true;
        }
    } else if (kinds.value(events) != QLatin1String("table")
               || !hasColumns(events, {QStringLiteral("id"), QStringLiteral("data")})) {
        return true;
    }
    return kinds.contains(configuration)
            && (kinds.value(configuration) != QLatin1String("table")
                || !hasColumns(configuration, {QStringLiteral("item"), QStringLiteral("value")}));
}

// The damaged file stays for inspection under a name of its own, its log and index with it:
// left at the path, they would be taken for the new file's.
bool QSQLiteStorage::setAside(bool salvageRows, const QSet<quint64> &skip)
{
    closeConnection();
    const QString stamp =
            QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddThhmmssZ"));
    QString aside = path + QLatin1String(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(aside) || QFileInfo(aside).isSymLink(); ++n)
        aside = path + QLatin1String(".damaged-") + stamp + QLatin1Char('-') + QString::number(n);
    if (!QDir().rename(path, aside)) {
        qCWarning(lcStorage) << "Failed to set the damaged storage aside:" << path;
        return false;
    }
    for (const QLatin1String suffix : companions) {
        const QString sideFile = path + suffix;
        if (QFileInfo::exists(sideFile) && !QDir().rename(sideFile, aside + suffix)
            && !QFile::remove(sideFile))
            qCWarning(lcStorage) << "Failed to set the damaged storage aside:" << sideFile;
    }
    const bool opened = openFile() == Opening::Opened;
    const qsizetype saved = opened && salvageRows ? salvage(aside, skip) : 0;
    qCWarning(lcStorage) << "Damaged storage set aside as" << aside
                         << "events saved from it:" << saved;
    return opened;
}

// Reads the damaged file row by row in id order, steps over what cannot be read, and keeps the
// events that still decode under their own ids: a batch on its way still names its rows. The
// reader is a read-only store of its own, on this store's thread (the worker's).
qsizetype QSQLiteStorage::salvage(const QString &damaged, const QSet<quint64> &skip)
{
    QSQLiteStorage old(damaged, 0, form);
    if (!old.openReadOnly())
        return 0;
    QSqlQuery &reader = old.query;
    // Reads a file shorter than its header says, as a cut-off copy is, instead of refusing it
    // whole; the connection is read-only, so the schema cannot be changed through it.
    reader.exec(QStringLiteral("PRAGMA writable_schema=ON"));
    if (reader.exec(QStringLiteral("SELECT seq FROM sqlite_sequence WHERE name = 'events'"))
        && reader.next())
        highestId = std::max(highestId, reader.value(0).toULongLong());
    reader.finish();

    using ReadRow = QPair<qint64, QByteArray>;
    // Whether the rows after an id could be read to the end of the limit or of the table.
    const auto readAfter = [&reader](qint64 after, qint64 limit, QList<ReadRow> *rows) {
        reader.prepare(
                QStringLiteral("SELECT id, data FROM events WHERE id > ? ORDER BY id LIMIT ?"));
        reader.addBindValue(after);
        reader.addBindValue(limit);
        if (!reader.exec())
            return false;
        while (reader.next())
            rows->append(qMakePair(reader.value(0).toLongLong(), reader.value(1).toByteArray()));
        const bool complete = !reader.lastError().isValid();
        reader.finish();
        return complete;
    };
    // The id after which rows can be read again: doubling steps over the damage, then halving
    // back to its end.
    const auto pastDamage = [&readAfter](qint64 after) -> std::optional<qint64> {
        QList<ReadRow> ignored;
        qint64 step = 1;
        while (!readAfter(after + step, 1, &ignored)) {
            if (step > (std::numeric_limits<qint64>::max() - after) / 4)
                return std::nullopt;
            step *= 2;
        }
        qint64 bad = after + step / 2;
        qint64 good = after + step;
        while (good - bad > 1) {
            const qint64 middle = bad + (good - bad) / 2;
            (readAfter(middle, 1, &ignored) ? good : bad) = middle;
        }
        return good;
    };

    QSqlQuery writer(database);
    writer.prepare(QStringLiteral("INSERT INTO events(id, data, form) VALUES(?, ?, ?)"));
    query.exec(QStringLiteral("BEGIN IMMEDIATE"));
    constexpr qint64 chunk = 256;
    qint64 last = 0;
    for (;;) {
        QList<ReadRow> rows;
        const bool complete = readAfter(last, chunk, &rows);
        for (const ReadRow &row : std::as_const(rows)) {
            last = row.first;
            highestId = std::max(highestId, quint64(last));
            if (skip.contains(quint64(last)))
                continue;
            const QByteArray event = old.codec.decode(row.second);
            if (!QJsonDocument::fromJson(event).isObject())
                continue;
            const SentrelCodec::Stored stored = codec.encode(form, event);
            writer.bindValue(0, last);
            writer.bindValue(1, stored.bytes);
            writer.bindValue(2, int(stored.form));
            writer.exec();
        }
        if (complete && rows.size() < chunk)
            break;
        if (!complete) {
            const std::optional<qint64> next = pastDamage(last);
            if (!next)
                break;
            last = *next;
        }
    }
    writer = QSqlQuery();
    // Ids the damaged file gave out, and lost, are never given again either.
    query.exec(QStringLiteral("DELETE FROM sqlite_sequence WHERE name = 'events'"));
    query.prepare(QStringLiteral("INSERT INTO sqlite_sequence(name, seq) VALUES('events', ?)"));
    query.addBindValue(qint64(highestId));
    query.exec();
    if (!query.exec(QStringLiteral("COMMIT"))) {
        qCWarning(lcStorage) << "Failed to write to storage:" << query.lastError().text();
        query.exec(QStringLiteral("ROLLBACK"));
    }
    return qsizetype(size());
}

// For a reader beside the worker or instead of it: nothing of the file may change, not even
// its companions. A file without its write-ahead log is complete in itself and opened as
// immutable, which takes no lock and makes no side file; with a log, another connection has
// it open, and a read-only connection reads the log through the side files that exist.
bool QSQLiteStorage::openReadOnly()
{
    SENTREL_ASSERT_THREAD(this);
    if (!isFilePath(path) || !QFileInfo(path).isFile())
        return false;
    connectionName = QStringLiteral("storage-reader-%1").arg(quintptr(this), 0, 16);
    database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    registeredConnection = true;
    if (!database.isValid()) {
        qCWarning(lcStorage) << "Failed to open sqlite connection";
        return false;
    }
    QUrl uri = QUrl::fromLocalFile(path);
    uri.setQuery(QFileInfo::exists(path + QLatin1String("-wal")) ? QStringLiteral("mode=ro")
                                                                 : QStringLiteral("immutable=1"));
    // The reader may be the application's thread: it must not wait long for a writer.
    database.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=100"));
    database.setDatabaseName(uri.toString(QUrl::FullyEncoded));
    if (!database.open()) {
        qCWarning(lcStorage) << "Failed to open the storage at" << path;
        return false;
    }
    query = QSqlQuery(database);
    query.setForwardOnly(true);
    codec.loadDictionaries(database);
    rowsKeepForm = hasFormColumn();
    return true;
}

// Files made before ids lasted reuse them once the table is empty: their rows move to a table
// that does not, in one transaction, which another process may have done first.
bool QSQLiteStorage::useLastingIds()
{
    const auto lasting = [this] {
        return query.exec(QStringLiteral("SELECT sql FROM sqlite_master WHERE type = 'table' "
                                         "AND name = 'events'"))
                && query.next()
                && query.value(0).toString().contains(QLatin1String("AUTOINCREMENT"),
                                                      Qt::CaseInsensitive);
    };
    const bool already = lasting();
    query.finish();
    if (already)
        return true;
    const QStringList steps {
            QStringLiteral("CREATE TABLE events_lasting(id INTEGER PRIMARY KEY AUTOINCREMENT, "
                           "data BLOB)"),
            QStringLiteral("INSERT INTO events_lasting(id, data) SELECT id, data FROM events"),
            QStringLiteral("DROP TABLE events"),
            QStringLiteral("ALTER TABLE events_lasting RENAME TO events")};
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        qCWarning(lcStorage) << "Failed to convert the events table:" << query.lastError().text();
        return false;
    }
    bool done = lasting();
    query.finish();
    for (qsizetype i = 0; !done && i < steps.size(); ++i) {
        if (!query.exec(steps.at(i))) {
            qCWarning(lcStorage) << "Failed to convert the events table:"
                                 << query.lastError().text();
            query.exec(QStringLiteral("ROLLBACK"));
            return false;
        }
        done = i + 1 == steps.size();
    }
    if (!query.exec(QStringLiteral("COMMIT"))) {
        qCWarning(lcStorage) << "Failed to convert the events table:" << query.lastError().text();
        query.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return true;
}

bool QSQLiteStorage::hasFormColumn()
{
    const bool found =
            query.exec(QStringLiteral(
                    "SELECT COUNT(*) FROM pragma_table_info('events') WHERE name = 'form'"))
            && query.next() && query.value(0).toInt() > 0;
    query.finish();
    return found;
}

// Files made before each row kept its form get the column, and every row's form told from its
// bytes once, in one transaction, which another process may have done first. Rows that a
// process of an earlier version adds later have none, and are told apart as they are read.
bool QSQLiteStorage::keepRowForms()
{
    rowsKeepForm = hasFormColumn();
    if (rowsKeepForm)
        return true;
    const auto failed = [this](const QSqlQuery &step) {
        qCWarning(lcStorage) << "Failed to convert the events table:" << step.lastError().text();
        query.exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return failed(query);
    if (!hasFormColumn()) {
        if (!query.exec(QStringLiteral("ALTER TABLE events ADD COLUMN form INTEGER")))
            return failed(query);
        QList<QPair<qint64, int>> forms;
        if (!query.exec(QStringLiteral("SELECT id, data FROM events")))
            return failed(query);
        while (query.next())
            forms.append(
                    {query.value(0).toLongLong(), int(codec.formOf(query.value(1).toByteArray()))});
        query.finish();
        QSqlQuery update(database);
        update.prepare(QStringLiteral("UPDATE events SET form = ? WHERE id = ?"));
        for (const auto &[id, form] : std::as_const(forms)) {
            update.bindValue(0, form);
            update.bindValue(1, id);
            if (!update.exec())
                return failed(update);
        }
    }
    if (!query.exec(QStringLiteral("COMMIT")))
        return failed(query);
    rowsKeepForm = true;
    return true;
}

// Made from the events as they were added, whichever store type wrote them.
void QSQLiteStorage::trainDictionary()
{
    QList<QByteArray> events;
    if (form == SentrelCodec::Zlib) {
        // Eight events of any age, read as any row is: another store type may have written them.
        query.prepare(QStringLiteral("SELECT data FROM events ORDER BY RANDOM() LIMIT ?"));
        query.addBindValue(qint64(SentrelCodec::zlibSamples));
        if (!query.exec()) {
            qCWarning(lcStorage) << "Failed to get zlib dictionary samples:"
                                 << query.lastError().text();
            return;
        }
        while (query.next())
            events.append(codec.decode(query.value(0).toByteArray()));
        query.finish();
    } else {
        for (const auto &event : get(SentrelCodec::trainingEvents, 0))
            events.append(event.second);
    }
    const std::optional<QByteArray> dictionary = codec.train(form, events);
    if (!dictionary)
        return;
    query.prepare(QStringLiteral("INSERT INTO configuration VALUES('%1_dictionary', ?)")
                          .arg(QLatin1String(SentrelCodec::name(form))));
    query.addBindValue(*dictionary);
    if (!query.exec()) {
        qCWarning(lcStorage) << (form == SentrelCodec::Zlib ? "Failed to store zlib dictionary:"
                                                            : "Failed to store Zstd dictionary:")
                             << query.lastError().text();
        return;
    }
    codec.setDictionary(form, *dictionary);
}

bool QSQLiteStorage::execInsert(const Row &stored)
{
    // A null array would be bound as NULL; an empty event is an empty BLOB.
    insertQuery.bindValue(0, stored.bytes.isNull() ? QByteArray("", 0) : stored.bytes);
    insertQuery.bindValue(1, int(stored.form));
    return insertQuery.exec();
}

bool QSQLiteStorage::insert(const Row &stored)
{
    if (!execInsert(stored)) {
        if (keepWhileLocked({stored}, insertQuery.lastError()))
            return true;
        writeFailed("Failed to write to storage:", insertQuery.lastError(), 1);
        return false;
    }
    writeSucceeded();
    return true;
}

bool QSQLiteStorage::keepWhileLocked(const QList<Row> &rows, const QSqlError &error)
{
    if (!lockedOut) {
        if (!isLocked(error))
            return false;
        qCWarning(lcStorage) << "The storage is locked by another connection, events wait in "
                                "memory until it is free:"
                             << error.text();
        lockedOut = true;
    }
    for (const Row &row : rows) {
        if (lockedOutBytes + row.bytes.size() > maximumLockedOutBytes) {
            ++lockedOutLost;
            continue;
        }
        lockedOutRows.append(row);
        lockedOutBytes += row.bytes.size();
    }
    if (!lockedOutRetry.hasExpired())
        return true;
    lockedOutDelay = std::clamp(lockedOutDelay * 2, 250, longestLockedOutDelay);
    lockedOutRetry = QDeadlineTimer(lockedOutDelay);
    return true;
}

qint64 QSQLiteStorage::waitingRetryIn() const
{
    SENTREL_ASSERT_THREAD(this);
    return lockedOut ? lockedOutRetry.remainingTime() : -1;
}

bool QSQLiteStorage::writeLockedOut(bool force)
{
    if (!lockedOut)
        return true;
    if (!force && !lockedOutRetry.hasExpired())
        return false;
    lockedOutRetry = QDeadlineTimer(); // expired: the failure below schedules the next try
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        keepWhileLocked({}, query.lastError());
        return false;
    }
    for (const Row &row : std::as_const(lockedOutRows)) {
        if (!execInsert(row)) {
            const QSqlError error = insertQuery.lastError();
            query.exec(QStringLiteral("ROLLBACK"));
            keepWhileLocked({}, error);
            return false;
        }
    }
    if (!query.exec(QStringLiteral("COMMIT"))) {
        const QSqlError error = query.lastError();
        query.exec(QStringLiteral("ROLLBACK"));
        keepWhileLocked({}, error);
        return false;
    }
    qCWarning(lcStorage) << "The storage is free again; events kept in memory:"
                         << lockedOutRows.size() << "lost:" << lockedOutLost;
    lockedOut = false;
    lockedOutRows.clear();
    lockedOutBytes = 0;
    lockedOutLost = 0;
    lockedOutDelay = 0;
    return true;
}

void QSQLiteStorage::writeFailed(const char *message, const QSqlError &error, qsizetype events)
{
    if (lostWhileFailing < 0) {
        qCWarning(lcStorage) << message << error.text();
        lostWhileFailing = 0;
    }
    lostWhileFailing += events;
}

void QSQLiteStorage::writeSucceeded()
{
    if (lostWhileFailing < 0)
        return;
    qCWarning(lcStorage) << "Writing to storage again; events lost while it failed:"
                         << std::exchange(lostWhileFailing, -1);
}

// Outside a batch; returns whether the last row was stored.
bool QSQLiteStorage::insertEach(const QList<Row> &rows)
{
    bool stored = false;
    for (const Row &row : rows)
        stored = insert(row);
    return stored;
}

bool QSQLiteStorage::add(const QByteArray &data)
{
    SENTREL_ASSERT_THREAD(this);
    if (!batchOpen)
        followOtherConnections();
    // The dictionary row must never be rolled back with a batch whose events it compressed.
    if (needsDictionary() && size() >= quint64(SentrelCodec::trainingEvents)) {
        outsideBatch([this] {
            trainDictionary();
            return true;
        });
    }
    const Row stored = codec.encode(form, data);
    if (!batchOpen && lockedOut && !writeLockedOut())
        return keepWhileLocked({stored}, {});
    if (!batchOpen) {
        if (!insert(stored))
            return false;
        qCDebug(lcStorage) << "Added event";
        return true;
    }
    batchRows.append(stored);
    if (execInsert(stored))
        return true;
    // A failed statement may have rolled back the whole batch (a full disk does): write its
    // events one by one instead, each failure logged.
    const QSqlError error = insertQuery.lastError();
    batchOpen = false;
    query.exec(QStringLiteral("ROLLBACK"));
    const QList<Row> rows = std::exchange(batchRows, {});
    return keepWhileLocked(rows, error) || insertEach(rows);
}

bool QSQLiteStorage::transaction()
{
    SENTREL_ASSERT_THREAD(this);
    if (batchOpen)
        return true;
    if (!writeLockedOut())
        return false; // the batch's events wait behind those in memory
    // Takes the write lock now: a read that turns into a write later in the batch could be
    // refused without waiting when another connection has written in between.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        if (keepWhileLocked({}, query.lastError()))
            return false;
        qCWarning(lcStorage) << "Failed to begin a batch of events:" << query.lastError().text();
        return false;
    }
    batchOpen = true;
    followOtherConnections(); // under the write lock: nobody changes them until the commit
    return true;
}

bool QSQLiteStorage::commit()
{
    SENTREL_ASSERT_THREAD(this);
    if (!batchOpen)
        return true;
    batchOpen = false;
    const QList<Row> rows = std::exchange(batchRows, {});
    if (query.exec(QStringLiteral("COMMIT"))) {
        if (!rows.isEmpty()) {
            qCDebug(lcStorage) << "Added" << rows.size() << "events";
            writeSucceeded();
        }
        return true;
    }
    // Each of its events is tried on its own next, and counted there if it fails as well.
    const QSqlError error = query.lastError();
    query.exec(QStringLiteral("ROLLBACK"));
    if (keepWhileLocked(rows, error))
        return true;
    if (lostWhileFailing < 0)
        qCWarning(lcStorage) << "Failed to commit a batch of events:" << error.text();
    return insertEach(rows) || rows.isEmpty();
}

bool QSQLiteStorage::remove(quint64 id)
{
    SENTREL_ASSERT_THREAD(this);
    return outsideBatch([&] {
        query.prepare(QStringLiteral("DELETE FROM events WHERE id = ?"));
        query.addBindValue(QVariant::fromValue<quint64>(id));
        if (!query.exec() && !(isDamage(query.lastError()) && setAside(true, {id}))) {
            qCWarning(lcStorage) << "Failed to remove event:" << query.lastError().text();
            return false;
        }
        qCDebug(lcStorage) << "Removed event";
        return true;
    });
}

bool QSQLiteStorage::remove(const QSet<quint64> &ids)
{
    SENTREL_ASSERT_THREAD(this);
    QStringList list;
    list.reserve(ids.size());
    for (const quint64 id : ids)
        list.append(QString::number(qulonglong(id), 10));
    return outsideBatch([&] {
        if (!query.exec(QStringLiteral("DELETE FROM events WHERE id IN (%1)")
                                .arg(list.join(QLatin1Char(','))))
            && !(isDamage(query.lastError()) && setAside(true, ids))) {
            qCWarning(lcStorage) << "Failed to remove events:" << query.lastError().text();
            return false;
        }
        qCDebug(lcStorage) << "Removed" << ids.size() << "events";
        return true;
    });
}

bool QSQLiteStorage::removeAll()
{
    SENTREL_ASSERT_THREAD(this);
    return outsideBatch([&] {
        // The rows and the dictionaries they were made with go together: another process
        // must not add a row in between with a dictionary about to go.
        if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
            qCWarning(lcStorage) << "Failed to remove events:" << query.lastError().text();
            return false;
        }
        if (!query.exec(QStringLiteral("DELETE FROM events"))) {
            const bool damaged = isDamage(query.lastError());
            if (!damaged)
                qCWarning(lcStorage) << "Failed to remove events:" << query.lastError().text();
            query.exec(QStringLiteral("ROLLBACK"));
            // Nothing of a damaged file is to be kept.
            if (!damaged || !setAside(false))
                return false;
            qCDebug(lcStorage) << "Removed all events";
            return true;
        }
        dropDictionaries();
        if (!query.exec(QStringLiteral("COMMIT"))) {
            qCWarning(lcStorage) << "Failed to remove events:" << query.lastError().text();
            query.exec(QStringLiteral("ROLLBACK"));
            return false;
        }
        qCDebug(lcStorage) << "Removed all events";
        checkpoint();
        return true;
    });
}

// The dictionaries are made of events, so they go with them.
void QSQLiteStorage::dropDictionaries()
{
    if (!query.exec(QStringLiteral("DELETE FROM configuration WHERE item IN "
                                   "('zlib_dictionary', 'zstd_dictionary')"))) {
        qCWarning(lcStorage) << "Failed to remove the dictionaries:" << query.lastError().text();
        return;
    }
    codec.loadDictionaries(database);
}

// Several processes may share the file: before a store compresses, it takes the dictionaries
// the file holds now, so that no row is ever made with one another process has dropped or
// replaced. One pragma per batch when nothing changed.
void QSQLiteStorage::followOtherConnections()
{
    if (!query.exec(QStringLiteral("PRAGMA data_version")) || !query.next())
        return;
    const qint64 version = query.value(0).toLongLong();
    query.finish();
    if (version == dataVersion)
        return;
    const bool first = dataVersion < 0;
    dataVersion = version;
    if (!first) // open() has just read them
        codec.loadDictionaries(database);
}

// Copies the write-ahead log, which still holds the deleted events' pages, into the file and
// empties it. Another connection that is reading keeps it from being emptied until it is done.
void QSQLiteStorage::checkpoint(bool quiet)
{
    if (!query.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"))) {
        qCWarning(lcStorage) << "Failed to checkpoint the storage:" << query.lastError().text();
        return;
    }
    const bool busy = query.next() && query.value(0).toInt() != 0;
    query.finish();
    if (busy && quiet)
        qCDebug(lcStorage) << "Failed to checkpoint the storage: another connection is reading";
    else if (busy)
        qCWarning(lcStorage) << "Failed to checkpoint the storage: another connection is reading";
}

// Delivered rows were overwritten in the file (secure_delete) but their pages are still in the
// write-ahead log until it is emptied. Outside a batch only: a checkpoint cannot run inside a
// transaction.
void QSQLiteStorage::scrub()
{
    SENTREL_ASSERT_THREAD(this);
    outsideBatch([&] {
        checkpoint(true);
        return true;
    });
}

QList<QPair<quint64, QByteArray>> QSQLiteStorage::get(qint64 limit, qint64 offset)
{
    return read(QStringLiteral("ORDER BY id ASC LIMIT ? OFFSET ?"), {limit, offset});
}

QList<QPair<quint64, QByteArray>>
QSQLiteStorage::oldest(qint64 maximumBytes, qint64 limit, const QSet<quint64> &notCounted)
{
    return read(QStringLiteral("ORDER BY id ASC LIMIT ?"), {limit}, maximumBytes, notCounted);
}

QList<QPair<quint64, QByteArray>> QSQLiteStorage::newest()
{
    return read(QStringLiteral("ORDER BY id DESC LIMIT 1"), {});
}

QList<QPair<quint64, QByteArray>> QSQLiteStorage::read(const QString &order,
                                                       const QVariantList &values,
                                                       qint64 maximumBytes,
                                                       const QSet<quint64> &notCounted)
{
    SENTREL_ASSERT_THREAD(this);
    QList<QPair<quint64, QByteArray>> events;
    const auto read = [&] {
        events.clear();
        query.prepare((rowsKeepForm ? QStringLiteral("SELECT id, data, form FROM events ")
                                    : QStringLiteral("SELECT id, data FROM events "))
                      + order);
        for (const QVariant &value : values)
            query.addBindValue(value);
        if (!query.exec())
            return false;
        qint64 bytes = 0;
        while (query.next()) {
            const quint64 id = query.value(0).toULongLong();
            highestId = std::max(highestId, id);
            const QByteArray stored = query.value(1).toByteArray();
            // Rows written by an earlier version of the library have no form.
            const QVariant kept = rowsKeepForm ? query.value(2) : QVariant();
            const int form = kept.isNull() ? -1 : kept.toInt();
            QByteArray event = form >= SentrelCodec::Plain && form <= SentrelCodec::Zstd
                    ? codec.decode(stored, SentrelCodec::Form(form))
                    : codec.decode(stored);
            if (!notCounted.contains(id))
                bytes += event.size();
            events.append(qMakePair(id, std::move(event)));
            if (maximumBytes >= 0 && bytes >= maximumBytes)
                break;
        }
        // A row that cannot be stepped to fails the read, not only the first one.
        const bool complete = !query.lastError().isValid();
        query.finish();
        return complete;
    };
    lastReadFailed = !read()
            && !(isDamage(query.lastError()) && outsideBatch([this] {
                     return setAside(true);
                 })
                 && read());
    if (lastReadFailed) {
        qCWarning(lcStorage) << "Failed to read from storage:" << query.lastError().text();
        events.clear();
    }
    return events;
}

qint64 QSQLiteStorage::removeBeyondBytes(qint64 maximumBytes)
{
    SENTREL_ASSERT_THREAD(this);
    return outsideBatch([&]() -> qint64 {
        // The newest row that no longer fits, counting from the newest: it and all older go.
        query.prepare(QStringLiteral(
                "DELETE FROM events WHERE id <= (SELECT id FROM (SELECT id, SUM(length(data)) "
                "OVER (ORDER BY id DESC) AS total FROM events) WHERE total > ? ORDER BY id DESC "
                "LIMIT 1)"));
        query.addBindValue(maximumBytes);
        if (!query.exec()) {
            qCWarning(lcStorage) << "Failed to remove events beyond the storage's bytes:"
                                 << query.lastError().text();
            return -1;
        }
        return query.numRowsAffected();
    });
}

quint64 QSQLiteStorage::size()
{
    SENTREL_ASSERT_THREAD(this);
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM events")) || !query.next()) {
        qCWarning(lcStorage) << "Failed to get storage size:" << query.lastError().text();
        return 0;
    }
    const quint64 count = query.value(0).toULongLong();
    // An unfinished statement would hold a read transaction open and keep the log from being
    // checkpointed.
    query.finish();
    return count;
}
