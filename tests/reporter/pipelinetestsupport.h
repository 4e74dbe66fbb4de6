// SPDX-License-Identifier: MIT
#ifndef PIPELINETESTSUPPORT_H
#define PIPELINETESTSUPPORT_H

#include "testclock.h"
#include "testcollector.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// Helpers for the tests that follow events from the tracker to the test collector.

// The events' own schema URIs and the collector path, as the tracker must write them.
namespace Schema {
inline QString own(const char *path)
{
    return QStringLiteral("iglu:com.tamlor.sentrel") + QLatin1String(path);
}
inline const QString batch =
        QStringLiteral("iglu:com.snowplowanalytics.snowplow/payload_data/jsonschema/1-0-4");
inline const QString contexts =
        QStringLiteral("iglu:com.snowplowanalytics.snowplow/contexts/jsonschema/1-0-0");
inline const QString screenView = own("/screen_view/jsonschema/1-0-1");
inline const QString click = own("/event_click/jsonschema/1-0-1");
inline const QString qevent = own("/qevent/jsonschema/1-0-1");
inline const QString contextData = own("/context_data/jsonschema/2-0-2");
inline const QString dimension = own("/context_dimension/jsonschema/1-0-0");
inline const QString device = own("/device/jsonschema/1-0-1");
inline const QString application = own("/application/jsonschema/1-0-1");
inline const QString typedEvent = own("/event/jsonschema/1-0-0");
inline const QString global = own("/global/jsonschema/1-0-0");
inline const QString install = own("/application_install/jsonschema/1-0-0");
inline const QString update = own("/application_update/jsonschema/1-0-0");
} // namespace Schema

// The schema URIs of an event's contexts, in order.
QStringList contextSchemas(const QJsonObject &event);
// The data of the event's contexts whose schema is uri, in order.
QList<QJsonObject> contextsWith(const QJsonObject &event, const QString &uri);
// The events whose first context has the schema uri.
QList<QJsonObject> eventsStartingWith(const QList<QJsonObject> &events, const QString &uri);
// The screen names of the screen view events, in order.
QStringList screenNames(const QList<QJsonObject> &events);
// The events of a batch body.
QList<QJsonObject> batchEvents(const QJsonObject &batch);
// The "eid" of each event.
QStringList eventIds(const QList<QJsonObject> &events);

// The number of records in the cache file, read through a connection of its own; -1 when the
// file does not exist or cannot be read.
qint64 cachedRecords(const QString &databaseFile);

// What every test of the road from the tracker to the collector holds: the clock its alarms
// ring on, the process's tracker, the HTTPS test collector and a cache folder of each test
// function's own. A test class derives from it besides QObject and calls the three steps from
// initTestCase(), init() and cleanup().
class PipelineFixture
{
protected:
    explicit PipelineFixture(const QString &token) : token(token) { }

    TestClock clock {TestClock::Warp}; // before the tracker, whose alarms it keeps
    QSentrelTracker tracker;
    TestCollector collector;
    std::unique_ptr<QTemporaryDir> cacheDir;

    QSentrelConfiguration *config() const { return tracker.configuration(); }
    QString cacheFile() const { return cacheDir->filePath(QStringLiteral("SentrelTracker.db")); }

    // Sends to the collector and caches in cacheDir; every other item as the tests start.
    void configure(int syncInterval, const QString &storageType = QStringLiteral("SQLITE"));

    // initTestCase(): the clock installed, the collector listening.
    bool startPipeline(const QString &applicationName);
    // init(): a new cache folder, nothing received yet.
    bool beginTest();
    // cleanup(): tracking off, no request of it still on its way, the collector as started.
    bool endTest();

private:
    const QString token;
};

// Drops the tracker's "New event" debug messages before they reach the output (context data
// values make them long); everything else goes on to the handler installed before.
void quietenEventMessages();

#endif // PIPELINETESTSUPPORT_H
