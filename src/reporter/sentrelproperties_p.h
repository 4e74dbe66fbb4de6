// SPDX-License-Identifier: MIT
#ifndef SENTRELPROPERTIES_P_H
#define SENTRELPROPERTIES_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>

// The typed properties of an application's own events: what may be recorded, and its JSON.
// Pure functions, called on the worker.
namespace SentrelProperties {

constexpr qsizetype maximumNameLength = 128;
constexpr qsizetype maximumBytes = 32 * 1024; // once written
constexpr int maximumDepth = 4; // lists and maps within the properties

// 1 to 128 letters, digits, '_', '.' or '-'.
SENTREL_AUTOTEST_EXPORT bool isValidName(QStringView name);

struct Written
{
    QByteArray json; // compact, keys sorted; empty when refused
    QString refusal; // why, when refused
};

// Booleans, whole numbers up to 64 bits, finite floating-point numbers, strings, and lists
// and maps of these; anything else (a QRect, a date, null) refuses the whole map.
SENTREL_AUTOTEST_EXPORT Written write(const QVariantMap &properties);

} // namespace SentrelProperties

#endif // SENTRELPROPERTIES_P_H
