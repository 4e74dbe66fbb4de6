// SPDX-License-Identifier: MIT
#ifndef EVENTLOG_H
#define EVENTLOG_H

#include "logcapture.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>

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

#endif // EVENTLOG_H
