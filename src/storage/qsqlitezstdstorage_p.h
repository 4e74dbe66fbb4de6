// SPDX-License-Identifier: MIT
#ifndef QSQLITEZSTDSTORAGE_P_H
#define QSQLITEZSTDSTORAGE_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "qsqlitestorage_p.h"

// The event cache with every event kept as one Zstandard frame at level 5, against a
// dictionary trained from the file's 100 oldest events, masked, once it holds 100 events and
// kept in the configuration table as "zstd_dictionary" until the cache is cleared.
//
// Same thread and ownership rules as QSQLiteStorage.
class SENTREL_AUTOTEST_EXPORT QSQLiteZstdStorage : public QSQLiteStorage
{
    Q_OBJECT

public:
    QSQLiteZstdStorage(const QString &path, int size)
        : QSQLiteStorage(path, size, SentrelCodec::Zstd)
    { }
};

#endif // QSQLITEZSTDSTORAGE_P_H
