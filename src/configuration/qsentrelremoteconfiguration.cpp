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
    ItemMap items;
    for (const auto &[item, value] : std::as_const(incoming))
        items.insert(item, value);
    ItemMap outgoing;
    {
        std::lock_guard<std::shared_mutex> locker(m_mapLock);
        outgoing = std::exchange(m_remoteConfig, items);
    }
    for (const auto &entry : std::as_const(incoming))
        emitChanged(entry.first);
    for (auto item = outgoing.keyBegin(); item != outgoing.keyEnd(); ++item) {
        if (!items.contains(*item))
            emitChanged(*item);
    }
    return true;
}
