// SPDX-License-Identifier: MIT
#ifndef SENTRELROWDECODER_P_H
#define SENTRELROWDECODER_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <QByteArray>

struct ZSTD_DCtx_s;
struct ZSTD_DDict_s;

// Reads a stored event whichever store wrote it. A file may hold rows of every store type (the
// storage type can change between runs and at run time) and keeps the dictionaries of both
// compressing stores, so every store reads with one of these.
//
// Owned by its store and used on the store's thread only.
class SENTREL_AUTOTEST_EXPORT SentrelRowDecoder
{
public:
    SentrelRowDecoder();
    ~SentrelRowDecoder();
    SentrelRowDecoder(const SentrelRowDecoder &) = delete;
    SentrelRowDecoder &operator=(const SentrelRowDecoder &) = delete;

    void setZlibDictionary(const QByteArray &dictionary) { zlib = dictionary; }
    const QByteArray &zlibDictionary() const { return zlib; }
    void setZstdDictionary(const QByteArray &dictionary);
    const QByteArray &zstdDictionaryBytes() const { return zstd; }

    // The event as it was added; the stored bytes unchanged when they decode to nothing.
    QByteArray decode(const QByteArray &stored) const;

    static bool isZstdFrame(const QByteArray &stored);

private:
    QByteArray zlib;
    QByteArray zstd;
    ZSTD_DCtx_s *zstdContext = nullptr;
    ZSTD_DDict_s *zstdDictionary = nullptr;
};

#endif // SENTRELROWDECODER_P_H
