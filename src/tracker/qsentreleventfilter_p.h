// SPDX-License-Identifier: MIT
#ifndef QSENTRELEVENTFILTER_P_H
#define QSENTRELEVENTFILTER_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <SentrelTracker/sentreltrackertypes.h>

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class QInputEvent;
class QSentrelCategoryFilter;
class SentrelTrackerImpl;

// Captures the configured user-interface events of the whole application. Installed on the
// application object, so it lives on and is called from the application's thread only.
// Owned by the tracker core for one enabled period.
class SENTREL_AUTOTEST_EXPORT QSentrelEventFilter : public QObject
{
    Q_OBJECT

public:
    explicit QSentrelEventFilter(SentrelTrackerImpl *tracker);
    ~QSentrelEventFilter() override;

    void setCategoryFilter(QSentrelCategoryFilter *filter); // not owned

    static QString objectName(QObject *object);
    static QString generateName(QObject *object);

    bool isTracked(QEvent *event) const;
    bool eventFilter(QObject *watched, QEvent *event) override;

    void updateTrackedEvents(const QStringList &events);

    // Reports what is still held: the last input event and resize wait for the next event,
    // which never comes when tracking is switched off.
    void flush();

private:
    void capture(QObject *watched, QEvent *event);
    void reportHeld();
    void reportResize();
    void handleTracked(QObject *watched, QEvent *event);
    void hold(QObject *watched,
              const QInputEvent *event,
              const std::optional<SentrelTracker::EventCoordinates> &position,
              const QString &details);

    SentrelTrackerImpl *tracker; // not owned
    QSentrelCategoryFilter *categoryFilter = nullptr; // not owned
    int pendingType = 0;
    QString pendingObject;
    QString pendingObjectName;
    QString pendingDetails;
    std::optional<SentrelTracker::EventCoordinates> pendingPosition;
    quint64 pendingTimestamp = 0;
    bool resizePending = false;
    bool pending = false;
    bool capturing = false; // inside capture(): events it causes are not recorded
    QMap<int, QString> trackedEvents;
};

#endif // QSENTRELEVENTFILTER_P_H
