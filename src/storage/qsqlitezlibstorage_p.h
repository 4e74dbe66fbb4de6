// SPDX-License-Identifier: MIT
#ifndef QSQLITEZLIBSTORAGE_P_H
#define QSQLITEZLIBSTORAGE_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "qsqlitestorage_p.h"

// The event cache with every event kept as a raw deflate stream (2048-byte window) against a
// preset dictionary: up to 8 of the file's 100 oldest events, picked at random once it holds
// 100 events, masked, and kept in the configuration table as "zlib_dictionary" until the
// cache is cleared.
//
// Same thread and ownership rules as QSQLiteStorage.
class SENTREL_AUTOTEST_EXPORT QSQLiteZlibStorage : public QSQLiteStorage
{
    Q_OBJECT

public:
    QSQLiteZlibStorage(const QString &path, int size)
        : QSQLiteStorage(path, size, SentrelCodec::Zlib)
    { }
};

#endif // QSQLITEZLIBSTORAGE_P_H
