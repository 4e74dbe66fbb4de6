// SPDX-License-Identifier: MIT
#ifndef SENTRELEVENTIDS_P_H
#define SENTRELEVENTIDS_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <QRandomGenerator>

// Identifiers and times for the events, written straight as text: every event needs one of
// each, and QUuid and QDateTime cost more in their strings than in the values.
//
// One per reporter, used on its worker thread only.
class SENTREL_AUTOTEST_EXPORT SentrelEventIds
{
public:
    static constexpr qsizetype textSize = 36;

    // Seeded from the system's generator, so that no two workers produce the same sequence.
    SentrelEventIds();

    // A random version 4 UUID as 36 characters of lower-case hexadecimal in 8-4-4-4-12 groups.
    void write(char (&text)[textSize]);

    // Milliseconds since 1970-01-01T00:00:00Z.
    static qint64 currentMilliseconds();

private:
    QRandomGenerator generator;
};

#endif // SENTRELEVENTIDS_P_H
