// SPDX-License-Identifier: MIT
#include "devcollector.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>

namespace {
const QByteArray eventsRoute = "/com.snowplowanalytics.snowplow/tp2";
const QByteArray configRoute = "/config";

QString timeText(qint64 milliseconds)
{
    return QDateTime::fromMSecsSinceEpoch(milliseconds).toString(QStringLiteral("HH:mm:ss.zzz"));
}

// Received text as the terminal is to show it. An event must neither steer the terminal nor
// start a line of its own, so control characters (C0, DEL, C1) are written as escapes, and the
// backslash too, so that an escape in the output always stands for a character.
QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code == u'\\')
            shown += QStringLiteral("\\\\");
        else if (code == u'\n')
            shown += QStringLiteral("\\n");
        else if (code == u'\r')
            shown += QStringLiteral("\\r");
        else if (code == u'\t')
            shown += QStringLiteral("\\t");
        else if (code < 0x20 || code == 0x7f)
            shown += QStringLiteral("\\x%1").arg(int(code), 2, 16, QLatin1Char('0'));
        else if (code >= 0x80 && code <= 0x9f)
            shown += QStringLiteral("\\u%1").arg(int(code), 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

// A field as key=value, the value quoted when it would not read as one word.
QString fieldText(const QString &key, const QString &value)
{
    QString shown = printable(value.size() > 60 ? value.left(57) + QStringLiteral("...") : value);
    if (shown.isEmpty() || shown.contains(QLatin1Char(' ')) || shown.contains(QLatin1Char('"')))
        shown = QLatin1Char('"') + shown.replace(QLatin1Char('"'), QStringLiteral("\\\""))
                + QLatin1Char('"');
    return key + QLatin1Char('=') + shown;
}
} // namespace

DevCollector::DevCollector(const Options &options, QTextStream *out, QObject *parent)
    : QObject(parent)
    , options(options)
    , out(out)
    , checker(&schemas)
    , micro(&schemas, options.keep)
{
    server.setHandler(
            [this](const HttpsServer::Request &request, HttpsServer::Responder &responder) {
                handle(request, responder);
            });
    idleTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, this, [this] {
        line(QStringLiteral("no request for %1 s, stopping").arg(this->options.exitAfterIdle));
        finishSoon();
    });
    connect(&server, &HttpsServer::handshakeFailed, this, [this](const QString &reason) {
        line(QStringLiteral("TLS handshake failed: %1").arg(printable(reason)));
    });
}

bool DevCollector::start()
{
    for (const QString &directory : std::as_const(options.schemaDirectories)) {
        if (!QFileInfo(directory).isDir())
            continue;
        const int loaded = schemas.load(directory);
        line(QStringLiteral("%1 schemas from %2").arg(loaded).arg(QDir::cleanPath(directory)));
        if (loaded > 0)
            break;
    }
    if (schemas.uris().isEmpty())
        line(QStringLiteral(
                     "warning: no schemas found (looked in %1); every context will be flagged")
                     .arg(options.schemaDirectories.join(QStringLiteral(", "))));
    for (const QString &problem : schemas.loadProblems())
        line(QStringLiteral("warning: %1").arg(problem));
    if (!schemas.unsupportedKeywords().isEmpty())
        line(QStringLiteral("warning: schema keywords not checked: %1")
                     .arg(schemas.unsupportedKeywords().join(QStringLiteral(", "))));

    QSslCertificate certificate;
    QSslKey key;
    if (!HttpsServer::keptCertificate(options.stateDirectory, &certificate, &key, &error))
        return false;
    server.setCertificate(certificate, key);

    if (!options.output.isEmpty()) {
        outputFile.setFileName(options.output);
        if (!outputFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            error = QStringLiteral("cannot write %1: %2")
                            .arg(options.output, outputFile.errorString());
            return false;
        }
    }

    if (!server.start(options.address, options.port)) {
        error = QStringLiteral("cannot listen on port %1: %2")
                        .arg(options.port)
                        .arg(server.errorString());
        return false;
    }
    line(QStringLiteral("listening on https://localhost:%1 (certificate %2)")
                 .arg(server.port())
                 .arg(QDir(options.stateDirectory).filePath(QStringLiteral("localhost.crt"))));
    line(QStringLiteral(
                 "live page https://localhost:%1/micro/ui, API under /micro/ (keeping %2 events)")
                 .arg(server.port())
                 .arg(options.keep));
    line(QStringLiteral("remote configuration from %1 (%2)")
                 .arg(options.configDocument,
                      QFileInfo::exists(options.configDocument) ? QStringLiteral("present")
                                                                : QStringLiteral("absent: 404")));
    if (options.failStatus)
        line(QStringLiteral("answering every request with %1").arg(options.failStatus));
    if (options.noAnswer)
        line(QStringLiteral("answering no request"));
    if (options.exitAfterIdle > 0)
        idleTimer.start(options.exitAfterIdle * 1000);
    return true;
}

void DevCollector::line(const QString &text)
{
    *out << text << Qt::endl;
}

bool DevCollector::fail(HttpsServer::Responder &responder)
{
    if (options.noAnswer) {
        responder.leaveUnanswered();
        return true;
    }
    if (options.failStatus) {
        responder.answer(options.failStatus, "text/plain", "failure on demand\n");
        return true;
    }
    return false;
}

void DevCollector::handle(const HttpsServer::Request &request, HttpsServer::Responder &responder)
{
    if (finishing) {
        responder.answer(503, "text/plain", "stopping\n");
        return;
    }
    if (options.exitAfterIdle > 0)
        idleTimer.start(options.exitAfterIdle * 1000);

    const QByteArray route = request.route();
    // The API answers whatever faults the collector plays, so that a test can see what arrived.
    if (MicroApi::owns(route)) {
        micro.handle(request, responder);
        if (route == "/micro/reset")
            line(QStringLiteral("reset: %1 events forgotten").arg(micro.lastReset()));
        return;
    }
    if (route == eventsRoute || route == configRoute) {
        if (request.method != "POST") {
            responder.answer(405, "text/plain", "POST only\n");
            line(QStringLiteral("%1 %2 -> 405")
                         .arg(printable(QString::fromLatin1(request.method)),
                              printable(QString::fromUtf8(request.path))));
            return;
        }
        if (route == configRoute) {
            handleConfig(request, responder);
            return;
        }
        const bool taken = !fail(responder);
        if (taken) {
            // A body that is no batch at all is refused; invalid events are taken and
            // flagged, as a collector keeps what it cannot process apart.
            if (!QJsonDocument::fromJson(request.body).isObject())
                responder.answer(400, "text/plain", "not a batch\n");
            else
                responder.answer(200, "text/plain", "ok\n");
        }
        handleBatch(request, responder.status(), taken);
        if (options.maxEvents > 0 && received >= options.maxEvents) {
            responder.afterwards([this] {
                line(QStringLiteral("%1 events received, stopping").arg(received));
                finishSoon();
            });
        }
        return;
    }
    responder.answer(404, "text/plain", "not found\n");
    line(QStringLiteral("%1 %2 -> 404")
                 .arg(printable(QString::fromLatin1(request.method)),
                      printable(QString::fromUtf8(request.path))));
}

void DevCollector::handleBatch(const HttpsServer::Request &request, int status, bool taken)
{
    ++batches;
    QStringList batchProblems;
    const QJsonArray events = EventChecker::batchEvents(request.body, &batchProblems);
    const QString answer = status ? QString::number(status) : QStringLiteral("no answer");
    line(QStringLiteral("batch %1: %2 events, answered %3")
                 .arg(batches)
                 .arg(events.size())
                 .arg(answer));
    for (const QString &each : std::as_const(batchProblems)) {
        const QString problem = printable(each);
        line(QStringLiteral("  INVALID batch: %1").arg(problem));
        invalidLines.append(QStringLiteral("batch %1: %2").arg(batches).arg(problem));
    }

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // What a failure on demand refused is sent again: only what was taken is kept for the API.
    if (taken && events.isEmpty())
        micro.recordPayload(request.body, batchProblems, now);
    for (const QJsonValue &value : events) {
        const CheckedEvent event = checker.check(value);
        if (taken)
            micro.record(value, event, event.problems + batchProblems, now);
        ++received;
        const bool duplicate = !event.eventId.isEmpty() && eventIds.contains(event.eventId);
        if (status == 200) {
            ++accepted;
            ++kinds[event.kind];
            if (duplicate)
                ++duplicates;
            else if (!event.eventId.isEmpty())
                eventIds.insert(event.eventId);
        }

        const QString kind = printable(event.kind);
        QString text = QStringLiteral("%1  #%2  %3")
                               .arg(timeText(event.time >= 0 ? event.time : now))
                               .arg(received, -5)
                               .arg(kind, -18);
        QStringList fields;
        for (const auto &[key, value] : event.fields)
            fields.append(fieldText(key, value));
        text += fields.join(QLatin1Char(' '));
        if (duplicate)
            text += QStringLiteral("  (again)");
        if (status != 200)
            text += QStringLiteral("  (not accepted: %1)").arg(answer);
        if (!event.isValid()) {
            ++invalid;
            const QString problems = printable(event.problems.join(QStringLiteral("; ")));
            text += QStringLiteral("  INVALID: ") + problems;
            invalidLines.append(QStringLiteral("#%1 %2: %3").arg(received).arg(kind, problems));
        }
        line(text);

        if (outputFile.isOpen()) {
            QJsonObject record {
                    {QStringLiteral("received"),
                     QDateTime::fromMSecsSinceEpoch(now).toUTC().toString(Qt::ISODateWithMs)},
                    {QStringLiteral("status"), status},
                    {QStringLiteral("kind"), event.kind},
                    {QStringLiteral("valid"), event.isValid()},
                    {QStringLiteral("problems"), QJsonArray::fromStringList(event.problems)},
                    {QStringLiteral("duplicate"), duplicate},
                    {QStringLiteral("event"), value},
            };
            outputFile.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
            outputFile.flush();
        }
    }
}

void DevCollector::handleConfig(const HttpsServer::Request &request,
                                HttpsServer::Responder &responder)
{
    ++configRequests;
    const QJsonObject asked = QJsonDocument::fromJson(request.body).object();
    QString text = QStringLiteral("%1  config request %2 %3 %4")
                           .arg(timeText(QDateTime::currentMSecsSinceEpoch()),
                                fieldText(QStringLiteral("app_id"),
                                          asked.value(QStringLiteral("app_id")).toString()),
                                fieldText(QStringLiteral("app_version"),
                                          asked.value(QStringLiteral("app_version")).toString()),
                                fieldText(QStringLiteral("token"),
                                          asked.value(QStringLiteral("token")).toString()));
    if (!fail(responder)) {
        // Read for every request, so that the document can be edited while the tracker runs.
        QFile document(options.configDocument);
        if (document.open(QIODevice::ReadOnly)) {
            const QByteArray body = document.readAll();
            responder.answer(200, "application/json", body);
            ++configDocuments;
            if (!QJsonDocument::fromJson(body).isObject())
                text += QStringLiteral("  (warning: the document is not a JSON object)");
        } else {
            responder.answer(404, "text/plain", "no configuration\n");
        }
    }
    const int status = responder.status();
    line(text
         + QStringLiteral(" -> %1").arg(status ? QString::number(status)
                                               : QStringLiteral("no answer")));
}

void DevCollector::finishSoon()
{
    if (finishing)
        return;
    finishing = true;
    // Give the last answers time to leave before the sockets go.
    auto *flush = new QTimer(this);
    QElapsedTimer elapsed;
    elapsed.start();
    connect(flush, &QTimer::timeout, this, [this, flush, elapsed] {
        if (server.hasPendingOutput() && elapsed.elapsed() < 2000)
            return;
        flush->stop();
        Q_EMIT finished();
    });
    flush->start(20);
}

void DevCollector::printSummary()
{
    line(QStringLiteral(
                 "summary: %1 events in %2 batches, %3 accepted, %4 invalid, %5 received again")
                 .arg(received)
                 .arg(batches)
                 .arg(accepted)
                 .arg(invalid)
                 .arg(duplicates));
    QStringList counts;
    for (auto it = kinds.cbegin(); it != kinds.cend(); ++it)
        counts.append(QStringLiteral("%1 %2").arg(printable(it.key())).arg(it.value()));
    line(QStringLiteral("  accepted by kind: %1")
                 .arg(counts.isEmpty() ? QStringLiteral("none")
                                       : counts.join(QStringLiteral(", "))));
    line(QStringLiteral("  config requests: %1 (%2 answered with the document)")
                 .arg(configRequests)
                 .arg(configDocuments));
    if (!invalidLines.isEmpty()) {
        line(QStringLiteral("  invalid:"));
        for (const QString &each : std::as_const(invalidLines))
            line(QStringLiteral("    ") + each);
    }
}
