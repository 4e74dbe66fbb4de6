// SPDX-License-Identifier: MIT
#include "sentrelglobal_p.h"

#include <QThread>

bool sentrelOnThreadOf(const QObject *object)
{
    return QThread::currentThread() == object->thread();
}

Q_LOGGING_CATEGORY(lcSentrel, "sentrel", QtWarningMsg)
Q_LOGGING_CATEGORY(lcConfig, "sentrel.config", QtWarningMsg)
Q_LOGGING_CATEGORY(lcEvents, "sentrel.events", QtWarningMsg)
Q_LOGGING_CATEGORY(lcStorage, "sentrel.storage", QtWarningMsg)
Q_LOGGING_CATEGORY(lcEventFilter, "sentrel.eventfilter", QtDebugMsg)

#if defined(SENTREL_THREAD_SANITIZER)
char sentrelHandOffToken = 0;
#endif

#if defined(Q_CC_MINGW) && defined(__GLIBCXX__)
// GCC's emulated thread_local storage and libstdc++'s thread_local destructors each keep a
// thread-specific key, and a thread that ends runs the keys' cleanups in the order the keys
// were made: the one made first frees a thread's objects before the other runs their
// destructors on the freed memory (Qt's regular expression stack among them, on every thread
// that matched one; under wine that leaves a lock held and the process never ends). Asking
// for a destructor before any thread_local is touched makes libstdc++'s key first.
extern "C" int __cxa_thread_atexit(void (*)(void *), void *, void *);
extern "C" void *__dso_handle;
namespace {
void noDestructor(void *) { }
const int threadExitOrder = __cxa_thread_atexit(noDestructor, nullptr, &__dso_handle);
} // namespace
#endif
