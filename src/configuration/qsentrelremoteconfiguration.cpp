#include "qsentrelconfiguration_p.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QSettings>

bool QSentrelConfigurationPrivate::applyConfig(const QByteArray &document)
{
    if (document.isEmpty() && !m_remoteConfigFile.exists())
        return false;

    const QByteArray hash = QCryptographicHash::hash(document, QCryptographicHash::Md5);
    if (hash == m_remoteConfigHash) {
        qCDebug(lcConfig) << "No changes to the remote configurations";
        return false;
    }
    m_remoteConfigHash = hash;

    QList<ConfigItem> oldItems = remoteItems();
    {
        std::lock_guard<std::shared_mutex> locker(m_mapLock);
        m_remoteConfig.clear();
    }

    QSettings settings(m_settingsPath, QSettings::IniFormat);
    if (!document.isEmpty()) {
        qCDebug(lcConfig) << "New remote configuration with checksum:" << hash.toHex();
        settings.setValue(QStringLiteral("remoteConfigHash"), hash);
        settings.setValue(QStringLiteral("applicationVersion"), QCoreApplication::applicationVersion());
        settings.sync();

        qCDebug(lcConfig) << "Storing remote configuration to"
                          << m_remoteConfigFile.fileName();
        if (m_remoteConfigFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            m_remoteConfigFile.write(document);
            m_remoteConfigFile.close();
        } else {
            qCWarning(lcConfig) << "Could not store remote configuration:" << m_remoteConfigFile.errorString();
        }

        if (!parseConfig(document, m_remoteConfig))
            qCWarning(lcConfig) << "Could not apply remote configuration";

        const QList<ConfigItem> newItems = remoteItems();
        oldItems.removeIf([&newItems](ConfigItem item) { return newItems.contains(item); });
    } else {
        qCDebug(lcConfig) << "Remote configuration has been removed, restore local config";
        m_remoteConfigFile.remove();
        settings.remove(QStringLiteral("remoteConfigHash"));
    }

    for (ConfigItem item : std::as_const(oldItems))
        emitChanged(item);
    return true;
}
