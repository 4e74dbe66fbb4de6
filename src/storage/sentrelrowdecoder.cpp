// SPDX-License-Identifier: MIT
#include "sentrelrowdecoder_p.h"

#include "qsqlitezlibstorage_p.h"
#include "qsqlitezstdstorage_p.h"

#include <QJsonDocument>

#include <zstd.h>

namespace {
// What the stores write for an event: a JSON object, compact, so its first and last bytes.
bool looksLikeObject(const QByteArray &bytes)
{
    return bytes.size() >= 2 && bytes.front() == '{' && bytes.back() == '}';
}
} // namespace

SentrelRowDecoder::SentrelRowDecoder() : zstdContext(ZSTD_createDCtx())
{
    setZstdDictionary(QByteArray());
}

SentrelRowDecoder::~SentrelRowDecoder()
{
    ZSTD_freeDDict(zstdDictionary);
    ZSTD_freeDCtx(zstdContext);
}

void SentrelRowDecoder::setZstdDictionary(const QByteArray &dictionary)
{
    zstd = dictionary;
    ZSTD_freeDDict(zstdDictionary);
    // Frames made before a dictionary existed carry none and decode alike with this one.
    zstdDictionary = ZSTD_createDDict(dictionary.constData(), size_t(dictionary.size()));
}

bool SentrelRowDecoder::isZstdFrame(const QByteArray &stored)
{
    // The frame's magic number, little-endian. No JSON text starts with 0x28 0xB5.
    return stored.size() >= 4 && quint8(stored[0]) == 0x28 && quint8(stored[1]) == 0xB5
            && quint8(stored[2]) == 0x2F && quint8(stored[3]) == 0xFD;
}

QByteArray SentrelRowDecoder::decode(const QByteArray &stored) const
{
    if (isZstdFrame(stored))
        return QSQLiteZstdStorage::decodeWith(zstdContext, zstdDictionary, stored);
    if (looksLikeObject(stored)) {
        // A deflate stream can begin with '{' and end with '}' as well. JSON text almost never
        // inflates whole; when it does, the form that is an event wins.
        const std::optional<QByteArray> inflated = QSQLiteZlibStorage::inflate(stored, zlib, false);
        if (!inflated)
            return stored;
        return looksLikeObject(*inflated) || QJsonDocument::fromJson(stored).isNull() ? *inflated
                                                                                      : stored;
    }
    return QSQLiteZlibStorage::inflate(stored, zlib, true).value_or(stored);
}
