// SPDX-License-Identifier: MIT
#ifndef PIPELINETESTSUPPORT_H
#define PIPELINETESTSUPPORT_H

#include "sentreltrackerimpl_p.h"
#include "testclock.h"
#include "testcollector.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

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
inline const QString consent = own("/consent/jsonschema/1-0-0");
inline const QString screenEnd = own("/screen_end/jsonschema/1-0-0");
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

// The records of the cache file, oldest first, read through a connection of its own.
QList<QByteArray> cachedRows(const QString &databaseFile);
// How many there are; -1 when the file does not exist.
inline qint64 cachedRecords(const QString &databaseFile)
{
    return QFile::exists(databaseFile) ? cachedRows(databaseFile).size() : -1;
}

// Lets the pipeline run for a moment. With the manual clock of a test, once the worker has
// handled what it was asked, it first rings the next alarm, at its time, and waits for what that
// queued on the worker.
void pipelineStep();
// Returns once the worker has run every request made so far and the change signals sent to
// the reporter so far; at once while tracking is off.
void settle();

// QTRY_VERIFY, QTRY_VERIFY2 and QTRY_COMPARE that take pipeline steps while they wait, within
// a timeout generous for a loaded machine: with the manual clock time moves on only while the
// test waits for something.
inline constexpr int pipelineWait = 15000;
#define SENTREL_TRY_IMPL(expr)                                                   \
  for (const QDeadlineTimer sentrelDeadline(pipelineWait);                       \
       !(expr) && !sentrelDeadline.hasExpired() && !QTest::currentTestFailed();) \
    pipelineStep();
#define TRY_VERIFY(expr)                  \
  do {                                    \
    SENTREL_TRY_IMPL(expr) QVERIFY(expr); \
  } while (false)
#define TRY_VERIFY2(expr, message)                  \
  do {                                              \
    SENTREL_TRY_IMPL(expr) QVERIFY2(expr, message); \
  } while (false)
#define TRY_COMPARE(actual, expected)                                      \
  do {                                                                     \
    SENTREL_TRY_IMPL(((actual) == (expected))) QCOMPARE(actual, expected); \
  } while (false)

// The one fixture of every test of the road from the tracker to the collector: the clock its
// alarms ring on, the process's tracker, the HTTPS test collector and a cache folder of each
// test function's own. A test class derives from it besides QObject and calls the three steps
// from initTestCase(), init() and cleanup().
//
// The tracker core behind every QSentrelTracker is one per process and never destroyed, so
// endTest() returns the whole of it to a known state: tracking off with no request still on
// its way, nothing decided and nothing kept (forgetMe()), no remote document in force, every
// configuration item the tests touch back at its start value (but the device screen type,
// which the library lets no one unset), the queue's bounds and the
// clock as the library has them, and the test hooks of the environment unset.
class PipelineFixture
{
protected:
    explicit PipelineFixture(const QString &token) : token(token) { }

    TestClock clock {TestClock::Warp}; // before the tracker, whose alarms it keeps
    QSentrelTracker tracker;
    TestCollector collector;
    std::unique_ptr<QTemporaryDir> cacheDir;

    QSentrelConfiguration *config() const { return tracker.configuration(); }
    static SentrelTrackerImpl *core() { return SentrelTrackerImpl::instance(); }
    QString cacheFile() const { return cacheDir->filePath(QStringLiteral("SentrelTracker.db")); }
    qint64 cached() const { return cachedRecords(cacheFile()); }
    // What the collector took but the device events of each start and the consent events.
    QList<QJsonObject> receivedRecorded() const;

    // Sends to the collector and caches in cacheDir; every other item as the tests start.
    void configure(int syncInterval, const QString &storageType = QStringLiteral("SQLITE"));

    // A clock that stands still until the test advances it or waits (TRY_VERIFY), for the
    // tracker enabled next (an alarm keeps the clock that was current when it was made). Call
    // it while tracking is off; endTest() puts the warp clock back.
    TestClock &useManualClock();

    // initTestCase(): the clock installed, the collector listening.
    bool startPipeline(const QString &applicationName);
    // init(): a new cache folder, nothing received yet, and every warning a failure unless the
    // test declares it (QTest::ignoreMessage, or LogCapture::expect).
    bool beginTest();
    // cleanup(): the process-wide tracker and the collector as they started (see above).
    bool endTest();

    // Real milliseconds the warp clock lets pass before an alarm rings: time for the network.
    static constexpr qint64 warpDelay = 10;

private:
    const QString token;
    std::unique_ptr<TestClock> manual; // installed while a test uses it
};

// Drops the tracker's "New event" debug messages before they reach the output (context data
// values make them long); everything else goes on to the handler installed before.
void quietenEventMessages();

#endif // PIPELINETESTSUPPORT_H
