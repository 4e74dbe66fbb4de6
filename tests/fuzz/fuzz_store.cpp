// SPDX-License-Identifier: MIT
// Built as the zlib and the zstd target. Stored bytes read back from a cache file that may be corrupt or hostile.
#include "qsqlitezlibstorage_p.h"
#include "qsqlitezstdstorage_p.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {
#if defined(SENTREL_FUZZ_ZSTD)
using Store = QSQLiteZstdStorage;
#else
using Store = QSQLiteZlibStorage;
#endif
Store *store = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv); // lives as long as the process
    static QTemporaryDir directory;
    QLoggingCategory::setFilterRules(QStringLiteral("sentrel*=false"));
    store = new Store(directory.filePath(QStringLiteral("SentrelTracker.db")), 0);
    if (!store->open())
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray stored(reinterpret_cast<const char *>(data), qsizetype(size));
    store->decompress(stored);
    // Whatever an event holds, it comes back whole.
    if (store->decompress(store->compress(stored)) != stored)
        std::abort();
    return 0;
}
