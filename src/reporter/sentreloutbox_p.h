// SPDX-License-Identifier: MIT
#ifndef SENTRELOUTBOX_P_H
#define SENTRELOUTBOX_P_H

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
#include <QString>
#include <QStringList>

#include <memory>

class QLockFile;
class QTimer;
class QSentrelConfigurationPrivate;
class QSentrelStorage;

// The events waiting for delivery: the store the configuration names, opened again when that
// changes and retried while it cannot be opened, with the events that wait in memory meanwhile;
// the cache's files; and the lock that says which process of the application delivers them.
//
// Lives on the worker thread, a child of the reporter. The store's SQL connection belongs to
// that thread: close() runs there before the reporter goes back to the application's thread.
class SENTREL_AUTOTEST_EXPORT SentrelOutbox : public QObject
{
    Q_OBJECT

public:
    using Rows = QList<QPair<quint64, QByteArray>>; // (id, event), oldest first

    explicit SentrelOutbox(QObject *parent = nullptr);
    ~SentrelOutbox() override;

    void setConfiguration(QSentrelConfigurationPrivate *configuration);
    // Opens the store the configuration names, unless the open one is made of the same;
    // whether it opened another.
    bool reopen();
    bool isOpen() const { return bool(store); }

    // Takes the event into the store, or into memory while an offline store waits to be
    // opened again; false when there is nowhere to keep it.
    bool add(const QByteArray &event);
    // The events added between the two are written to the cache together.
    void beginBatch();
    void endBatch();

    Rows oldest(qint64 limit);
    // The oldest rows for a batch: read until those not in notCounted hold maximumBytes, so
    // that each row is decoded once for the batch that can carry it.
    Rows nextBatch(qint64 maximumBytes, qint64 limit, const QSet<quint64> &notCounted);
    Rows newest(); // the newest row alone
    quint64 size();
    // Whether the last read failed: its empty result then says nothing about what is stored.
    bool readFailed() const;

    // Removes delivered or dropped rows. A failed removal (a disk briefly full) keeps them
    // pending: no new batch may go before they are removed, so that none is sent twice.
    bool remove(const QSet<quint64> &ids);
    bool removalPending() const { return !pendingRemoval.isEmpty(); }
    // When to try the pending removal again, doubling up to a minute.
    qint64 removalRetryDelay();
    void removeAll();
    // Removes the events beyond the configured age and bytes, saying how many once.
    void trim();

    // One more for every new store and every removeAll(): rows read before name other events.
    quint64 generation() const { return storeGeneration; }

    // Whether this process delivers the open cache: one process at a time does, the one that
    // holds its lock file.
    bool deliversThisCache();
    // Whether another process removed the open cache: from then on nothing goes into it or
    // comes out of it. Emits removedElsewhere() when it finds so.
    bool wasRemoved();

    enum class CacheFiles {
        Keep,
        Remove
    };
    // Closes the store for good; with Remove the files of every database opened go before its
    // lock does. Returns those databases.
    QStringList closeForGood(CacheFiles files);
    // Closes the store and releases the lock, on the thread that opened them.
    void close();
    // At process exit Qt's SQL globals may be gone before the store could close: leave it to
    // the operating system once what it holds is committed.
    void abandon();

    // The folder the configuration points at (the application's local data location when it
    // names none), the database there, and the database in a folder.
    static QString configuredDirectory(const QSentrelConfigurationPrivate &configuration);
    static QString cachePath(const QSentrelConfigurationPrivate &configuration);
    static QString cacheFileIn(const QString &directory);
    // Deletes the database at path with its companion files and the damaged copies set aside;
    // false when one remains. Keep leaves the lock file to the QLockFile that holds it.
    enum class LockFile {
        Keep,
        Remove
    };
    static bool removeCacheFiles(const QString &path, LockFile lock = LockFile::Remove);
    // At most maximum rows of the cache the configuration points at, read-only on the
    // caller's thread, for when no worker runs.
    static Rows cachedRows(const QSentrelConfigurationPrivate &configuration, int maximum);
    static quint64 cachedCount(const QSentrelConfigurationPrivate &configuration);

Q_SIGNALS:
    // A new store, or the rows of this one removed: what was known of rows read before is void.
    void rowsForgotten();
    // The open cache was removed by another process.
    void removedElsewhere();

private:
    void open();
    // The configured folder, made if absent; empty, with a warning, when there is none.
    QString storageDirectory() const;
    void newGeneration();
    bool lockSender();
    void openLater();
    void hold(const QByteArray &event);
    void storeHeld();
    void retryWaiting();

    // A store that did not open is tried again; offline events wait in memory meanwhile.
    static constexpr qint64 longestOpenRetry = 5 * 60 * 1000;
    static constexpr qint64 maximumHeldBytes = 16 * 1024 * 1024;

    QSentrelConfigurationPrivate *configuration = nullptr; // not owned
    std::unique_ptr<QSentrelStorage> store; // null while caching is off
    std::unique_ptr<QLockFile> senderLock; // of the open cache
    QStringList storeSettings; // what the open store was made of
    QStringList cachePaths; // every database opened, for closeForGood()
    QString openCachePath; // of store
    bool withdrawn = false; // removed by another process

    // Empties the write-ahead log a moment after delivered rows were removed, so that their
    // text stays in no file, at most once a second during a drain.
    QTimer *scrubTimer; // child of this
    // Writes what waits in memory for the cache's lock when its retry is due, whether or not
    // more events come.
    QTimer *waitingTimer; // child of this
    QTimer *openRetry; // child of this
    qint64 openRetryDelay = 0; // ms; 0 while the store opened
    QList<QByteArray> held;
    qint64 heldBytes = 0;
    qint64 heldLost = 0; // beyond maximumHeldBytes

    quint64 storeGeneration = 0;
    QSet<quint64> pendingRemoval; // delivered or dropped rows whose removal failed
    qint64 removalRetry = 0; // ms
};

#endif // SENTRELOUTBOX_P_H
