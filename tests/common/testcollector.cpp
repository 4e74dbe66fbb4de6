// SPDX-License-Identifier: MIT
#include "testcollector.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray routeOf(const QByteArray &path)
{
    const qsizetype query = path.indexOf('?');
    return query < 0 ? path : path.left(query);
}

} // namespace

TestCollector::TestCollector(QObject *parent) : QObject(parent), listener(new HttpsServer(this))
{
    listener->setHandler(
            [this](const HttpsServer::Request &incoming, HttpsServer::Responder &responder) {
                handle(incoming, responder);
            });
    connect(listener, &HttpsServer::handshakeFailed, this, &TestCollector::handshakeFailed);
    clock.start();
}

TestCollector::~TestCollector()
{
    stop();
}

bool TestCollector::generateCertificate(QSslCertificate *certificate, QSslKey *key, QString *error)
{
    return HttpsServer::generateCertificate(certificate, key, error);
}

void TestCollector::setCertificate(const QSslCertificate &certificate, const QSslKey &key)
{
    listener->setCertificate(certificate, key);
}

bool TestCollector::start(const QHostAddress &address, quint16 port)
{
    return listener->start(address, port);
}

void TestCollector::stop()
{
    listener->stop();
}

bool TestCollector::isListening() const
{
    return listener->isListening();
}

quint16 TestCollector::port() const
{
    return listener->port();
}

QString TestCollector::server() const
{
    return QStringLiteral("localhost:%1").arg(port());
}

void TestCollector::setConfigDocument(const QByteArray &document)
{
    configDocument = document;
}

void TestCollector::clearConfigDocument()
{
    configDocument.reset();
}

void TestCollector::setFailure(const QByteArray &path, Failure failure, int count, int status)
{
    if (failure == Failure::None || count == 0) {
        failures.remove(path);
        return;
    }
    failures.insert(path, FailureRule {failure, count, status});
}

void TestCollector::clearFailures()
{
    failures.clear();
}

void TestCollector::refuseBodiesContaining(const QByteArray &marker, int status)
{
    refusalMarker = marker;
    markerStatus = status;
}

void TestCollector::startOutage(int milliseconds, int status)
{
    outageEnd.setRemainingTime(milliseconds);
    outageStatus = status;
}

void TestCollector::clearRefusals()
{
    refusalMarker.clear();
    bodyLimit = 0;
    resetAbove = 0;
    answerDelay = 0;
    outageEnd = QDeadlineTimer(0);
    retryAfter.clear();
    location.clear();
}

int TestCollector::refusalOf(const Request &request) const
{
    if (!outageEnd.hasExpired())
        return outageStatus;
    if (!refusalMarker.isEmpty() && request.body.contains(refusalMarker))
        return markerStatus;
    if (bodyLimit > 0 && request.body.size() > bodyLimit)
        return 413;
    return 0;
}

QList<TestCollector::Request> TestCollector::requests(const QByteArray &path) const
{
    QList<Request> result;
    for (const Request &request : recorded) {
        if (routeOf(request.path) == path)
            result.append(request);
    }
    return result;
}

QList<QByteArray> TestCollector::acceptedBatches() const
{
    QList<QByteArray> result;
    for (const Request &request : recorded) {
        if (routeOf(request.path) == eventsPath && request.status == 200)
            result.append(request.body);
    }
    return result;
}

QList<QJsonObject> TestCollector::receivedEvents() const
{
    QList<QJsonObject> result;
    for (const Request &request : recorded) {
        if (routeOf(request.path) != eventsPath || request.status != 200)
            continue;
        for (const QJsonValue &event : request.batch.value(QLatin1String("data")).toArray())
            result.append(event.toObject());
    }
    return result;
}

void TestCollector::clear()
{
    recorded.clear();
    listener->resetCounters();
}

std::optional<TestCollector::FailureRule> TestCollector::takeFailure(const QByteArray &path)
{
    const auto it = failures.find(path);
    if (it == failures.end())
        return std::nullopt;
    const FailureRule rule = *it;
    if (it->remaining > 0 && --it->remaining == 0)
        failures.erase(it);
    return rule;
}

void TestCollector::handle(const HttpsServer::Request &incoming, HttpsServer::Responder &responder)
{
    Request request;
    static_cast<HttpsServer::Request &>(request) = incoming;
    request.arrival = clock.elapsed();
    responder.delayAnswer(answerDelay);

    const QByteArray route = incoming.route();
    const bool isBatch = route == eventsPath && request.method == "POST";
    if (isBatch)
        request.batch = QJsonDocument::fromJson(request.body).object();

    // The signals go out once the request has been disposed of, as the tests expect.
    if (const std::optional<FailureRule> failure = takeFailure(route)) {
        request.failure = failure->failure;
        switch (failure->failure) {
        case Failure::HttpStatus:
            request.status = failure->status == 103 ? 503 : failure->status;
            if (failure->status == 103)
                responder.addInterim(103);
            responder.answer(request.status, "text/plain", "failure on demand\n");
            if (!retryAfter.isEmpty())
                responder.addHeader("Retry-After", retryAfter);
            if (!location.isEmpty())
                responder.addHeader("Location", location);
            break;
        case Failure::NoAnswer:
            responder.leaveUnanswered();
            break;
        case Failure::Reset:
            responder.reset();
            break;
        case Failure::None:
            break;
        }
        recorded.append(request);
        responder.afterwards([this, request] {
            Q_EMIT requestReceived(request);
        });
        return;
    }

    if (isBatch && resetAbove > 0 && request.body.size() > resetAbove) {
        request.failure = Failure::Reset;
        recorded.append(request);
        responder.reset();
        responder.afterwards([this, request] {
            Q_EMIT requestReceived(request);
        });
        return;
    }

    QByteArray contentType = "text/plain";
    QByteArray body = "not found\n";
    request.status = 404;
    if (isBatch && refusalOf(request) != 0) {
        request.status = refusalOf(request);
        body = "refused\n";
        if (!retryAfter.isEmpty())
            responder.addHeader("Retry-After", retryAfter);
    } else if (isBatch) {
        request.status = 200;
        body = "ok\n";
    } else if (route == "/landing") {
        request.status = 200;
        body = "a page, not a collector\n";
    } else if (route == configPath && request.method == "POST" && configDocument) {
        request.status = 200;
        contentType = "application/json";
        body = *configDocument;
    }
    recorded.append(request);
    responder.answer(request.status, contentType, body);
    // The network user id a collector hands out, which a client sends back as "Cookie".
    if (isBatch || route == configPath)
        responder.addHeader("Set-Cookie",
                            QByteArray("sp=") + cookieValue + "; Path=/; Max-Age=31536000");
    responder.afterwards([this, request, isBatch] {
        Q_EMIT requestReceived(request);
        if (isBatch && request.status == 200)
            Q_EMIT eventsReceived(int(request.batch.value(QLatin1String("data")).toArray().size()));
    });
}
