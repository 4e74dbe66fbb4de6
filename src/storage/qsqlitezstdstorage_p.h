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

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;
struct ZSTD_CDict_s;
struct ZSTD_DDict_s;

// The event cache with every event kept as one Zstandard frame at level 5, against a
// dictionary trained from the file's 100 oldest events, masked, once it holds 100 events and
// kept in the configuration table as "zstd_dictionary" until the cache is cleared.
//
// Same thread and ownership rules as QSQLiteStorage. Owns its compression context and the
// digested compression dictionary, both created by open(); it reads through the base's decoder.
class SENTREL_AUTOTEST_EXPORT QSQLiteZstdStorage : public QSQLiteStorage
{
    Q_OBJECT

public:
    QSQLiteZstdStorage(const QString &path, int size);
    ~QSQLiteZstdStorage() override;

    bool open() override;

    // Valid only after a successful open().
    QByteArray compress(const QByteArray &data) override;
    void trainDictionary() override;
    void dictionariesChanged() override;

    // Decodes one stored value against a dictionary (empty for frames made before one existed)
    // as decompress() does, without a store. Sets up a context per call.
    static QByteArray decode(const QByteArray &data, const QByteArray &dictionary);
    // The same with a context and a digested dictionary.
    static QByteArray
    decodeWith(ZSTD_DCtx_s *context, const ZSTD_DDict_s *dictionary, const QByteArray &data);

private:
    ZSTD_CCtx_s *compressionContext = nullptr;
    ZSTD_CDict_s *compressionDictionary = nullptr;
};

#endif // QSQLITEZSTDSTORAGE_P_H
