// SPDX-License-Identifier: MIT
#ifndef SENTRELCODEC_P_H
#define SENTRELCODEC_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <QByteArray>
#include <QList>

#include <optional>

class QSqlDatabase;
struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;
struct ZSTD_CDict_s;
struct ZSTD_DDict_s;

// The forms in which the stores keep an event, and the dictionaries they make them with. A
// file may hold rows of every form (the storage type can change between runs and at run time)
// and keeps the dictionaries of both compressing forms, so the stores and sentrel-cache read
// every row through one of these, and the stores write theirs with it.
//
// Plain rows are the event's JSON. Zlib rows are one raw deflate stream (2048-byte window)
// against the zlib dictionary: up to 8 masked events one after the other. Zstd rows are one
// Zstandard frame at level 5 against a dictionary trained from the masked events; frames made
// before it existed name none. Dictionaries are kept in the configuration table as
// "<form>_dictionary" until the cache is cleared.
//
// Not thread-safe: owned by its store (or sentrel-cache) and used on its thread only.
class SENTREL_AUTOTEST_EXPORT SentrelCodec
{
public:
    // The zlib dictionary joins this many events; zstd trains on the oldest of this many.
    static constexpr int zlibSamples = 8;
    static constexpr int trainingEvents = 100;

    enum Form {
        Plain,
        Zlib,
        Zstd
    };

    SentrelCodec();
    ~SentrelCodec();
    SentrelCodec(const SentrelCodec &) = delete;
    SentrelCodec &operator=(const SentrelCodec &) = delete;

    // "", "zlib" or "zstd": the "compression" of the configuration table, and the prefix of the
    // form's dictionary there.
    static const char *name(Form form);
    static Form fromName(const QString &name);

    // The form's dictionary; null while the file keeps none (a kept one may be empty).
    const QByteArray &dictionary(Form form) const;
    void setDictionary(Form form, const QByteArray &dictionary);
    // Takes the dictionaries the file keeps now; returns whether either changed.
    bool loadDictionaries(const QSqlDatabase &database);

    // A row as it is stored: its bytes, and the form they are in, kept beside them so that
    // reading never has to tell the form from the bytes.
    struct Stored
    {
        QByteArray bytes;
        Form form = Plain;
    };
    // The event in the form, with its dictionary; the event as it is, Plain, when it cannot be
    // compressed (or is larger than the stores compress).
    Stored encode(Form form, const QByteArray &event);
    // The event as it was added from bytes in form; the bytes unchanged when they decode to
    // nothing.
    QByteArray decode(const QByteArray &stored, Form form) const;
    // The same for bytes whose form was not kept (rows written by earlier versions), the form
    // told from the bytes.
    QByteArray decode(const QByteArray &stored) const;
    Form formOf(const QByteArray &stored) const;
    // A dictionary for the form from events as they were added, masked; nothing when none
    // could be made.
    std::optional<QByteArray> train(Form form, const QList<QByteArray> &events) const;

private:
    QByteArray zlib;
    QByteArray zstd;
    ZSTD_CCtx_s *zstdCompression = nullptr; // made by the first encode
    ZSTD_CDict_s *zstdEncoder = nullptr; // zstd digested for encode, made by the first encode
    ZSTD_DCtx_s *zstdDecompression = nullptr;
    ZSTD_DDict_s *zstdDecoder = nullptr; // zstd digested for decode
};

#endif // SENTRELCODEC_P_H
