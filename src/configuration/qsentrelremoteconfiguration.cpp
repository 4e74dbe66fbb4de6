// SPDX-License-Identifier: MIT
#include "qsentrelconfiguration_p.h"

#include <QCryptographicHash>

#include <utility>

bool QSentrelConfigurationPrivate::applyConfig(const QByteArray &document)
{
    // Items still in force although their file could not be written are withdrawn too.
    if (document.isEmpty() && !m_remoteConfigFile.exists() && remoteItems().isEmpty())
        return false;

    // In the dormant state the collector sending the remembered document again confirms it
    // for the new application version.
    const QByteArray hash = QCryptographicHash::hash(document, QCryptographicHash::Md5);
    if (hash == m_remoteConfigHash && !m_remoteConfigDormant) {
        qCDebug(lcConfig) << "No changes to the remote configurations";
        return false;
    }

    ItemList incoming;
    if (!document.isEmpty()) {
        qCDebug(lcConfig) << "New remote configuration with checksum:" << hash.toHex();
        // When the document cannot be stored the digest stays, so that the next fetch of the
        // same document stores it.
        if (storeRemoteConfig(document, hash)) {
            m_remoteConfigHash = hash;
            m_remoteConfigDormant = false;
        }
        if (!readDocument(document, incoming))
            qCWarning(lcConfig) << "Could not apply remote configuration";
    } else {
        qCDebug(lcConfig) << "Remote configuration has been removed, restore local config";
        forgetRemoteConfig();
        m_remoteConfigHash = hash;
        m_remoteConfigDormant = false;
    }

    // Readers on other threads see either the whole previous document or the whole new one.
    ItemMap accepted;
    for (const auto &[item, value] : std::as_const(incoming))
        accepted.insert(item, value);
    ItemMap items;
    ItemMap outgoing;
    QList<ConfigItem> refused;
    {
        std::lock_guard<std::shared_mutex> locker(m_mapLock);
        m_remoteDocument = accepted;
        items = admittedRemoteItems(refused);
        outgoing = std::exchange(m_remoteConfig, items);
    }
    logRefused(refused);
    for (const auto &entry : std::as_const(incoming)) {
        if (items.contains(entry.first))
            emitChanged(entry.first);
    }
    for (auto item = outgoing.keyBegin(); item != outgoing.keyEnd(); ++item) {
        if (!items.contains(*item))
            emitChanged(*item);
    }
    return true;
}

QSentrelConfigurationPrivate::ItemMap
QSentrelConfigurationPrivate::admittedRemoteItems(QList<ConfigItem> &refused)
{
    ItemMap admitted;
    for (auto entry = m_remoteDocument.cbegin(); entry != m_remoteDocument.cend(); ++entry) {
        if (m_remoteScope.test(entry.key())) {
            admitted.insert(entry.key(), entry.value());
        } else if (!m_refusalLogged.test(entry.key())) {
            m_refusalLogged.set(entry.key());
            refused.append(entry.key());
        }
    }
    return admitted;
}

void QSentrelConfigurationPrivate::logRefused(const QList<ConfigItem> &refused)
{
    for (ConfigItem item : refused)
        qCWarning(lcConfig) << "Remote configuration may not change" << documentKey(item);
}

QStringList QSentrelConfigurationPrivate::remoteScope() const
{
    std::shared_lock<std::shared_mutex> locker(m_mapLock);
    return m_remoteScopeKeys.value_or(documentKeys());
}

void QSentrelConfigurationPrivate::setRemoteScope(const QStringList &keys)
{
    ItemSet scope;
    for (const QString &key : keys) {
        bool known = false;
        for (int item = 0; item < itemCount; ++item) {
            const QString itemKey = documentKey(ConfigItem(item));
            if (itemKey == key || itemKey.startsWith(key + QLatin1Char('/'))) {
                scope.set(item);
                known = true;
            }
        }
        if (!known)
            qCWarning(lcConfig) << "Unknown key in the remote configuration scope:" << key;
    }

    // The worker may be applying a document meanwhile: the scope and the items in force change
    // in one step.
    ItemMap outgoing;
    ItemMap items;
    QList<ConfigItem> refused;
    {
        std::lock_guard<std::shared_mutex> locker(m_mapLock);
        m_remoteScope = scope;
        m_remoteScopeKeys = keys;
        items = admittedRemoteItems(refused);
        outgoing = std::exchange(m_remoteConfig, items);
    }
    logRefused(refused);
    // An item's remote value is the same before and after: only those that came or went.
    for (int item = 0; item < itemCount; ++item) {
        if (items.contains(ConfigItem(item)) != outgoing.contains(ConfigItem(item)))
            emitChanged(ConfigItem(item));
    }
}
