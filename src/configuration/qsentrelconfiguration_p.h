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
#include <QMap>
#include <QSet>
#include <QVariant>

#include <mutex>
#include <shared_mutex>

// The implementation of the configuration. Owned by value by the tracker core and living on
// the thread that created it. The reporter reads the items from the worker thread and applies
// remote configuration documents there, so both item maps are guarded by one lock, which is
// never held while a signal is emitted. Readers share it: the application thread's category
// check never waits for the worker reading the items of an event.
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
    };
    Q_ENUM(ConfigItem)
    using ItemMap = QMap<ConfigItem, QVariant>;

    explicit QSentrelConfigurationPrivate(QObject *parent);
    ~QSentrelConfigurationPrivate() override;

    bool isValid() override;

    QString server() const override;
    void setServer(const QString &server) override { setServer(server, m_config); }
    void setServer(const QString &server, ItemMap &map);
    QString token() const override;
    void setToken(const QString &token) override { setToken(token, m_config); }
    void setToken(const QString &token, ItemMap &map);
    QString deviceModel() const override;
    void setDeviceModel(const QString &model) override { setDeviceModel(model, m_config); }
    void setDeviceModel(const QString &model, ItemMap &map);
    QString deviceVariant() const override;
    void setDeviceVariant(const QString &variant) override { setDeviceVariant(variant, m_config); }
    void setDeviceVariant(const QString &variant, ItemMap &map);
    QString deviceScreenType() const override;
    void setDeviceScreenType(const QString &type) override { setDeviceScreenType(type, m_config); }
    void setDeviceScreenType(const QString &type, ItemMap &map);
    QString appBuild() const override;
    void setAppBuild(const QString &build) override { setAppBuild(build, m_config); }
    void setAppBuild(const QString &build, ItemMap &map);
    QString platform() const override;
    void setPlatform(const QString &platform) override { setPlatform(platform, m_config); }
    void setPlatform(const QString &platform, ItemMap &map);
    QString storageType() const override;
    void setStorageType(const QString &type) override { setStorageType(type, m_config); }
    void setStorageType(const QString &type, ItemMap &map);
    QString storagePath() const override;
    void setStoragePath(const QString &path) override { setStoragePath(path, m_config); }
    void setStoragePath(const QString &path, ItemMap &map);
    int storageSize() const override;
    void setStorageSize(int size) override { setStorageSize(size, m_config); }
    void setStorageSize(int size, ItemMap &map);
    int syncInterval() const override;
    void setSyncInterval(int seconds) override { setSyncInterval(seconds, m_config); }
    void setSyncInterval(int seconds, ItemMap &map);
    int batchSize() const override;
    void setBatchSize(int size) override { setBatchSize(size, m_config); }
    void setBatchSize(int size, ItemMap &map);
    QStringList categories() override;
    void setCategories(const QStringList &categories) override { setCategories(categories, m_config); }
    void setCategories(const QStringList &categories, ItemMap &map);
    QStringList events() override;
    void setEvents(const QStringList &events) override { setEvents(events, m_config); }
    void setEvents(const QStringList &events, ItemMap &map);
    QString userId() override;
    void setUserId(const QString &userId) override { setUserId(userId, m_config); }
    void setUserId(const QString &userId, ItemMap &map);
    bool remoteConfig() const override;
    void setRemoteConfig(bool enabled) override { setRemoteConfig(enabled, m_config); }
    void setRemoteConfig(bool enabled, ItemMap &map);
    int remoteConfigInterval() const override;
    void setRemoteConfigInterval(int seconds) override { setRemoteConfigInterval(seconds, m_config); }
    void setRemoteConfigInterval(int seconds, ItemMap &map);

    // Loading and persistence.
    bool loadConfig();
    bool parseConfig(const QByteArray &data, ItemMap &map);
    QDateTime lastSync() const;
    void setLastSync(const QDateTime &time);
    bool lastShutdown() const;

    // Remote configuration: applies a document fetched from the collector. Runs on the
    // worker thread. Returns whether the remote configuration was replaced or removed.
    bool applyConfig(const QByteArray &document);

    QString settingsPath() const { return m_settingsPath; }
    QString remoteConfigFileName() const { return m_remoteConfigFile.fileName(); }

    // The platform codes the collector accepts.
    static const QSet<QString> &validPlatforms();

    // The text form of a new random identifier: 36 lower-case hexadecimal characters and
    // hyphens, without braces.
    static QString newIdentifier();

private:
    bool loadConfigFile();
    QVariant value(ConfigItem item) const;
    void store(ItemMap &map, ConfigItem item, const QVariant &value);
    QList<ConfigItem> remoteItems() const;
    void emitChanged(ConfigItem item);

    ItemMap m_config;
    ItemMap m_remoteConfig;
    QString m_settingsPath;
    QByteArray m_remoteConfigHash;
    QFile m_remoteConfigFile;
    bool m_lastShutdown = true;
    // Guards m_config and m_remoteConfig. A standard lock, so that the thread sanitizer sees it.
    mutable std::shared_mutex m_mapLock;
};

#endif // QSENTRELCONFIGURATION_P_H
