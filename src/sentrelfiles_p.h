// SPDX-License-Identifier: MIT
#ifndef SENTRELFILES_P_H
#define SENTRELFILES_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <QFileDevice>
#include <QString>

// Everything the library keeps says what a person did or who they are: its files and the
// folders it makes are for their owner only, whatever the process's umask.
namespace SentrelFiles {

inline constexpr QFileDevice::Permissions ownerOnly =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// Creates the folders of directory that are missing, each for its owner only. Folders that
// exist (a configured one the application shares, say) are left as they are.
SENTREL_AUTOTEST_EXPORT bool makePrivatePath(const QString &directory);

// Makes the file at path readable and writable by its owner only, creating it empty (and its
// missing folders) when it does not exist. Writers that replace the file as a whole, as
// QSettings and QSaveFile do, keep the mode of the file they replace.
SENTREL_AUTOTEST_EXPORT bool makePrivateFile(const QString &path);

} // namespace SentrelFiles

#endif // SENTRELFILES_P_H
