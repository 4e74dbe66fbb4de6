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

#include <optional>

// The event cache with every event kept as a raw deflate stream (2048-byte window) against a
// preset dictionary: up to 8 of the file's own events, sampled once the file holds 100 events,
// masked, and kept in the configuration table as "zlib_dictionary" until the cache is cleared.
//
// Same thread and ownership rules as QSQLiteStorage.
class SENTREL_AUTOTEST_EXPORT QSQLiteZlibStorage : public QSQLiteStorage
{
    Q_OBJECT

public:
    QSQLiteZlibStorage(const QString &path, int size);

    bool open() override;

    // Valid only after a successful open().
    QByteArray compress(const QByteArray &data) override;
    void trainDictionary() override;
    void dictionariesChanged() override { needsDictionary = decoder.zlibDictionary().isEmpty(); }

    // Inflates one stored value against a dictionary, without a store; data unchanged when
    // it is not one whole stream.
    static QByteArray decode(const QByteArray &data, const QByteArray &dictionary);
    // The same, with nothing when data is not one whole stream (logged when logFailure).
    static std::optional<QByteArray>
    inflate(const QByteArray &data, const QByteArray &dictionary, bool logFailure);
};

#endif // QSQLITEZLIBSTORAGE_P_H
