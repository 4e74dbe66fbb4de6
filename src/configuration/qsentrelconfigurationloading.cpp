#include "qsentrelconfiguration_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QString configFileName = QStringLiteral("sentrel.conf");

QString filePath(const QString &directory, const QString &fileName)
{
    return QStringLiteral("%1/%2").arg(directory, fileName);
}

bool isPresent(const QJsonValue &value)
{
    return !value.isUndefined() && !value.isNull();
}

// A whole number in int range, anything else 0.
int wholeNumber(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (std::trunc(number) != number || number < std::numeric_limits<int>::min()
        || number > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(number);
}

QStringList stringList(const QJsonValue &value)
{
    QStringList list;
    const QJsonArray array = value.toArray();
    list.reserve(array.size());
    for (const QJsonValue &element : array)
        list.append(element.toString());
    return list;
}

// Totals beyond what the setter's int can hold are clamped to its range.
int durationSeconds(const QJsonObject &duration)
{
    const qint64 seconds = qint64(wholeNumber(duration.value(QLatin1String("seconds"))))
            + 60 * qint64(wholeNumber(duration.value(QLatin1String("minutes"))))
            + 3600 * qint64(wholeNumber(duration.value(QLatin1String("hours"))))
            + 86400 * qint64(wholeNumber(duration.value(QLatin1String("days"))))
            + 2592000 * qint64(wholeNumber(duration.value(QLatin1String("months"))));
    return int(std::clamp<qint64>(seconds, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

bool isNonEmptyObject(const QJsonValue &value)
{
    return value.isObject() && !value.toObject().isEmpty();
}

} // namespace

QSentrelConfigurationPrivate::QSentrelConfigurationPrivate(QObject *parent)
    : QSentrelConfiguration(parent)
{
    const QString settingsDirectory = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    if (!QFileInfo::exists(settingsDirectory) && !QDir().mkpath(settingsDirectory))
        qCWarning(lcConfig) << "Cannot create settings directory" << settingsDirectory;

    m_remoteConfigFile.setFileName(filePath(settingsDirectory, QStringLiteral("sentrel_remote_config.conf")));
    m_settingsPath = filePath(settingsDirectory, QStringLiteral("sentrel.ini"));

    {
        QSettings settings(m_settingsPath, QSettings::IniFormat);
        m_remoteConfigHash = settings.value(QStringLiteral("remoteConfigHash")).toByteArray();
        m_lastShutdown = settings.value(QStringLiteral("lastShutdown"), true).toBool();
        settings.setValue(QStringLiteral("lastShutdown"), false);
    }

    if (QCoreApplication *application = QCoreApplication::instance()) {
        connect(application, &QCoreApplication::aboutToQuit, this, [this] {
            QSettings settings(m_settingsPath, QSettings::IniFormat);
            settings.setValue(QStringLiteral("lastShutdown"), true);
        });
    }

    setStorageType(QStringLiteral("SQLITE"), m_config);
    setBatchSize(100, m_config);
    setUserId(QString(), m_config);
    setPlatform(QStringLiteral("app"), m_config);

    loadConfig();
}

QSentrelConfigurationPrivate::~QSentrelConfigurationPrivate() = default;

// The stored remote document is considered whatever became of the configuration file: an
// application configured in code has none, and would otherwise never see its remote
// configuration again, since the collector's unchanged document is not applied twice.
bool QSentrelConfigurationPrivate::loadConfig()
{
    const bool loaded = loadConfigFile();

    const QSettings settings(m_settingsPath, QSettings::IniFormat);
    if (settings.value(QStringLiteral("applicationVersion")).toString()
        != QCoreApplication::applicationVersion()) {
        qCDebug(lcConfig) << "Skip remote configuration from previous application version";
        return loaded;
    }

    if (!m_remoteConfigFile.open(QIODevice::ReadOnly))
        return loaded;
    qCInfo(lcConfig) << "Using remote configurations from:" << m_remoteConfigFile.fileName();
    const QByteArray remote = m_remoteConfigFile.readAll();
    m_remoteConfigFile.close();
    return parseConfig(remote, m_remoteConfig) && loaded;
}

bool QSentrelConfigurationPrivate::loadConfigFile()
{
    QString path = qEnvironmentVariable("SENTREL_CONFIG");
    if (path.isEmpty()) {
        const QStringList candidates = {
            QStringLiteral(":/sentrel.conf"),
            QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(configFileName),
            configFileName,
        };
        for (const QString &candidate : candidates) {
            path = candidate;
            if (QFile::exists(path))
                break;
        }
        if (!QFile::exists(path)) {
            path = QStandardPaths::locate(QStandardPaths::GenericConfigLocation,
                                          QStringLiteral("Tamlor/") + configFileName);
            if (path.isEmpty())
                path = QDir(QLibraryInfo::path(QLibraryInfo::DataPath))
                               .absoluteFilePath(QStringLiteral("sentrel/") + configFileName);
        }
        if (!QFile::exists(path)) {
            qCWarning(lcConfig) << "Could not find configuration file:" << configFileName;
            return false;
        }
    }

    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly)) {
        // Misspelt on purpose: the log text is fixed and tests pin it.
        qCWarning(lcConfig) << "Could no open configuration file" << path;
        return false;
    }
    qCInfo(lcConfig) << "Using configurations from:" << path;
    return parseConfig(file.readAll(), m_config);
}

bool QSentrelConfigurationPrivate::parseConfig(const QByteArray &data, ItemMap &map)
{
    if (data.isEmpty()) {
        qCDebug(lcConfig) << "Empty configuration data";
        return true;
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(lcConfig) << "Invalid JSON configuration:" << error.errorString();
        return false;
    }
    const QJsonObject config = document.object();

    auto applyString = [&](const char *key, void (QSentrelConfigurationPrivate::*setter)(const QString &, ItemMap &)) {
        const QJsonValue value = config.value(QLatin1String(key));
        if (isPresent(value))
            (this->*setter)(value.toString(), map);
    };
    applyString("server", &QSentrelConfigurationPrivate::setServer);
    applyString("token", &QSentrelConfigurationPrivate::setToken);
    applyString("device_screen_type", &QSentrelConfigurationPrivate::setDeviceScreenType);
    applyString("platform", &QSentrelConfigurationPrivate::setPlatform);
    applyString("device_model", &QSentrelConfigurationPrivate::setDeviceModel);
    applyString("device_variant", &QSentrelConfigurationPrivate::setDeviceVariant);
    applyString("app_build", &QSentrelConfigurationPrivate::setAppBuild);
    applyString("storage", &QSentrelConfigurationPrivate::setStorageType);
    applyString("storage_path", &QSentrelConfigurationPrivate::setStoragePath);

    const QJsonValue storageSize = config.value(QLatin1String("storage_size"));
    if (isPresent(storageSize))
        setStorageSize(wholeNumber(storageSize), map);

    const QJsonValue sync = config.value(QLatin1String("sync"));
    if (isNonEmptyObject(sync)) {
        const QJsonObject object = sync.toObject();
        const QJsonValue batch = object.value(QLatin1String("max_batch_size"));
        if (isPresent(batch))
            setBatchSize(wholeNumber(batch), map);
        const QJsonValue interval = object.value(QLatin1String("interval"));
        if (isNonEmptyObject(interval))
            setSyncInterval(durationSeconds(interval.toObject()), map);
    }

    const QJsonValue syncConfig = config.value(QLatin1String("sync_config"));
    if (isNonEmptyObject(syncConfig)) {
        const QJsonObject object = syncConfig.toObject();
        const QJsonValue enabled = object.value(QLatin1String("enabled"));
        if (isPresent(enabled))
            setRemoteConfig(enabled.isBool() ? enabled.toBool() : true, map);
        const QJsonValue interval = object.value(QLatin1String("interval"));
        if (isNonEmptyObject(interval))
            setRemoteConfigInterval(durationSeconds(interval.toObject()), map);
    }

    const QJsonValue categories = config.value(QLatin1String("categories"));
    if (isPresent(categories))
        setCategories(stringList(categories), map);
    const QJsonValue events = config.value(QLatin1String("events"));
    if (isPresent(events))
        setEvents(stringList(events), map);

    applyString("userId", &QSentrelConfigurationPrivate::setUserId);
    return true;
}

QDateTime QSentrelConfigurationPrivate::lastSync() const
{
    const QSettings settings(m_settingsPath, QSettings::IniFormat);
    return settings.value(QStringLiteral("lastSyncTime")).toDateTime();
}

void QSentrelConfigurationPrivate::setLastSync(const QDateTime &time)
{
    QSettings settings(m_settingsPath, QSettings::IniFormat);
    settings.setValue(QStringLiteral("lastSyncTime"), time);
}

bool QSentrelConfigurationPrivate::lastShutdown() const
{
    return m_lastShutdown;
}
