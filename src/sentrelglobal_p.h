#ifndef SENTRELGLOBAL_P_H
#define SENTRELGLOBAL_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include <SentrelTracker/sentreltracker_export.h>

#include <QLoggingCategory>

// Internals are exported only in developer builds, for the tests and in-tree tools.
#ifdef SENTREL_DEVELOPER_BUILD
#  define SENTREL_AUTOTEST_EXPORT SENTRELTRACKER_EXPORT
#else
#  define SENTREL_AUTOTEST_EXPORT
#endif

SENTREL_AUTOTEST_EXPORT Q_DECLARE_LOGGING_CATEGORY(lcSentrel)
SENTREL_AUTOTEST_EXPORT Q_DECLARE_LOGGING_CATEGORY(lcConfig)
SENTREL_AUTOTEST_EXPORT Q_DECLARE_LOGGING_CATEGORY(lcEvents)
SENTREL_AUTOTEST_EXPORT Q_DECLARE_LOGGING_CATEGORY(lcStorage)
SENTREL_AUTOTEST_EXPORT Q_DECLARE_LOGGING_CATEGORY(lcEventFilter)

#endif // SENTRELGLOBAL_P_H
