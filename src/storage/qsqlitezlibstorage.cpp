// SPDX-License-Identifier: MIT
#include "qsqlitezlibstorage_p.h"

#include "sentreldictionarysample_p.h"
#include "sentrelstoragelimits_p.h"

#include <QSqlError>
#include <QVariant>

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace {
// Raw deflate, no header, with a 2048-byte window.
constexpr int windowBits = -11;
constexpr int memoryLevel = 8;
constexpr int dictionarySamples = 8;

QString streamMessage(const z_stream &stream)
{
    return stream.msg ? QString::fromLatin1(stream.msg) : QString();
}
} // namespace

QSQLiteZlibStorage::QSQLiteZlibStorage(const QString &path, int size) : QSQLiteStorage(path, size)
{
    needsDictionary = true; // until open() finds one in the file
}

bool QSQLiteZlibStorage::open()
{
    if (!QSQLiteStorage::open())
        return false;
    if (useCompression(QStringLiteral("zlib"))) {
        needsDictionary = false;
        qCDebug(lcStorage) << "Zlib dictionary loaded";
    }
    return true;
}

QByteArray QSQLiteZlibStorage::compress(const QByteArray &data)
{
    // What decompress() would refuse to inflate must not be stored deflated.
    if (data.size() > SentrelStorage::maxEventSize) {
        qCInfo(lcStorage) << "Zlib compression skipped for an event of" << data.size() << "bytes";
        return data;
    }

    z_stream stream = {};
    int result = deflateInit2(&stream,
                              Z_DEFAULT_COMPRESSION,
                              Z_DEFLATED,
                              windowBits,
                              memoryLevel,
                              Z_DEFAULT_STRATEGY);
    if (result != Z_OK) {
        qCWarning(lcStorage) << "ZLib init failed:" << result;
        return data;
    }
    const QByteArray &dictionary = decoder.zlibDictionary();
    result = deflateSetDictionary(&stream,
                                  reinterpret_cast<const Bytef *>(dictionary.constData()),
                                  uInt(dictionary.size()));
    if (result != Z_OK) {
        qCWarning(lcStorage) << "deflateSetDictionary failed:" << result;
        deflateEnd(&stream);
        return data;
    }

    // Room for the worst case, so that one call always ends the stream: short and
    // incompressible events grow a little.
    QByteArray output(qsizetype(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(output.data());
    stream.avail_out = uInt(output.size());
    result = deflate(&stream, Z_FINISH);
    if (result != Z_STREAM_END) {
        qCWarning(lcStorage) << "deflate failed" << streamMessage(stream);
        deflateEnd(&stream);
        return data;
    }
    output.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);

    qCDebug(lcStorage) << "Zlib compression" << data.size() << "bytes ->" << output.size()
                       << "bytes." << double(data.size()) / double(output.size())
                       << "compression ratio";
    return output;
}

QByteArray QSQLiteZlibStorage::decode(const QByteArray &data, const QByteArray &dictionary)
{
    return inflate(data, dictionary, true).value_or(data);
}

std::optional<QByteArray>
QSQLiteZlibStorage::inflate(const QByteArray &data, const QByteArray &dictionary, bool logFailure)
{
    if (data.isEmpty())
        return data;
    // Compared as 64-bit: where qsizetype is 32 bits, qsizetype(UINT_MAX) would be -1.
    if (quint64(data.size()) > quint64(std::numeric_limits<uInt>::max()))
        return std::nullopt;

    z_stream stream = {};
    int result = inflateInit2(&stream, windowBits);
    if (result != Z_OK) {
        qCCritical(lcStorage) << "inflateInit2 failed:" << result;
        return std::nullopt;
    }
    result = inflateSetDictionary(&stream,
                                  reinterpret_cast<const Bytef *>(dictionary.constData()),
                                  uInt(dictionary.size()));
    if (result != Z_OK) {
        qCWarning(lcStorage) << "inflateSetDictionary failed:" << result;
        inflateEnd(&stream);
        return std::nullopt;
    }

    // Most events fit at the first try; the output grows while inflate needs room, up to the
    // limit. One past the limit tells an event of exactly the limit from a longer one.
    constexpr qsizetype maxOutput = SentrelStorage::maxEventSize + 1;
    // The first guess is computed in 64 bits, as eight times a large row overflows 32 bits.
    const qint64 firstGuess = std::clamp<qint64>(qint64(data.size()) * 8, 1500, maxOutput);
    QByteArray output(qsizetype(firstGuess), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(output.data());
    stream.avail_out = uInt(output.size());

    bool complete = false;
    for (;;) {
        result = ::inflate(&stream, Z_NO_FLUSH);
        if (result == Z_STREAM_END) {
            // Bytes after the end of the stream mean the row was not one deflate stream.
            complete =
                    stream.avail_in == 0 && stream.total_out <= uLong(SentrelStorage::maxEventSize);
            break;
        }
        const bool needsRoom = stream.avail_out == 0 && (result == Z_OK || result == Z_BUF_ERROR);
        if (needsRoom) {
            if (output.size() >= maxOutput)
                break;
            const qsizetype produced = qsizetype(stream.total_out);
            output.resize(std::min(output.size() * 2, maxOutput));
            stream.next_out = reinterpret_cast<Bytef *>(output.data()) + produced;
            stream.avail_out = uInt(output.size() - produced);
            continue;
        }
        if (result == Z_OK)
            continue;
        // Z_BUF_ERROR with room left: the input ended before the stream did. Z_DATA_ERROR,
        // Z_NEED_DICT, Z_MEM_ERROR: not a stream this store can inflate.
        break;
    }

    if (!complete) {
        if (result == Z_STREAM_ERROR)
            qCWarning(lcStorage) << "inflate failed:" << result << streamMessage(stream);
        else if (logFailure)
            qCInfo(lcStorage) << "Zlib uncompression failed:" << result << streamMessage(stream);
        inflateEnd(&stream);
        return std::nullopt;
    }
    output.resize(qsizetype(stream.total_out));
    inflateEnd(&stream);
    if (output.capacity() > 2 * output.size() + 1024)
        output.squeeze();
    return output;
}

void QSQLiteZlibStorage::trainDictionary()
{
    query.prepare(QStringLiteral("SELECT data FROM events ORDER BY RANDOM() LIMIT ?"));
    query.addBindValue(qint64(dictionarySamples));
    if (!query.exec()) {
        qCWarning(lcStorage) << "Failed to get zlib dictionary samples:"
                             << query.lastError().text();
        return;
    }
    qCInfo(lcStorage) << "Creating Zlib dictionary from" << dictionarySamples << "samples out of"
                      << 100 << "events";

    QList<QByteArray> samples;
    while (query.next())
        samples.append(query.value(0).toByteArray());
    query.finish();
    // Read as any row is: the samples may have been written by another store type.
    QByteArray dictionary;
    for (const QByteArray &sample : std::as_const(samples))
        dictionary.append(SentrelDictionarySample::mask(decompress(sample)));

    query.prepare(QStringLiteral("INSERT INTO configuration values('zlib_dictionary', ?)"));
    query.addBindValue(dictionary.isNull() ? QByteArray("", 0) : dictionary);
    if (!query.exec()) {
        qCWarning(lcStorage) << "Failed to store zlib dictionary:" << query.lastError().text();
        return;
    }
    decoder.setZlibDictionary(dictionary);
    needsDictionary = false;
}
