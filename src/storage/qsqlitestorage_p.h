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

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

// The event cache in an SQLite file, events kept as they are added; the compressing stores
// keep them in their codec's form. Every store reads the rows of every store type, with the
// dictionaries that the file keeps.
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
    quint64 size() override;
    bool transaction() override;
    bool commit() override;
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
    void trainDictionary();
    void restrictFilePermissions() const;
    void dropDictionaries();
    // Empties the write-ahead log; quiet, another connection that is reading is only logged
    // at debug level.
    void checkpoint(bool quiet = false);
    bool useLastingIds();
    void followOtherConnections();
    bool execInsert(const QByteArray &stored);
    bool insert(const QByteArray &stored); // logs a failure
    // A full disk is a passing state: while writes fail the first failure is logged and the
    // events lost are counted, and the count is logged once a write succeeds again.
    void writeFailed(const char *message, const QSqlError &error, qsizetype events);
    void writeSucceeded();
    bool insertEach(const QList<QByteArray> &rows);

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
    QList<QByteArray> batchRows; // added since the batch began, as stored
    qint64 lostWhileFailing = -1; // events lost since writes began to fail; -1 while they work
    qint64 dataVersion = -1; // of the file, as this connection last saw it
};

#endif // QSQLITESTORAGE_P_H
