// SPDX-License-Identifier: MIT
#include "sentrelcodec_p.h"

#include "sentreldictionarysample_p.h"
#include "sentrelstoragelimits_p.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <zdict.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace {
// Raw deflate, no header, with a 2048-byte window.
constexpr int windowBits = -11;
constexpr int memoryLevel = 8;
constexpr int zstdLevel = 5;

QString streamMessage(const z_stream &stream)
{
    return stream.msg ? QString::fromLatin1(stream.msg) : QString();
}

// What the stores write for an event: a JSON object, compact, so its first and last bytes.
bool looksLikeObject(const QByteArray &bytes)
{
    return bytes.size() >= 2 && bytes.front() == '{' && bytes.back() == '}';
}

bool isZstdFrame(const QByteArray &stored)
{
    // The frame's magic number, little-endian. No JSON text starts with 0x28 0xB5.
    return stored.size() >= 4 && quint8(stored[0]) == 0x28 && quint8(stored[1]) == 0xB5
            && quint8(stored[2]) == 0x2F && quint8(stored[3]) == 0xFD;
}

QByteArray deflated(const QByteArray &data, const QByteArray &dictionary)
{
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

// Nothing when data is not one whole stream within the limit (logged when logFailure).
std::optional<QByteArray>
inflated(const QByteArray &data, const QByteArray &dictionary, bool logFailure)
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
        result = inflate(&stream, Z_NO_FLUSH);
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
        // Z_NEED_DICT, Z_MEM_ERROR: not a stream made with this dictionary.
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

// The size in the frame's header is not believed beyond the limit, so a damaged or hostile row
// cannot make this allocate without bound.
QByteArray unzstd(ZSTD_DCtx *context, const ZSTD_DDict *dictionary, const QByteArray &data)
{
    const unsigned long long contentSize =
            ZSTD_getFrameContentSize(data.constData(), size_t(data.size()));
    if (!context || !dictionary || contentSize == ZSTD_CONTENTSIZE_UNKNOWN
        || contentSize == ZSTD_CONTENTSIZE_ERROR
        || contentSize > quint64(SentrelStorage::maxEventSize)) {
        qCInfo(lcStorage) << "Zstd uncompression failed";
        return data;
    }
    QByteArray output(qsizetype(contentSize), Qt::Uninitialized);
    const size_t result = ZSTD_decompress_usingDDict(context,
                                                     output.data(),
                                                     size_t(output.size()),
                                                     data.constData(),
                                                     size_t(data.size()),
                                                     dictionary);
    if (ZSTD_isError(result)) {
        qCInfo(lcStorage) << "Zstd uncompression failed";
        return data;
    }
    output.resize(qsizetype(result));
    return output;
}

// The samples are the store's pick of its events.
QByteArray zlibDictionaryOf(const QList<QByteArray> &samples)
{
    qCInfo(lcStorage) << "Creating Zlib dictionary from" << SentrelCodec::zlibSamples
                      << "samples out of" << SentrelCodec::trainingEvents << "events";
    QByteArray dictionary("", 0); // kept, if empty: no dictionary is made again
    for (qsizetype i = 0; i < samples.size() && i < SentrelCodec::zlibSamples; ++i)
        dictionary.append(SentrelDictionarySample::mask(samples.at(i)));
    return dictionary;
}

std::optional<QByteArray> zstdDictionaryOf(const QList<QByteArray> &events)
{
    QByteArray samples;
    std::vector<size_t> lengths;
    lengths.reserve(size_t(events.size()));
    for (const QByteArray &event : events) {
        const QByteArray sample = SentrelDictionarySample::mask(event);
        lengths.push_back(size_t(sample.size()));
        samples.append(sample);
    }
    qCInfo(lcStorage) << "Training Zstd with" << events.size() << "samples ("
                      << samples.size() / 1024 << "kb ) of event data";
    // A tenth of the sample bytes.
    QByteArray dictionary(qsizetype(double(samples.size()) * 0.1), Qt::Uninitialized);
    const size_t length = ZDICT_trainFromBuffer(dictionary.data(),
                                                size_t(dictionary.size()),
                                                samples.constData(),
                                                lengths.data(),
                                                unsigned(lengths.size()));
    if (ZDICT_isError(length)) {
        qCWarning(lcStorage) << "Failed to train Zstd dictionary";
        return std::nullopt;
    }
    dictionary.resize(qsizetype(length));
    return dictionary;
}
} // namespace

SentrelCodec::SentrelCodec() : zstdDecompression(ZSTD_createDCtx())
{
    setDictionary(Zstd, QByteArray());
}

SentrelCodec::~SentrelCodec()
{
    ZSTD_freeCCtx(zstdCompression);
    ZSTD_freeCDict(zstdEncoder);
    ZSTD_freeDDict(zstdDecoder);
    ZSTD_freeDCtx(zstdDecompression);
}

const char *SentrelCodec::name(Form form)
{
    return form == Zlib ? "zlib" : form == Zstd ? "zstd" : "";
}

SentrelCodec::Form SentrelCodec::fromName(const QString &name)
{
    return name == QLatin1String("zlib") ? Zlib : name == QLatin1String("zstd") ? Zstd : Plain;
}

const QByteArray &SentrelCodec::dictionary(Form form) const
{
    static const QByteArray none;
    return form == Zlib ? zlib : form == Zstd ? zstd : none;
}

void SentrelCodec::setDictionary(Form form, const QByteArray &dictionary)
{
    if (form == Zlib)
        zlib = dictionary;
    if (form != Zstd)
        return;
    zstd = dictionary;
    ZSTD_freeCDict(std::exchange(zstdEncoder, nullptr));
    ZSTD_freeDDict(zstdDecoder);
    // Frames made before a dictionary existed carry none and decode alike with this one.
    zstdDecoder = ZSTD_createDDict(dictionary.constData(), size_t(dictionary.size()));
}

bool SentrelCodec::loadDictionaries(const QSqlDatabase &database)
{
    QByteArray kept[2];
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (query.exec(QStringLiteral("SELECT item, value FROM configuration WHERE item IN "
                                  "('zlib_dictionary', 'zstd_dictionary')"))) {
        while (query.next()) {
            // SQLite hands an empty BLOB back as null; it is a dictionary all the same.
            const QByteArray value = query.value(1).toByteArray();
            kept[query.value(0).toString() == QLatin1String("zstd_dictionary")] =
                    value.isNull() ? QByteArray("", 0) : value;
        }
    }
    bool changed = false;
    for (const Form form : {Zlib, Zstd}) {
        const QByteArray &now = kept[form == Zstd];
        if (now.isNull() == dictionary(form).isNull() && now == dictionary(form))
            continue;
        setDictionary(form, now);
        changed = true;
    }
    return changed;
}

SentrelCodec::Stored SentrelCodec::encode(Form form, const QByteArray &event)
{
    if (form == Plain)
        return {event, Plain};
    // What decode() would refuse must not be stored compressed.
    if (event.size() > SentrelStorage::maxEventSize) {
        if (form == Zlib)
            qCInfo(lcStorage) << "Zlib compression skipped for an event of" << event.size()
                              << "bytes";
        else
            qCInfo(lcStorage) << "Zstd compression failed";
        return {event, Plain};
    }
    if (form == Zlib) {
        // deflated() hands the event back, shared, when zlib fails.
        const QByteArray output = deflated(event, zlib);
        return {output, output.constData() == event.constData() ? Plain : Zlib};
    }

    if (!zstdCompression)
        zstdCompression = ZSTD_createCCtx();
    // Without a dictionary the digested one is made from empty content: frames made with it
    // carry no dictionary identifier and decode alike once a trained dictionary is in use.
    if (!zstdEncoder)
        zstdEncoder = ZSTD_createCDict(zstd.constData(), size_t(zstd.size()), zstdLevel);
    QByteArray output(qsizetype(ZSTD_compressBound(size_t(event.size()))), Qt::Uninitialized);
    const size_t result = zstdCompression && zstdEncoder
            ? ZSTD_compress_usingCDict(zstdCompression,
                                       output.data(),
                                       size_t(output.size()),
                                       event.constData(),
                                       size_t(event.size()),
                                       zstdEncoder)
            : size_t(-1);
    if (ZSTD_isError(result)) {
        qCInfo(lcStorage) << "Zstd compression failed";
        return {event, Plain};
    }
    output.resize(qsizetype(result));
    qCDebug(lcStorage) << "Zstd compression" << event.size() << "bytes ->" << output.size()
                       << "bytes." << double(event.size()) / double(output.size())
                       << "compression ratio";
    return {output, Zstd};
}

// Raw deflate has no header to tell it by, but a zstd frame does, and plain rows are JSON
// objects: '{' to '}'.
QByteArray SentrelCodec::decode(const QByteArray &stored, Form form) const
{
    switch (form) {
    case Plain:
        break;
    case Zlib:
        return inflated(stored, zlib, true).value_or(stored);
    case Zstd:
        return unzstd(zstdDecompression, zstdDecoder, stored);
    }
    return stored;
}

QByteArray SentrelCodec::decode(const QByteArray &stored) const
{
    if (isZstdFrame(stored))
        return unzstd(zstdDecompression, zstdDecoder, stored);
    if (looksLikeObject(stored)) {
        const std::optional<QByteArray> event = inflated(stored, zlib, false);
        if (!event)
            return stored;
        return looksLikeObject(*event) || QJsonDocument::fromJson(stored).isNull() ? *event
                                                                                   : stored;
    }
    return inflated(stored, zlib, true).value_or(stored);
}

SentrelCodec::Form SentrelCodec::formOf(const QByteArray &stored) const
{
    if (isZstdFrame(stored))
        return Zstd;
    if (looksLikeObject(stored)) {
        // A deflate stream can begin with '{' and end with '}' as well. JSON text almost never
        // inflates whole; when it does, the form that is an event wins.
        const std::optional<QByteArray> event = inflated(stored, zlib, false);
        if (!event)
            return Plain;
        return looksLikeObject(*event) || QJsonDocument::fromJson(stored).isNull() ? Zlib : Plain;
    }
    return inflated(stored, zlib, false) ? Zlib : Plain;
}

std::optional<QByteArray> SentrelCodec::train(Form form, const QList<QByteArray> &events) const
{
    if (form == Zlib)
        return zlibDictionaryOf(events);
    if (form == Zstd)
        return zstdDictionaryOf(events);
    return std::nullopt;
}
