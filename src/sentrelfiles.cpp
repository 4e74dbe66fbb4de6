// SPDX-License-Identifier: MIT
#include "sentrelfiles_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {
constexpr QFileDevice::Permissions privateFolder =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
constexpr QFileDevice::Permissions othersMay = QFileDevice::ReadGroup | QFileDevice::WriteGroup
        | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
        | QFileDevice::ExeOther;
} // namespace

bool SentrelFiles::makePrivatePath(const QString &directory)
{
    if (directory.isEmpty())
        return false;
    QString existing = QDir::cleanPath(QFileInfo(directory).absoluteFilePath());
    QStringList missing;
    while (!QFileInfo::exists(existing)) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            break;
        missing.prepend(QFileInfo(existing).fileName());
        existing = parent;
    }
    // One folder at a time, each made with its mode rather than changed afterwards.
    QDir dir(existing);
    for (const QString &name : std::as_const(missing)) {
        if (!dir.mkdir(name, privateFolder) && !dir.exists(name))
            return false;
        if (!dir.cd(name))
            return false;
    }
    return QFileInfo(directory).isDir();
}

bool SentrelFiles::makePrivateFile(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists())
        return !(info.permissions() & othersMay) || QFile::setPermissions(path, ownerOnly);
    if (!makePrivatePath(info.path()))
        return false;
    QFile file(path);
    // Made with its mode, so that it is never readable by others, not even for a moment.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, ownerOnly))
        return QFileInfo::exists(path) && QFile::setPermissions(path, ownerOnly);
    file.close();
    return true;
}
