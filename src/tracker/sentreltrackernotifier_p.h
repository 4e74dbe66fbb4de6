// SPDX-License-Identifier: MIT
#ifndef SENTRELTRACKERNOTIFIER_P_H
#define SENTRELTRACKERNOTIFIER_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QObject>

// Tells every QSentrelTracker of the changes to the process's tracker. Made on first use and
// never destroyed before the process ends; it lives on the thread that first used it (the
// application's), and the tracker core emits its signals there.
class SENTREL_AUTOTEST_EXPORT SentrelTrackerNotifier : public QObject
{
    Q_OBJECT

public:
    static SentrelTrackerNotifier *instance();

Q_SIGNALS:
    void enabledChanged(bool enabled);
    void consentChanged(QSentrelTracker::Consent consent);
    void consentRequiredChanged(bool required);
    void consentVersionChanged(int version);
    void remoteConfigurationScopeChanged(const QStringList &items);
    void forgetMeFinished(bool ok);
    void flushFinished(int delivered, int waiting);
    void eventsDelivered(int count);
    void eventDropped(const QString &eid);
};

#endif // SENTRELTRACKERNOTIFIER_P_H
