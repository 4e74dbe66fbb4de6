// SPDX-License-Identifier: MIT
#include "qsqlitezstdstorage_p.h"

#include "sentreldictionarysample_p.h"
#include "sentrelstoragelimits_p.h"

#include <QSqlError>
#include <QVariant>

#include <zdict.h>
#include <zstd.h>

#include <vector>

namespace {
constexpr int compressionLevel = 5;
constexpr qint64 trainingSamples = 100;

// Decodes one frame into an output sized from its header: decompressInto(output) is called with
// the output allocated and returns zstd's result. The size in the header is not believed beyond
// the limit, so a damaged or hostile row cannot make this allocate without bound.
template <typename Decompress>
QByteArray decodeFrame(const QByteArray &data, Decompress decompressInto)
{
    const unsigned long long contentSize =
            ZSTD_getFrameContentSize(data.constData(), size_t(data.size()));
    if (contentSize == ZSTD_CONTENTSIZE_UNKNOWN || contentSize == ZSTD_CONTENTSIZE_ERROR
        || contentSize > quint64(SentrelStorage::maxEventSize)) {
        qCInfo(lcStorage) << "Zstd uncompression failed";
        return data;
    }
    QByteArray output(qsizetype(contentSize), Qt::Uninitialized);
    const size_t result = decompressInto(output);
    if (ZSTD_isError(result)) {
        qCInfo(lcStorage) << "Zstd uncompression failed";
        return data;
    }
    output.resize(qsizetype(result));
    return output;
}
} // namespace

QSQLiteZstdStorage::QSQLiteZstdStorage(const QString &path, int size) : QSQLiteStorage(path, size)
{
    needsDictionary = true; // until open() finds one in the file
}

QSQLiteZstdStorage::~QSQLiteZstdStorage()
{
    ZSTD_freeCCtx(compressionContext);
    ZSTD_freeCDict(compressionDictionary);
}

bool QSQLiteZstdStorage::open()
{
    if (!QSQLiteStorage::open())
        return false;
    QByteArray dictionary;
    if (const std::optional<QByteArray> stored = useCompression(QStringLiteral("zstd"))) {
        dictionary = *stored;
        needsDictionary = false;
        qCDebug(lcStorage) << "Zstd dictionary loaded";
    }

    // Without a dictionary the digested ones are made from empty content: frames made with
    // them carry no dictionary identifier and decode alike once a trained dictionary is in use.
    compressionContext = ZSTD_createCCtx();
    compressionDictionary =
            ZSTD_createCDict(dictionary.constData(), size_t(dictionary.size()), compressionLevel);
    return true;
}

QByteArray QSQLiteZstdStorage::compress(const QByteArray &data)
{
    // What decompress() would refuse must not be stored as a frame.
    if (!compressionContext || !compressionDictionary
        || data.size() > SentrelStorage::maxEventSize) {
        qCInfo(lcStorage) << "Zstd compression failed";
        return data;
    }

    QByteArray output(qsizetype(ZSTD_compressBound(size_t(data.size()))), Qt::Uninitialized);
    const size_t result = ZSTD_compress_usingCDict(compressionContext,
                                                   output.data(),
                                                   size_t(output.size()),
                                                   data.constData(),
                                                   size_t(data.size()),
                                                   compressionDictionary);
    if (ZSTD_isError(result)) {
        qCInfo(lcStorage) << "Zstd compression failed";
        return data;
    }
    output.resize(qsizetype(result));
    qCDebug(lcStorage) << "Zstd compression" << data.size() << "bytes ->" << output.size()
                       << "bytes." << double(data.size()) / double(output.size())
                       << "compression ratio";
    return output;
}

QByteArray QSQLiteZstdStorage::decodeWith(ZSTD_DCtx_s *context,
                                          const ZSTD_DDict_s *dictionary,
                                          const QByteArray &data)
{
    if (!context || !dictionary) {
        qCInfo(lcStorage) << "Zstd uncompression failed";
        return data;
    }
    return decodeFrame(data, [&](QByteArray &output) {
        return ZSTD_decompress_usingDDict(context,
                                          output.data(),
                                          size_t(output.size()),
                                          data.constData(),
                                          size_t(data.size()),
                                          dictionary);
    });
}

QByteArray QSQLiteZstdStorage::decode(const QByteArray &data, const QByteArray &dictionary)
{
    ZSTD_DCtx *context = ZSTD_createDCtx();
    if (!context) {
        qCInfo(lcStorage) << "Zstd uncompression failed";
        return data;
    }
    const QByteArray result = decodeFrame(data, [&](QByteArray &output) {
        return ZSTD_decompress_usingDict(context,
                                         output.data(),
                                         size_t(output.size()),
                                         data.constData(),
                                         size_t(data.size()),
                                         dictionary.constData(),
                                         size_t(dictionary.size()));
    });
    ZSTD_freeDCtx(context);
    return result;
}

void QSQLiteZstdStorage::trainDictionary()
{
    // The oldest events, as they were added, whichever store type wrote them.
    QList<QPair<quint64, QByteArray>> samples = get(trainingSamples, 0);
    std::vector<size_t> lengths;
    lengths.reserve(size_t(samples.size()));
    qint64 total = 0;
    for (auto &sample : samples) {
        sample.second = SentrelDictionarySample::mask(sample.second);
        lengths.push_back(size_t(sample.second.size()));
        total += sample.second.size();
    }
    // A tenth of the sample bytes.
    QByteArray dictionary(qsizetype(double(total) * 0.1), Qt::Uninitialized);
    QByteArray sampleBuffer;
    sampleBuffer.reserve(qsizetype(total));
    for (const auto &sample : samples)
        sampleBuffer.append(sample.second);

    qCInfo(lcStorage) << "Training Zstd with" << samples.size() << "samples (" << total / 1024
                      << "kb ) of event data";

    const size_t length = ZDICT_trainFromBuffer(dictionary.data(),
                                                size_t(dictionary.size()),
                                                sampleBuffer.constData(),
                                                lengths.data(),
                                                unsigned(lengths.size()));
    if (ZDICT_isError(length)) {
        qCWarning(lcStorage) << "Failed to train Zstd dictionary";
        return;
    }
    dictionary.resize(qsizetype(length));

    query.prepare(QStringLiteral("INSERT INTO configuration VALUES('zstd_dictionary', ?)"));
    query.addBindValue(dictionary);
    if (!query.exec()) {
        qCWarning(lcStorage) << "Failed to store Zstd dictionary:" << query.lastError().text();
        return;
    }

    ZSTD_freeCDict(compressionDictionary);
    compressionDictionary =
            ZSTD_createCDict(dictionary.constData(), size_t(dictionary.size()), compressionLevel);
    decoder.setZstdDictionary(dictionary);
    needsDictionary = false;
}

void QSQLiteZstdStorage::dictionariesChanged()
{
    // Without one, frames carry no dictionary identifier, as before the first training.
    const QByteArray &dictionary = decoder.zstdDictionaryBytes();
    ZSTD_freeCDict(compressionDictionary);
    compressionDictionary =
            ZSTD_createCDict(dictionary.constData(), size_t(dictionary.size()), compressionLevel);
    needsDictionary = dictionary.isEmpty();
}
