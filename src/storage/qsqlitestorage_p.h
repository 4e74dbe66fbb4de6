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
#include "sentrelrowdecoder_p.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <optional>

// The event cache in an SQLite file, events kept as they are added. Base of the compressing
// stores, which override open() and compress(). Every store reads the rows of every store
// type, with the dictionaries that the file keeps.
//
// Uses the process-wide SQL connection "storage", so at most one store may be open at a time:
// destroy the old store before opening a new one. Created, used and destroyed on one thread
// (the reporter's worker thread); owned by whoever created it (the reporter).
class SENTREL_AUTOTEST_EXPORT QSQLiteStorage : public QSentrelStorage
{
    Q_OBJECT

public:
    QSQLiteStorage(const QString &path, int size);
    ~QSQLiteStorage() override;

    bool open() override;
    bool add(const QByteArray &data) override;
    bool remove(quint64 id) override;
    bool remove(const QSet<quint64> &ids) override;
    bool removeAll() override;
    QList<QPair<quint64, QByteArray>> get(qint64 limit, qint64 offset) override;
    quint64 size() override;
    bool transaction() override;
    bool commit() override;

    // An event as it is stored, and back. Each returns data unchanged when it cannot be
    // transformed, so such an event is stored, or read back, as it is.
    virtual QByteArray compress(const QByteArray &data) { return data; }
    QByteArray decompress(const QByteArray &data) const { return decoder.decode(data); }
    // Makes the dictionary of a compressing store from the file's events and keeps it in the
    // file; on success clears needsDictionary.
    virtual void trainDictionary() { }

protected:
    // Records the compression in the configuration table and returns the stored
    // "<compression>_dictionary", if there is one.
    std::optional<QByteArray> useCompression(const QString &compression);

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

    // The file's dictionaries are not what they were (this store or another process cleared
    // the cache, or another process trained one), and the decoder holds the file's now: a
    // compressing store compresses with its own from now on, or without one until it makes a
    // new one from the events that follow.
    virtual void dictionariesChanged() { }

    // Set by a compressing store while it has no dictionary: add() trains one, once, when the
    // file holds 100 events.
    bool needsDictionary = false;
    SentrelRowDecoder decoder; // with the dictionaries kept in the file
    QString path;
    int sizeLimit; // events kept at most; 0 or less: no limit
    QSqlDatabase database;
    QSqlQuery query; // reused by every statement but the insert; operations must not interleave

private:
    void restrictFilePermissions() const;
    void loadDictionaries();
    void dropDictionaries();
    void checkpoint();
    bool useLastingIds();
    void followOtherConnections();
    bool execInsert(const QByteArray &stored);
    bool insert(const QByteArray &stored); // logs a failure
    bool insertEach(const QList<QByteArray> &rows);

    QSqlQuery insertQuery; // prepared once by open()
    bool registeredConnection = false;
    bool batchOpen = false;
    QList<QByteArray> batchRows; // added since the batch began, as stored
    qint64 dataVersion = -1; // of the file, as this connection last saw it
};

#endif // QSQLITESTORAGE_P_H
