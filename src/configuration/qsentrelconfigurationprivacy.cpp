// SPDX-License-Identifier: MIT
// The user identifier, the person's stored decision and the forgetting of both.
#include "qsentrelconfiguration_p.h"

#include "sentrelclock_p.h"
#include "sentrelfiles_p.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QUrl>

#include <utility>

namespace {

const QString sharedUserIdKey = QStringLiteral("userId");
// In the application's settings: the shared identifier this application made, if it did.
const QString createdUserIdKey = QStringLiteral("createdUserId");
// In the application's settings: the key of the "hashed" naming policy, in Base64.
const QString nameKeyKey = QStringLiteral("nameKey");
constexpr qsizetype nameKeySize = 32;

// The application's group in the user-wide settings, where its own identifier replaces the
// shared one once the person asked it to forget a shared one it did not make.
QString applicationGroup()
{
    return QStringLiteral("applications/")
            + QString::fromLatin1(
                    QUrl::toPercentEncoding(QCoreApplication::applicationName(), " "));
}

// The user-wide settings are a file on Linux (and in test mode everywhere); elsewhere they live
// in the registry or the preferences system, which keep them for the user already.
void makePrivate(const QSettings &settings)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    const bool isFile = true;
#else
    const bool isFile = settings.format() == QSettings::IniFormat;
#endif
    if (isFile)
        SentrelFiles::makePrivateFile(settings.fileName());
}

} // namespace

const QStringList &QSentrelConfigurationPrivate::consentNames()
{
    static const QStringList names {QStringLiteral("undecided"),
                                    QStringLiteral("denied"),
                                    QStringLiteral("anonymous"),
                                    QStringLiteral("granted")};
    return names;
}

QSettings QSentrelConfigurationPrivate::userWideSettings()
{
    // Tests must not write the real registry (Windows) or preferences (macOS): in test mode
    // the settings are an INI file in the test configuration location, which on Linux is the
    // very file the native format uses.
    if (QStandardPaths::isTestModeEnabled())
        return QSettings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                                 + QStringLiteral("/Tamlor/SentrelTrackerGlobal.conf"),
                         QSettings::IniFormat);
    return QSettings(QSettings::NativeFormat,
                     QSettings::UserScope,
                     QStringLiteral("Tamlor"),
                     QStringLiteral("SentrelTrackerGlobal"));
}

// Made on first read rather than when the configuration is made, so that an application
// waiting for consent writes no identifier.
QString QSentrelConfigurationPrivate::userId()
{
    const QString configured = get<QString>(UserId);
    if (!configured.isEmpty())
        return configured;

    std::lock_guard<std::mutex> locker(m_userIdLock);
    if (!m_resolvedUserId.isEmpty())
        return m_resolvedUserId;
    QSettings settings = userWideSettings();
    const QString ownKey = applicationGroup() + QStringLiteral("/userId");
    const bool separate = settings.value(applicationGroup() + QStringLiteral("/separate")).toBool();
    const QString key = separate ? ownKey : sharedUserIdKey;
    m_resolvedUserId = settings.value(key).toString();
    if (m_resolvedUserId.isEmpty()) {
        qCDebug(lcConfig) << "Generating new user id.";
        m_resolvedUserId = newIdentifier();
        makePrivate(settings);
        settings.setValue(key, m_resolvedUserId);
        if (!separate)
            writableSettings().setValue(createdUserIdKey, m_resolvedUserId);
    }
    return m_resolvedUserId;
}

void QSentrelConfigurationPrivate::forgetResolvedUserId()
{
    std::lock_guard<std::mutex> locker(m_userIdLock);
    m_resolvedUserId.clear();
}

QByteArray QSentrelConfigurationPrivate::nameKey()
{
    std::lock_guard<std::mutex> locker(m_userIdLock);
    if (!m_nameKey.isEmpty())
        return m_nameKey;
    QSettings settings = writableSettings();
    m_nameKey = QByteArray::fromBase64(settings.value(nameKeyKey).toByteArray());
    if (m_nameKey.size() != nameKeySize) {
        m_nameKey.resize(nameKeySize);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_nameKey.data()),
                                              nameKeySize / sizeof(quint32));
        settings.setValue(nameKeyKey, m_nameKey.toBase64());
    }
    return m_nameKey;
}

// The shared identifier names the person in other applications too: it is removed only when
// this application made it, and otherwise this application goes on with one of its own. A
// configured or remote "userId" does not keep the one this application made: it may have been
// used before that was set, and is used again once it goes.
void QSentrelConfigurationPrivate::forgetUserId()
{
    forgetResolvedUserId();
    QSettings settings = userWideSettings();
    const QString group = applicationGroup();
    if (settings.value(group + QStringLiteral("/separate")).toBool()) {
        settings.remove(group + QStringLiteral("/userId"));
        return;
    }
    QSettings applicationSettings = writableSettings();
    const QString shared = settings.value(sharedUserIdKey).toString();
    if (shared.isEmpty())
        return;
    if (applicationSettings.value(createdUserIdKey).toString() == shared)
        settings.remove(sharedUserIdKey);
    else
        settings.setValue(group + QStringLiteral("/separate"), true);
    applicationSettings.remove(createdUserIdKey);
}

std::optional<std::pair<int, int>> QSentrelConfigurationPrivate::storedConsent() const
{
    const QSettings settings(m_settingsPath, QSettings::IniFormat);
    const qsizetype consent =
            consentNames().indexOf(settings.value(QStringLiteral("consent/level")).toString());
    if (consent < 0)
        return std::nullopt;
    return std::make_pair(int(consent), settings.value(QStringLiteral("consent/version")).toInt());
}

void QSentrelConfigurationPrivate::storeConsent(int consent, int version)
{
    QSettings settings = writableSettings();
    settings.setValue(QStringLiteral("consent/level"), consentNames().value(consent));
    settings.setValue(QStringLiteral("consent/version"), version);
    settings.setValue(QStringLiteral("consent/time"),
                      QDateTime::fromMSecsSinceEpoch(SentrelClock::current()->now(), Qt::UTC)
                              .toString(Qt::ISODateWithMs));
}

QString QSentrelConfigurationPrivate::storedDocumentStoragePath() const
{
    QFile file(m_remoteConfigFile.fileName());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QJsonValue path =
            QJsonDocument::fromJson(file.readAll()).object().value(QLatin1String("storage_path"));
    return path.isString() ? path.toString() : QString();
}

void QSentrelConfigurationPrivate::forgetConsent()
{
    if (!storedConsent())
        return;
    QSettings settings = writableSettings();
    settings.remove(QStringLiteral("consent"));
}

void QSentrelConfigurationPrivate::withdrawRemoteItems()
{
    ItemMap outgoing;
    {
        std::lock_guard<std::shared_mutex> locker(m_mapLock);
        outgoing = std::exchange(m_remoteConfig, ItemMap());
    }
    m_remoteConfigHash.clear();
    m_remoteConfigDormant = false;
    for (auto item = outgoing.keyBegin(); item != outgoing.keyEnd(); ++item)
        emitChanged(*item);
}

bool QSentrelConfigurationPrivate::forgetRemoteDocument()
{
    applyConfig(QByteArray());
    m_remoteConfigHash.clear();
    m_remoteConfigDormant = false;
    if (m_remoteConfigFile.exists() && !m_remoteConfigFile.remove())
        qCWarning(lcConfig) << "Could not remove" << m_remoteConfigFile.fileName();
    return !m_remoteConfigFile.exists();
}

bool QSentrelConfigurationPrivate::forgetSettings()
{
    {
        std::lock_guard<std::mutex> locker(m_userIdLock);
        m_nameKey.clear(); // names hash anew, unlinkable to those sent before
    }
    {
        // Cleared through QSettings first: it caches the files it has read.
        QSettings settings(m_settingsPath, QSettings::IniFormat);
        settings.clear();
        settings.sync();
    }
    if (QFileInfo::exists(m_settingsPath) && !QFile::remove(m_settingsPath))
        qCWarning(lcConfig) << "Could not remove" << m_settingsPath;
    return !QFileInfo::exists(m_settingsPath);
}
