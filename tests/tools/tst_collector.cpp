// SPDX-License-Identifier: MIT
// The development collector: its checks of events and schemas, and the program itself driven
// over HTTPS as the tracker drives it.
#include "eventchecker.h"
#include "schemaregistry.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <memory>

namespace {
const QString vendor = QStringLiteral("iglu:com.tamlor.sentrel");
const QString clickUri = vendor + QStringLiteral("/event_click/jsonschema/1-0-1");
const QString contextDataUri = vendor + QStringLiteral("/context_data/jsonschema/2-0-2");
const QString qeventUri = vendor + QStringLiteral("/qevent/jsonschema/1-0-1");
const QString screenUri = vendor + QStringLiteral("/screen_view/jsonschema/1-0-1");
constexpr int wait = 20000;

#define START_COLLECTOR(collector, options) \
  QVERIFY((collector).start(options));      \
  QTRY_VERIFY2_WITH_TIMEOUT((collector).listening(), qPrintable((collector).text()), wait)

QJsonObject context(const QString &schema, const QJsonObject &data)
{
    return {{QStringLiteral("schema"), schema}, {QStringLiteral("data"), data}};
}

QJsonObject click(const QString &object = QStringLiteral("okButton"))
{
    return context(clickUri,
                   {{QStringLiteral("object_id"), object},
                    {QStringLiteral("category"), QStringLiteral("buttons")},
                    {QStringLiteral("screen_id"), QStringLiteral("Main")}});
}

// An event of the shape the tracker builds.
QJsonObject trackerEvent(const QJsonArray &contexts)
{
    const QJsonObject envelope {{QStringLiteral("schema"), EventChecker::contextsSchema},
                                {QStringLiteral("data"), contexts}};
    return {
            {QStringLiteral("e"), QStringLiteral("ue")},
            {QStringLiteral("tna"), QStringLiteral("token")},
            {QStringLiteral("dtm"), QStringLiteral("1765200000000")},
            {QStringLiteral("eid"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
            {QStringLiteral("tv"), QStringLiteral("6.9.2")},
            {QStringLiteral("lang"), QStringLiteral("en_GB")},
            {QStringLiteral("aid"), QStringLiteral("tst_collector")},
            {QStringLiteral("sid"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
            {QStringLiteral("duid"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
            {QStringLiteral("p"), QStringLiteral("app")},
            {QStringLiteral("co"),
             QString::fromUtf8(QJsonDocument(envelope).toJson(QJsonDocument::Compact))},
    };
}

QByteArray batch(const QJsonArray &events)
{
    return QJsonDocument(QJsonObject {{QStringLiteral("schema"), EventChecker::batchSchema},
                                      {QStringLiteral("data"), events}})
            .toJson(QJsonDocument::Compact);
}

// What an item of /micro/good shows: its first context's schema name, and the object or key.
QString summary(const QJsonObject &item)
{
    const QJsonObject first = item.value(QStringLiteral(
            "event"))[QStringLiteral("contexts")][QStringLiteral("data")][0]
                                      .toObject();
    const QJsonObject data = first.value(QStringLiteral("data")).toObject();
    return first.value(QStringLiteral("schema")).toString().section(QLatin1Char('/'), 1, 1)
            + QLatin1Char(':') + data.value(QStringLiteral("object_id")).toString()
            + data.value(QStringLiteral("key")).toString();
}

// The collector program, with its output gathered as it comes.
class Collector
{
public:
    explicit Collector(const QString &stateDir) : stateDir(stateDir)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, [this] {
            output += process.readAll();
        });
    }
    ~Collector()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }

    bool start(const QStringList &options)
    {
        const QString portFile = stateDir + QStringLiteral("/port");
        QFile::remove(portFile);
        process.start(QStringLiteral(COLLECTOR),
                      QStringList {QStringLiteral("--port"),
                                   QStringLiteral("0"),
                                   QStringLiteral("--port-file"),
                                   portFile,
                                   QStringLiteral("--state-dir"),
                                   stateDir,
                                   QStringLiteral("--schemas"),
                                   QStringLiteral(SCHEMAS)}
                              + options);
        return process.waitForStarted();
    }

    // The port file appears once the collector listens.
    bool listening()
    {
        QFile file(stateDir + QStringLiteral("/port"));
        if (port == 0 && file.open(QIODevice::ReadOnly))
            port = file.readAll().trimmed().toUShort();
        return port != 0;
    }

    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("https://localhost:%1%2").arg(port).arg(path));
    }
    QString text() const { return QString::fromUtf8(output); }

    QString stateDir;
    QProcess process;
    QByteArray output;
    quint16 port = 0;
};
} // namespace

class tst_Collector : public QObject
{
    Q_OBJECT

    SchemaRegistry schemas;
    QNetworkAccessManager network;
    QTemporaryDir scratch;

    // Posts body and waits for the reply; the collector's certificate is self-signed.
    std::unique_ptr<QNetworkReply>
    post(const QUrl &url, const QByteArray &body, bool waitForAnswer = true)
    {
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        std::unique_ptr<QNetworkReply> reply(network.post(request, body));
        QObject::connect(reply.get(),
                         &QNetworkReply::sslErrors,
                         reply.get(),
                         [reply = reply.get()](const QList<QSslError> &) {
                             reply->ignoreSslErrors();
                         });
        if (waitForAnswer)
            [&reply] {
                QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), wait);
            }();
        return reply;
    }

    static int status(const std::unique_ptr<QNetworkReply> &reply)
    {
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }

    std::unique_ptr<QNetworkReply> get(const QUrl &url)
    {
        std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(url)));
        QObject::connect(reply.get(),
                         &QNetworkReply::sslErrors,
                         reply.get(),
                         [reply = reply.get()](const QList<QSslError> &) {
                             reply->ignoreSslErrors();
                         });
        [&reply] {
            QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), wait);
        }();
        return reply;
    }

    // The collector's API: GET without a body, else POST.
    QJsonDocument api(const Collector &collector,
                      const QString &path,
                      const QByteArray &body = QByteArray(),
                      int *answered = nullptr)
    {
        auto reply = body.isNull() ? get(collector.url(path)) : post(collector.url(path), body);
        if (answered)
            *answered = status(reply);
        return QJsonDocument::fromJson(reply->readAll());
    }

    // A collector that received the probe's session through the tracker, and then one
    // invalid click by hand: the tracker itself sends valid events only.
    std::unique_ptr<Collector> session;
    QString brokenEventId;
    bool sessionReceived()
    {
        if (session)
            return true;
        auto collector = std::make_unique<Collector>(scratch.filePath(QStringLiteral("session")));
        if (!collector->start({})
            || !QTest::qWaitFor(
                    [&] {
                        return collector->listening();
                    },
                    wait))
            return false;
        QProcess probe;
        probe.setProcessChannelMode(QProcess::ForwardedChannels);
        probe.start(QStringLiteral(SESSION_PROBE),
                    {QStringLiteral("localhost:%1").arg(collector->port),
                     scratch.filePath(QStringLiteral("probe-cache"))});
        const bool delivered = QTest::qWaitFor(
                [&] {
                    return api(*collector, QStringLiteral("/micro/all"))
                                   .object()
                                   .value(QStringLiteral("good"))
                                   .toInt()
                            >= 7;
                },
                3 * wait);
        probe.terminate();
        probe.waitForFinished(wait);
        if (!delivered)
            return false;
        QJsonObject broken = trackerEvent({click(QStringLiteral("brokenButton"))});
        broken.remove(QStringLiteral("tv"));
        brokenEventId = broken.value(QStringLiteral("eid")).toString();
        post(collector->url(QStringLiteral("/com.snowplowanalytics.snowplow/tp2")),
             batch({broken}));
        session = std::move(collector);
        return true;
    }

    static QList<QJsonObject> records(const QString &file)
    {
        QList<QJsonObject> result;
        QFile input(file);
        if (!input.open(QIODevice::ReadOnly))
            return result;
        while (!input.atEnd()) {
            const QByteArray line = input.readLine().trimmed();
            if (!line.isEmpty())
                result.append(QJsonDocument::fromJson(line).object());
        }
        return result;
    }

private Q_SLOTS:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(scratch.isValid());
        QCOMPARE(schemas.load(QStringLiteral(SCHEMAS)), 19);
        QVERIFY2(schemas.loadProblems().isEmpty(),
                 qPrintable(schemas.loadProblems().join(QLatin1Char('\n'))));
        // Every keyword of the shipped schemas is checked.
        QCOMPARE(schemas.unsupportedKeywords(), QStringList());
    }

    void contextAgainstSchema_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("problem"); // empty: valid

        QTest::newRow("click") << clickUri
                               << QByteArray(R"({"object_id":"ok","category":"","screen_id":""})")
                               << QString();
        QTest::newRow("click with an unknown key")
                << clickUri
                << QByteArray(R"({"object_id":"ok","category":"","screen_id":"","x":1})")
                << "\"x\" is not allowed";
        QTest::newRow("click without its category")
                << clickUri << QByteArray(R"({"object_id":"ok","screen_id":""})")
                << "\"category\" is missing";
        QTest::newRow("click with a numeric category")
                << clickUri << QByteArray(R"({"object_id":"ok","category":3,"screen_id":""})")
                << "integer where string is expected";
        QTest::newRow("number value")
                << contextDataUri << QByteArray(R"({"key":"k","val":1.5})") << QString();
        QTest::newRow("first of several parts")
                << contextDataUri
                << QByteArray(R"({"key":"k","val":"a","multipart":true,"multipart_sort":0})")
                << QString();
        QTest::newRow("multipart without its index")
                << contextDataUri << QByteArray(R"({"key":"k","val":"a","multipart":true})")
                << "\"multipart\" needs \"multipart_sort\"";
        QTest::newRow("index without multipart")
                << contextDataUri << QByteArray(R"({"key":"k","val":"a","multipart_sort":1})")
                << "\"multipart_sort\" needs \"multipart\"";
        QTest::newRow("multipart false")
                << contextDataUri
                << QByteArray(R"({"key":"k","val":"a","multipart":false,"multipart_sort":0})")
                << "is not one of [true]";
        QTest::newRow("negative index")
                << contextDataUri
                << QByteArray(R"({"key":"k","val":"a","multipart":true,"multipart_sort":-1})")
                << "is below 0";
        QTest::newRow("fractional index")
                << contextDataUri
                << QByteArray(R"({"key":"k","val":"a","multipart":true,"multipart_sort":0.5})")
                << "number where integer is expected";
        QTest::newRow("part longer than 4096")
                << contextDataUri
                << QByteArray(R"({"key":"k","val":")" + QByteArray(4097, 'a') + R"("})")
                << "longer than 4096";
        QTest::newRow("part of 4096")
                << contextDataUri
                << QByteArray(R"({"key":"k","val":")" + QByteArray(4096, 'a') + R"("})")
                << QString();
        QTest::newRow("value of another type")
                << contextDataUri << QByteArray(R"({"key":"k","val":true})")
                << "boolean where number or string is expected";
        QTest::newRow("position")
                << qeventUri
                << QByteArray(
                           R"({"type":"Resize","object":"w","screen_id":"","position":{"x":3,"y":-7}})")
                << QString();
        QTest::newRow("position with a third axis")
                << qeventUri
                << QByteArray(
                           R"({"type":"Resize","object":"w","screen_id":"","position":{"x":3,"y":-7,"z":0}})")
                << ".position: \"z\" is not allowed";
        QTest::newRow("empty object name")
                << qeventUri
                << QByteArray(R"({"type":"Show","object":"w","object_name":"","screen_id":""})")
                << "shorter than 1";
        QTest::newRow("object path, 1-1-0")
                << vendor + QStringLiteral("/qevent/jsonschema/1-1-0")
                << QByteArray(
                           R"({"type":"Show","object":"w/QPushButton","object_path":"w/QPushButton[2]","screen_id":""})")
                << QString();
        QTest::newRow("object path under 1-0-1")
                << qeventUri
                << QByteArray(
                           R"({"type":"Show","object":"w/QPushButton","object_path":"w/QPushButton[2]","screen_id":""})")
                << "\"object_path\" is not allowed";
        QTest::newRow("screen resolution")
                << vendor + QStringLiteral("/device/jsonschema/1-0-1")
                << QByteArray(
                           R"({"screen_resolution":"wide","cpu_architecture":"x","kernel_type":"l","kernel_version":"6","os_type":"l","os_version":"12"})")
                << "does not match";
        QTest::newRow("unknown schema") << vendor + QStringLiteral("/nothing/jsonschema/1-0-0")
                                        << QByteArray("{}") << "unknown schema";
    }

    void contextAgainstSchema()
    {
        QFETCH(QString, uri);
        QFETCH(QByteArray, data);
        QFETCH(QString, problem);
        const QStringList problems = schemas.validate(uri,
                                                      QJsonDocument::fromJson(data).object(),
                                                      QStringLiteral("data"));
        if (problem.isEmpty()) {
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        } else {
            QCOMPARE(problems.size(), 1);
            QVERIFY2(problems.first().contains(problem), qPrintable(problems.first()));
        }
    }

    void eventRules_data()
    {
        QTest::addColumn<QJsonObject>("event");
        QTest::addColumn<QString>("problem"); // empty: valid
        QTest::addColumn<QString>("kind");

        const QJsonObject good = trackerEvent({click()});
        QTest::newRow("the tracker's shape") << good << QString() << "event_click";
        QTest::newRow("device and application") << trackerEvent(
                {context(vendor + QStringLiteral("/device/jsonschema/1-0-1"),
                         {{QStringLiteral("screen_resolution"), QStringLiteral("1024x768")},
                          {QStringLiteral("cpu_architecture"), QStringLiteral("x86_64")},
                          {QStringLiteral("kernel_type"), QStringLiteral("linux")},
                          {QStringLiteral("kernel_version"), QStringLiteral("6.1")},
                          {QStringLiteral("os_type"), QStringLiteral("debian")},
                          {QStringLiteral("os_version"), QStringLiteral("12")}}),
                 context(vendor + QStringLiteral("/application/jsonschema/1-0-1"),
                         {{QStringLiteral("version"), QStringLiteral("1.0")},
                          {QStringLiteral("qt_version"), QStringLiteral("6.4.2")},
                          {QStringLiteral("last_shutdown"), true}})})
                                                << QString() << "device";
        QTest::newRow("empty context data") << trackerEvent({}) << QString() << "empty";
        for (const char *required : {"tv", "p", "e"}) {
            QJsonObject missing = good;
            missing.remove(QLatin1String(required));
            QTest::addRow("without %s", required)
                    << missing << QStringLiteral("\"%1\" is missing").arg(QLatin1String(required))
                    << "event_click";
        }
        QJsonObject number = good;
        number.insert(QStringLiteral("dtm"), 1765200000000.0);
        QTest::newRow("time as a number") << number << "\"dtm\" is not a string"
                                          << "event_click";
        QJsonObject unknown = good;
        unknown.insert(QStringLiteral("stamp"), QStringLiteral("x"));
        QTest::newRow("unknown field") << unknown << "\"stamp\" is not a field"
                                       << "event_click";
        QJsonObject platform = good;
        platform.insert(QStringLiteral("p"), QStringLiteral("desktop"));
        QTest::newRow("unknown platform") << platform << "not a platform"
                                          << "event_click";
        QJsonObject eid = good;
        eid.insert(QStringLiteral("eid"),
                   QStringLiteral("{") + good.value(QStringLiteral("eid")).toString()
                           + QStringLiteral("}"));
        QTest::newRow("event id in braces") << eid << "\"eid\" is not a UUID"
                                            << "event_click";
        QJsonObject co = good;
        co.insert(QStringLiteral("co"), QStringLiteral("{\"schema\":"));
        QTest::newRow("co not JSON") << co << "co: not JSON"
                                     << "unknown";
        QJsonObject envelope = good;
        envelope.insert(
                QStringLiteral("co"),
                QStringLiteral(R"({"schema":"iglu:x/contexts/jsonschema/1-0-0","data":[]})"));
        QTest::newRow("another envelope") << envelope << "co: schema is not"
                                          << "empty";
        QJsonObject nothing = good;
        nothing.remove(QStringLiteral("co"));
        QTest::newRow("no content") << nothing << "carries no content"
                                    << "unknown";
        QTest::newRow("context with a third key")
                << trackerEvent({QJsonObject {{QStringLiteral("schema"), screenUri},
                                              {QStringLiteral("data"), QJsonObject()},
                                              {QStringLiteral("extra"), 1}}})
                << "not a self-describing object"
                << "unknown";
        QTest::newRow("invalid context") << trackerEvent(
                {context(screenUri, {{QStringLiteral("object_id"), QStringLiteral("Main")}})})
                                         << "co[0] screen_view: \"previous_id\" is missing"
                                         << "screen_view";
    }

    void eventRules()
    {
        QFETCH(QJsonObject, event);
        QFETCH(QString, problem);
        QFETCH(QString, kind);
        const EventChecker checker(&schemas);
        const CheckedEvent checked = checker.check(event);
        QCOMPARE(checked.kind, kind);
        if (problem.isEmpty()) {
            QVERIFY2(checked.isValid(), qPrintable(checked.problems.join(QLatin1Char('\n'))));
        } else {
            QCOMPARE(checked.problems.size(), 1);
            QVERIFY2(checked.problems.first().contains(problem),
                     qPrintable(checked.problems.first()));
        }
    }

    void batchEnvelope_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("events");
        QTest::addColumn<QString>("problem");
        QTest::newRow("two events")
                << batch({trackerEvent({click()}), trackerEvent({})}) << 2 << QString();
        QTest::newRow("not JSON") << QByteArray("events") << 0 << "the body is not JSON";
        QTest::newRow("an array") << QByteArray("[]") << 0 << "not a JSON object";
        QTest::newRow("no events") << batch({}) << 0 << "holds no event";
        QTest::newRow("another schema") << QByteArray(
                R"({"schema":"iglu:com.snowplowanalytics.snowplow/payload_data/jsonschema/1-0-3","data":[{}]})")
                                        << 1 << "batch: schema is";
        QTest::newRow("data not a list") << QByteArray(
                R"({"schema":"iglu:com.snowplowanalytics.snowplow/payload_data/jsonschema/1-0-4","data":{}})")
                                         << 0 << "not an array of events";
    }

    void batchEnvelope()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, events);
        QFETCH(QString, problem);
        QStringList problems;
        QCOMPARE(EventChecker::batchEvents(body, &problems).size(), events);
        if (problem.isEmpty()) {
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        } else {
            QCOMPARE(problems.size(), 1);
            QVERIFY2(problems.first().contains(problem), qPrintable(problems.first()));
        }
    }

    // The program: batches in, one line per event out, the JSON lines file, the summary.
    void receivesChecksAndRecords()
    {
        const QString output = scratch.filePath(QStringLiteral("events.jsonl"));
        Collector collector(scratch.filePath(QStringLiteral("receives")));
        START_COLLECTOR(collector, QStringList({QStringLiteral("--output"), output}));

        QJsonObject broken = trackerEvent({click(QStringLiteral("brokenButton"))});
        broken.remove(QStringLiteral("tv"));
        const QJsonObject good = trackerEvent({click()});
        auto reply = post(collector.url(QStringLiteral("/com.snowplowanalytics.snowplow/tp2")),
                          batch({good, broken}));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(status(reply), 200);
        // The same event again, as after a lost answer.
        reply = post(collector.url(QStringLiteral("/com.snowplowanalytics.snowplow/tp2")),
                     batch({good}));
        QCOMPARE(status(reply), 200);

        QTRY_VERIFY_WITH_TIMEOUT(collector.text().contains(QLatin1String("#3")), wait);
        const QStringList lines = collector.text().split(QLatin1Char('\n'));
        const auto lineOf = [&lines](const QString &needle) {
            for (const QString &line : lines) {
                if (line.contains(needle))
                    return line;
            }
            return QString();
        };
        const QString first = lineOf(QStringLiteral("#1 "));
        QVERIFY2(first.contains(QLatin1String("event_click"))
                         && first.contains(QLatin1String("object=okButton"))
                         && first.contains(QLatin1String("category=buttons"))
                         && first.contains(QLatin1String("screen=Main"))
                         && !first.contains(QLatin1String("INVALID")),
                 qPrintable(first));
        const QString second = lineOf(QStringLiteral("#2 "));
        QVERIFY2(second.contains(QLatin1String("INVALID: \"tv\" is missing")), qPrintable(second));
        QVERIFY2(lineOf(QStringLiteral("#3 ")).contains(QLatin1String("(again)")),
                 qPrintable(lineOf(QStringLiteral("#3 "))));

        const QList<QJsonObject> recorded = records(output);
        QCOMPARE(recorded.size(), 3);
        QCOMPARE(recorded.at(0).value(QStringLiteral("valid")).toBool(), true);
        QCOMPARE(recorded.at(0).value(QStringLiteral("kind")).toString(),
                 QStringLiteral("event_click"));
        QCOMPARE(recorded.at(0).value(QStringLiteral("event")).toObject(), good);
        QCOMPARE(recorded.at(1).value(QStringLiteral("valid")).toBool(), false);
        QCOMPARE(recorded.at(1).value(QStringLiteral("problems")).toArray().size(), 1);
        QCOMPARE(recorded.at(2).value(QStringLiteral("duplicate")).toBool(), true);

#ifndef Q_OS_UNIX
        QSKIP("Ending the collector with SIGTERM is for Unix");
#endif
        collector.process.terminate(); // SIGTERM
        QVERIFY(collector.process.waitForFinished(wait));
        QCOMPARE(collector.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(collector.process.exitCode(), 0);
        const QString summary = collector.text();
        QVERIFY2(
                summary.contains(QLatin1String(
                        "summary: 3 events in 2 batches, 3 accepted, 1 invalid, 1 received again")),
                qPrintable(summary));
        QVERIFY2(summary.contains(QLatin1String("accepted by kind: event_click 3")),
                 qPrintable(summary));
    }

    // Received text reaches the terminal with its control characters escaped: it can neither
    // steer the terminal nor forge a line, in the event's line or in the summary.
    void escapesWhatItPrints_data()
    {
        QTest::addColumn<QJsonObject>("event");
        QTest::addColumn<QString>("shown");
        QTest::newRow("escape sequence")
                << trackerEvent({click(QStringLiteral("\x1b[2J\x1b[31mred"))})
                << R"(object=\x1b[2J\x1b[31mred)";
        QTest::newRow("newline forging an event")
                << trackerEvent({click(QStringLiteral("ok\n00:00:00.000  #2"))})
                << R"(object="ok\n00:00:00.000  #2")";
        QTest::newRow("C1 control, tab, return and DEL")
                << trackerEvent({click(QStringLiteral("\u009b31m\t\r\x7f"))})
                << R"(object=\u009b31m\t\r\x7f)";
        QTest::newRow("backslash")
                << trackerEvent({click(QStringLiteral("a\\n"))}) << R"(object=a\\n)";
        QJsonObject unknown = trackerEvent({click()});
        unknown.insert(QStringLiteral("x\x1b]0;title\x07"), QStringLiteral("x"));
        QTest::newRow("in a problem")
                << unknown << "INVALID: \"x\\x1b]0;title\\x07\" is not a field";
        QTest::newRow("in the kind") << trackerEvent(
                {context(vendor + QStringLiteral("/evil\nkind/jsonschema/1-0-0"), QJsonObject())})
                                     << R"(evil\nkind)";
    }

    void escapesWhatItPrints()
    {
        QFETCH(QJsonObject, event);
        QFETCH(QString, shown);
        Collector collector(scratch.filePath(QStringLiteral("escapes")));
        START_COLLECTOR(collector,
                        QStringList({QStringLiteral("--max-events"), QStringLiteral("1")}));
        auto reply = post(collector.url(QStringLiteral("/com.snowplowanalytics.snowplow/tp2")),
                          batch({event}));
        QCOMPARE(status(reply), 200);
        QTRY_COMPARE_WITH_TIMEOUT(collector.process.state(), QProcess::NotRunning, wait);
        const QString text = collector.text();
        QVERIFY2(text.contains(QLatin1String("summary: 1 events")), qPrintable(text));

        static const QRegularExpression eventLine(QStringLiteral(R"(^\d\d:\d\d:\d\d\.\d{3}  #)"));
        const QStringList lines = text.split(QLatin1Char('\n'));
        QStringList eventLines;
        for (const QString &line : lines) {
            if (eventLine.match(line).hasMatch())
                eventLines.append(line);
        }
        QCOMPARE(eventLines.size(), 1);
        QVERIFY2(eventLines.first().contains(shown), qPrintable(eventLines.first()));
        // The summary included, not a control character is left but the line ends.
        for (const QChar c : text) {
            const char16_t code = c.unicode();
            QVERIFY2(code == u'\n'
                             || (code >= 0x20 && code != 0x7f && (code < 0x80 || code > 0x9f)),
                     qPrintable(QString::number(code, 16)));
        }
    }

    void routes_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("usePost");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("answer"); // what the body holds
        QTest::newRow("unknown path") << "/i" << true << 404 << QString();
        QTest::newRow("batch route with GET")
                << "/com.snowplowanalytics.snowplow/tp2" << false << 405 << QString();
        QTest::newRow("not a batch")
                << "/com.snowplowanalytics.snowplow/tp2" << true << 400 << QString();
        QTest::newRow("schema") << "/micro/iglu/com.tamlor.sentrel/event_click/jsonschema/1-0-1"
                                << false << 200 << R"("name":"event_click")";
        QTest::newRow("schema of another version")
                << "/micro/iglu/com.tamlor.sentrel/event_click/jsonschema/1-0-0" << false << 404
                << "no schema iglu:";
        QTest::newRow("schema path cut short")
                << "/micro/iglu/com.tamlor.sentrel/event_click" << false << 404 << QString();
        QTest::newRow("unknown API path") << "/micro/events" << false << 404 << "/micro/good";
        QTest::newRow("live page")
                << "/micro/ui" << false << 200 << "<title>sentrel-collector</title>";
    }

    void routes()
    {
        QFETCH(QString, path);
        QFETCH(bool, usePost);
        QFETCH(int, status);
        QFETCH(QString, answer);
        Collector collector(scratch.filePath(QStringLiteral("routes")));
        START_COLLECTOR(collector, QStringList());
        auto reply = usePost ? post(collector.url(path), "nonsense") : get(collector.url(path));
        QCOMPARE(tst_Collector::status(reply), status);
        const QString body = QString::fromUtf8(reply->readAll());
        QVERIFY2(body.contains(answer), qPrintable(body.left(300)));
    }

    // The document is read for every request: absent, written, changed, removed.
    void configDocumentIsReadEveryTime()
    {
        const QString document = scratch.filePath(QStringLiteral("remote.json"));
        QFile::remove(document);
        Collector collector(scratch.filePath(QStringLiteral("config")));
        START_COLLECTOR(collector, QStringList({QStringLiteral("--config"), document}));
        const QUrl url = collector.url(QStringLiteral("/config"));
        const QByteArray asked = R"({"token":"t","app_id":"tst_collector","app_version":"2.0"})";

        auto reply = post(url, asked);
        QCOMPARE(status(reply), 404);

        for (const QByteArray &content : {QByteArray(R"({"sync":{"interval":{"seconds":5}}})"),
                                          QByteArray(R"({"token":"x"})")}) {
            QFile file(document);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(content);
            file.close();
            reply = post(url, asked);
            QCOMPARE(status(reply), 200);
            QCOMPARE(reply->header(QNetworkRequest::ContentTypeHeader).toString(),
                     QStringLiteral("application/json"));
            QCOMPARE(reply->readAll(), content);
        }
        QVERIFY(QFile::remove(document));
        reply = post(url, asked);
        QCOMPARE(status(reply), 404);
        QTRY_VERIFY_WITH_TIMEOUT(collector.text().count(QLatin1String(
                                         "config request app_id=tst_collector app_version=2.0"))
                                         == 4,
                                 wait);
    }

    void failsOnDemand_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::newRow("batch") << "/com.snowplowanalytics.snowplow/tp2" << 503;
        QTest::newRow("config") << "/config" << 500;
    }

    void failsOnDemand()
    {
        QFETCH(QString, path);
        QFETCH(int, status);
        const QString output = scratch.filePath(QStringLiteral("failing.jsonl"));
        QFile::remove(output);
        Collector collector(scratch.filePath(QStringLiteral("failing")));
        START_COLLECTOR(collector,
                        QStringList({QStringLiteral("--fail-status"),
                                     QString::number(status),
                                     QStringLiteral("--output"),
                                     output}));
        auto reply = post(collector.url(path), batch({trackerEvent({click()})}));
        QCOMPARE(tst_Collector::status(reply), status);
        if (path.contains(QLatin1String("tp2"))) {
            QTRY_VERIFY_WITH_TIMEOUT(
                    collector.text().contains(QLatin1String("(not accepted: 503)")),
                    wait);
            QCOMPARE(records(output).size(), 1);
            QCOMPARE(records(output).first().value(QStringLiteral("status")).toInt(), 503);
            // What was refused will come again: the API answers and keeps nothing of it.
            int answered = 0;
            QCOMPARE(api(collector, QStringLiteral("/micro/all"), QByteArray(), &answered)
                             .object()
                             .value(QStringLiteral("total")),
                     QJsonValue(0));
            QCOMPARE(answered, 200);
        }
    }

    void noAnswer()
    {
        Collector collector(scratch.filePath(QStringLiteral("silent")));
        START_COLLECTOR(collector, QStringList({QStringLiteral("--no-answer")}));
        auto reply = post(collector.url(QStringLiteral("/com.snowplowanalytics.snowplow/tp2")),
                          batch({trackerEvent({click()})}),
                          false);
        // Once the collector has read the whole batch, the reply is still open.
        QTRY_VERIFY_WITH_TIMEOUT(collector.text().contains(QLatin1String("answered no answer")),
                                 wait);
        QCoreApplication::processEvents();
        QVERIFY(!reply->isFinished());
        reply->abort();
    }

    // The certificate is made on first use and kept: a second run presents the same one.
    void certificateIsKept()
    {
        const QString state = scratch.filePath(QStringLiteral("kept"));
        QList<QSslCertificate> presented;
        for (int run = 0; run < 2; ++run) {
            Collector collector(state);
            START_COLLECTOR(collector, QStringList());
            auto reply = post(collector.url(QStringLiteral("/config")), "{}");
            presented.append(reply->sslConfiguration().peerCertificate());
        }
        QVERIFY(!presented.first().isNull());
        QCOMPARE(presented.at(1), presented.at(0));
        QCOMPARE(presented.first().subjectInfo(QSslCertificate::CommonName),
                 QStringList {QStringLiteral("localhost")});
        QVERIFY(QFile::exists(state + QStringLiteral("/localhost.crt")));
        QCOMPARE(QFile::permissions(state + QStringLiteral("/localhost.key")),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    }

    void stopsAfterEnoughEvents_data()
    {
        QTest::addColumn<bool>("strict");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("plain") << false << 0;
        QTest::newRow("strict") << true << 3;
    }

    void stopsAfterEnoughEvents()
    {
        QFETCH(bool, strict);
        QFETCH(int, exitCode);
        Collector collector(scratch.filePath(QStringLiteral("enough")));
        QStringList options {QStringLiteral("--max-events"), QStringLiteral("3")};
        if (strict)
            options.append(QStringLiteral("--strict"));
        START_COLLECTOR(collector, QStringList(options));
        QJsonObject broken = trackerEvent({click()});
        broken.insert(QStringLiteral("p"), 1);
        auto reply = post(collector.url(QStringLiteral("/com.snowplowanalytics.snowplow/tp2")),
                          batch({trackerEvent({click()}), broken}));
        QCOMPARE(status(reply), 200);
        QCOMPARE(collector.process.state(), QProcess::Running);
        // The third event reaches the limit: it is still answered, then the collector stops.
        reply = post(collector.url(QStringLiteral("/com.snowplowanalytics.snowplow/tp2")),
                     batch({trackerEvent({click()})}));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(status(reply), 200);
        QTRY_COMPARE_WITH_TIMEOUT(collector.process.state(), QProcess::NotRunning, wait);
        QCOMPARE(collector.process.exitCode(), exitCode);
        QVERIFY2(collector.text().contains(
                         QLatin1String("summary: 3 events in 2 batches, 3 accepted, 1 invalid")),
                 qPrintable(collector.text()));
    }

    void stopsWhenIdle()
    {
        Collector collector(scratch.filePath(QStringLiteral("idle")));
        START_COLLECTOR(collector,
                        QStringList({QStringLiteral("--exit-after-idle"), QStringLiteral("1")}));
        QVERIFY(collector.process.waitForFinished(wait));
        QCOMPARE(collector.process.exitCode(), 0);
        QVERIFY2(collector.text().contains(QLatin1String("no request for 1 s, stopping")),
                 qPrintable(collector.text()));
        QVERIFY(collector.text().contains(QLatin1String("summary: 0 events")));
    }

    // /micro/good after the tracker's session: the filters, and each event in the enriched view.
    void microGood_data()
    {
        QTest::addColumn<QByteArray>("filter"); // null: GET
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("events");
        const QString clicks = QStringLiteral(R"("contexts":["%1"])").arg(clickUri);
        const QStringList all {"device:",
                               "context_dimension:mode",
                               "screen_view:Main",
                               "event_click:save",
                               "screen_view:Settings",
                               "event_click:ok",
                               "context_data:note"};
        QTest::newRow("all, GET") << QByteArray() << 200 << all;
        QTest::newRow("all, POST without a filter") << QByteArray("{}") << 200 << all;
        QTest::newRow("clicks") << ("{" + clicks + "}").toUtf8() << 200
                                << QStringList {"event_click:save", "event_click:ok"};
        QTest::newRow("click with a number") << QStringLiteral(R"({"contexts":["%1","%2"]})")
                                                        .arg(clickUri, contextDataUri)
                                                        .toUtf8()
                                             << 200 << QStringList {"event_click:ok"};
        QTest::newRow("context of another version") << QByteArray(
                R"({"contexts":["iglu:com.tamlor.sentrel/event_click/jsonschema/1-0-0"]})")
                                                    << 200 << QStringList();
        QTest::newRow("newest two") << QByteArray(R"({"limit":2})") << 200
                                    << QStringList {"event_click:ok", "context_data:note"};
        QTest::newRow("newest click") << ("{" + clicks + R"(,"limit":1})").toUtf8() << 200
                                      << QStringList {"event_click:ok"};
        QTest::newRow("limit 0") << QByteArray(R"({"limit":0})") << 200 << QStringList();
        QTest::newRow("event type") << QByteArray(R"({"event_type":"unstruct"})") << 200 << all;
        QTest::newRow("another event type")
                << QByteArray(R"({"event_type":"page_view"})") << 200 << QStringList();
        QTest::newRow("negative limit") << QByteArray(R"({"limit":-1})") << 400 << QStringList();
        QTest::newRow("fractional limit") << QByteArray(R"({"limit":1.5})") << 400 << QStringList();
        QTest::newRow("contexts not a list")
                << QByteArray(R"({"contexts":"x"})") << 400 << QStringList();
        QTest::newRow("unknown filter") << QByteArray(R"({"schema":"x"})") << 400 << QStringList();
        QTest::newRow("not JSON") << QByteArray("limit=1") << 400 << QStringList();
    }

    void microGood()
    {
        QFETCH(QByteArray, filter);
        QFETCH(int, status);
        QFETCH(QStringList, events);
        QVERIFY(sessionReceived());
        int answered = 0;
        const QJsonDocument answer =
                api(*session, QStringLiteral("/micro/good"), filter, &answered);
        QCOMPARE(answered, status);
        if (status != 200) {
            QVERIFY(!answer[QStringLiteral("error")].toString().isEmpty());
            return;
        }
        QStringList shown;
        for (const QJsonValue &value : answer.array()) {
            const QJsonObject item = value.toObject();
            shown.append(summary(item));
            const QJsonObject raw = item.value(QStringLiteral("rawEvent")).toObject();
            const QJsonObject event = item.value(QStringLiteral("event")).toObject();
            const auto enriched = [&event](const char *name) {
                return event.value(QLatin1String(name)).toString();
            };
            const auto sent = [&raw](const char *name) {
                return raw.value(QLatin1String(name)).toString();
            };
            QCOMPARE(enriched("event_id"), sent("eid"));
            QCOMPARE(enriched("app_id"), QStringLiteral("sentrel-session-probe"));
            QCOMPARE(enriched("platform"), QStringLiteral("pc"));
            QCOMPARE(enriched("name_tracker"), QStringLiteral("probe-token"));
            QCOMPARE(enriched("v_tracker"), QStringLiteral("6.9.2"));
            QCOMPARE(enriched("domain_sessionid"), sent("sid"));
            QCOMPARE(enriched("domain_userid"), sent("duid"));
            QCOMPARE(enriched("br_lang"), sent("lang"));
            QVERIFY(!event.contains(QStringLiteral("user_id")));
            const QDateTime created =
                    QDateTime::fromString(enriched("dvce_created_tstamp"), Qt::ISODateWithMs);
            QCOMPARE(created.toMSecsSinceEpoch(), sent("dtm").toLongLong());
            QVERIFY(QDateTime::fromString(item.value(QStringLiteral("received")).toString(),
                                          Qt::ISODateWithMs)
                    >= created);
            QCOMPARE(enriched("event"), QStringLiteral("unstruct"));
            QCOMPARE(item.value(QStringLiteral("eventType")).toString(),
                     QStringLiteral("unstruct"));
            const QJsonObject contexts = QJsonDocument::fromJson(sent("co").toUtf8()).object();
            QCOMPARE(event.value(QStringLiteral("contexts")).toObject(), contexts);
            QJsonArray uris;
            for (const QJsonValue &context : contexts.value(QStringLiteral("data")).toArray())
                uris.append(context[QStringLiteral("schema")]);
            QCOMPARE(item.value(QStringLiteral("contexts")).toArray(), uris);
        }
        QCOMPARE(shown, events);
    }

    // The counts and /micro/bad of the same session.
    void microCountsAndBad()
    {
        QVERIFY(sessionReceived());
        QTRY_COMPARE_WITH_TIMEOUT(
                api(*session, QStringLiteral("/micro/all")).object(),
                QJsonDocument::fromJson(
                        R"({"total":8,"good":7,"bad":1,"dropped":{"good":0,"bad":0}})")
                        .object(),
                wait);
        const QJsonArray bad = api(*session, QStringLiteral("/micro/bad")).array();
        QCOMPARE(bad.size(), 1);
        QCOMPARE(bad[0][QStringLiteral("rawEvent")][QStringLiteral("eid")].toString(),
                 brokenEventId);
        QCOMPARE(bad[0][QStringLiteral("errors")].toArray(),
                 QJsonArray {QStringLiteral("\"tv\" is missing")});
        QVERIFY(QDateTime::fromString(bad[0][QStringLiteral("received")].toString(),
                                      Qt::ISODateWithMs)
                        .isValid());
    }

    // --keep drops the oldest and says so; an unreadable body is kept whole; reset empties all.
    void microKeepAndReset()
    {
        Collector collector(scratch.filePath(QStringLiteral("keep")));
        START_COLLECTOR(collector, QStringList({QStringLiteral("--keep"), QStringLiteral("2")}));
        const QUrl events = collector.url(QStringLiteral("/com.snowplowanalytics.snowplow/tp2"));
        QList<QJsonObject> sent;
        for (int i = 0; i < 3; ++i)
            sent.append(trackerEvent({click(QStringLiteral("button%1").arg(i))}));
        QJsonObject broken = sent.first();
        broken.insert(QStringLiteral("p"), QStringLiteral("desktop"));
        QCOMPARE(status(post(events, batch({sent.at(0), broken, sent.at(1)}))), 200);
        QCOMPARE(status(post(events, "events")), 400);
        QCOMPARE(status(post(events, batch({sent.at(2)}))), 200);

        QCOMPARE(api(collector, QStringLiteral("/micro/all")).object(),
                 QJsonDocument::fromJson(
                         R"({"total":5,"good":3,"bad":2,"dropped":{"good":1,"bad":0}})")
                         .object());
        const QJsonArray good = api(collector, QStringLiteral("/micro/good")).array();
        QCOMPARE(good.size(), 2);
        QCOMPARE(good[0][QStringLiteral("rawEvent")].toObject(), sent.at(1));
        QCOMPARE(good[1][QStringLiteral("rawEvent")].toObject(), sent.at(2));
        const QJsonArray bad = api(collector, QStringLiteral("/micro/bad")).array();
        QCOMPARE(bad.size(), 2);
        QCOMPARE(bad[0][QStringLiteral("rawEvent")].toObject(), broken);
        QVERIFY2(bad[0][QStringLiteral("errors")][0].toString().contains(
                         QLatin1String("not a platform")),
                 qPrintable(bad[0][QStringLiteral("errors")][0].toString()));
        QCOMPARE(bad[1][QStringLiteral("collectorPayload")].toString(), QStringLiteral("events"));
        QVERIFY(bad[1][QStringLiteral("errors")][0].toString().startsWith(
                QLatin1String("the body is not JSON")));

        const QJsonObject zero =
                QJsonDocument::fromJson(
                        R"({"total":0,"good":0,"bad":0,"dropped":{"good":0,"bad":0}})")
                        .object();
        QCOMPARE(api(collector, QStringLiteral("/micro/reset")).object(), zero);
        QCOMPARE(api(collector, QStringLiteral("/micro/all")).object(), zero);
        QCOMPARE(api(collector, QStringLiteral("/micro/good")).array(), QJsonArray());
        QCOMPARE(api(collector, QStringLiteral("/micro/bad")).array(), QJsonArray());
        QTRY_VERIFY_WITH_TIMEOUT(
                collector.text().contains(QLatin1String("reset: 5 events forgotten")),
                wait);
    }

    // The live page in a real browser, read from the DOM once its scripts have run.
    void livePage()
    {
        const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
        if (chromium.isEmpty())
            QSKIP("chromium is not installed (make deps installs it)");
        QVERIFY(sessionReceived());
        QTemporaryDir profile;
        QProcess browser;
        browser.start(chromium,
                      {QStringLiteral("--headless"),
                       QStringLiteral("--no-sandbox"),
                       QStringLiteral("--disable-gpu"),
                       QStringLiteral("--disable-quic"),
                       QStringLiteral("--no-first-run"),
                       QStringLiteral("--disable-background-networking"),
                       QStringLiteral("--disable-component-update"),
                       QStringLiteral("--disable-sync"),
                       QStringLiteral("--ignore-certificate-errors"),
                       QStringLiteral("--user-data-dir=") + profile.path(),
                       QStringLiteral("--virtual-time-budget=5000"),
                       QStringLiteral("--dump-dom"),
                       session->url(QStringLiteral("/micro/ui")).toString()});
        QVERIFY(browser.waitForFinished(120000));
        const QString dom = QString::fromUtf8(browser.readAllStandardOutput());
        QVERIFY2(dom.contains(QLatin1String("<tbody id=\"events\">")),
                 qPrintable(browser.readAllStandardError().right(2000)));

        // Newest first: kind, screen, object, and the problems of an invalid one.
        static const QRegularExpression rowPattern(
                QStringLiteral("<tr class=\"event( invalid)?\" data-kind=\"[^\"]*\">(.*?)</tr>"));
        static const QRegularExpression cellPattern(
                QStringLiteral("<td class=\"(\\w+)\">(.*?)</td>"));
        static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
        static const QRegularExpression clock(QStringLiteral(R"(^\d\d:\d\d:\d\d\.\d\d\d$)"));
        QStringList rows;
        for (const QRegularExpressionMatch &row : rowPattern.globalMatch(dom)) {
            QMap<QString, QString> cells;
            for (const QRegularExpressionMatch &cell : cellPattern.globalMatch(row.captured(2)))
                cells.insert(cell.captured(1), cell.captured(2).replace(tag, QString()));
            QVERIFY2(clock.match(cells.value(QStringLiteral("time"))).hasMatch(),
                     qPrintable(row.captured(0)));
            QString text = cells.value(QStringLiteral("kind")) + QLatin1Char('|')
                    + cells.value(QStringLiteral("screen")) + QLatin1Char('|')
                    + cells.value(QStringLiteral("object"));
            if (!row.captured(1).isEmpty())
                text += QStringLiteral(" INVALID ") + cells.value(QStringLiteral("fields"));
            rows.append(text);
        }
        QCOMPARE(
                rows,
                QStringList(
                        {R"(event_click|Main|brokenButton INVALID category=buttons"tv" is missing)",
                         "context_data||",
                         "event_click|Settings|ok",
                         "screen_view|Settings|",
                         "event_click|Main|save",
                         "screen_view|Main|",
                         "context_dimension||",
                         "device||"}));
        for (const char *shown : {R"(<b id="total">8</b>)",
                                  R"(<b id="bad">1</b>)",
                                  R"(<li data-kind="event_click">event_click 3</li>)",
                                  R"(<li class="bad">invalid 1</li>)"})
            QVERIFY2(dom.contains(QLatin1String(shown)), shown);
    }

    void rejectsBadOptions_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("port out of range")
                << QStringList {QStringLiteral("--port"), QStringLiteral("70000")};
        QTest::newRow("status out of range")
                << QStringList {QStringLiteral("--fail-status"), QStringLiteral("42")};
        QTest::newRow("idle not a number")
                << QStringList {QStringLiteral("--exit-after-idle"), QStringLiteral("soon")};
        QTest::newRow("keep nothing")
                << QStringList {QStringLiteral("--keep"), QStringLiteral("0")};
    }

    void rejectsBadOptions()
    {
        QFETCH(QStringList, options);
        QProcess process;
        process.start(QStringLiteral(COLLECTOR), options);
        QVERIFY(process.waitForFinished(wait));
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(process.readAllStandardError().startsWith("sentrel-collector: --"));
    }
};

SENTREL_TEST_MAIN(tst_Collector, QCoreApplication)
#include "tst_collector.moc"
