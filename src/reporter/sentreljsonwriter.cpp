// SPDX-License-Identifier: MIT
#include "sentreljsonwriter_p.h"

#include <QChar>
#include <QLocale>

#include <cmath>

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

// Doubles that are whole and no larger than 2^53 are written as integers, as QJsonValue keeps them.
constexpr double largestExactInteger = 9007199254740992.0;

} // namespace

void SentrelJsonWriter::key(QByteArrayView name)
{
    separate();
    out.append('"');
    out.append(name);
    out.append("\":", 2);
}

void SentrelJsonWriter::value(QStringView text)
{
    separate();
    const qsizetype start = out.size();
    // At most six bytes per code unit (an escape), and the quotes.
    out.resize(start + 6 * text.size() + 2);
    char *cursor = out.data() + start;
    *cursor++ = '"';
    const char16_t *source = text.utf16();
    const char16_t *const end = source + text.size();
    while (source != end) {
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
    *cursor++ = '"';
    out.truncate(cursor - out.constData());
}

void SentrelJsonWriter::value(double number)
{
    separate();
    if (!std::isfinite(number))
        out.append("null", 4);
    else if (std::trunc(number) == number && std::abs(number) <= largestExactInteger)
        appendInteger(out, qint64(number));
    else
        out.append(QByteArray::number(number, 'g', QLocale::FloatingPointShortest));
}

void SentrelJsonWriter::value(qint64 number)
{
    separate();
    appendInteger(out, number);
}

void SentrelJsonWriter::value(bool truth)
{
    separate();
    if (truth)
        out.append("true", 4);
    else
        out.append("false", 5);
}

void SentrelJsonWriter::asciiValue(QByteArrayView text)
{
    separate();
    out.append('"');
    out.append(text);
    out.append('"');
}

void SentrelJsonWriter::decimalTextValue(qint64 number)
{
    separate();
    out.append('"');
    appendInteger(out, number);
    out.append('"');
}

void SentrelJsonWriter::jsonTextValue(QByteArrayView json)
{
    separate();
    const qsizetype start = out.size();
    // JSON text holds no control characters, and non-ASCII UTF-8 stays as it is: only quotes
    // and backslashes need escaping, two bytes each at most.
    out.resize(start + 2 * json.size() + 2);
    char *cursor = out.data() + start;
    *cursor++ = '"';
    for (const char byte : json) {
        Q_ASSERT(uchar(byte) >= 0x20);
        if (byte == '"' || byte == '\\')
            *cursor++ = '\\';
        *cursor++ = byte;
    }
    *cursor++ = '"';
    out.truncate(cursor - out.constData());
}

void SentrelJsonWriter::rawValue(QByteArrayView json)
{
    separate();
    out.append(json);
}

void SentrelJsonWriter::appendInteger(QByteArray &out, qint64 number)
{
    char digits[20];
    char *const end = digits + sizeof digits;
    char *cursor = end;
    quint64 magnitude = number < 0 ? 0 - quint64(number) : quint64(number);
    do {
        *--cursor = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (number < 0)
        out.append('-');
    out.append(cursor, end - cursor);
}
