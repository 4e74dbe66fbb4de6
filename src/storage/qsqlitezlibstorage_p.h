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
// preset dictionary: up to 8 of the file's own events, sampled once the file holds 100 events
// and kept in the configuration table as "zlib_dictionary".
//
// Same thread and ownership rules as QSQLiteStorage.
class SENTREL_AUTOTEST_EXPORT QSQLiteZlibStorage : public QSQLiteStorage
{
    Q_OBJECT
public:
    QSQLiteZlibStorage(const QString &path, int size);

    bool open() override;
    bool add(const QByteArray &data) override;
    QList<QPair<quint64, QByteArray>> get(qint64 limit, qint64 offset) override;

    // Valid only after a successful open(). Each returns data unchanged when it cannot be
    // transformed, so such an event is stored, or read back, as it is.
    QByteArray compress(const QByteArray &data);
    QByteArray decompress(const QByteArray &data);
    void trainDictionary();

    // Inflates one stored value against a dictionary as decompress() does, without a store.
    static QByteArray decode(const QByteArray &data, const QByteArray &dictionary);

private:
    QByteArray dictionary;
    bool dictionaryReady = false;
};

#endif // QSQLITEZLIBSTORAGE_P_H
