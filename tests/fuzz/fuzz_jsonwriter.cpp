// SPDX-License-Identifier: MIT
// The event writer against QJsonDocument: strings of any UTF-16 (lone surrogates too), doubles
// of any bit pattern, integers and booleans, written as one array, must give the same bytes;
// so must that array's text written as a string value, as the contexts travel in "co".
//
// Input: a kind byte per value, then the value: a length byte and two bytes per code unit
// for a string, eight bytes for a double, four for an integer, one for a boolean.
#include "sentreljsonwriter_p.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Copies up to count bytes from the input, zero-filled past its end.
template <typename T>
T take(const uint8_t *data, size_t size, size_t &at)
{
    T value {};
    const size_t count = std::min(sizeof(T), size - at);
    std::memcpy(&value, data + at, count);
    at += count;
    return value;
}

void expectSame(const char *what, const QByteArray &written, const QByteArray &expected)
{
    if (written == expected)
        return;
    std::fprintf(stderr,
                 "%s differ:\n  writer:        %s\n  QJsonDocument: %s\n",
                 what,
                 written.toHex().constData(),
                 expected.toHex().constData());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SentrelJsonWriter writer;
    QJsonArray reference;
    writer.beginArray();
    size_t at = 0;
    while (at < size) {
        switch (data[at++] % 4) {
        case 0: {
            const size_t units = std::min<size_t>(take<uint8_t>(data, size, at), (size - at) / 2);
            QString text(qsizetype(units), Qt::Uninitialized);
            std::memcpy(text.data(), data + at, units * 2);
            at += units * 2;
            writer.value(text);
            reference.append(text);
            break;
        }
        case 1: {
            const double number = take<double>(data, size, at);
            writer.value(number);
            reference.append(number);
            break;
        }
        case 2: {
            const int number = take<int32_t>(data, size, at);
            writer.value(number);
            reference.append(number);
            break;
        }
        default: {
            const bool truth = take<uint8_t>(data, size, at) & 1;
            writer.value(truth);
            reference.append(truth);
        }
        }
    }
    writer.endArray();
    const QByteArray expected = QJsonDocument(reference).toJson(QJsonDocument::Compact);
    expectSame("values", writer.bytes().toByteArray(), expected);

    SentrelJsonWriter outer;
    outer.beginObject();
    outer.key("co");
    outer.jsonTextValue(writer.bytes());
    outer.endObject();
    const QJsonObject object {{QStringLiteral("co"), QString::fromUtf8(expected)}};
    expectSame("texts",
               outer.bytes().toByteArray(),
               QJsonDocument(object).toJson(QJsonDocument::Compact));
    return 0;
}
