// SPDX-License-Identifier: MIT
#include "pipelinetestsupport.h"

#include "eventlog.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTest>

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

void PipelineFixture::configure(int syncInterval, const QString &storageType)
{
    QSentrelConfiguration *c = config();
    c->setToken(token);
    c->setServer(collector.server());
    c->setSyncInterval(syncInterval);
    c->setStorageType(storageType);
    c->setStoragePath(cacheDir->path());
    c->setStorageSize(0);
    c->setBatchSize(100);
    c->setCategories({QStringLiteral("buttons")});
    c->setEvents({});
    c->setRemoteConfig(false);
}

bool PipelineFixture::startPipeline(const QString &applicationName)
{
    // Every delay the tests do not measure passes in a few milliseconds.
    clock.install();
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationName(applicationName);
    quietenEventMessages();
    if (!collector.start()) {
        qWarning("The test collector did not start: %s", qPrintable(collector.errorString()));
        return false;
    }
    return true;
}

bool PipelineFixture::beginTest()
{
    cacheDir = std::make_unique<QTemporaryDir>();
    collector.clear();
    return cacheDir->isValid();
}

bool PipelineFixture::endTest()
{
    // Disabling runs what was queued, then drops the reporter with its requests.
    tracker.setEnabled(false);
    // A request the last reporter had sent must not arrive in the next test.
    const bool closed = QTest::qWaitFor(
            [this] {
                return collector.openConnections() == 0;
            },
            15000);
    collector.clearFailures();
    collector.clearRefusals();
    collector.clearConfigDocument();
    collector.clear();
    cacheDir.reset();
    return closed;
}
