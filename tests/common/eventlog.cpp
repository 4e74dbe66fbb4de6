// SPDX-License-Identifier: MIT
#include "eventlog.h"

#include <QJsonDocument>

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

QJsonObject contextData(const QJsonObject &event, const QString &name)
{
    for (const QJsonValue &context : contextsOf(event)) {
        const QJsonObject object = context.toObject();
        if (object.value(QLatin1String("schema")).toString().contains(name))
            return object.value(QLatin1String("data")).toObject();
    }
    return QJsonObject();
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
