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
