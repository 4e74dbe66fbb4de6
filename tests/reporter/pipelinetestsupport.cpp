// SPDX-License-Identifier: MIT
#include "pipelinetestsupport.h"

#include "eventlog.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>

QStringList contextSchemas(const QJsonObject &event)
{
    QStringList schemas;
    for (const QJsonValue &context : contextsOf(event))
        schemas.append(context.toObject().value(QLatin1String("schema")).toString());
    return schemas;
}

QList<QJsonObject> contextsWith(const QJsonObject &event, const QString &uri)
{
    QList<QJsonObject> found;
    for (const QJsonValue &context : contextsOf(event)) {
        const QJsonObject object = context.toObject();
        if (object.value(QLatin1String("schema")).toString() == uri)
            found.append(object.value(QLatin1String("data")).toObject());
    }
    return found;
}

QList<QJsonObject> eventsStartingWith(const QList<QJsonObject> &events, const QString &uri)
{
    QList<QJsonObject> found;
    for (const QJsonObject &event : events) {
        const QStringList schemas = contextSchemas(event);
        if (!schemas.isEmpty() && schemas.first() == uri)
            found.append(event);
    }
    return found;
}

QStringList screenNames(const QList<QJsonObject> &events)
{
    QStringList names;
    for (const QJsonObject &event : events) {
        const QList<QJsonObject> views = contextsWith(event, Schema::screenView);
        if (!views.isEmpty())
            names.append(views.first().value(QLatin1String("object_id")).toString());
    }
    return names;
}

QList<QJsonObject> batchEvents(const QJsonObject &batch)
{
    QList<QJsonObject> events;
    for (const QJsonValue &event : batch.value(QLatin1String("data")).toArray())
        events.append(event.toObject());
    return events;
}

QStringList eventIds(const QList<QJsonObject> &events)
{
    QStringList ids;
    for (const QJsonObject &event : events)
        ids.append(event.value(QLatin1String("eid")).toString());
    return ids;
}

qint64 cachedRecords(const QString &databaseFile)
{
    if (!QFile::exists(databaseFile))
        return -1;
    const QString name = QStringLiteral("inspection");
    qint64 count = -1;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(databaseFile);
        if (database.open()) {
            QSqlQuery query(database);
            if (query.exec(QStringLiteral("SELECT COUNT(*) FROM events")) && query.next())
                count = query.value(0).toLongLong();
        }
        database.close();
    }
    QSqlDatabase::removeDatabase(name);
    return count;
}

namespace {
QtMessageHandler forward = nullptr;

void dropEventMessages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg && context.category && qstrcmp(context.category, "sentrel.events") == 0
        && text.startsWith(QLatin1String("New event")))
        return;
    if (forward)
        forward(type, context, text);
}
} // namespace

void quietenEventMessages()
{
    forward = qInstallMessageHandler(dropEventMessages);
}
