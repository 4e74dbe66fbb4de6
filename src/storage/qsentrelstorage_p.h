// SPDX-License-Identifier: MIT
#ifndef QSENTRELSTORAGE_P_H
#define QSENTRELSTORAGE_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>

#include <memory>

// The event cache as the reporter sees it. A store is created, used and destroyed on one
// thread (the reporter's worker thread); it is not thread-safe.
class SENTREL_AUTOTEST_EXPORT QSentrelStorage : public QObject
{
    Q_OBJECT

public:
    // The cache's file in its folder, and the files SQLite keeps beside it (its path and
    // these suffixes): whoever names, removes or reads the cache takes them from here.
    static constexpr QLatin1StringView cacheFileName {"SentrelTracker.db"};
    static constexpr QLatin1StringView companionSuffixes[] = {QLatin1StringView("-wal"),
                                                              QLatin1StringView("-shm"),
                                                              QLatin1StringView("-journal")};

    virtual bool open() = 0;
    // Opens an existing file for get() and size() alone, on a connection of its own, leaving
    // the file and its companions as they are; false, without a message, when there is none.
    virtual bool openReadOnly() = 0;
    virtual bool add(const QByteArray &data) = 0;
    virtual bool remove(quint64 id) = 0;
    virtual bool remove(const QSet<quint64> &ids) = 0;
    virtual bool removeAll() = 0;
    // The stored events in ascending id order: (id, data) pairs.
    virtual QList<QPair<quint64, QByteArray>> get(qint64 limit, qint64 offset) = 0;
    // The oldest events, at most limit, read until those not in notCounted have at least
    // maximumBytes: a batch decodes what it can send and one more.
    virtual QList<QPair<quint64, QByteArray>>
    oldest(qint64 maximumBytes, qint64 limit, const QSet<quint64> &notCounted) = 0;
    // The newest event alone.
    virtual QList<QPair<quint64, QByteArray>> newest() = 0;
    // Removes the oldest events until the rest take at most maximumBytes as stored; how many
    // went, -1 when that failed.
    virtual qint64 removeBeyondBytes(qint64 maximumBytes) = 0;
    virtual quint64 size() = 0;
    // Whether the last get() failed: its empty list then says nothing about what is stored.
    virtual bool readFailed() const { return false; }

    // Groups the adds that follow until commit() into one write to the file. An event added
    // in a batch is lost with the process only if it dies before commit(); when the batch
    // cannot be written as a whole its events are written one by one.
    virtual bool transaction() = 0;
    virtual bool commit() = 0;

    // Overwrites what removed rows left behind in the store's side files, where it can.
    virtual void scrub() { }

    // Events that wait in memory for the file (another connection holds its lock): in how
    // many milliseconds writing them is tried again, -1 when none wait; and the try.
    virtual qint64 waitingRetryIn() const { return -1; }
    virtual void writeWaiting() { }

    // The store of a configured storage type ("SQLITE", "SQLITE-ZLIB", "SQLITE-ZSTD",
    // case-sensitive) for the database file at path, not yet opened; null for any other type.
    static std::unique_ptr<QSentrelStorage>
    create(const QString &type, const QString &path, int size);
};

#endif // QSENTRELSTORAGE_P_H
