// SPDX-License-Identifier: MIT
#include "eventlog.h"
#include "logcapture.h"
#include "pipelinetestsupport.h"
#include "qsentrelreporter_p.h"
#include "qsentrelstorage_p.h"
#include "sentreltrackerimpl_p.h"
#include "testclock.h"
#include "testcollector.h"
#include "testenvironment.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QGuiApplication>
#include <QJsonDocument>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSslError>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <memory>

using SentrelTracker::EventCoordinates;

namespace {

const QString events = QStringLiteral("sentrel.events");
const QString storage = QStringLiteral("sentrel.storage");
const QByteArray tp2 = TestCollector::eventsPath;
const QString logRules = QStringLiteral("sentrel.events.debug=true\n"
                                        "sentrel.events.info=true\n"
                                        "sentrel.storage.debug=true\n"
                                        "sentrel.storage.info=true");

QString unquoted(QString text)
{
    if (text.size() >= 2 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"')))
        text = text.mid(1, text.size() - 2);
    return text;
}

// Distinct text at every position, so that a chunk out of place shows.
QString numberedText(qsizetype length)
{
    QString text;
    for (int i = 0; text.size() < length; ++i)
        text += QString::number(i) + QLatin1Char(',');
    text.truncate(length);
    return text;
}

QString emoji()
{
    return QString::fromUtf16(u"\U0001F600");
}

// The value reassembled from the context data contexts of one event, in "multipart_sort"
// order, after checking that the parts come in that order.
QString reassembled(const QList<QJsonObject> &parts)
{
    QString value;
    for (const QJsonObject &part : parts)
        value += part.value(QLatin1String("val")).toString();
    return value;
}

// Screens s1 .. sN, with other names at some positions.
QStringList screens(int count, const QHash<int, QString> &instead = {})
{
    QStringList names;
    for (int i = 1; i <= count; ++i)
        names.append(instead.value(i, QStringLiteral("s%1").arg(i)));
    return names;
}

// Adds one row to the cache file behind the store's back; returns its id.
quint64 insertRow(const QString &file, const QByteArray &row)
{
    quint64 id = 0;
    {
        QSqlDatabase database =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("corrupter"));
        database.setDatabaseName(file);
        if (database.open()) {
            QSqlQuery query(database);
            query.prepare(QStringLiteral("INSERT INTO events(data) VALUES(?)"));
            query.addBindValue(row);
            if (query.exec())
                id = query.lastInsertId().toULongLong();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("corrupter"));
    return id;
}

// "Sun, 06 Nov 1994 08:49:37 GMT", seconds after from.
QByteArray httpDate(qint64 from, int seconds)
{
    return QLocale::c()
            .toString(QDateTime::fromMSecsSinceEpoch(from, QTimeZone::utc()).addSecs(seconds),
                      QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"))
            .toLatin1();
}

} // namespace

class tst_Reporter : public QObject, private PipelineFixture
{
    Q_OBJECT

public:
    tst_Reporter() : PipelineFixture(QStringLiteral("pipeline-token")) { }

private:
    // Records screens offline, and context data for the entries that begin with "data:" (a
    // screen's name would come again in the next screen's "previous_id"). Returns the screens.
    QStringList recordEntriesOffline(const QStringList &recorded)
    {
        configure(0);
        tracker.setEnabled(true);
        QStringList screens;
        for (const QString &entry : recorded) {
            if (entry.startsWith(QLatin1String("data:"))) {
                tracker.contextData(QStringLiteral("k"), entry.mid(5));
            } else {
                tracker.transition(entry);
                screens.append(entry);
            }
        }
        tracker.setEnabled(false);
        return screens;
    }

    QList<QJsonObject> received() const { return collector.receivedEvents(); }
private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setApplicationVersion(QStringLiteral("2.5.1"));
        QLoggingCategory::setFilterRules(logRules);
        QVERIFY(startPipeline(QStringLiteral("tst_reporter")));
    }

    void init() { QVERIFY(beginTest()); }

    void cleanup() { QVERIFY(endTest()); }

    // The collector itself, through a plain network client: keep-alive, the routes and the
    // failures on demand.
    void collectorServesRoutesAndFailsOnDemand()
    {
        QNetworkAccessManager manager;
        connect(&manager,
                &QNetworkAccessManager::sslErrors,
                this,
                [](QNetworkReply *reply, const QList<QSslError> &errors) {
                    if (!errors.isEmpty()
                        && errors.first().error() == QSslError::SelfSignedCertificate)
                        reply->ignoreSslErrors();
                });
        const auto post = [&](const QByteArray &path, const QByteArray &body) {
            QNetworkRequest request(
                    QUrl(QStringLiteral("https://%1%2")
                                 .arg(collector.server(), QString::fromLatin1(path))));
            request.setHeader(QNetworkRequest::ContentTypeHeader,
                              QStringLiteral("application/json"));
            request.setTransferTimeout(200);
            std::unique_ptr<QNetworkReply> reply(manager.post(request, body));
            QSignalSpy finished(reply.get(), &QNetworkReply::finished);
            if (!reply->isFinished())
                finished.wait(pipelineWait);
            return std::make_pair(
                    reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                    reply->isFinished() ? reply->error() : QNetworkReply::UnknownNetworkError);
        };
        const QByteArray batch =
                R"({"schema":"s","data":[{"e":"ue","eid":"1"},{"e":"ue","eid":"2"}]})";

        QSignalSpy recorded(&collector, &TestCollector::requestReceived);
        QCOMPARE(post(tp2, batch).first, 200);
        QCOMPARE(post("/config", "{}").first, 404);
        collector.setConfigDocument(R"({"sync":{"interval":5}})");
        QCOMPARE(post("/config", "{}").first, 200);
        QCOMPARE(collector.requests().last().path, QByteArray("/config"));
        QCOMPARE(post("/elsewhere", "{}").first, 404);
        collector.setFailure(tp2, TestCollector::Failure::HttpStatus, 1, 503);
        QCOMPARE(post(tp2, batch).first, 503);
        QCOMPARE(post(tp2, batch).first, 200);
        QCOMPARE(recorded.count(), 6);
        QCOMPARE(collector.connectionCount(), 1); // one kept-alive connection for all six

        const QList<TestCollector::Request> requests = collector.requests();
        QCOMPARE(requests.first().method, QByteArray("POST"));
        QCOMPARE(requests.first().header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(requests.first().body, batch);
        QCOMPARE(collector.receivedEvents().size(), 4); // not the batch answered with 503
        QCOMPARE(collector.acceptedBatches().size(), 2);

        collector.setFailure(tp2, TestCollector::Failure::Reset);
        QCOMPARE(post(tp2, batch).second, QNetworkReply::RemoteHostClosedError);
        collector.setFailure(tp2, TestCollector::Failure::NoAnswer, 1);
        QCOMPARE(post(tp2, batch).second, QNetworkReply::OperationCanceledError);
        QCOMPARE(collector.requests().last().status, 0);
        QCOMPARE(post(tp2, batch).first, 200);
        QCOMPARE(collector.receivedEvents().size(), 6);
    }

    void deviceAndApplicationEventFirst()
    {
        LogCapture log;
        configure(1);
        tracker.setEnabled(true);
        TRY_VERIFY(!received().isEmpty());

        const QStringList sessions =
                log.texts(events, QtInfoMsg)
                        .filter(QRegularExpression(QStringLiteral("^Using new session id: ")));
        QCOMPARE(sessions.size(), 1);
        const QString sessionId =
                unquoted(sessions.first().mid(int(qstrlen("Using new session id: "))));
        QVERIFY(log.texts(events, QtInfoMsg)
                        .contains(QStringLiteral("Sending events to: \"%1\"")
                                          .arg(collector.server())));

        const QJsonObject first = received().first();
        QCOMPARE(contextSchemas(first), (QStringList {Schema::device, Schema::application}));
        QCOMPARE(first.value(QLatin1String("sid")).toString(), sessionId);
        QCOMPARE(first.value(QLatin1String("e")).toString(), QStringLiteral("ue"));
        QCOMPARE(first.value(QLatin1String("tna")).toString(), QStringLiteral("pipeline-token"));
        QCOMPARE(first.value(QLatin1String("aid")).toString(), QStringLiteral("tst_reporter"));
        QCOMPARE(first.value(QLatin1String("duid")).toString(), config()->userId());
        QCOMPARE(first.value(QLatin1String("p")).toString(), QStringLiteral("app"));
        QCOMPARE(contextsWith(first, Schema::application)
                         .first()
                         .value(QLatin1String("version"))
                         .toString(),
                 QStringLiteral("2.5.1"));

        const TestCollector::Request request = collector.requests(tp2).first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.header("content-type"), QByteArray("application/json"));
        QCOMPARE(request.batch.value(QLatin1String("schema")).toString(), Schema::batch);
        QVERIFY(!request.body.contains('\n'));
        QVERIFY(!request.body.contains(": ")); // compact

        // A new session: later events carry the new identifier, earlier ones keep theirs.
        tracker.transition(QStringLiteral("before"));
        tracker.startNewSession();
        tracker.transition(QStringLiteral("after"));
        TRY_COMPARE(received().size(), 3);
        const QStringList allSessions =
                log.texts(events, QtInfoMsg)
                        .filter(QRegularExpression(QStringLiteral("^Using new session id: ")));
        QCOMPARE(allSessions.size(), 2);
        const QString newSession =
                unquoted(allSessions.last().mid(int(qstrlen("Using new session id: "))));
        QVERIFY(newSession != sessionId);
        QCOMPARE(received().at(1).value(QLatin1String("sid")).toString(), sessionId);
        QCOMPARE(received().at(2).value(QLatin1String("sid")).toString(), newSession);
    }

    void screenViewsChainAndClicksFollow()
    {
        configure(1);
        tracker.setEnabled(true);
        tracker.interaction(QStringLiteral("early"), QString());
        tracker.transition(QStringLiteral("Main"));
        tracker.transition(QStringLiteral("Settings"), QStringLiteral("depth"), 2.5);
        tracker.interaction(QStringLiteral("ok"), QStringLiteral("buttons"));
        tracker.interaction(QStringLiteral("hidden"), QStringLiteral("not configured"));
        tracker.interaction(QStringLiteral("apply"),
                            QStringLiteral("count"),
                            7,
                            QStringLiteral("buttons"));
        TRY_COMPARE(receivedRecorded().size(), 5);
        const QList<QJsonObject> recorded = receivedRecorded();

        const QList<QJsonObject> early = contextsWith(recorded.at(0), Schema::click);
        QCOMPARE(early.size(), 1);
        QCOMPARE(early.first(),
                 (QJsonObject {{QStringLiteral("object_id"), QStringLiteral("early")},
                               {QStringLiteral("category"), QString()},
                               {QStringLiteral("screen_id"), QString()}}));
        QCOMPARE(contextSchemas(recorded.at(1)), QStringList {Schema::screenView});
        QCOMPARE(contextsWith(recorded.at(1), Schema::screenView).first(),
                 (QJsonObject {{QStringLiteral("object_id"), QStringLiteral("Main")},
                               {QStringLiteral("previous_id"), QString()}}));
        QCOMPARE(contextSchemas(recorded.at(2)),
                 (QStringList {Schema::screenView, Schema::contextData}));
        QCOMPARE(contextsWith(recorded.at(2), Schema::screenView).first(),
                 (QJsonObject {{QStringLiteral("object_id"), QStringLiteral("Settings")},
                               {QStringLiteral("previous_id"), QStringLiteral("Main")}}));
        const QJsonObject depth = contextsWith(recorded.at(2), Schema::contextData).first();
        QCOMPARE(depth.value(QLatin1String("key")).toString(), QStringLiteral("depth"));
        QVERIFY(depth.value(QLatin1String("val")).isDouble());
        QCOMPARE(depth.value(QLatin1String("val")).toDouble(), 2.5);
        QCOMPARE(contextsWith(recorded.at(3), Schema::click).first(),
                 (QJsonObject {{QStringLiteral("object_id"), QStringLiteral("ok")},
                               {QStringLiteral("category"), QStringLiteral("buttons")},
                               {QStringLiteral("screen_id"), QStringLiteral("Settings")}}));
        // The click of an unconfigured category never became an event.
        QCOMPARE(contextSchemas(recorded.at(4)),
                 (QStringList {Schema::click, Schema::contextData}));
        QCOMPARE(contextsWith(recorded.at(4), Schema::click)
                         .first()
                         .value(QLatin1String("object_id"))
                         .toString(),
                 QStringLiteral("apply"));
        QCOMPARE(contextsWith(recorded.at(4), Schema::contextData).first(),
                 (QJsonObject {{QStringLiteral("key"), QStringLiteral("count")},
                               {QStringLiteral("val"), 7.0}}));
    }

    void genericEvent_data()
    {
        QTest::addColumn<QString>("screen");
        QTest::addColumn<QString>("objectName");
        QTest::addColumn<bool>("hasPosition");
        QTest::addColumn<bool>("hasDetails");
        QTest::addColumn<QString>("details");
        QTest::newRow("everything") << "Main"
                                    << "okButton" << true << true << "LeftButton";
        QTest::newRow("before any screen view") << ""
                                                << "okButton" << true << true << "LeftButton";
        QTest::newRow("no object name") << "Main"
                                        << "" << true << true << "LeftButton";
        QTest::newRow("no position") << "Main"
                                     << "okButton" << false << true << "LeftButton";
        QTest::newRow("empty details") << "Main"
                                       << "okButton" << true << true << "";
        QTest::newRow("no details") << "Main"
                                    << "okButton" << true << false << "";
    }

    void genericEvent()
    {
        QFETCH(QString, screen);
        QFETCH(QString, objectName);
        QFETCH(bool, hasPosition);
        QFETCH(bool, hasDetails);
        QFETCH(QString, details);
        const QString object = QStringLiteral("MainWindow/QWidget/QPushButton:okButton");

        configure(1);
        tracker.setEnabled(true);
        if (!screen.isEmpty())
            tracker.transition(screen);
        SentrelTrackerImpl::instance()->sendEvent(
                QStringLiteral("MouseButtonRelease"),
                object,
                objectName,
                hasPosition ? std::make_optional(EventCoordinates {3, -7}) : std::nullopt,
                hasDetails ? std::make_optional(details) : std::nullopt);
        TRY_VERIFY(!eventsStartingWith(received(), Schema::qevent).isEmpty());
        const QJsonObject event = eventsStartingWith(received(), Schema::qevent).first();
        QCOMPARE(contextSchemas(event), QStringList {Schema::qevent});

        QJsonObject expected {{QStringLiteral("type"), QStringLiteral("MouseButtonRelease")},
                              {QStringLiteral("object"), object},
                              {QStringLiteral("screen_id"), screen}};
        if (!objectName.isEmpty())
            expected.insert(QStringLiteral("object_name"), objectName);
        if (hasDetails)
            expected.insert(QStringLiteral("data"), details);
        if (hasPosition)
            expected.insert(QStringLiteral("position"),
                            QJsonObject {{QStringLiteral("x"), 3}, {QStringLiteral("y"), -7}});
        const QJsonObject data = contextsWith(event, Schema::qevent).first();
        QCOMPARE(data, expected);
        if (hasPosition) {
            // Integers on the wire, not 3.0.
            const QByteArray body = collector.acceptedBatches().join();
            QVERIFY(body.contains(R"(\"x\":3)") && body.contains(R"(\"y\":-7)"));
        }
    }

    void contextDataChunks_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("parts");
        QTest::newRow("empty") << 0 << 0;
        QTest::newRow("one unit") << 1 << 1;
        QTest::newRow("4096") << 4096 << 1;
        QTest::newRow("4097") << 4097 << 2;
        QTest::newRow("8192") << 8192 << 2;
        QTest::newRow("8193") << 8193 << 3;
        QTest::newRow("20000") << 20000 << 5;
    }

    void contextDataChunks()
    {
        QFETCH(int, length);
        QFETCH(int, parts);
        const QString value = numberedText(length);

        configure(1);
        tracker.setEnabled(true);
        tracker.contextData(QStringLiteral("document"), value);
        TRY_COMPARE(receivedRecorded().size(), 1);
        const QJsonObject event = receivedRecorded().first();
        QCOMPARE(contextSchemas(event), QStringList(parts, Schema::contextData));

        const QList<QJsonObject> chunks = contextsWith(event, Schema::contextData);
        for (int i = 0; i < chunks.size(); ++i) {
            const QJsonObject &chunk = chunks.at(i);
            QCOMPARE(chunk.value(QLatin1String("key")).toString(), QStringLiteral("document"));
            const QString part = chunk.value(QLatin1String("val")).toString();
            QCOMPARE(part.size(), i + 1 < chunks.size() ? 4096 : length - 4096 * i);
            if (length > 4096) {
                QCOMPARE(chunk.value(QLatin1String("multipart")), QJsonValue(true));
                QCOMPARE(chunk.value(QLatin1String("multipart_sort")).toInteger(-1), i);
            } else {
                QCOMPARE(chunk.keys(),
                         (QStringList {QStringLiteral("key"), QStringLiteral("val")}));
            }
        }
        QCOMPARE(reassembled(chunks), value);
        if (parts == 0) {
            const QJsonObject envelope =
                    QJsonDocument::fromJson(event.value(QLatin1String("co")).toString().toUtf8())
                            .object();
            QCOMPARE(envelope,
                     (QJsonObject {{QStringLiteral("schema"), Schema::contexts},
                                   {QStringLiteral("data"), QJsonArray()}}));
        }
    }

    // A chunk boundary must never fall between the halves of a surrogate pair: a lone half
    // cannot be encoded as UTF-8 and the value would arrive corrupted.
    void surrogatePairsStayWhole_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("high surrogate as 4096th unit")
                << QString(4095, QLatin1Char('a')) + emoji() + QStringLiteral("tail");
        QTest::newRow("high surrogate as 8192nd unit")
                << QString(8191, QLatin1Char('b')) + emoji() + QStringLiteral("z");
        QTest::newRow("pairs across every boundary")
                << QStringLiteral("x") + emoji().repeated(5000);
        QTest::newRow("pairs aligned to the boundaries") << emoji().repeated(5000);
    }

    void surrogatePairsStayWhole()
    {
        QFETCH(QString, value);
        configure(1);
        tracker.setEnabled(true);
        tracker.contextData(QStringLiteral("text"), value);
        TRY_COMPARE(receivedRecorded().size(), 1);
        const QList<QJsonObject> chunks =
                contextsWith(receivedRecorded().first(), Schema::contextData);
        QVERIFY(chunks.size() >= 2);
        for (int i = 0; i < chunks.size(); ++i) {
            const QString part = chunks.at(i).value(QLatin1String("val")).toString();
            QCOMPARE(chunks.at(i).value(QLatin1String("multipart_sort")).toInt(-1), i);
            QVERIFY2(part.size() <= 4096, qPrintable(QString::number(part.size())));
            QVERIFY(!part.isEmpty());
            QVERIFY2(!part.back().isHighSurrogate(),
                     qPrintable(QStringLiteral("part %1 ends in a high surrogate").arg(i)));
            QVERIFY2(!part.front().isLowSurrogate(),
                     qPrintable(QStringLiteral("part %1 starts with a low surrogate").arg(i)));
        }
        QCOMPARE(reassembled(chunks), value);
    }

    void dimensionDataIsWhole()
    {
        configure(1);
        tracker.setEnabled(true);
        QString value = numberedText(10000);
        tracker.dimensionData(QStringLiteral("edition"), value);
        TRY_COMPARE(receivedRecorded().size(), 1);
        const QJsonObject event = receivedRecorded().first();
        QCOMPARE(contextSchemas(event), QStringList {Schema::dimension});
        QCOMPARE(contextsWith(event, Schema::dimension).first(),
                 (QJsonObject {{QStringLiteral("key"), QStringLiteral("edition")},
                               {QStringLiteral("val"), value}}));
    }

    // Also: a cache reopened by a later enable keeps what the earlier one stored.
    void batchesInIdOrder_data()
    {
        QTest::addColumn<QString>("type");
        QTest::newRow("plain") << "SQLITE";
        QTest::newRow("zlib") << "SQLITE-ZLIB";
        QTest::newRow("zstd") << "SQLITE-ZSTD";
    }

    void batchesInIdOrder()
    {
        QFETCH(QString, type);
        configure(0, type);
        tracker.setEnabled(true);
        const QStringList screens {QStringLiteral("s1"),
                                   QStringLiteral("s2"),
                                   QStringLiteral("s3"),
                                   QStringLiteral("s4"),
                                   QStringLiteral("s5")};
        for (const QString &screen : screens)
            tracker.transition(screen);
        TRY_COMPARE(cached(), 6);
        tracker.setEnabled(false);
        QVERIFY(collector.requests().isEmpty());

        LogCapture log;
        configure(1, type);
        config()->setBatchSize(2);
        tracker.setEnabled(true);
        TRY_COMPARE(received().size(), 7);
        TRY_VERIFY(log.contains(events, QStringLiteral("All events sent at")));
        QCOMPARE(cached(), 0);

        const QList<QJsonObject> all = received();
        QVERIFY(contextSchemas(all.first()).startsWith(Schema::device));
        QCOMPARE(screenNames(all), screens);
        QVERIFY(contextSchemas(all.last()).startsWith(Schema::device));
        QVERIFY(all.first().value(QLatin1String("sid")) != all.last().value(QLatin1String("sid")));
        QList<int> sizes;
        for (const TestCollector::Request &request : collector.requests(tp2))
            sizes.append(int(batchEvents(request.batch).size()));
        QCOMPARE(sizes, (QList<int> {2, 2, 2, 1}));
        QCOMPARE(log.count(events, QStringLiteral("Sending 2 events in")), 3);
    }

    // Delivered rows that cannot be removed (a disk briefly full) keep the cache: no further
    // batch goes until they are removed, so nothing is sent twice, and caching goes on.
    void failedRemovalIsRetried()
    {
        LogCapture log;
        log.expect(storage, QStringLiteral("Failed to remove events:"));
        log.expect(events, QStringLiteral("Failed to remove events from storage"));
        configure(1);
        config()->setBatchSize(10);
        tracker.setEnabled(true);
        TRY_VERIFY(!received().isEmpty());
        // The start-up event's removal first: under an emulator its answer can come after this.
        TRY_COMPARE(cached(), 0);
        // Another connection makes every removal fail, as a full disk would.
        const QString other = QStringLiteral("tst_reporter-blocker");
        {
            QSqlDatabase blocker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), other);
            blocker.setDatabaseName(cacheFile());
            QVERIFY(blocker.open());
            QVERIFY(QSqlQuery(blocker).exec(
                    QStringLiteral("CREATE TRIGGER full BEFORE DELETE ON events BEGIN "
                                   "SELECT RAISE(ABORT, 'database or disk is full'); END")));
        }
        const auto removeBlocker = qScopeGuard([other] {
            QSqlDatabase::removeDatabase(other);
        });
        QStringList screens;
        for (int i = 0; i < 10; ++i)
            screens.append(QStringLiteral("before-%1").arg(i));
        for (const QString &screen : std::as_const(screens))
            tracker.transition(screen);
        TRY_COMPARE(screenNames(received()).size(), 10);
        TRY_VERIFY(log.contains(events,
                                QStringLiteral("Failed to remove events from storage, "
                                               "trying again before the next batch")));
        for (int i = 0; i < 10; ++i) {
            screens.append(QStringLiteral("after-%1").arg(i));
            tracker.transition(screens.last());
        }
        SentrelTrackerImpl::instance()->waitForRequests();

        QVERIFY(QSqlQuery(QSqlDatabase::database(other)).exec(QStringLiteral("DROP TRIGGER full")));
        QSqlDatabase::database(other).close();
        TRY_COMPARE(screenNames(received()), screens);
        TRY_COMPARE(cached(), 0);
        QCOMPARE(log.count(events, QStringLiteral("Failed to remove events from storage")), 1);
        const QStringList ids = eventIds(received());
        QCOMPARE(QSet<QString>(ids.cbegin(), ids.cend()).size(), ids.size());
    }

    void failedBatchIsKeptAndRetried_data()
    {
        QTest::addColumn<TestCollector::Failure>("failure");
        QTest::addColumn<int>("status");
        QTest::newRow("http 500") << TestCollector::Failure::HttpStatus << 500;
        QTest::newRow("http 503") << TestCollector::Failure::HttpStatus << 503;
        // Transient, or a fault of the setup rather than of the data: nothing is dropped.
        QTest::newRow("http 408") << TestCollector::Failure::HttpStatus << 408;
        QTest::newRow("http 429") << TestCollector::Failure::HttpStatus << 429;
        QTest::newRow("http 401") << TestCollector::Failure::HttpStatus << 401;
        QTest::newRow("http 403") << TestCollector::Failure::HttpStatus << 403;
        QTest::newRow("http 404") << TestCollector::Failure::HttpStatus << 404;
        QTest::newRow("reset connection") << TestCollector::Failure::Reset << 0;
        QTest::newRow("never answered") << TestCollector::Failure::NoAnswer << 0;
        // Not an acceptance either: a redirect to a page that answers 200 delivers nothing.
        for (const int redirect : {300, 301, 302, 303, 304, 307})
            QTest::addRow("http %d", redirect) << TestCollector::Failure::HttpStatus << redirect;
        QTest::newRow("103 then 503") << TestCollector::Failure::HttpStatus << 103;
    }

    void failedBatchIsKeptAndRetried()
    {
        QFETCH(TestCollector::Failure, failure);
        QFETCH(int, status);
        if (failure == TestCollector::Failure::NoAnswer)
            qputenv("SENTREL_TRANSFER_TIMEOUT_MS", "250");
        recordEntriesOffline({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});

        collector.setFailure(tp2, failure, -1, status ? status : 500);
        collector.setLocation("/landing");
        LogCapture log;
        log.expect(events, QStringLiteral("Failed to sent events:"));
        useManualClock();
        configure(1);
        tracker.setEnabled(true);
        // Two failed attempts: the batch is retried on the sync interval.
        TRY_VERIFY(log.count(events, QStringLiteral("Failed to sent events:")) >= 2);
        const QStringList warnings = log.texts(events, QtWarningMsg);
        QVERIFY2(warnings.first().startsWith(
                         QStringLiteral("Failed to sent events: %1 ").arg(status))
                         || (status == 103
                             && warnings.first().startsWith(
                                     QStringLiteral("Failed to sent events: 503 "))),
                 qPrintable(warnings.first()));
        if (status >= 300 && status < 400 && status != 304)
            QVERIFY2(warnings.first().contains(QLatin1String("redirected to /landing")),
                     qPrintable(warnings.first()));
        QVERIFY(collector.requests("/landing").isEmpty()); // never followed
        QVERIFY(received().isEmpty());
        QCOMPARE(cached(), 5); // nothing removed
        const QStringList attempted = eventIds(batchEvents(collector.requests(tp2).first().batch));
        QCOMPARE(attempted.size(), 5);

        collector.clearFailures();
        TRY_COMPARE(received().size(), 5);
        QCOMPARE(eventIds(received()), attempted); // the same events, each once, in order
        TRY_COMPARE(cached(), 0);
        TRY_VERIFY(log.contains(events, QStringLiteral("Events have been sent successfully.")));
    }

    void refusedDataIsSplitDownToSingleEvents_data()
    {
        // Screens, and context data where an entry begins with "data:" (a screen's name would
        // come again in the next screen's "previous_id").
        QTest::addColumn<QStringList>("recorded");
        QTest::addColumn<QByteArray>("marker");
        QTest::addColumn<int>("status");
        QTest::addColumn<qint64>("bodyLimit");
        QTest::addColumn<int>("dropped");
        QTest::addColumn<int>("maxRequests"); // 0: any number
        const QString poison = QStringLiteral("data:poison");
        const QString big = QStringLiteral("data:") + QString(3000, QLatin1Char('x'));
        const QString huge = QStringLiteral("data:") + QString(400000, QLatin1Char('y'));
        QTest::newRow("400 in the middle")
                << screens(9, {{5, poison}}) << QByteArray("poison") << 400 << qint64(0) << 1 << 0;
        QTest::newRow("422, two of them") << screens(12, {{2, poison}, {11, poison}})
                                          << QByteArray("poison") << 422 << qint64(0) << 2 << 0;
        QTest::newRow("413 above 2500 bytes")
                << screens(10, {{4, big}}) << QByteArray() << 0 << qint64(2500) << 1 << 0;
        // Behind the device event: the batches widen again after each acceptance and the drop,
        // so it costs about 2 log2(n) requests, where it took 75.
        QTest::newRow("400 at the front of 66")
                << screens(66, {{1, poison}}) << QByteArray("poison") << 400 << qint64(0) << 1
                << 17;
        // Nothing refused by a proxy's usual limit: large events go alone.
        QTest::newRow("bodies within the limit unless of one event")
                << screens(5, {{2, huge}, {3, huge}, {4, huge}}) << QByteArray() << 0
                << qint64(1000000) << 0 << 0;
    }

    // One event the collector will not take costs a few requests, never the cache.
    void refusedDataIsSplitDownToSingleEvents()
    {
        QFETCH(QStringList, recorded);
        QFETCH(QByteArray, marker);
        QFETCH(int, status);
        QFETCH(qint64, bodyLimit);
        QFETCH(int, dropped);
        QFETCH(int, maxRequests);
        const QStringList screens = recordEntriesOffline(recorded);
        collector.refuseBodiesContaining(marker, status);
        collector.setBodyLimit(bodyLimit);

        LogCapture log;
        log.expect(events, QStringLiteral("Failed to sent events:"));
        log.expect(events, QStringLiteral("Dropped an event that the collector refused:"));
        configure(1);
        tracker.setEnabled(true);
        TRY_COMPARE(cached(), 0);
        tracker.setEnabled(false);

        QCOMPARE(screenNames(received()), screens);
        QCOMPARE(received().size(), recorded.size() - dropped + 2); // and the device events
        const QStringList ids = eventIds(received());
        QCOMPARE(QSet<QString>(ids.cbegin(), ids.cend()).size(), ids.size()); // each exactly once

        // One warning per dropped event, naming it and the status.
        QStringList refusedIds;
        const QRegularExpression droppedMessage(QStringLiteral(
                "^Dropped an event that the collector refused: \"([0-9a-f-]{36})\" (\\d+)$"));
        for (const QString &warning : log.texts(events, QtWarningMsg)) {
            const QRegularExpressionMatch match = droppedMessage.match(warning);
            if (match.hasMatch()) {
                refusedIds.append(match.captured(1));
                QCOMPARE(match.captured(2).toInt(), status ? status : 413);
            }
        }
        QCOMPARE(refusedIds.size(), dropped);
        for (const QString &id : refusedIds)
            QVERIFY(!ids.contains(id));
        for (const TestCollector::Request &request : collector.requests(tp2)) {
            QVERIFY2(request.body.size() <= SentrelDelivery::maximumBatchBytes
                             || batchEvents(request.batch).size() == 1,
                     qPrintable(QString::number(request.body.size())));
            if (dropped == 0)
                QCOMPARE(request.status, 200);
        }
        if (maxRequests > 0)
            QVERIFY2(collector.requests(tp2).size() <= maxRequests,
                     qPrintable(QString::number(collector.requests(tp2).size())));
    }

    void eventsTheCollectorNeverTakes_data()
    {
        QTest::addColumn<QStringList>("recorded");
        QTest::addColumn<int>("status"); // for bodies with "poison"; 0: reset above 100,000 bytes
        const QString poison = QStringLiteral("data:poison");
        const QString big = QStringLiteral("data:") + QString(150000, QLatin1Char('x'));
        QTest::newRow("500 for one event") << screens(7, {{3, poison}}) << 500;
        QTest::newRow("reset above a size") << screens(7, {{3, big}}) << 0;
    }

    // One event that always fails "transiently" is set aside and, after failures while the
    // collector took others (the span of a day shortened), dropped; nothing else is lost.
    void eventsTheCollectorNeverTakes()
    {
        QFETCH(QStringList, recorded);
        QFETCH(int, status);
        qputenv("SENTREL_DROP_SPAN_MS", "0");
        QStringList expected = recordEntriesOffline(recorded);
        if (status)
            collector.refuseBodiesContaining("poison", status);
        else
            collector.setResetAbove(100000);
        // The application goes on recording, so the collector takes something between two
        // failures of the event.
        int more = 0;
        const QObject scope; // ends the connection with the locals it captures
        connect(&collector,
                &TestCollector::requestReceived,
                &scope,
                [&](const TestCollector::Request &request) {
                    if (request.path == tp2 && request.status != 200 && more < 60)
                        tracker.transition(QStringLiteral("more %1").arg(more++));
                });

        LogCapture log;
        log.expect(events, QStringLiteral("Failed to sent events:"));
        log.expect(events, QStringLiteral("Dropped an event that failed every attempt:"));
        useManualClock();
        configure(1);
        tracker.setEnabled(true);
        TRY_VERIFY(
                log.contains(events, QStringLiteral("Dropped an event that failed every attempt:"))
                && cached() == 0);
        tracker.setEnabled(false);

        QStringList names = screenNames(received());
        for (int i = 0; i < more; ++i)
            expected.append(QStringLiteral("more %1").arg(i));
        names.sort();
        expected.sort();
        QCOMPARE(names, expected); // everything else, each once
        QCOMPARE(log.count(events, QStringLiteral("Dropped an event that")), 1);
        QVERIFY(log.count(events, QStringLiteral("Failed to sent events:"))
                >= SentrelDelivery::dropAfterFailures);
    }

    // A collector (or a proxy) that refuses everything costs ten events, not the cache.
    void everythingRefusedKeepsTheCache()
    {
        recordEntriesOffline(screens(20));
        collector.setFailure(tp2, TestCollector::Failure::HttpStatus, -1, 400);
        LogCapture log;
        log.expect(events, QStringLiteral("Failed to sent events:"));
        log.expect(events, QStringLiteral("Dropped an event that the collector refused:"));
        useManualClock();
        configure(1);
        tracker.setEnabled(true);
        TRY_VERIFY(log.texts(events, QtCriticalMsg).size() == 1);
        const int probes = collector.requests(tp2).size();
        TRY_VERIFY(collector.requests(tp2).size() >= probes + 2);
        QCOMPARE(log.count(events, QStringLiteral("Dropped an event that the collector refused:")),
                 SentrelDelivery::haltAfterDrops);
        const qint64 kept = cached();
        QCOMPARE(kept, 22 - SentrelDelivery::haltAfterDrops); // and both device events
        QCOMPARE(log.texts(events, QtCriticalMsg).size(), 1);

        collector.clearFailures();
        TRY_COMPARE(cached(), 0);
        QCOMPARE(received().size(), kept);
        QVERIFY(log.contains(events, QStringLiteral("The collector accepts events again")));
    }

    void outageIsRiddenOutWithGrowingGaps_data()
    {
        QTest::addColumn<int>("outage"); // milliseconds of 503 from enabling (real time)
        QTest::addColumn<int>("failures"); // or this many answers of status
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("retryAfter");
        QTest::addColumn<QList<double>>("shortest"); // seconds between attempts
        QTest::addColumn<QList<double>>("longest");
        // The sync interval of 1 s doubled per failure, each +-20 %.
        QTest::newRow("outage") << 0 << 2 << 503 << QByteArray() << QList<double> {0.8, 1.6}
                                << QList<double> {1.7, 2.9};
        // Never earlier than asked, at most a fifth later.
        QTest::newRow("429 with Retry-After seconds")
                << 0 << 1 << 429 << QByteArray("3") << QList<double> {3.0} << QList<double> {4.1};
        QTest::newRow("503 with Retry-After date") << 0 << 1 << 503 << QByteArray("date")
                                                   << QList<double> {2.9} << QList<double> {6.2};
    }

    void outageIsRiddenOutWithGrowingGaps()
    {
        QFETCH(int, outage);
        QFETCH(int, failures);
        QFETCH(int, status);
        QFETCH(QByteArray, retryAfter);
        QFETCH(QList<double>, shortest);
        QFETCH(QList<double>, longest);
        recordEntriesOffline({QStringLiteral("kept")});
        if (outage)
            collector.startOutage(outage, status);
        else
            collector.setFailure(tp2, TestCollector::Failure::HttpStatus, failures, status);
        // Arrivals on the tracker's clock, which jumps over the waits.
        QList<qint64> arrivals;
        const QObject scope; // ends the connection with the locals it captures
        connect(&collector,
                &TestCollector::requestReceived,
                &scope,
                [&](const TestCollector::Request &request) {
                    if (request.path == tp2)
                        arrivals.append(clock.now());
                });

        LogCapture log;
        log.expect(events, QStringLiteral("Failed to sent events:"));
        configure(1);
        collector.setRetryAfter(retryAfter == "date" ? httpDate(clock.now(), 5) : retryAfter);
        tracker.setEnabled(true);
        TRY_VERIFY(!received().isEmpty());
        TRY_COMPARE(cached(), 0);

        const QList<TestCollector::Request> attempts = collector.requests(tp2);
        QCOMPARE(attempts.size(), shortest.size() + 1);
        QCOMPARE(arrivals.size(), attempts.size());
        QCOMPARE(attempts.last().status, 200);
        for (int i = 0; i < shortest.size(); ++i) {
            QCOMPARE(attempts.at(i).status, status);
            const double gap = double(arrivals.at(i + 1) - arrivals.at(i)) / 1000;
            QVERIFY2(gap >= shortest.at(i) && gap <= longest.at(i),
                     qPrintable(QStringLiteral("gap %1: %2 s").arg(i).arg(gap)));
        }
        QCOMPARE(screenNames(received()), QStringList {QStringLiteral("kept")});
    }

    void retryAfterHoldsAcrossChanges_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("the same sync interval") << "same";
        QTest::newRow("a new sync interval") << "new";
        QTest::newRow("a reopened store") << "reopen";
    }

    // A collector that asked for 30 s gets them, whatever the configuration does meanwhile.
    void retryAfterHoldsAcrossChanges()
    {
        QFETCH(QString, change);
        recordEntriesOffline({QStringLiteral("kept")});
        collector.setFailure(tp2, TestCollector::Failure::HttpStatus, 1, 503);
        collector.setRetryAfter("30");
        TestClock &manual = useManualClock(); // time to change things while the wait is armed
        QList<qint64> arrivals;
        const QObject scope; // ends the connection with the locals it captures
        connect(&collector,
                &TestCollector::requestReceived,
                &scope,
                [&](const TestCollector::Request &request) {
                    if (request.path == tp2)
                        arrivals.append(manual.now());
                });
        LogCapture log;
        log.expect(events, QStringLiteral("Failed to sent events:"));
        configure(1);
        tracker.setEnabled(true);
        settle();
        manual.advance(manual.nextAlarm()); // the first sync, refused; no other alarm rings
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(events, QStringLiteral("Failed to sent events: 503")),
                                 pipelineWait);
        settle(); // the answer handled, the wait armed
        if (change == QLatin1String("same"))
            config()->setSyncInterval(1);
        else if (change == QLatin1String("new"))
            config()->setSyncInterval(2);
        else
            config()->setStorageSize(100000);
        settle();
        const qint64 due = manual.nextAlarm();
        QVERIFY2(due >= 30000, qPrintable(QString::number(due)));
        manual.advance(due - 1);
        QCOMPARE(manual.nextAlarm(), 1); // nothing rang early
        TRY_COMPARE(cached(), 0);
        QCOMPARE(screenNames(received()), QStringList {QStringLiteral("kept")});
        QCOMPARE(arrivals.size(), 2);
        QVERIFY2(arrivals.at(1) - arrivals.at(0) >= 30000,
                 qPrintable(QString::number(arrivals.at(1) - arrivals.at(0))));
    }

    void changesWhileABatchIsInFlight_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("sendsMore");
        QTest::addColumn<int>("leftInFirstFile");
        QTest::newRow("clearCache") << "clear" << true << 0;
        // At least once: accepted, but the reply came for a file no longer open.
        QTest::newRow("storage path") << "path" << true << 4;
        QTest::newRow("sync interval") << "interval" << true << 0;
        QTest::newRow("offline") << "offline" << false << 2;
    }

    // The late answer to a batch removes only the rows it was about, and nothing recorded
    // after the change is lost or sent twice.
    void changesWhileABatchIsInFlight()
    {
        QFETCH(QString, change);
        QFETCH(bool, sendsMore);
        QFETCH(int, leftInFirstFile);
        QTemporaryDir other;
        recordEntriesOffline({QStringLiteral("before 1"), QStringLiteral("before 2")});
        collector.setAnswerDelay(400);

        LogCapture log;
        configure(1);
        tracker.setEnabled(true);
        TRY_COMPARE(collector.requests(tp2).size(), 1);
        QVERIFY(!log.contains(
                events,
                QStringLiteral("Events have been sent successfully."))); // still unanswered
        if (change == QLatin1String("clear"))
            tracker.clearCache();
        else if (change == QLatin1String("path"))
            config()->setStoragePath(other.path());
        else
            config()->setSyncInterval(change == QLatin1String("offline") ? 0 : 2);
        collector.setAnswerDelay(0); // for the batches after the one in flight
        tracker.transition(QStringLiteral("after 1"));
        tracker.transition(QStringLiteral("after 2"));

        const QStringList before {QStringLiteral("before 1"), QStringLiteral("before 2")};
        const QStringList all {QStringLiteral("before 1"),
                               QStringLiteral("before 2"),
                               QStringLiteral("after 1"),
                               QStringLiteral("after 2")};
        TRY_VERIFY(log.contains(events, QStringLiteral("Events have been sent successfully.")));
        if (sendsMore) {
            TRY_COMPARE(screenNames(received()), all);
            const QString current = change == QLatin1String("path")
                    ? other.filePath(QStringLiteral("SentrelTracker.db"))
                    : cacheFile();
            TRY_COMPARE(cachedRecords(current), 0); // answered as well
        } else {
            // Offline: nothing is armed any more, so nothing can go.
            TRY_COMPARE(clock.nextAlarm(), qint64(-1));
            QCOMPARE(collector.requests(tp2).size(), 1);
            QCOMPARE(screenNames(received()), before);
        }
        const QStringList ids = eventIds(received());
        QCOMPARE(QSet<QString>(ids.cbegin(), ids.cend()).size(), ids.size());
        tracker.setEnabled(false);
        QCOMPARE(cached(), qint64(leftInFirstFile));
    }

    // A store made at run time where there was none is synced as one opened at the start.
    void storeMadeAtRunTimeIsSynced()
    {
        configure(1, QString());
        tracker.setEnabled(true);
        TRY_COMPARE(received().size(), 1); // sent at once, without a store
        config()->setStorageType(QStringLiteral("SQLITE"));
        TRY_VERIFY(QFile::exists(cacheFile()));
        tracker.transition(QStringLiteral("cached"));
        TRY_COMPARE(screenNames(received()), QStringList {QStringLiteral("cached")});
        TRY_COMPARE(cached(), 0);
    }

    void everyStoreTypeReadsEveryOther_data()
    {
        QTest::addColumn<QStringList>("writers");
        QTest::addColumn<QString>("reader");
        const QStringList types {QStringLiteral("SQLITE"),
                                 QStringLiteral("SQLITE-ZLIB"),
                                 QStringLiteral("SQLITE-ZSTD")};
        for (const QString &writer : types) {
            for (const QString &reader : types) {
                if (writer != reader)
                    QTest::addRow("%s read by %s", qPrintable(writer), qPrintable(reader))
                            << QStringList {writer} << reader;
            }
        }
        QTest::newRow("all three in one file") << types << "SQLITE-ZLIB";
    }

    // Each writer stores enough events to make its dictionary.
    void everyStoreTypeReadsEveryOther()
    {
        QFETCH(QStringList, writers);
        QFETCH(QString, reader);
        QStringList recorded;
        for (const QString &writer : writers) {
            configure(0, writer);
            tracker.setEnabled(true);
            for (int i = 0; i < 110; ++i) {
                recorded.append(QStringLiteral("%1 %2").arg(writer).arg(i));
                tracker.transition(recorded.last());
            }
            tracker.setEnabled(false);
        }

        LogCapture log;
        configure(1, reader);
        tracker.setEnabled(true);
        TRY_COMPARE(cached(), 0);
        QCOMPARE(screenNames(received()), recorded);
        QCOMPARE(received().size(), recorded.size() + writers.size() + 1); // and the device events
    }

    void rowsAreCheckedBeforeTheyGo_data()
    {
        QTest::addColumn<QByteArray>("row");
        QTest::addColumn<bool>("sent"); // written again in strict form, or dropped
        QTest::newRow("not JSON") << QByteArray("hello, world") << false;
        QTest::newRow("truncated JSON") << QByteArray(R"({"e":"ue","eid":"1")") << false;
        QTest::newRow("JSON array") << QByteArray(R"([{"e":"ue"}])") << false;
        QTest::newRow("JSON string") << QByteArray(R"("{}")") << false;
        QTest::newRow("empty") << QByteArray("", 0) << false;
        QTest::newRow("damaged zstd frame")
                << QByteArray("\x28\xb5\x2f\xfd\x20\x10garbage", 14) << false;
        // Lenient parsers take these; a strict collector would refuse the whole batch.
        QTest::newRow("byte-order mark")
                << QByteArray("\xEF\xBB\xBF{\"e\":\"ue\",\"eid\":\"bom\"}") << true;
        QTest::newRow("control characters")
                << QByteArray("{\"e\":\"ue\",\"eid\":\"c\x01\tl\"}") << true;
    }

    void rowsAreCheckedBeforeTheyGo()
    {
        QFETCH(QByteArray, row);
        QFETCH(bool, sent);
        recordEntriesOffline({QStringLiteral("one")});
        const quint64 id = insertRow(cacheFile(), row);
        QVERIFY(id > 0);
        recordEntriesOffline({QStringLiteral("two")});

        LogCapture log;
        log.expect(events, QStringLiteral("Dropped an unreadable event from the cache:"));
        configure(1);
        tracker.setEnabled(true);
        TRY_COMPARE(cached(), 0);
        QCOMPARE(screenNames(received()),
                 (QStringList {QStringLiteral("one"), QStringLiteral("two")}));
        QCOMPARE(received().size(), sent ? 6 : 5); // with the three device events
        for (const QJsonObject &event : received())
            QVERIFY(!event.isEmpty());
        for (const QByteArray &body : collector.acceptedBatches()) {
            QVERIFY(!body.startsWith("\xEF\xBB\xBF"));
            QVERIFY(std::none_of(body.cbegin(), body.cend(), [](char c) {
                return uchar(c) < 0x20;
            }));
        }
        const QString dropped = QStringLiteral("Dropped an unreadable event from the cache: %1");
        QCOMPARE(log.texts(events, QtWarningMsg),
                 sent ? QStringList() : QStringList {dropped.arg(id)});
    }

    void eventSizeLimit_data()
    {
        QTest::addColumn<qsizetype>("over"); // the event's size once written, less the limit
        QTest::newRow("at the limit") << qsizetype(0);
        QTest::newRow("one byte over, refused on the worker") << qsizetype(1);
        QTest::newRow("a value above the limit, refused as it is recorded")
                << qsizetype(SentrelPayload::maximumEventSize);
    }

    // An event above 1 MiB once written is refused with one warning naming its size; the
    // events around it are delivered, in order.
    void eventSizeLimit()
    {
        QFETCH(qsizetype, over);
        constexpr qsizetype limit = SentrelPayload::maximumEventSize;
        LogCapture log;
        log.expect(events, QStringLiteral("Dropped an event of"));
        configure(1);
        tracker.setEnabled(true);
        // A dimension of one character, whose size gives the rest of such an event.
        QString value = QStringLiteral("x");
        tracker.dimensionData(QStringLiteral("k"), value);
        SentrelTrackerImpl::instance()->waitForRequests();
        const QString prefix = QStringLiteral("New event QJsonObject(");
        const QStringList built = log.texts(events, QtDebugMsg).filter(prefix);
        QCOMPARE(built.size(), 2); // the device event before it
        const qsizetype rest = built.last().size() - prefix.size() - 1 - 1;

        // A megabyte of "New event" text is of no use in the output.
        QLoggingCategory::setFilterRules(logRules + QStringLiteral("\nsentrel.events.debug=false"));
        const auto debugAgain = qScopeGuard([] {
            QLoggingCategory::setFilterRules(logRules);
        });
        value = QString(limit - rest + over, QLatin1Char('v'));
        tracker.transition(QStringLiteral("before"));
        tracker.dimensionData(QStringLiteral("k"), value);
        tracker.transition(QStringLiteral("after"));
        TRY_COMPARE(screenNames(received()),
                    (QStringList {QStringLiteral("before"), QStringLiteral("after")}));

        QStringList order;
        for (const QJsonObject &event : receivedRecorded()) {
            const QJsonObject data = contextsWith(event, Schema::dimension).value(0);
            order.append(
                    data.isEmpty()
                            ? screenNames({event}).value(0)
                            : QString::number(data.value(QLatin1String("val")).toString().size()));
        }
        const bool kept = over <= 0;
        QStringList expected {QStringLiteral("1"), QStringLiteral("before")};
        if (kept)
            expected.append(QString::number(value.size()));
        expected.append(QStringLiteral("after"));
        QCOMPARE(order, expected);

        QStringList warnings;
        if (value.size() + 1 > limit)
            warnings << QStringLiteral("Dropped an event of at least %1 bytes, above the limit "
                                       "of 1048576")
                                .arg(value.size() + 1);
        else if (!kept)
            warnings << QStringLiteral("Dropped an event of %1 bytes, above the limit of 1048576")
                                .arg(limit + over);
        QCOMPARE(log.texts(events, QtWarningMsg), warnings);
    }

    void offlineModeOnlyCaches_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("kept");
        QTest::newRow("with a cache") << "SQLITE" << 4;
        QTest::newRow("without a cache") << "" << -1;
    }

    void offlineModeOnlyCaches()
    {
        QFETCH(QString, type);
        QFETCH(int, kept);
        LogCapture log;
        configure(0, type);
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("offline"));
        tracker.interaction(QStringLiteral("ok"), QStringLiteral("buttons"));
        tracker.contextData(QStringLiteral("k"), QStringLiteral("v"));
        tracker.setEnabled(false); // runs everything queued before it

        QCOMPARE(cached(), qint64(kept));
        QCOMPARE(log.count(events, QStringLiteral("Working in offline mode")), 1);
        QCOMPARE(log.count(events, QStringLiteral("Sending events to:")), 0);
        QCOMPARE(log.count(events, QStringLiteral("Next sync in")), 0); // no sync ever armed
        QCOMPARE(log.count(events, QStringLiteral("Storage is not available")), 0);
        QCOMPARE(loggedEvents(log).size(), 4); // built all the same
        QVERIFY(collector.requests().isEmpty());
    }

    // The storage items take effect while tracking runs. The reporter reads them when it
    // handles a change, so each change here is given time to arrive before the next request.
    void storageChangesAtRunTime()
    {
        QTemporaryDir other;
        LogCapture log;
        configure(0);
        tracker.setEnabled(true);
        settle();
        tracker.transition(QStringLiteral("first"));
        tracker.transition(QStringLiteral("second"));
        config()->setStoragePath(other.path());
        settle();
        tracker.transition(QStringLiteral("third"));
        config()->setStorageType(QStringLiteral("SQLITE-ZSTD"));
        settle();
        tracker.transition(QStringLiteral("fourth"));
        config()->setStorageSize(2);
        settle();
        for (const char *screen : {"fifth", "sixth", "seventh"})
            tracker.transition(QLatin1String(screen));
        config()->setStorageType(QString());
        settle();
        tracker.transition(QStringLiteral("dropped"));
        tracker.setEnabled(false);

        QCOMPARE(cached(), qint64(3)); // the device event and two screens
        // The lowered size limit applies from the next insert: the two newest remain.
        auto store = QSentrelStorage::create(QStringLiteral("SQLITE-ZSTD"),
                                             other.filePath(QStringLiteral("SentrelTracker.db")),
                                             0);
        QVERIFY(store->open());
        QStringList screens;
        for (const auto &row : store->get(-1, 0))
            screens.append(contextData(QJsonDocument::fromJson(row.second).object(),
                                       QStringLiteral("/screen_view/"))
                                   .value(QLatin1String("object_id"))
                                   .toString());
        QCOMPARE(screens, (QStringList {QStringLiteral("sixth"), QStringLiteral("seventh")}));
        QCOMPARE(log.count(storage, QStringLiteral("Using \"SQLITE-ZSTD\" event storage:")), 2);
        QCOMPARE(log.count(storage, QStringLiteral("An empty storage type is specified")), 1);
        QVERIFY(collector.requests().isEmpty());
    }

    void withoutStoreEachEventIsSentAlone_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty type")
                << "" << int(QtInfoMsg)
                << "An empty storage type is specified, caching will be disabled.";
        QTest::newRow("lower case")
                << "sqlite" << int(QtWarningMsg)
                << "\"sqlite\" is not a valid storage type, caching will be disabled.";
        QTest::newRow("unknown")
                << "SQLITE-LZ4" << int(QtWarningMsg)
                << "\"SQLITE-LZ4\" is not a valid storage type, caching will be disabled.";
    }

    void withoutStoreEachEventIsSentAlone()
    {
        QFETCH(QString, type);
        QFETCH(int, level);
        QFETCH(QString, message);
        LogCapture log;
        if (level == QtWarningMsg)
            log.expect(storage, message);
        configure(1, type);
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("one"));
        tracker.transition(QStringLiteral("two"));
        tracker.clearCache(); // nothing to clear, nothing to report
        tracker.contextData(QStringLiteral("k"), QStringLiteral("v"));
        TRY_COMPARE(received().size(), 4);

        QCOMPARE(log.texts(storage, QtMsgType(level)), QStringList {message});
        QCOMPARE(log.count(events,
                           QStringLiteral("Storage is not available, sending event immediately.")),
                 4);
        const QList<TestCollector::Request> requests = collector.requests(tp2);
        QCOMPARE(requests.size(), 4);
        for (const TestCollector::Request &request : requests)
            QCOMPARE(batchEvents(request.batch).size(), 1);
        QVERIFY(!QFile::exists(cacheFile()));
    }

    // Without a cache a failed event is lost: it is not sent again.
    void withoutStoreFailedEventIsDropped()
    {
        LogCapture log;
        log.expect(events, QStringLiteral("Failed to sent events:"));
        collector.setFailure(tp2, TestCollector::Failure::HttpStatus, 1, 500);
        configure(1, QString());
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("one"));
        tracker.transition(QStringLiteral("two"));
        TRY_COMPARE(received().size(), 2);
        TRY_COMPARE(log.count(events, QStringLiteral("Failed to sent events: 500 ")), 1);
        tracker.setEnabled(false);
        const QList<TestCollector::Request> requests = collector.requests(tp2);
        QCOMPARE(requests.size(), 3);
        const QStringList lost = eventIds(batchEvents(requests.first().batch));
        QCOMPARE(lost.size(), 1);
        QVERIFY(!eventIds(received()).contains(lost.first()));
    }

    void certificateException_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("localhost") << "localhost" << true;
        QTest::newRow("loopback address") << "127.0.0.1" << false;
    }

    void certificateException()
    {
        QFETCH(QString, host);
        QFETCH(bool, accepted);
        LogCapture log;
        if (!accepted)
            log.expect(events, QStringLiteral("Failed to sent events:"));
        configure(1);
        config()->setServer(QStringLiteral("%1:%2").arg(host).arg(collector.port()));
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("secure"));
        if (accepted) {
            TRY_COMPARE(received().size(), 2);
            QCOMPARE(collector.handshakeFailures(), 0);
        } else {
            // Refused as any failure, and retried as any failure.
            TRY_VERIFY(log.count(events, QStringLiteral("Failed to sent events: 0 ")) >= 2);
            const QString warning = log.texts(events, QtWarningMsg).first();
            QVERIFY2(warning.contains(QLatin1String("SSL"), Qt::CaseInsensitive),
                     qPrintable(warning));
            QVERIFY(collector.requests().isEmpty());
            TRY_VERIFY(collector.handshakeFailures() >= 1);
            QCOMPARE(cached(), 2);
        }
    }

    // What each TLS backend reports for a localhost collector's own self-signed certificate
    // is ignored, exactly; anything else about it (another name, an expiry) still fails.
    void certificateExceptionIgnoresOnlyExpectedErrors_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<bool>("peerSignedByAuthority");
        QTest::addColumn<QList<int>>("errors");
        QTest::addColumn<bool>("aboutAnotherCertificate");
        QTest::addColumn<bool>("ignored");
        const QString openssl = QStringLiteral("openssl");
        const int selfSigned = QSslError::SelfSignedCertificate;
        const int untrusted = QSslError::CertificateUntrusted;
        const int mismatch = QSslError::HostNameMismatch;
        const int expired = QSslError::CertificateExpired;
        QTest::newRow("openssl self-signed")
                << openssl << false << QList<int> {selfSigned} << false << true;
        QTest::newRow("openssl name mismatch")
                << openssl << false << QList<int> {selfSigned, mismatch} << false << false;
        QTest::newRow("openssl expired")
                << openssl << false << QList<int> {selfSigned, expired} << false << false;
        QTest::newRow("openssl untrusted")
                << openssl << false << QList<int> {untrusted} << false << false;
        QTest::newRow("schannel untrusted")
                << "schannel" << false << QList<int> {untrusted} << false << true;
        QTest::newRow("schannel name mismatch")
                << "schannel" << false << QList<int> {untrusted, mismatch} << false << false;
        QTest::newRow("securetransport untrusted")
                << "securetransport" << false << QList<int> {untrusted} << false << true;
        QTest::newRow("securetransport self-signed")
                << "securetransport" << false << QList<int> {selfSigned} << false << true;
        QTest::newRow("signed by an authority")
                << openssl << true << QList<int> {selfSigned} << false << false;
        QTest::newRow("about another certificate")
                << openssl << false << QList<int> {selfSigned} << true << false;
        QTest::newRow("no error") << openssl << false << QList<int> {} << false << false;
    }

    void certificateExceptionIgnoresOnlyExpectedErrors()
    {
        QFETCH(QString, backend);
        QFETCH(bool, peerSignedByAuthority);
        QFETCH(QList<int>, errors);
        QFETCH(bool, aboutAnotherCertificate);
        QFETCH(bool, ignored);
        // A leaf for CN=localhost issued by another name; any other certificate will do.
        const QSslCertificate signedLeaf(QByteArrayLiteral(
                "-----BEGIN CERTIFICATE-----\n"
                "MIIBKDCBzgIUV6zyfrRxko2DSM8PPsIPqqH+r2QwCgYIKoZIzj0EAwIwGTEXMBUG\n"
                "A1UEAwwOVGVzdCBBdXRob3JpdHkwHhcNMjYxMjA5MTcyODEwWhcNMzYxMjA2MTcy\n"
                "ODEwWjAUMRIwEAYDVQQDDAlsb2NhbGhvc3QwWTATBgcqhkjOPQIBBggqhkjOPQMB\n"
                "BwNCAATXnJ0GgcZEzdCFMZCVHRm03fLR2ji/fWe4irnHntXrQ6+nKJYYGghZC/P7\n"
                "SSqneM+DIApRpXNvFDj/U25WMaz4MAoGCCqGSM49BAMCA0kAMEYCIQDiz8XUGaVo\n"
                "X+sDnaMd4NvRex8Wz37bUTpCLWmRF6ZDKAIhAO/+IUoLx3bD66LLl6965O5ooimM\n"
                "RqVTQJFOatoKbAz1\n"
                "-----END CERTIFICATE-----\n"));
        QVERIFY(!signedLeaf.isNull());
        const QSslCertificate selfSigned = collector.certificate();
        const QSslCertificate peer = peerSignedByAuthority ? signedLeaf : selfSigned;
        QList<QSslError> reported;
        for (int error : std::as_const(errors))
            reported.append(QSslError(QSslError::SslError(error),
                                      aboutAnotherCertificate ? signedLeaf : peer));
        const QList<QSslError> expected = ignored ? reported : QList<QSslError>();
        QCOMPARE(SentrelHttpTransport::localCertificateErrors(reported, peer, backend), expected);
    }

    // Only this machine's own name earns the exception, not every name that begins with it.
    void certificateExceptionNamesOnlyLocalhost_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("trusted");
        QTest::newRow("bare") << "localhost" << true;
        QTest::newRow("with port") << "localhost:8443" << true;
        QTest::newRow("longer name") << "localhostile.example:443" << false;
        QTest::newRow("subdomain") << "localhost.example.com" << false;
        QTest::newRow("capitals") << "LOCALHOST:443" << false;
        QTest::newRow("loopback address") << "127.0.0.1:443" << false;
        QTest::newRow("empty") << "" << false;
    }

    void certificateExceptionNamesOnlyLocalhost()
    {
        QFETCH(QString, server);
        QFETCH(bool, trusted);
        QCOMPARE(SentrelHttpTransport::isLocalhost(server), trusted);
    }

    void clearCacheRemovesCachedEvents()
    {
        configure(0);
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("gone 1"));
        tracker.transition(QStringLiteral("gone 2"));
        tracker.clearCache();
        tracker.transition(QStringLiteral("kept"));
        tracker.setEnabled(false);
        QCOMPARE(cached(), 1);

        configure(1);
        tracker.setEnabled(true);
        TRY_COMPARE(received().size(), 2);
        QCOMPARE(screenNames(received()), QStringList {QStringLiteral("kept")});
        QVERIFY(contextSchemas(received().last()).startsWith(Schema::device));
    }

    void lastSyncSchedulesFirstSync_data()
    {
        QTest::addColumn<int>("secondsAgo"); // -1: no sync ever
        QTest::addColumn<QList<int>>("nextSync");
        QTest::newRow("100 s ago") << 100 << QList<int> {199, 200};
        QTest::newRow("400 s ago") << 400 << QList<int> {0};
        QTest::newRow("never") << -1 << QList<int> {300};
        // A clock set back since: no longer than one interval.
        QTest::newRow("a day in the future") << -86400 << QList<int> {299, 300};
    }

    void lastSyncSchedulesFirstSync()
    {
        QFETCH(int, secondsAgo);
        QFETCH(QList<int>, nextSync);
        QSentrelConfigurationPrivate *configuration =
                SentrelTrackerImpl::instance()->configurationPrivate();
        const QDateTime now = QDateTime::fromMSecsSinceEpoch(clock.now());
        const QDateTime lastSync = secondsAgo == -1 ? QDateTime() : now.addSecs(-secondsAgo);
        configuration->setLastSync(lastSync);
        QCOMPARE(configuration->lastSync().isNull(), secondsAgo == -1);

        LogCapture log;
        configure(300);
        tracker.setEnabled(true);
        TRY_VERIFY(log.contains(events, QStringLiteral("Next sync in")));

        const QStringList next =
                log.texts(events).filter(QRegularExpression(QStringLiteral("^Next sync in")));
        QCOMPARE(next.size(), 1);
        const QRegularExpressionMatch seconds =
                QRegularExpression(QStringLiteral("^Next sync in (\\d+) seconds$"))
                        .match(next.first());
        QVERIFY2(seconds.hasMatch(), qPrintable(next.first()));
        QVERIFY2(nextSync.contains(seconds.captured(1).toInt()), qPrintable(next.first()));

        const QStringList last =
                log.texts(events, QtDebugMsg)
                        .filter(QRegularExpression(QStringLiteral("^Last sync at")));
        if (secondsAgo == -1) {
            QVERIFY(last.isEmpty());
            TRY_VERIFY(configuration->lastSync().isValid());
            QVERIFY(qAbs(configuration->lastSync().secsTo(now)) <= 5);
        } else {
            QCOMPARE(last.size(), 1);
            const QRegularExpressionMatch ago =
                    QRegularExpression(QStringLiteral(" (-?\\d+) seconds ago\\.$"))
                            .match(last.first());
            QVERIFY2(ago.hasMatch(), qPrintable(last.first()));
            QVERIFY(ago.captured(1).toInt() == secondsAgo
                    || ago.captured(1).toInt() == secondsAgo + 1);
        }
    }
};

SENTREL_TEST_MAIN(tst_Reporter, QGuiApplication)

#include "tst_reporter.moc"
