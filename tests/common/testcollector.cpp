#include "testcollector.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace {

// Bounds for what one request may hold, so that a misbehaving client cannot make the
// collector buffer without limit.
constexpr qsizetype maximumHeaderSize = 64 * 1024;
constexpr qint64 maximumBodySize = 64 * 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

QByteArray routeOf(const QByteArray &path)
{
    const qsizetype query = path.indexOf('?');
    return query < 0 ? path : path.left(query);
}

} // namespace

TestCollector::TestCollector(QObject *parent)
    : QObject(parent)
{
}

TestCollector::~TestCollector()
{
    stop();
}

bool TestCollector::generateCertificate(QSslCertificate *certificate, QSslKey *key, QString *error)
{
    // One certificate serves every collector of the process: generating a key takes a while.
    static QMutex lock;
    static QByteArray certificatePem;
    static QByteArray keyPem;
    QMutexLocker locker(&lock);

    if (certificatePem.isEmpty()) {
        QTemporaryDir directory;
        if (!directory.isValid()) {
            *error = QStringLiteral("cannot create a temporary directory: %1").arg(directory.errorString());
            return false;
        }
        const QString certificateFile = directory.filePath(QStringLiteral("localhost.crt"));
        const QString keyFile = directory.filePath(QStringLiteral("localhost.key"));
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-sha256"),
                       QStringLiteral("-days"), QStringLiteral("7"), QStringLiteral("-subj"),
                       QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                       QStringLiteral("subjectAltName=DNS:localhost"), QStringLiteral("-keyout"), keyFile,
                       QStringLiteral("-out"), certificateFile});
        if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit
            || openssl.exitCode() != 0) {
            *error = QStringLiteral("openssl failed: %1 %2")
                             .arg(openssl.errorString(), QString::fromLocal8Bit(openssl.readAll()));
            return false;
        }
        QFile certificateIn(certificateFile);
        QFile keyIn(keyFile);
        if (!certificateIn.open(QIODevice::ReadOnly) || !keyIn.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read what openssl wrote");
            return false;
        }
        certificatePem = certificateIn.readAll();
        keyPem = keyIn.readAll();
    }

    *certificate = QSslCertificate(certificatePem, QSsl::Pem);
    *key = QSslKey(keyPem, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    if (certificate->isNull() || key->isNull()) {
        *error = QStringLiteral("the generated certificate or key does not load");
        certificatePem.clear();
        keyPem.clear();
        return false;
    }
    return true;
}

void TestCollector::setCertificate(const QSslCertificate &certificate, const QSslKey &key)
{
    localCertificate = certificate;
    localKey = key;
}

bool TestCollector::start(const QHostAddress &address, quint16 port)
{
    stop();
    if (!QSslSocket::supportsSsl()) {
        lastError = QStringLiteral("TLS is not available");
        return false;
    }
    if (localCertificate.isNull() || localKey.isNull()) {
        if (!generateCertificate(&localCertificate, &localKey, &lastError))
            return false;
    }

    listener = new QSslServer(this);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(localCertificate);
    configuration.setPrivateKey(localKey);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    listener->setSslConfiguration(configuration);

    connect(listener, &QTcpServer::pendingConnectionAvailable, this, &TestCollector::acceptConnections);
    connect(listener, &QSslServer::errorOccurred, this, [this](QSslSocket *socket, QAbstractSocket::SocketError) {
        if (socket->isEncrypted())
            return;
        ++failedHandshakes;
        Q_EMIT handshakeFailed(socket->errorString());
    });

    if (!listener->listen(address, port)) {
        lastError = listener->errorString();
        delete listener;
        listener = nullptr;
        return false;
    }
    return true;
}

void TestCollector::stop()
{
    const QList<QSslSocket *> sockets = open.keys();
    open.clear();
    for (QSslSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    if (listener) {
        listener->close();
        delete listener;
        listener = nullptr;
    }
}

bool TestCollector::isListening() const
{
    return listener && listener->isListening();
}

quint16 TestCollector::port() const
{
    return listener ? listener->serverPort() : 0;
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
    failures.insert(path, FailureRule{failure, count, status});
}

void TestCollector::clearFailures()
{
    failures.clear();
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
    connections = 0;
    failedHandshakes = 0;
}

void TestCollector::acceptConnections()
{
    while (listener && listener->hasPendingConnections()) {
        auto *socket = qobject_cast<QSslSocket *>(listener->nextPendingConnection());
        if (!socket)
            continue;
        ++connections;
        open.insert(socket, Connection{++nextSerial, QByteArray(), false});
        connect(socket, &QIODevice::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
            open.remove(socket);
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void TestCollector::readFrom(QSslSocket *socket)
{
    for (;;) {
        // Looked up anew each time: answering may close the socket and drop its entry.
        const auto it = open.find(socket);
        if (it == open.end())
            return;
        if (it->silenced) {
            socket->readAll();
            return;
        }
        it->buffer += socket->readAll();
        Request request;
        bool malformed = false;
        if (!takeRequest(it->buffer, &request, &malformed)) {
            if (malformed) {
                open.erase(it);
                answer(socket, 400, "text/plain", "malformed request\n", true);
            }
            return;
        }
        request.connection = it->serial;
        handle(socket, std::move(request));
    }
}

bool TestCollector::takeRequest(QByteArray &buffer, Request *request, bool *malformed)
{
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        *malformed = buffer.size() > maximumHeaderSize;
        return false;
    }
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.")) {
        *malformed = true;
        return false;
    }
    request->method = requestLine.at(0);
    request->path = requestLine.at(1);
    request->headers.clear();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            *malformed = true;
            return false;
        }
        request->headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    if (requestLine.at(2) == "HTTP/1.0" && request->header("connection").toLower() != "keep-alive")
        request->headers.insert("connection", "close");
    // Only Content-Length bodies: what the tracker and ordinary clients send for a POST.
    if (request->headers.contains("transfer-encoding")) {
        *malformed = true;
        return false;
    }
    qint64 length = 0;
    if (request->headers.contains("content-length")) {
        bool ok = false;
        length = request->header("content-length").toLongLong(&ok);
        if (!ok || length < 0 || length > maximumBodySize) {
            *malformed = true;
            return false;
        }
    }
    const qsizetype bodyStart = headerEnd + 4;
    if (buffer.size() - bodyStart < length)
        return false;
    request->body = buffer.mid(bodyStart, length);
    buffer.remove(0, bodyStart + length);
    return true;
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

void TestCollector::handle(QSslSocket *socket, Request request)
{
    const QByteArray route = routeOf(request.path);
    const bool isBatch = route == eventsPath && request.method == "POST";
    if (isBatch)
        request.batch = QJsonDocument::fromJson(request.body).object();
    const bool close = request.header("connection").toLower() == "close";

    if (const std::optional<FailureRule> failure = takeFailure(route)) {
        request.failure = failure->failure;
        switch (failure->failure) {
        case Failure::HttpStatus:
            request.status = failure->status;
            recorded.append(request);
            answer(socket, failure->status, "text/plain", "failure on demand\n", close);
            break;
        case Failure::NoAnswer:
            open[socket].silenced = true;
            recorded.append(request);
            break;
        case Failure::Reset:
            recorded.append(request);
            open.remove(socket);
            reset(socket);
            break;
        case Failure::None:
            break;
        }
        Q_EMIT requestReceived(request);
        return;
    }

    QByteArray contentType = "text/plain";
    QByteArray body = "not found\n";
    request.status = 404;
    if (isBatch) {
        request.status = 200;
        body = "ok\n";
    } else if (route == configPath && request.method == "POST" && configDocument) {
        request.status = 200;
        contentType = "application/json";
        body = *configDocument;
    }
    recorded.append(request);
    if (close)
        open.remove(socket);
    answer(socket, request.status, contentType, body, close);
    Q_EMIT requestReceived(request);
    if (isBatch)
        Q_EMIT eventsReceived(int(request.batch.value(QLatin1String("data")).toArray().size()));
}

void TestCollector::answer(QSslSocket *socket, int status, const QByteArray &contentType, const QByteArray &body,
                           bool close)
{
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    response += "Content-Type: " + contentType + "\r\n";
    response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    response += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    response += "\r\n";
    response += body;
    socket->write(response);
    if (close) {
        socket->disconnect();
        socket->disconnectFromHost();
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->state() == QAbstractSocket::UnconnectedState)
            socket->deleteLater();
    }
}

void TestCollector::reset(QSslSocket *socket)
{
    socket->disconnect();
#ifdef Q_OS_UNIX
    // A zero linger time makes the close send a reset rather than an orderly shutdown.
    const linger immediately{1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
#endif
    socket->abort();
    socket->deleteLater();
}
