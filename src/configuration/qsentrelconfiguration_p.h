// SPDX-License-Identifier: MIT
#ifndef QSENTRELCONFIGURATION_P_H
#define QSENTRELCONFIGURATION_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <SentrelTracker/qsentrelconfiguration.h>

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QList>
#include <QMap>
#include <QSet>
#include <QSettings>
#include <QVariant>

#include <atomic>
#include <bitset>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

// The implementation of the configuration. Owned by value by the tracker core and living on
// the thread that created it. The reporter reads the items from the worker thread and applies
// remote configuration documents there, so both item maps are guarded by one lock, which is
// never held while a signal is emitted. Readers share it: the application thread's category
// check never waits for the worker reading the items of an event.
//
// Every item is described once, in the table of qsentrelconfiguration.cpp: its property, its
// key in files and documents, its default, its rule and its change signal. The accessors
// below only name the item.
class SENTREL_AUTOTEST_EXPORT QSentrelConfigurationPrivate : public QSentrelConfiguration
{
    Q_OBJECT

public:
    enum ConfigItem {
        Server = 0,
        Token,
        DeviceModel,
        DeviceVariant,
        DeviceScreenType,
        AppBuild,
        Platform,
        StorageType,
        StoragePath,
        StorageSize,
        SyncInterval,
        BatchSize,
        Categories,
        Events,
        UserId,
        RemoteConfig,
        RemoteConfigInterval,
        CaptureNames,
        StorageMaxAge,
        StorageMaxBytes,
        Headers,
        CaptureActions,
        CaptureStallMs,
        SessionTimeout,
        CaptureScreens,
    };
    Q_ENUM(ConfigItem)
    static constexpr int itemCount = CaptureScreens + 1;
    using ItemMap = QMap<ConfigItem, QVariant>;
    // Accepted values in the order of the table.
    using ItemList = QList<std::pair<ConfigItem, QVariant>>;

    explicit QSentrelConfigurationPrivate(QObject *parent);
    ~QSentrelConfigurationPrivate() override;

    bool isValid() override;

    QString server() const override { return get<QString>(Server); }
    void setServer(const QString &server) override { set(Server, server); }
    QString token() const override { return get<QString>(Token); }
    void setToken(const QString &token) override { set(Token, token); }
    QString deviceModel() const override { return get<QString>(DeviceModel); }
    void setDeviceModel(const QString &model) override { set(DeviceModel, model); }
    QString deviceVariant() const override { return get<QString>(DeviceVariant); }
    void setDeviceVariant(const QString &variant) override { set(DeviceVariant, variant); }
    QString deviceScreenType() const override { return get<QString>(DeviceScreenType); }
    void setDeviceScreenType(const QString &type) override { set(DeviceScreenType, type); }
    QString appBuild() const override { return get<QString>(AppBuild); }
    void setAppBuild(const QString &build) override { set(AppBuild, build); }
    QString platform() const override { return get<QString>(Platform); }
    void setPlatform(const QString &platform) override { set(Platform, platform); }
    QString storageType() const override { return get<QString>(StorageType); }
    void setStorageType(const QString &type) override { set(StorageType, type); }
    QString storagePath() const override { return get<QString>(StoragePath); }
    void setStoragePath(const QString &path) override { set(StoragePath, path); }
    int storageSize() const override { return get<int>(StorageSize); }
    void setStorageSize(int size) override { set(StorageSize, size); }
    int storageMaxAge() const override { return get<int>(StorageMaxAge); }
    void setStorageMaxAge(int seconds) override { set(StorageMaxAge, seconds); }
    int storageMaxBytes() const override { return get<int>(StorageMaxBytes); }
    void setStorageMaxBytes(int bytes) override { set(StorageMaxBytes, bytes); }
    QVariantMap headers() const override { return get<QVariantMap>(Headers); }
    void setHeaders(const QVariantMap &headers) override { set(Headers, headers); }
    int syncInterval() const override { return get<int>(SyncInterval); }
    void setSyncInterval(int seconds) override { set(SyncInterval, seconds); }
    int batchSize() const override { return get<int>(BatchSize); }
    void setBatchSize(int size) override { set(BatchSize, size); }
    QStringList categories() override { return get<QStringList>(Categories); }
    void setCategories(const QStringList &categories) override { set(Categories, categories); }
    QStringList events() override { return get<QStringList>(Events); }
    void setEvents(const QStringList &events) override { set(Events, events); }
    // The configured identifier, or else the user-wide one, made when first read.
    QString userId() override;
    void setUserId(const QString &userId) override { set(UserId, userId); }
    bool remoteConfig() const override { return get<bool>(RemoteConfig); }
    void setRemoteConfig(bool enabled) override { set(RemoteConfig, enabled); }
    int remoteConfigInterval() const override { return get<int>(RemoteConfigInterval); }
    void setRemoteConfigInterval(int seconds) override { set(RemoteConfigInterval, seconds); }
    QString captureNames() const override { return get<QString>(CaptureNames); }
    void setCaptureNames(const QString &policy) override { set(CaptureNames, policy); }
    bool captureActions() const override { return get<bool>(CaptureActions); }
    void setCaptureActions(bool enabled) override { set(CaptureActions, enabled); }
    int captureStallMs() const override { return get<int>(CaptureStallMs); }
    void setCaptureStallMs(int milliseconds) override { set(CaptureStallMs, milliseconds); }
    int sessionTimeout() const override { return get<int>(SessionTimeout); }
    void setSessionTimeout(int seconds) override { set(SessionTimeout, seconds); }
    bool captureScreens() const override { return get<bool>(CaptureScreens); }
    void setCaptureScreens(bool enabled) override { set(CaptureScreens, enabled); }

    // Checks value against the item's rule; an accepted value is stored in map (the local one
    // unless given) and the item's effective value is signalled. A refused one is logged.
    void set(ConfigItem item, const QVariant &value, ItemMap &map);
    void set(ConfigItem item, const QVariant &value) { set(item, value, m_config); }

    // Loading and persistence.
    bool loadConfig();
    // Sets the items of a JSON document in map, one by one in the order of the table.
    bool parseConfig(const QByteArray &data, ItemMap &map);
    QDateTime lastSync() const;
    void setLastSync(const QDateTime &time);
    bool lastShutdown() const;
    // Records that this run tracks, until aboutToQuit says it ended cleanly. The worker's, once
    // a process.
    void markRunning();
    // The change of the application's version since it was last recorded for this user
    // account: (version, previous) where previous is null for a first start, nothing when the
    // version is the one recorded. Records the version, so that of several processes starting
    // together one alone gets the change. On the worker.
    std::optional<std::pair<QString, QString>> takeVersionChange();
    // Records sessionId as this user's newest session of the application and returns its
    // index (one more than the last, across starts and processes) and the session before it,
    // empty for none or when it was of the other anonymity. On the worker.
    std::pair<qint64, QString> takeSessionIndex(const QString &sessionId, bool anonymous);

    // Remote configuration: applies a document fetched from the collector. Runs on the
    // worker thread, or on the tracker's thread while no worker runs. Returns whether the remote
    // configuration was replaced or removed.
    bool applyConfig(const QByteArray &document);
    // The configuration-file keys of the items a remote document may change, as the
    // application gave them; every top-level key until it gives some. A key names every item
    // inside its object ("sync"), or one of them ("sync/interval"). Called on the tracker's
    // thread; a document in force is put in force again under the new scope.
    QStringList remoteScope() const;
    void setRemoteScope(const QStringList &keys);
    // The top-level keys of files and documents, in the order of the table.
    static QStringList documentKeys();

    // The person's decision as stored for the application: a QSentrelTracker::Consent and
    // the consent version it was made for; nullopt when none is stored.
    std::optional<std::pair<int, int>> storedConsent() const;
    void storeConsent(int consent, int version);
    // The decisions in the order of QSentrelTracker::Consent, as stored and as the consent
    // event names them.
    static const QStringList &consentNames();
    // Forgets the user-wide identifier as far as it is this application's to forget, so
    // that the next event read with one gets a new identifier; a configured one stays.
    void forgetUserId();
    // Deletes the stored remote document, withdrawing its items; false when it remains.
    bool forgetRemoteDocument();
    void forgetConsent(); // the stored decision, when there is one
    // The remote document's items out of force, its files left to whoever removed them.
    void withdrawRemoteItems();
    // The "storage_path" of the stored remote document, in force or dormant; empty for none.
    QString storedDocumentStoragePath() const;
    // Deletes the application's settings file, the stored decision with it; false when it
    // remains.
    bool forgetSettings();

    QString settingsPath() const { return m_settingsPath; }
    QSettings writableSettings() const; // this application's, made for its owner only
    QString remoteConfigFileName() const { return m_remoteConfigFile.fileName(); }

    // The platform codes the collector accepts.
    static const QSet<QString> &validPlatforms();

    // The text form of a new random identifier: 36 lower-case hexadecimal characters and
    // hyphens, without braces.
    static QString newIdentifier();
    // The identifier in use is read again when next needed (another process removed it).
    void forgetResolvedUserId();
    // The secret key of the "hashed" naming policy: 32 random bytes made on first use and kept
    // in the application's settings, so that a name hashes alike in every run of this
    // installation until the person has it forgotten (forgetSettings()). Never sent.
    QByteArray nameKey();

private:
    // The user-wide settings: the registry or preferences, an INI file in test mode.
    static QSettings userWideSettings();
    // The accepted items of a JSON document; false when it is not a JSON object.
    bool readDocument(const QByteArray &data, ItemList &items);
    bool loadConfigFile();
    // Persists a remote document with its digest and the application version; false when the
    // document could not be written.
    bool storeRemoteConfig(const QByteArray &document, const QByteArray &hash);
    void forgetRemoteConfig();
    void writeDefaults();
    QVariant value(ConfigItem item) const;
    template <typename T>
    T get(ConfigItem item) const
    {
        return value(item).value<T>();
    }
    void store(ItemMap &map, ConfigItem item, const QVariant &value);
    QList<ConfigItem> remoteItems() const;
    void emitChanged(ConfigItem item);
    // The key of an item in files and documents, "object/key" inside an object.
    static QString documentKey(ConfigItem item);
    using ItemSet = std::bitset<itemCount>;
    // The items of the remote document that the scope lets it change; those it may not are
    // added to refused when not logged before. Called with m_mapLock held for writing.
    ItemMap admittedRemoteItems(QList<ConfigItem> &refused);
    static void logRefused(const QList<ConfigItem> &refused);

    ItemMap m_config;
    ItemMap m_remoteConfig; // the items of m_remoteDocument in force
    // Every accepted item of the remote document, also those outside the scope, so that a
    // wider scope can put them in force without a fetch.
    ItemMap m_remoteDocument;
    ItemSet m_remoteScope = ItemSet().set();
    std::optional<QStringList> m_remoteScopeKeys; // nullopt: the application gave none
    // Items whose refusal was logged: once each for the life of the tracker, not per fetch.
    ItemSet m_refusalLogged;
    QString m_settingsPath;
    QByteArray m_remoteConfigHash;
    QFile m_remoteConfigFile;
    bool m_lastShutdown = true;
    bool m_settingsExisted = false; // "sentrel.ini" when the tracker was made
    std::atomic<bool> m_markedRunning {false};
    // The remembered digest belongs to a document of a previous application version, which
    // this run skipped. Used on the worker thread after construction.
    bool m_remoteConfigDormant = false;
    // The user-wide identifier once read; guarded by m_userIdLock, as the worker reads it too.
    QString m_resolvedUserId;
    std::mutex m_userIdLock;
    QByteArray m_nameKey; // once read or made; guarded by m_userIdLock too
    // Guards the item maps and the scope. A standard lock, so that the thread sanitizer sees it.
    mutable std::shared_mutex m_mapLock;
};

#endif // QSENTRELCONFIGURATION_P_H
