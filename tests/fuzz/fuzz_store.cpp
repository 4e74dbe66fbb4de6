// SPDX-License-Identifier: MIT
// Built as the zlib and the zstd target. Stored bytes read back from a cache file that may be corrupt or hostile.
#include "sentrelcodec_p.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdint>
#include <cstdlib>

namespace {
#if defined(SENTREL_FUZZ_ZSTD)
constexpr SentrelCodec::Form form = SentrelCodec::Zstd;
#else
constexpr SentrelCodec::Form form = SentrelCodec::Zlib;
#endif
SentrelCodec *codec = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv); // lives as long as the process
    QLoggingCategory::setFilterRules(QStringLiteral("sentrel*=false"));
    codec = new SentrelCodec; // as a store without a dictionary yet has it
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray stored(reinterpret_cast<const char *>(data), qsizetype(size));
    codec->decode(stored);
    codec->formOf(stored);
    // Whatever an event holds, it comes back whole, from the form kept beside it.
    const SentrelCodec::Stored row = codec->encode(form, stored);
    if (codec->decode(row.bytes, row.form) != stored)
        std::abort();
    return 0;
}
