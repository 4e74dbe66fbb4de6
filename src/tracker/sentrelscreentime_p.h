// SPDX-License-Identifier: MIT
#ifndef SENTRELSCREENTIME_P_H
#define SENTRELSCREENTIME_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include <QtGlobal>

// The time one screen has been on screen while the application was active, from steady
// milliseconds the caller reads. Kept by the tracker core on the application's thread.
class SentrelScreenTime
{
public:
    void start(qint64 now, bool active)
    {
        foreground = 0;
        activeSince = active ? now : -1;
    }

    void setActive(bool active, qint64 now)
    {
        if (active == (activeSince >= 0))
            return;
        if (active) {
            activeSince = now;
        } else {
            foreground += qMax<qint64>(now - activeSince, 0);
            activeSince = -1;
        }
    }

    qint64 foregroundAt(qint64 now) const
    {
        return foreground + (activeSince >= 0 ? qMax<qint64>(now - activeSince, 0) : 0);
    }

private:
    qint64 foreground = 0; // of the active stretches that have ended
    qint64 activeSince = -1; // the start of the active stretch going on, -1 while inactive
};

#endif // SENTRELSCREENTIME_P_H
