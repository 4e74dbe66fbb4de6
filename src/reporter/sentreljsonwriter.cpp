// SPDX-License-Identifier: MIT
#include "sentreljsonwriter_p.h"

#include <QChar>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr char hexDigits[] = "0123456789abcdef";

// QJsonDocument's escape for a code unit it cannot write as it is.
char *escapeCodeUnit(char *cursor, char16_t unit)
{
    *cursor++ = '\\';
    *cursor++ = 'u';
    *cursor++ = hexDigits[(unit >> 12) & 0xf];
    *cursor++ = hexDigits[(unit >> 8) & 0xf];
    *cursor++ = hexDigits[(unit >> 4) & 0xf];
    *cursor++ = hexDigits[unit & 0xf];
    return cursor;
}

// Text that needs no escaping, between quotes; returns the end.
char *quoted(char *cursor, QByteArrayView text)
{
    *cursor++ = '"';
    std::memcpy(cursor, text.data(), size_t(text.size()));
    cursor += text.size();
    *cursor++ = '"';
    return cursor;
}

// Doubles that are whole and no larger than 2^53 are written as integers, as QJsonValue keeps them.
constexpr double largestExactInteger = 9007199254740992.0;

} // namespace

void SentrelJsonWriter::grow(qsizetype count)
{
    out.resize(std::max(2 * out.size(), used + count));
}

void SentrelJsonWriter::write(QByteArrayView bytes)
{
    std::memcpy(room(bytes.size()), bytes.data(), size_t(bytes.size()));
    used += bytes.size();
}

void SentrelJsonWriter::key(QByteArrayView name)
{
    separate();
    char *cursor = quoted(room(name.size() + 3), name);
    *cursor++ = ':';
    used = cursor - out.constData();
}

void SentrelJsonWriter::value(QStringView text)
{
    separate();
    const char16_t *source = text.utf16();
    const char16_t *const end = source + text.size();
    // At most six bytes per code unit (an escape), and the quotes. The room is taken a slice at
    // a time, so that six times a long text cannot overflow a 32-bit qsizetype; a slice may
    // end with the first half of a pair, which takes one unit more.
    constexpr qsizetype slice = 1 << 20;
    const auto sliceRoom = [&] {
        return room(6 * (std::min<qsizetype>(end - source, slice) + 1) + 2);
    };
    char *cursor = sliceRoom();
    *cursor++ = '"';
    while (source < end) {
        if (source != text.utf16()) {
            used = cursor - out.constData();
            cursor = sliceRoom();
        }
        const char16_t *const sliceEnd = end - source > slice ? source + slice : end;
        while (source < sliceEnd) {
            const char16_t unit = *source++;
            if (unit < 0x80) {
                if (unit >= 0x20 && unit != '"' && unit != '\\') {
                    *cursor++ = char(unit);
                    continue;
                }
                *cursor++ = '\\';
                switch (unit) {
                case '"':
                    *cursor++ = '"';
                    break;
                case '\\':
                    *cursor++ = '\\';
                    break;
                case '\b':
                    *cursor++ = 'b';
                    break;
                case '\f':
                    *cursor++ = 'f';
                    break;
                case '\n':
                    *cursor++ = 'n';
                    break;
                case '\r':
                    *cursor++ = 'r';
                    break;
                case '\t':
                    *cursor++ = 't';
                    break;
                default:
                    *cursor++ = 'u';
                    *cursor++ = '0';
                    *cursor++ = '0';
                    *cursor++ = hexDigits[unit >> 4];
                    *cursor++ = hexDigits[unit & 0xf];
                }
            } else if (unit < 0x800) {
                *cursor++ = char(0xc0 | (unit >> 6));
                *cursor++ = char(0x80 | (unit & 0x3f));
            } else if (!QChar::isSurrogate(unit)) {
                *cursor++ = char(0xe0 | (unit >> 12));
                *cursor++ = char(0x80 | ((unit >> 6) & 0x3f));
                *cursor++ = char(0x80 | (unit & 0x3f));
            } else if (QChar::isHighSurrogate(unit) && source != end
                       && QChar::isLowSurrogate(*source)) {
                const char32_t point = QChar::surrogateToUcs4(unit, *source++);
                *cursor++ = char(0xf0 | (point >> 18));
                *cursor++ = char(0x80 | ((point >> 12) & 0x3f));
                *cursor++ = char(0x80 | ((point >> 6) & 0x3f));
                *cursor++ = char(0x80 | (point & 0x3f));
            } else {
                // Half a pair has no UTF-8 form; a chunk of context data can end with one.
                cursor = escapeCodeUnit(cursor, unit);
            }
        }
    }
    *cursor++ = '"';
    used = cursor - out.constData();
}

void SentrelJsonWriter::value(double number)
{
    separate();
    if (!std::isfinite(number))
        write("null");
    else if (std::trunc(number) == number && std::abs(number) <= largestExactInteger)
        writeInteger(qint64(number));
    else
        write(QByteArray::number(number, 'g', QLocale::FloatingPointShortest));
}

void SentrelJsonWriter::value(qint64 number)
{
    separate();
    writeInteger(number);
}

void SentrelJsonWriter::value(bool truth)
{
    separate();
    write(truth ? QByteArrayView("true") : QByteArrayView("false"));
}

void SentrelJsonWriter::asciiValue(QByteArrayView text)
{
    separate();
    used = quoted(room(text.size() + 2), text) - out.constData();
}

void SentrelJsonWriter::decimalTextValue(qint64 number)
{
    separate();
    write("\"");
    writeInteger(number);
    write("\"");
}

void SentrelJsonWriter::jsonTextValue(QByteArrayView json)
{
    separate();
    // JSON text holds no control characters, and non-ASCII UTF-8 stays as it is: only quotes
    // and backslashes need escaping, two bytes each. Counted rather than assumed of every byte,
    // as twice a long text overflows a 32-bit qsizetype.
    const qsizetype escapes = std::count_if(json.begin(), json.end(), [](char byte) {
        return byte == '"' || byte == '\\';
    });
    char *cursor = room(json.size() + escapes + 2);
    *cursor++ = '"';
    for (const char byte : json) {
        Q_ASSERT(uchar(byte) >= 0x20);
        if (byte == '"' || byte == '\\')
            *cursor++ = '\\';
        *cursor++ = byte;
    }
    *cursor++ = '"';
    used = cursor - out.constData();
}

void SentrelJsonWriter::rawValue(QByteArrayView json)
{
    separate();
    write(json);
}

void SentrelJsonWriter::writeInteger(qint64 number)
{
    char digits[21];
    char *const end = digits + sizeof digits;
    char *cursor = end;
    quint64 magnitude = number < 0 ? 0 - quint64(number) : quint64(number);
    do {
        *--cursor = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (number < 0)
        *--cursor = '-';
    write(QByteArrayView(cursor, end - cursor));
}
