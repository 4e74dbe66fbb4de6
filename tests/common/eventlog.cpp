// SPDX-License-Identifier: MIT
#include "eventlog.h"

#include <QJsonDocument>
#include <QMutexLocker>

QList<QJsonObject> loggedEvents(const LogCapture &log)
{
    static const QString prefix = QStringLiteral("New event QJsonObject(");
    QList<QJsonObject> events;
    for (const QString &text : log.texts(QStringLiteral("sentrel.events"), QtDebugMsg)) {
        if (!text.startsWith(prefix) || !text.endsWith(QLatin1Char(')')))
            continue;
        const QString json = text.mid(prefix.size(), text.size() - prefix.size() - 1);
        events.append(QJsonDocument::fromJson(json.toUtf8()).object());
    }
    return events;
}

QJsonArray contextsOf(const QJsonObject &event)
{
    const QJsonDocument envelope =
            QJsonDocument::fromJson(event.value(QLatin1String("co")).toString().toUtf8());
    return envelope.object().value(QLatin1String("data")).toArray();
}

namespace {
QJsonObject firstNamed(const QJsonArray &contexts, const QString &name)
{
    for (const QJsonValue &context : contexts) {
        const QJsonObject object = context.toObject();
        if (object.value(QLatin1String("schema")).toString().contains(name))
            return object.value(QLatin1String("data")).toObject();
    }
    return QJsonObject();
}
} // namespace

QJsonObject contextData(const QJsonObject &event, const QString &name)
{
    return firstNamed(contextsOf(event), name);
}

QList<QJsonObject> loggedContexts(const LogCapture &log, const QString &name)
{
    QList<QJsonObject> contexts;
    for (const QJsonObject &event : loggedEvents(log)) {
        const QJsonObject data = contextData(event, name);
        if (!data.isEmpty())
            contexts.append(data);
    }
    return contexts;
}

bool RecordedEvents::intercept(QJsonArray &contexts)
{
    QMutexLocker locker(&lock);
    recorded.append(contexts);
    return true;
}

void RecordedEvents::clear()
{
    QMutexLocker locker(&lock);
    recorded.clear();
}

QList<QJsonArray> RecordedEvents::events() const
{
    QMutexLocker locker(&lock);
    return recorded;
}

QList<QJsonObject> RecordedEvents::contexts(const QString &name) const
{
    QList<QJsonObject> found;
    for (const QJsonArray &event : events()) {
        const QJsonObject data = firstNamed(event, name);
        if (!data.isEmpty())
            found.append(data);
    }
    return found;
}
