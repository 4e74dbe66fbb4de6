// SPDX-License-Identifier: MIT
#ifndef CACHEINSPECTOR_H
#define CACHEINSPECTOR_H

#include "sentrelcodec_p.h"

#include <QByteArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>

#include <functional>

// Reads an event cache file without changing it: no journal mode, no vacuum, no side files
// that were not already there. Rows are decoded with the stores' own codec, given the
// dictionaries kept in the file, so no store is ever opened on it.
//
// Uses its own SQL connection; lives on the thread that created it.
class CacheInspector
{
public:
    struct Summary
    {
        QString path;
        qint64 fileSize = 0;
        qint64 walSize = -1; // -1: no write-ahead log beside the file
        qint64 events = 0;
        qint64 firstId = 0;
        qint64 lastId = 0;
        bool hasCompression = false; // whether the file names the store that last opened it
        QString compression; // '', 'zlib' or 'zstd' as stored
        qint64 dictionarySize = -1; // -1: no dictionary for that compression
        int sizeLimit = 0; // the cleanup trigger's limit, 0: none
        qint64 storedBytes = 0; // sum of the stored row sizes
        qint64 decodedBytes = 0; // sum of the decoded event sizes
        qint64 undecodable = 0; // rows that did not decode to a JSON object

        double bytesPerEvent() const { return events ? double(fileSize) / double(events) : 0.0; }
        QJsonObject toJson() const;
        QString toText() const;
    };

    CacheInspector();
    ~CacheInspector();
    CacheInspector(const CacheInspector &) = delete;
    CacheInspector &operator=(const CacheInspector &) = delete;

    // path is the cache file, or a directory holding "SentrelTracker.db".
    bool open(const QString &path);
    QString errorString() const { return error; }
    QString filePath() const { return path; }

    // Reads every row; call after open().
    Summary summary();
    // Calls visit with each row's id and its decoded bytes, in ascending id order; decoded
    // is false when the row did not decode to a JSON object (bytes are then as stored).
    // Returns false when the rows could not be read.
    bool forEachEvent(
            const std::function<void(qint64 id, const QByteArray &event, bool decoded)> &visit);

private:
    QString connectionName;
    QSqlDatabase database;
    QString path;
    QString error;
    SentrelCodec::Form compression = SentrelCodec::Plain; // as the file names it
    SentrelCodec codec;
};

#endif // CACHEINSPECTOR_H
