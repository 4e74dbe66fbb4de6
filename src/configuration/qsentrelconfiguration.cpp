#include "qsentrelconfiguration_p.h"

#include <QSettings>
#include <QUuid>

namespace {

QSettings userWideSettings()
{
    return QSettings(QSettings::NativeFormat,
                     QSettings::UserScope,
                     QStringLiteral("Tamlor"),
                     QStringLiteral("SentrelTrackerGlobal"));
}

// A host, never a URL. Only a real scheme is refused: host names such as httpbin.org are fine.
bool isUrl(const QString &server)
{
    return server.startsWith(QLatin1String("http://")) || server.startsWith(QLatin1String("https://"));
}

} // namespace

QSentrelConfiguration::QSentrelConfiguration(QObject *parent)
    : QObject(parent)
{
}

const QSet<QString> &QSentrelConfigurationPrivate::validPlatforms()
{
    static const QSet<QString> platforms = {
        QStringLiteral("web"),
        QStringLiteral("mob"),
        QStringLiteral("pc"),
        QStringLiteral("srv"),
        QStringLiteral("app"),
        QStringLiteral("tv"),
        QStringLiteral("cnsl"),
        QStringLiteral("iot"),
    };
    return platforms;
}

QString QSentrelConfigurationPrivate::newIdentifier()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QVariant QSentrelConfigurationPrivate::value(ConfigItem item) const
{
    std::shared_lock<std::shared_mutex> locker(m_mapLock);
    const auto remote = m_remoteConfig.constFind(item);
    if (remote != m_remoteConfig.cend())
        return *remote;
    return m_config.value(item);
}

void QSentrelConfigurationPrivate::store(ItemMap &map, ConfigItem item, const QVariant &value)
{
    std::lock_guard<std::shared_mutex> locker(m_mapLock);
    map.insert(item, value);
}

QList<QSentrelConfigurationPrivate::ConfigItem> QSentrelConfigurationPrivate::remoteItems() const
{
    std::shared_lock<std::shared_mutex> locker(m_mapLock);
    return m_remoteConfig.keys();
}

// Emits the change signal of item with its effective value.
void QSentrelConfigurationPrivate::emitChanged(ConfigItem item)
{
    switch (item) {
    case Server:
        Q_EMIT serverChanged(server());
        break;
    case Token:
        Q_EMIT tokenChanged(token());
        break;
    case DeviceModel:
        Q_EMIT deviceModelChanged(deviceModel());
        break;
    case DeviceVariant:
        Q_EMIT deviceVariantChanged(deviceVariant());
        break;
    case DeviceScreenType:
        Q_EMIT deviceScreenTypeChanged(deviceScreenType());
        break;
    case AppBuild:
        Q_EMIT appBuildChanged(appBuild());
        break;
    case Platform:
        Q_EMIT platformChanged(platform());
        break;
    case StorageType:
        Q_EMIT storageTypeChanged(storageType());
        break;
    case StoragePath:
        Q_EMIT storagePathChanged(storagePath());
        break;
    case StorageSize:
        Q_EMIT storageSizeChanged(storageSize());
        break;
    case SyncInterval:
        Q_EMIT syncIntervalChanged(syncInterval());
        break;
    case BatchSize:
        Q_EMIT batchSizeChanged(batchSize());
        break;
    case Categories:
        Q_EMIT categoriesChanged(categories());
        break;
    case Events:
        Q_EMIT eventsChanged(events());
        break;
    case UserId:
        Q_EMIT userIdChanged(userId());
        break;
    case RemoteConfig:
        Q_EMIT remoteConfigChanged(remoteConfig());
        break;
    case RemoteConfigInterval:
        Q_EMIT remoteConfigIntervalChanged(remoteConfigInterval());
        break;
    }
}

bool QSentrelConfigurationPrivate::isValid()
{
    const bool offlineWithCache = syncInterval() <= 0 && !storageType().isEmpty();
    if (!offlineWithCache && server().isEmpty()) {
        qCWarning(lcConfig) << "Missing server address";
        return false;
    }
    if (token().isEmpty()) {
        qCWarning(lcConfig) << "missing token";
        return false;
    }
    return true;
}

QString QSentrelConfigurationPrivate::server() const
{
    return value(Server).toString();
}

void QSentrelConfigurationPrivate::setServer(const QString &server, ItemMap &map)
{
    if (isUrl(server)) {
        qCWarning(lcConfig) << "Invalid server address" << server;
        return;
    }
    store(map, Server, server);
    emitChanged(Server);
}

QString QSentrelConfigurationPrivate::token() const
{
    return value(Token).toString();
}

void QSentrelConfigurationPrivate::setToken(const QString &token, ItemMap &map)
{
    store(map, Token, token);
    emitChanged(Token);
}

QString QSentrelConfigurationPrivate::deviceModel() const
{
    return value(DeviceModel).toString();
}

void QSentrelConfigurationPrivate::setDeviceModel(const QString &model, ItemMap &map)
{
    store(map, DeviceModel, model);
    emitChanged(DeviceModel);
}

QString QSentrelConfigurationPrivate::deviceVariant() const
{
    return value(DeviceVariant).toString();
}

void QSentrelConfigurationPrivate::setDeviceVariant(const QString &variant, ItemMap &map)
{
    store(map, DeviceVariant, variant);
    emitChanged(DeviceVariant);
}

QString QSentrelConfigurationPrivate::deviceScreenType() const
{
    return value(DeviceScreenType).toString();
}

void QSentrelConfigurationPrivate::setDeviceScreenType(const QString &type, ItemMap &map)
{
    if (type != QLatin1String("TOUCH") && type != QLatin1String("NON_TOUCH")) {
        qCWarning(lcConfig) << "Invalid screen type is specified, possible values are: TOUCH, NON_TOUCH";
        return;
    }
    store(map, DeviceScreenType, type);
    emitChanged(DeviceScreenType);
}

QString QSentrelConfigurationPrivate::appBuild() const
{
    return value(AppBuild).toString();
}

void QSentrelConfigurationPrivate::setAppBuild(const QString &build, ItemMap &map)
{
    store(map, AppBuild, build);
    emitChanged(AppBuild);
}

QString QSentrelConfigurationPrivate::platform() const
{
    return value(Platform).toString();
}

void QSentrelConfigurationPrivate::setPlatform(const QString &platform, ItemMap &map)
{
    if (!validPlatforms().contains(platform)) {
        qCWarning(lcConfig) << "Invalid platform is specified, possible values are:" << validPlatforms();
        return;
    }
    store(map, Platform, platform);
    emitChanged(Platform);
}

QString QSentrelConfigurationPrivate::storageType() const
{
    return value(StorageType).toString();
}

void QSentrelConfigurationPrivate::setStorageType(const QString &type, ItemMap &map)
{
    store(map, StorageType, type);
    emitChanged(StorageType);
}

QString QSentrelConfigurationPrivate::storagePath() const
{
    return value(StoragePath).toString();
}

void QSentrelConfigurationPrivate::setStoragePath(const QString &path, ItemMap &map)
{
    store(map, StoragePath, path);
    emitChanged(StoragePath);
}

int QSentrelConfigurationPrivate::storageSize() const
{
    return value(StorageSize).toInt();
}

void QSentrelConfigurationPrivate::setStorageSize(int size, ItemMap &map)
{
    store(map, StorageSize, size);
    emitChanged(StorageSize);
}

int QSentrelConfigurationPrivate::syncInterval() const
{
    return value(SyncInterval).toInt();
}

void QSentrelConfigurationPrivate::setSyncInterval(int seconds, ItemMap &map)
{
    store(map, SyncInterval, seconds);
    emitChanged(SyncInterval);
}

int QSentrelConfigurationPrivate::batchSize() const
{
    return value(BatchSize).toInt();
}

void QSentrelConfigurationPrivate::setBatchSize(int size, ItemMap &map)
{
    store(map, BatchSize, size);
    emitChanged(BatchSize);
}

QStringList QSentrelConfigurationPrivate::categories()
{
    return value(Categories).toStringList();
}

void QSentrelConfigurationPrivate::setCategories(const QStringList &categories, ItemMap &map)
{
    store(map, Categories, categories);
    emitChanged(Categories);
}

QStringList QSentrelConfigurationPrivate::events()
{
    return value(Events).toStringList();
}

void QSentrelConfigurationPrivate::setEvents(const QStringList &events, ItemMap &map)
{
    store(map, Events, events);
    emitChanged(Events);
}

QString QSentrelConfigurationPrivate::userId()
{
    return value(UserId).toString();
}

void QSentrelConfigurationPrivate::setUserId(const QString &userId, ItemMap &map)
{
    QString identifier = userId;
    if (identifier.isEmpty()) {
        // One identifier per user account, shared by every application using the tracker.
        QSettings settings = userWideSettings();
        identifier = settings.value(QStringLiteral("userId")).toString();
        if (identifier.isEmpty()) {
            qCDebug(lcConfig) << "Generating new user id.";
            identifier = newIdentifier();
            settings.setValue(QStringLiteral("userId"), identifier);
        }
    }
    store(map, UserId, identifier);
    emitChanged(UserId);
}

bool QSentrelConfigurationPrivate::remoteConfig() const
{
    return value(RemoteConfig).toBool();
}

void QSentrelConfigurationPrivate::setRemoteConfig(bool enabled, ItemMap &map)
{
    store(map, RemoteConfig, enabled);
    emitChanged(RemoteConfig);
}

int QSentrelConfigurationPrivate::remoteConfigInterval() const
{
    return value(RemoteConfigInterval).toInt();
}

void QSentrelConfigurationPrivate::setRemoteConfigInterval(int seconds, ItemMap &map)
{
    store(map, RemoteConfigInterval, seconds);
    emitChanged(RemoteConfigInterval);
}
