// SPDX-License-Identifier: MIT
#ifndef QSQLITESTORAGE_P_H
#define QSQLITESTORAGE_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "qsentrelstorage_p.h"
#include "sentrelcodec_p.h"

#include <QDeadlineTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

// The event cache in an SQLite file, events kept as they are added; the compressing stores
// keep them in their codec's form. Every store reads the rows of every store type, with the
// dictionaries that the file keeps.
//
// A file that turns out damaged (at open, or when a read, a write or a removal fails with a
// corruption error), or that is not a cache of ours, is renamed aside with its companions
// ("<file>.damaged-<UTC time>"), never deleted; the store goes on with a new file holding the
// events it could still read from the old one, under their ids.
//
// Uses the process-wide SQL connection "storage", so at most one store may be open at a time:
// destroy the old store before opening a new one; a store opened read-only has a connection
// of its own. Created, used and destroyed on one thread (the reporter's worker thread, or the
// application's for a read-only one); owned by whoever created it.
class QSqlError;

class SENTREL_AUTOTEST_EXPORT QSQLiteStorage : public QSentrelStorage
{
    Q_OBJECT

public:
    QSQLiteStorage(const QString &path, int size) : QSQLiteStorage(path, size, SentrelCodec::Plain)
    { }
    ~QSQLiteStorage() override;

    bool open() override;
    bool openReadOnly() override;
    bool add(const QByteArray &data) override;
    bool remove(quint64 id) override;
    bool remove(const QSet<quint64> &ids) override;
    bool removeAll() override;
    QList<QPair<quint64, QByteArray>> get(qint64 limit, qint64 offset) override;
    QList<QPair<quint64, QByteArray>>
    oldest(qint64 maximumBytes, qint64 limit, const QSet<quint64> &notCounted) override;
    QList<QPair<quint64, QByteArray>> newest() override;
    qint64 removeBeyondBytes(qint64 maximumBytes) override;
    quint64 size() override;
    bool readFailed() const override { return lastReadFailed; }
    bool transaction() override;
    bool commit() override;
    qint64 waitingRetryIn() const override;
    void writeWaiting() override { writeLockedOut(); }
    void scrub() override;

protected:
    // A store that keeps its events in form.
    QSQLiteStorage(const QString &path, int size, SentrelCodec::Form form);

private:
    // Runs work with the open batch committed first and a new one begun after: for writes that
    // must never be rolled back together with the batch's events.
    template <typename Work>
    auto outsideBatch(Work work)
    {
        const bool batched = batchOpen;
        commit();
        const auto result = work();
        if (batched)
            transaction();
        return result;
    }

    // While a compressing store has no dictionary, add() makes one, once the file holds 100
    // events, from the file's events, and keeps it in the file.
    bool needsDictionary() const
    {
        return form != SentrelCodec::Plain && codec.dictionary(form).isNull();
    }
    enum class Opening {
        Opened,
        Failed,
        Damaged, // the file cannot be read as a database
        Foreign, // a database, but not a cache
    };
    Opening openFile();
    bool isForeign();
    void closeConnection();
    // Moves the file aside and opens a new one; with salvageRows it saves into it what the old
    // one still yields, but the rows of skip. False when no new file could be opened.
    bool setAside(bool salvageRows, const QSet<quint64> &skip = {});
    qsizetype salvage(const QString &damaged, const QSet<quint64> &skip);
    void trainDictionary();
    void restrictFilePermissions() const;
    void dropDictionaries();
    // Empties the write-ahead log; quiet, another connection that is reading is only logged
    // at debug level.
    void checkpoint(bool quiet = false);
    bool useLastingIds();
    bool hasFormColumn();
    bool keepRowForms();
    // The rows in order, decoded; with maximumBytes, no more once the events read, but those
    // of notCounted, have that many bytes.
    QList<QPair<quint64, QByteArray>> read(const QString &order,
                                           const QVariantList &values,
                                           qint64 maximumBytes = -1,
                                           const QSet<quint64> &notCounted = {});
    void followOtherConnections();
    using Row = SentrelCodec::Stored;
    bool execInsert(const Row &stored);
    bool insert(const Row &stored); // logs a failure
    // A full disk is a passing state: while writes fail the first failure is logged and the
    // events lost are counted, and the count is logged once a write succeeds again.
    void writeFailed(const char *message, const QSqlError &error, qsizetype events);
    void writeSucceeded();
    bool insertEach(const QList<Row> &rows);
    // Another connection holding the write lock (another process, a tool) never holds this
    // thread for long: a statement waits busyTimeout for it, then the rows wait in memory,
    // within maximumLockedOutBytes, and are written once the lock is free.
    bool keepWhileLocked(const QList<Row> &rows, const QSqlError &error);
    // Writes what waits in memory once its retry is due (now, with force); whether none waits.
    bool writeLockedOut(bool force = false);

    const SentrelCodec::Form form;
    SentrelCodec codec; // with the dictionaries kept in the file
    QString path;
    QString connectionName = QStringLiteral("storage");
    int sizeLimit; // events kept at most; 0 or less: no limit
    QSqlDatabase database;
    QSqlQuery query; // reused by every statement but the insert; operations must not interleave
    QSqlQuery insertQuery; // prepared once by open()
    bool registeredConnection = false;
    bool batchOpen = false;
    QList<Row> batchRows; // added since the batch began, as stored
    qint64 lostWhileFailing = -1; // events lost since writes began to fail; -1 while they work
    bool lockedOut = false; // writes wait in memory for another connection's lock
    QList<Row> lockedOutRows; // as stored, oldest first
    qint64 lockedOutBytes = 0;
    qint64 lockedOutLost = 0; // beyond the bound
    QDeadlineTimer lockedOutRetry; // expired: a retry is due, or none is pending
    int lockedOutDelay = 0; // milliseconds, doubled on each failed retry
    qint64 dataVersion = -1; // of the file, as this connection last saw it
    quint64 highestId = 0; // handed out by get(); a new file never gives it again
    bool lastReadFailed = false;
    bool rowsKeepForm = false; // the events table has the form column
};

#endif // QSQLITESTORAGE_P_H
