// SPDX-License-Identifier: MIT
#ifndef SENTRELOBJECTHOOKS_P_H
#define SENTRELOBJECTHOOKS_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include <SentrelTracker/sentreltracker_export.h>

class QObject;
class QString;

// How automatic capture learns about objects that only a UI toolkit library can read (the
// Qt Quick module installs these when it loads), so that the core links none of it. Both are
// called on the application's thread for tracked events only.
struct SentrelObjectHooks
{
    // The name to use in the object path for an object without objectName, or a null string
    // to use its class name as for any other object.
    QString (*pathName)(const QObject *object) = nullptr;
    // Whether the object carries a category of its own; if so it is written to category and
    // the application's category provider is not asked.
    bool (*category)(const QObject *object, QString *category) = nullptr;
};

// Exported in every build: the Qt Quick module is a library of its own. Null members restore
// the plain naming and category lookup.
SENTRELTRACKER_EXPORT void sentrelSetObjectHooks(const SentrelObjectHooks &hooks);

#endif // SENTRELOBJECTHOOKS_P_H
