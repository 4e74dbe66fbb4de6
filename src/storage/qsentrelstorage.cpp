// SPDX-License-Identifier: MIT
#include "qsentrelstorage_p.h"

#include "qsqlitestorage_p.h"
#include "qsqlitezlibstorage_p.h"
#include "qsqlitezstdstorage_p.h"

std::unique_ptr<QSentrelStorage>
QSentrelStorage::create(const QString &type, const QString &path, int size)
{
    if (type == QLatin1String("SQLITE"))
        return std::make_unique<QSQLiteStorage>(path, size);
    if (type == QLatin1String("SQLITE-ZLIB"))
        return std::make_unique<QSQLiteZlibStorage>(path, size);
    if (type == QLatin1String("SQLITE-ZSTD"))
        return std::make_unique<QSQLiteZstdStorage>(path, size);
    return nullptr;
}
