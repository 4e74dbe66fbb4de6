// SPDX-License-Identifier: MIT
#include "qsentrelconfiguration_p.h"

#include "sentrelfiles_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace {

const QString configFileName = QStringLiteral("sentrel.conf");

QString filePath(const QString &directory, const QString &fileName)
{
    return QStringLiteral("%1/%2").arg(directory, fileName);
}

} // namespace

QSentrelConfigurationPrivate::QSentrelConfigurationPrivate(QObject *parent)
    : QSentrelConfiguration(parent)
{
    const QString settingsDirectory =
            QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    if (!QFileInfo::exists(settingsDirectory) && !SentrelFiles::makePrivatePath(settingsDirectory))
        qCWarning(lcConfig) << "Cannot create settings directory" << settingsDirectory;

    m_remoteConfigFile.setFileName(
            filePath(settingsDirectory, QStringLiteral("sentrel_remote_config.conf")));
    m_settingsPath = filePath(settingsDirectory, QStringLiteral("sentrel.ini"));

    {
        // Read only: writing, which syncs the file to disk, is the worker's (markRunning()).
        const QSettings settings(m_settingsPath, QSettings::IniFormat);
        m_remoteConfigHash = settings.value(QStringLiteral("remoteConfigHash")).toByteArray();
        m_lastShutdown = settings.value(QStringLiteral("lastShutdown"), true).toBool();
        m_settingsExisted = QFileInfo::exists(m_settingsPath);
    }

    if (QCoreApplication *application = QCoreApplication::instance()) {
        connect(application, &QCoreApplication::aboutToQuit, this, [this] {
            // Not after the application's data were forgotten.
            if (!QFileInfo::exists(m_settingsPath))
                return;
            QSettings settings = writableSettings();
            settings.setValue(QStringLiteral("lastShutdown"), true);
        });
    }

    writeDefaults();
    loadConfig();
}

QSentrelConfigurationPrivate::~QSentrelConfigurationPrivate() = default;

// "sentrel.ini" is made again after the person's data were forgotten: for its owner only, and
// QSettings keeps the mode of the file it replaces.
QSettings QSentrelConfigurationPrivate::writableSettings() const
{
    SentrelFiles::makePrivateFile(m_settingsPath);
    return QSettings(m_settingsPath, QSettings::IniFormat);
}

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
        m_remoteConfigDormant = true;
        return loaded;
    }

    if (!m_remoteConfigFile.open(QIODevice::ReadOnly))
        return loaded;
    qCInfo(lcConfig) << "Using remote configurations from:" << m_remoteConfigFile.fileName();
    const QByteArray remote = m_remoteConfigFile.readAll();
    m_remoteConfigFile.close();
    if (!parseConfig(remote, m_remoteConfig))
        return false;
    // The application has had no chance to narrow the scope yet: the whole document is in force.
    std::lock_guard<std::shared_mutex> locker(m_mapLock);
    m_remoteDocument = m_remoteConfig;
    return loaded;
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

// Written to a temporary file and renamed, so that a failed write leaves the previous document
// whole; the digest and version follow only a stored document.
bool QSentrelConfigurationPrivate::storeRemoteConfig(const QByteArray &document,
                                                     const QByteArray &hash)
{
    qCDebug(lcConfig) << "Storing remote configuration to" << m_remoteConfigFile.fileName();
    SentrelFiles::makePrivateFile(m_remoteConfigFile.fileName());
    QSaveFile file(m_remoteConfigFile.fileName());
    if (!file.open(QIODevice::WriteOnly) || file.write(document) != document.size()
        || !file.commit()) {
        qCWarning(lcConfig) << "Could not store remote configuration:" << file.errorString();
        return false;
    }
    QSettings settings = writableSettings();
    settings.setValue(QStringLiteral("remoteConfigHash"), hash);
    settings.setValue(QStringLiteral("applicationVersion"), QCoreApplication::applicationVersion());
    return true;
}

void QSentrelConfigurationPrivate::forgetRemoteConfig()
{
    m_remoteConfigFile.remove();
    QSettings settings = writableSettings();
    settings.remove(QStringLiteral("remoteConfigHash"));
}

QDateTime QSentrelConfigurationPrivate::lastSync() const
{
    const QSettings settings(m_settingsPath, QSettings::IniFormat);
    return settings.value(QStringLiteral("lastSyncTime")).toDateTime();
}

void QSentrelConfigurationPrivate::setLastSync(const QDateTime &time)
{
    QSettings settings = writableSettings();
    settings.setValue(QStringLiteral("lastSyncTime"), time);
}

bool QSentrelConfigurationPrivate::lastShutdown() const
{
    return m_lastShutdown;
}

std::optional<std::pair<QString, QString>> QSentrelConfigurationPrivate::takeVersionChange()
{
    // Read and written under a lock of its own: QSettings locks each write, not the two.
    QLockFile lock(m_settingsPath + QLatin1String(".version.lock"));
    if (!lock.tryLock(5000)) {
        qCWarning(lcConfig) << "The application's version was not recorded: its lock is held";
        return std::nullopt;
    }
    QSettings settings = writableSettings();
    const QString version = QCoreApplication::applicationVersion();
    const QVariant recorded = settings.value(QStringLiteral("installedVersion"));
    if (recorded.isValid() && recorded.toString() == version)
        return std::nullopt;
    settings.setValue(QStringLiteral("installedVersion"), version);
    settings.sync();
    if (recorded.isValid())
        return std::make_pair(version, recorded.toString());
    // Settings from before versions were recorded belong to an installation that is no news.
    if (m_settingsExisted && settings.contains(QStringLiteral("lastSyncTime")))
        return std::nullopt;
    return std::make_pair(version, QString());
}

std::pair<qint64, QString> QSentrelConfigurationPrivate::takeSessionIndex(const QString &sessionId,
                                                                          bool anonymous)
{
    const QString indexKey = QStringLiteral("sessionIndex");
    const QString idKey = QStringLiteral("sessionId");
    const QString anonymousKey = QStringLiteral("sessionAnonymous");
    // Several processes of the application count in one sequence.
    QLockFile lock(m_settingsPath + QLatin1String(".session.lock"));
    if (!lock.tryLock(5000))
        qCWarning(lcConfig) << "The session index was counted without its lock: it is held";
    QSettings settings = writableSettings();
    const qint64 index = settings.value(indexKey).toLongLong() + 1;
    const bool sameKind = settings.value(anonymousKey).toBool() == anonymous;
    const QString previous = sameKind ? settings.value(idKey).toString() : QString();
    settings.setValue(indexKey, index);
    settings.setValue(idKey, sessionId);
    settings.setValue(anonymousKey, anonymous);
    settings.sync();
    return {index, previous};
}

void QSentrelConfigurationPrivate::markRunning()
{
    if (m_markedRunning.exchange(true))
        return;
    QSettings settings = writableSettings();
    settings.setValue(QStringLiteral("lastShutdown"), false);
}
