// SPDX-License-Identifier: MIT
#ifndef EVENTLOG_H
#define EVENTLOG_H

#include "logcapture.h"

#include <SentrelTracker/qsentreleventinterceptor.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMutex>

// The events the reporter built, read back from its "New event" debug messages (switch them on
// with the rule "sentrel.events.debug=true"), in the order they were built.
QList<QJsonObject> loggedEvents(const LogCapture &log);

// The contexts of an event: the "data" array of the contexts envelope in its "co" string.
QJsonArray contextsOf(const QJsonObject &event);

// The "data" of the first context of event whose schema URI contains name (such as
// "/qevent/"), or an empty object.
QJsonObject contextData(const QJsonObject &event, const QString &name);

// The data of every logged event's first context named name, in order.
QList<QJsonObject> loggedContexts(const LogCapture &log, const QString &name);

// The contexts of every event recorded while it is the tracker's interceptor, as an
// application's sees them, in the order they were built. intercept() runs on the worker, which
// may call it until tracking stops: a test object keeps it installed for its whole life.
class RecordedEvents : public QSentrelEventInterceptor
{
public:
    bool intercept(QJsonArray &contexts) override;
    void clear();

    QList<QJsonArray> events() const;
    // The data of every event's first context named name, in order.
    QList<QJsonObject> contexts(const QString &name) const;

private:
    mutable QMutex lock;
    QList<QJsonArray> recorded;
};

#endif // EVENTLOG_H
