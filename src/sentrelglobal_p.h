// SPDX-License-Identifier: MIT
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

// Internals are exported only by the library's test-only build (SentrelTrackerTesting); the
// library that ships hides them.
#ifdef SENTREL_TESTING_LIBRARY
#  define SENTREL_AUTOTEST_EXPORT SENTRELTRACKER_EXPORT
#else
#  define SENTREL_AUTOTEST_EXPORT
#endif

// Qt hands queued calls between threads through its own futex-based locks, which
// ThreadSanitizer cannot see. These mark such a hand-off (release on the sending side,
// acquire on the receiving side) in sanitizer builds and cost nothing otherwise.
// GCC says so with __SANITIZE_THREAD__, clang only through __has_feature.
#if defined(__SANITIZE_THREAD__)
#  define SENTREL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#  if __has_feature(thread_sanitizer)
#    define SENTREL_THREAD_SANITIZER 1
#  endif
#endif

#if defined(SENTREL_THREAD_SANITIZER)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
extern char sentrelHandOffToken;
#  define SENTREL_HAND_OFF() __tsan_release(&sentrelHandOffToken)
#  define SENTREL_TAKE_OVER() __tsan_acquire(&sentrelHandOffToken)
#else
#  define SENTREL_HAND_OFF() static_cast<void>(0)
#  define SENTREL_TAKE_OVER() static_cast<void>(0)
#endif

class QObject;

// Whether the caller runs on the thread that object lives on.
SENTREL_AUTOTEST_EXPORT bool sentrelOnThreadOf(const QObject *object);
// For code that runs on one thread only, the one its object lives on. Checked in debug builds;
// release builds leave the call out.
#define SENTREL_ASSERT_THREAD(object) \
  Q_ASSERT_X(sentrelOnThreadOf(object), Q_FUNC_INFO, "called on another thread than the object's")

SENTREL_AUTOTEST_EXPORT Q_DECLARE_LOGGING_CATEGORY(lcSentrel)
SENTREL_AUTOTEST_EXPORT Q_DECLARE_LOGGING_CATEGORY(lcConfig)
SENTREL_AUTOTEST_EXPORT Q_DECLARE_LOGGING_CATEGORY(lcEvents)
SENTREL_AUTOTEST_EXPORT Q_DECLARE_LOGGING_CATEGORY(lcStorage)
SENTREL_AUTOTEST_EXPORT Q_DECLARE_LOGGING_CATEGORY(lcEventFilter)

#endif // SENTRELGLOBAL_P_H
