// SPDX-License-Identifier: MIT
#include "sentreloutbox_p.h"

#include "qsentrelconfiguration_p.h"
#include "qsentrelstorage_p.h"
#include "sentrelclock_p.h"
#include "sentrelfiles_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <utility>

SentrelOutbox::SentrelOutbox(QObject *parent)
    : QObject(parent)
    , scrubTimer(new QTimer(this))
    , waitingTimer(new QTimer(this))
    , openRetry(new QTimer(this))
{
    scrubTimer->setSingleShot(true);
    scrubTimer->setInterval(1000);
    connect(scrubTimer, &QTimer::timeout, this, [this] {
        if (store)
            store->scrub();
    });
    openRetry->setSingleShot(true);
    connect(openRetry, &QTimer::timeout, this, [this] {
        if (!store)
            open();
    });
    waitingTimer->setSingleShot(true);
    connect(waitingTimer, &QTimer::timeout, this, [this] {
        if (store)
            store->writeWaiting();
        retryWaiting();
    });
}

SentrelOutbox::~SentrelOutbox()
{
    if (!held.isEmpty() || heldLost > 0)
        qCWarning(lcStorage) << "The storage never opened; events kept in memory were lost:"
                             << held.size() + heldLost;
}

void SentrelOutbox::setConfiguration(QSentrelConfigurationPrivate *config)
{
    configuration = config;
}

bool SentrelOutbox::reopen()
{
    SENTREL_ASSERT_THREAD(this);
    const QStringList settings {configuration->storageType(),
                                configuration->storagePath(),
                                QString::number(configuration->storageSize())};
    if (store && settings == storeSettings)
        return false;
    storeSettings = settings;
    open();
    return true;
}

QString SentrelOutbox::configuredDirectory(const QSentrelConfigurationPrivate &configuration)
{
    const QString directory = configuration.storagePath();
    // The local profile, not the roaming one that Windows copies between machines; the same
    // directory as the data location elsewhere.
    return directory.isEmpty()
            ? QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
            : directory;
}

QString SentrelOutbox::storageDirectory() const
{
    const QString directory = configuredDirectory(*configuration);
    if (directory.isEmpty()) {
        qCWarning(lcStorage) << "No writable location for the storage";
        return QString();
    }
    if (!SentrelFiles::makePrivatePath(directory)) {
        qCWarning(lcStorage) << "Failed to create the storage directory:" << directory;
        return QString();
    }
    return directory;
}

QString SentrelOutbox::cachePath(const QSentrelConfigurationPrivate &configuration)
{
    const QString directory = configuredDirectory(configuration);
    return directory.isEmpty() ? QString() : cacheFileIn(directory);
}

QString SentrelOutbox::cacheFileIn(const QString &directory)
{
    return directory + QLatin1Char('/') + QSentrelStorage::cacheFileName;
}

void SentrelOutbox::open()
{
    newGeneration();
    senderLock.reset();
    const QString directory = storageDirectory();
    if (directory.isEmpty()) {
        if (openRetryDelay == 0) // once, not at every retry
            qCWarning(lcStorage) << "Failed to open storage, caching will be disabled.";
        store.reset();
        openLater();
        return;
    }
    // SQLite makes its log beside the file: a folder nobody may write to holds no cache, and
    // events go to the collector as they come.
    if (!QTemporaryFile(directory + QStringLiteral("/.SentrelTracker-XXXXXX")).open()) {
        if (openRetryDelay == 0) // once, not at every retry
            qCWarning(lcStorage)
                    << "The storage folder cannot be written, caching will be disabled:"
                    << directory;
        store.reset();
        openLater();
        return;
    }
    const QString path = cacheFileIn(directory);
    if (!cachePaths.contains(path))
        cachePaths.append(path);
    openCachePath.clear();

    const QString type = configuration->storageType();
    std::unique_ptr<QSentrelStorage> opened =
            QSentrelStorage::create(type, path, configuration->storageSize());
    if (!opened) {
        if (type.isEmpty())
            qCInfo(lcStorage) << "An empty storage type is specified, caching will be disabled.";
        else
            qCWarning(lcStorage) << type
                                 << "is not a valid storage type, caching will be disabled.";
        store.reset();
        return;
    }

    // The stores share one connection name: the old one must be gone before the new one opens.
    store = std::move(opened);
    qCDebug(lcStorage) << "Using" << type << "event storage:" << path;
    if (!store->open()) {
        if (openRetryDelay == 0) // once, not at every retry
            qCWarning(lcStorage) << "Failed to open storage, caching will be disabled.";
        store.reset();
        openLater();
        return;
    }
    openCachePath = path;
    storeHeld();
    trim();
    senderLock = std::make_unique<QLockFile>(path + QLatin1String(".lock"));
    senderLock->setStaleLockTime(0); // held for as long as the process runs; a dead one's is stale
}

// A full disk or a folder that cannot be written yet is a passing state: the store is tried
// again with a back-off, and offline events wait in memory meanwhile (online ones are sent as
// they come, as without a cache).
void SentrelOutbox::openLater()
{
    const qint64 delay = std::clamp<qint64>(openRetryDelay * 2, 1000, longestOpenRetry);
    if (openRetryDelay == 0)
        qCInfo(lcStorage) << "Opening the storage is tried again, first in" << delay / 1000
                          << "seconds; events wait in memory until then";
    openRetryDelay = delay;
    openRetry->start(std::chrono::milliseconds(delay));
}

void SentrelOutbox::hold(const QByteArray &event)
{
    if (heldBytes + event.size() > maximumHeldBytes) {
        ++heldLost;
        return;
    }
    held.append(event);
    heldBytes += event.size();
}

void SentrelOutbox::storeHeld()
{
    openRetry->stop();
    if (std::exchange(openRetryDelay, 0) == 0)
        return;
    store->transaction();
    for (const QByteArray &event : std::as_const(held))
        store->add(event);
    store->commit();
    qCWarning(lcStorage) << "The storage opened; events kept in memory:" << held.size()
                         << "lost:" << heldLost;
    held.clear();
    heldBytes = 0;
    heldLost = 0;
}

bool SentrelOutbox::add(const QByteArray &event)
{
    SENTREL_ASSERT_THREAD(this);
    if (withdrawn)
        return true; // the decision that removed it is in force, or about to be
    if (store) {
        store->add(event);
        retryWaiting();
        return true;
    }
    if (configuration->syncInterval() == 0 && openRetryDelay != 0) {
        hold(event);
        return true;
    }
    return false;
}

void SentrelOutbox::retryWaiting()
{
    const qint64 due = store ? store->waitingRetryIn() : -1;
    if (due < 0)
        waitingTimer->stop();
    else if (!waitingTimer->isActive())
        waitingTimer->start(std::chrono::milliseconds(due));
}

void SentrelOutbox::beginBatch()
{
    SENTREL_ASSERT_THREAD(this);
    if (wasRemoved())
        return;
    if (store)
        store->transaction();
}

void SentrelOutbox::endBatch()
{
    SENTREL_ASSERT_THREAD(this);
    if (store)
        store->commit();
    retryWaiting();
}

SentrelOutbox::Rows SentrelOutbox::oldest(qint64 limit)
{
    SENTREL_ASSERT_THREAD(this);
    return store && limit > 0 ? store->get(limit, 0) : Rows();
}

SentrelOutbox::Rows
SentrelOutbox::nextBatch(qint64 maximumBytes, qint64 limit, const QSet<quint64> &notCounted)
{
    SENTREL_ASSERT_THREAD(this);
    return store && limit > 0 ? store->oldest(maximumBytes, limit, notCounted) : Rows();
}

SentrelOutbox::Rows SentrelOutbox::newest()
{
    SENTREL_ASSERT_THREAD(this);
    return store ? store->newest() : Rows();
}

quint64 SentrelOutbox::size()
{
    return store ? store->size() : 0;
}

bool SentrelOutbox::readFailed() const
{
    return store && store->readFailed();
}

bool SentrelOutbox::remove(const QSet<quint64> &ids)
{
    SENTREL_ASSERT_THREAD(this);
    QSet<quint64> rows = pendingRemoval;
    rows.unite(ids);
    if (store && store->remove(rows)) {
        if (!pendingRemoval.isEmpty())
            qCInfo(lcEvents) << "Removed the delivered events from storage after all";
        pendingRemoval.clear();
        removalRetry = 0;
        if (!scrubTimer->isActive())
            scrubTimer->start();
        return true;
    }
    if (pendingRemoval.isEmpty())
        qCWarning(lcEvents) << "Failed to remove events from storage, trying again before the "
                               "next batch";
    pendingRemoval = rows;
    return false;
}

qint64 SentrelOutbox::removalRetryDelay()
{
    // Doubling up to a minute: the disk may take a while to have room again.
    removalRetry = qBound(qint64(1000), removalRetry * 2, qint64(60000));
    return removalRetry;
}

void SentrelOutbox::removeAll()
{
    SENTREL_ASSERT_THREAD(this);
    if (!store)
        return;
    // A reply in flight must not remove the events recorded next.
    newGeneration();
    store->removeAll();
}

namespace {
// The event's time from its "dtm" field, as every event of the tracker writes it; -1 when the
// row has none.
qint64 eventTime(const QByteArray &event)
{
    static constexpr QByteArrayView key = R"("dtm":")";
    const qsizetype at = event.indexOf(key);
    if (at < 0)
        return -1;
    const qsizetype start = at + key.size();
    const qsizetype end = event.indexOf('"', start);
    bool ok = false;
    const qint64 time = end < 0 ? -1 : event.mid(start, end - start).toLongLong(&ok);
    return ok ? time : -1;
}
} // namespace

void SentrelOutbox::trim()
{
    SENTREL_ASSERT_THREAD(this);
    if (!store)
        return;
    const qint64 maximumAge = qint64(configuration->storageMaxAge()) * 1000;
    if (maximumAge > 0) {
        // Rows are in the order they were recorded: the old ones are the first, and reading
        // stops at the first young one.
        const qint64 oldest = SentrelClock::current()->now() - maximumAge;
        qint64 removed = 0;
        for (bool more = true; more;) {
            QSet<quint64> old;
            const Rows rows = store->get(100, 0);
            for (const auto &[id, event] : rows) {
                const qint64 time = eventTime(event);
                if (time < 0 || time >= oldest)
                    break;
                old.insert(id);
            }
            more = old.size() == rows.size() && !rows.isEmpty();
            if (old.isEmpty() || !store->remove(old))
                break;
            removed += old.size();
        }
        if (removed > 0) {
            newGeneration();
            qCInfo(lcStorage) << "Removed" << removed
                              << "events older than the storage's maximum age";
        }
    }
    const qint64 maximumBytes = configuration->storageMaxBytes();
    if (maximumBytes > 0) {
        const qint64 removed = store->removeBeyondBytes(maximumBytes);
        if (removed > 0) {
            newGeneration();
            qCInfo(lcStorage) << "Removed" << removed
                              << "events beyond the storage's maximum bytes";
        }
    }
}

void SentrelOutbox::newGeneration()
{
    ++storeGeneration;
    pendingRemoval.clear(); // ids of the store that went
    removalRetry = 0;
    Q_EMIT rowsForgotten();
}

bool SentrelOutbox::deliversThisCache()
{
    if (!senderLock || senderLock->isLocked() || lockSender())
        return true;
    // No lock file to be had at all (a read-only folder, say): deliver all the same, since
    // ids that are never reused keep another process's rows safe.
    return senderLock->error() != QLockFile::LockFailedError;
}

// The lock file is made by QLockFile with the umask's mode.
bool SentrelOutbox::lockSender()
{
    if (!senderLock->tryLock(0))
        return false;
    SentrelFiles::makePrivateFile(senderLock->fileName());
    return true;
}

// Another process of the application removed the cache (the person withdrew consent or asked
// to be forgotten there): nothing more goes into it, comes out of it or leaves with it, not
// even what is on its way. The tracker core then follows the decision.
bool SentrelOutbox::wasRemoved()
{
    if (withdrawn)
        return true;
    if (!store || openCachePath.isEmpty() || QFileInfo::exists(openCachePath))
        return false;
    qCInfo(lcStorage) << "The cache was removed by another process:" << openCachePath;
    withdrawn = true;
    Q_EMIT removedElsewhere();
    return true;
}

QStringList SentrelOutbox::closeForGood(CacheFiles files)
{
    SENTREL_ASSERT_THREAD(this);
    newGeneration();
    store.reset();
    // Before the lock goes: another process that takes it next must find no file to deliver
    // from. The lock file itself goes with the lock.
    if (files == CacheFiles::Remove) {
        for (const QString &path : std::as_const(cachePaths))
            removeCacheFiles(path, LockFile::Keep);
    }
    senderLock.reset();
    return cachePaths;
}

void SentrelOutbox::close()
{
    store.reset();
    senderLock.reset();
}

void SentrelOutbox::abandon()
{
    SENTREL_ASSERT_THREAD(this);
    if (store)
        store->commit();
    (void)store.release();
}

bool SentrelOutbox::removeCacheFiles(const QString &path, LockFile lock)
{
    bool removed = true;
    QStringList files {path};
    for (const QLatin1StringView suffix : QSentrelStorage::companionSuffixes)
        files.append(path + suffix);
    if (lock == LockFile::Remove) {
        // A live process's sender lock is its own to remove as it lets go: deleted under it,
        // its release fails, and a third process could send from the same file meanwhile.
        // Taking it proves no one holds it; letting go removes it.
        QLockFile sender(path + QLatin1String(".lock"));
        sender.setStaleLockTime(0);
        if (sender.tryLock(0))
            sender.unlock();
    }
    for (const QString &file : std::as_const(files)) {
        QFileInfo info(file);
        if (!info.exists() && !info.isSymLink())
            continue;
        if (!QFile::remove(file)) {
            qCWarning(lcStorage) << "Could not remove" << file;
            removed = false;
        }
    }
    // Damaged caches set aside for inspection hold events as well; what stood at the path and
    // was never a file of ours (a directory) is left.
    const QFileInfo cache(path);
    const QDir directory = cache.dir();
    const QStringList aside = directory.entryList({cache.fileName() + QStringLiteral(".damaged-*")},
                                                  QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : aside) {
        if (!QFile::remove(directory.filePath(name))) {
            qCWarning(lcStorage) << "Could not remove" << directory.filePath(name);
            removed = false;
        }
    }
    return removed;
}

SentrelOutbox::Rows SentrelOutbox::cachedRows(const QSentrelConfigurationPrivate &configuration,
                                              int maximum)
{
    const QString path = cachePath(configuration);
    if (maximum <= 0 || path.isEmpty())
        return Rows();
    // With caching off nothing in a file there would leave.
    std::unique_ptr<QSentrelStorage> cache =
            QSentrelStorage::create(configuration.storageType(), path, 0);
    if (!cache || !cache->openReadOnly())
        return Rows();
    return cache->get(maximum, 0);
}

quint64 SentrelOutbox::cachedCount(const QSentrelConfigurationPrivate &configuration)
{
    const QString path = cachePath(configuration);
    std::unique_ptr<QSentrelStorage> cache = path.isEmpty()
            ? nullptr
            : QSentrelStorage::create(configuration.storageType(), path, 0);
    return cache && cache->openReadOnly() ? cache->size() : 0;
}
