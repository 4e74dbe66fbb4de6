// SPDX-License-Identifier: MIT
#ifndef SENTRELJSONWRITER_P_H
#define SENTRELJSONWRITER_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QStringView>

#include <utility>

// Appends compact JSON to one byte array, byte for byte as QJsonDocument::toJson(Compact)
// writes the same values, without building a QJsonObject tree first. The caller writes the
// keys of each object in the order QJsonObject keeps them (sorted), since stored caches and
// their readers expect the bytes they always had.
//
// Commas are placed by looking at the last byte written, so the writer keeps no nesting state.
// Not thread-safe; each instance belongs to whoever writes with it.
class SENTREL_AUTOTEST_EXPORT SentrelJsonWriter
{
public:
    explicit SentrelJsonWriter(qsizetype capacity = 256) { out.resize(capacity); }

    // Empties the text but keeps the memory for the next value written with this writer, unless
    // one unusually long value made it large.
    void clear()
    {
        used = 0;
        if (out.size() > keptCapacity)
            out = QByteArray();
    }
    QByteArrayView bytes() const { return QByteArrayView(out.constData(), used); }
    // Hands the text over; the writer starts again empty.
    QByteArray take()
    {
        out.truncate(used);
        used = 0;
        return std::exchange(out, QByteArray());
    }

    void beginObject()
    {
        separate();
        *room(1) = '{';
        ++used;
    }
    void endObject()
    {
        *room(1) = '}';
        ++used;
    }
    void beginArray()
    {
        separate();
        *room(1) = '[';
        ++used;
    }
    void endArray()
    {
        *room(1) = ']';
        ++used;
    }

    // A key that needs no escaping (the library's own keys are ASCII letters and '_').
    void key(QByteArrayView name);

    void value(QStringView text);
    void value(double number);
    void value(qint64 number);
    void value(int number) { value(qint64(number)); }
    void value(bool truth);
    // A literal would turn into a bool: say which kind of string it is.
    void value(const char *) = delete;
    // A string that needs no escaping, such as a schema URI or a UUID.
    void asciiValue(QByteArrayView text);
    // The decimal digits of number as a string.
    void decimalTextValue(qint64 number);
    // The JSON text json (valid UTF-8, as this writer makes it) as a JSON string, as
    // QJsonDocument writes QString::fromUtf8(json).
    void jsonTextValue(QByteArrayView json);
    // JSON already written by a writer, inserted as a value.
    void rawValue(QByteArrayView json);

private:
    // Where the next bytes go, with room for count of them. The array is kept at its
    // capacity and written through a pointer: QByteArray's own appends cost more than the
    // bytes they append here.
    char *room(qsizetype count)
    {
        if (used + count > out.size())
            grow(count);
        return out.data() + used;
    }
    void grow(qsizetype count);
    void separate()
    {
        if (used > 0) {
            const char last = out.constData()[used - 1];
            if (last != '{' && last != '[' && last != ':') {
                *room(1) = ',';
                ++used;
            }
        }
    }
    void write(QByteArrayView bytes);
    void writeInteger(qint64 number);

    static constexpr qsizetype keptCapacity = 64 * 1024;

    QByteArray out;
    qsizetype used = 0;
};

#endif // SENTRELJSONWRITER_P_H
