// SPDX-License-Identifier: MIT
#include "httpsserver.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QSaveFile>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>

#ifdef Q_OS_UNIX
#  include <netinet/in.h>
#  include <netinet/tcp.h>
#  include <sys/socket.h>
#endif

namespace {

// Bounds for what one request may hold, so that a misbehaving client cannot make the
// server buffer without limit.
constexpr qsizetype maximumHeaderSize = 64 * 1024;
constexpr qint64 maximumBodySize = 64 * 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 103:
        return "Early Hints";
    case 200:
        return "OK";
    case 300:
        return "Multiple Choices";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Payload Too Large";
    case 422:
        return "Unprocessable Content";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// Runs openssl to write a self-signed certificate for localhost and its key.
bool runOpenssl(const QString &certificateFile, const QString &keyFile, int days, QString *error)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"),
                   QStringLiteral("-x509"),
                   QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"),
                   QStringLiteral("-nodes"),
                   QStringLiteral("-sha256"),
                   QStringLiteral("-days"),
                   QString::number(days),
                   QStringLiteral("-subj"),
                   QStringLiteral("/CN=localhost"),
                   QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1"),
                   QStringLiteral("-keyout"),
                   keyFile,
                   QStringLiteral("-out"),
                   certificateFile});
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit
        || openssl.exitCode() != 0) {
        *error = QStringLiteral("openssl failed: %1 %2")
                         .arg(openssl.errorString(), QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }
    return true;
}

bool loadPair(const QString &certificateFile,
              const QString &keyFile,
              QSslCertificate *certificate,
              QSslKey *key)
{
    QFile certificateIn(certificateFile);
    QFile keyIn(keyFile);
    if (!certificateIn.open(QIODevice::ReadOnly) || !keyIn.open(QIODevice::ReadOnly))
        return false;
    *certificate = QSslCertificate(certificateIn.readAll(), QSsl::Pem);
    *key = QSslKey(keyIn.readAll(), QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    return !certificate->isNull() && !key->isNull();
}

} // namespace

QByteArray HttpsServer::Request::route() const
{
    const qsizetype query = path.indexOf('?');
    return query < 0 ? path : path.left(query);
}

bool HttpsServer::Request::closes() const
{
    return header("connection").toLower() == "close";
}

void HttpsServer::Responder::answer(int status,
                                    const QByteArray &contentType,
                                    const QByteArray &body)
{
    decided = Outcome::Answered;
    answerStatus = status;
    answerType = contentType;
    answerBody = body;
}

void HttpsServer::Responder::leaveUnanswered()
{
    decided = Outcome::Unanswered;
    answerStatus = 0;
}

void HttpsServer::Responder::reset()
{
    decided = Outcome::Reset;
    answerStatus = 0;
}

HttpsServer::HttpsServer(QObject *parent) : QObject(parent) { }

HttpsServer::~HttpsServer()
{
    stop();
}

bool HttpsServer::generateCertificate(QSslCertificate *certificate, QSslKey *key, QString *error)
{
    // One certificate serves every server of the process: generating a key takes a while.
    static QMutex lock;
    static QSslCertificate generatedCertificate;
    static QSslKey generatedKey;
    QMutexLocker locker(&lock);

    if (generatedCertificate.isNull()) {
        QTemporaryDir directory;
        if (!directory.isValid()) {
            *error = QStringLiteral("cannot create a temporary directory: %1")
                             .arg(directory.errorString());
            return false;
        }
        const QString certificateFile = directory.filePath(QStringLiteral("localhost.crt"));
        const QString keyFile = directory.filePath(QStringLiteral("localhost.key"));
        if (!runOpenssl(certificateFile, keyFile, 7, error))
            return false;
        if (!loadPair(certificateFile, keyFile, &generatedCertificate, &generatedKey)) {
            *error = QStringLiteral("the generated certificate or key does not load");
            generatedCertificate = QSslCertificate();
            return false;
        }
    }
    *certificate = generatedCertificate;
    *key = generatedKey;
    return true;
}

bool HttpsServer::keptCertificate(const QString &directory,
                                  QSslCertificate *certificate,
                                  QSslKey *key,
                                  QString *error)
{
    if (!QDir().mkpath(directory)) {
        *error = QStringLiteral("cannot create %1").arg(directory);
        return false;
    }
    const QDir dir(directory);
    const QString certificateFile = dir.filePath(QStringLiteral("localhost.crt"));
    const QString keyFile = dir.filePath(QStringLiteral("localhost.key"));
    if (loadPair(certificateFile, keyFile, certificate, key)
        && certificate->expiryDate() > QDateTime::currentDateTimeUtc().addDays(1))
        return true;

    // Written beside the kept pair and moved into place, so that an interrupted run never
    // leaves a certificate without its key.
    QTemporaryDir scratch(dir.filePath(QStringLiteral(".certificate-XXXXXX")));
    if (!scratch.isValid()) {
        *error = QStringLiteral("cannot write in %1").arg(directory);
        return false;
    }
    const QString newCertificate = scratch.filePath(QStringLiteral("localhost.crt"));
    const QString newKey = scratch.filePath(QStringLiteral("localhost.key"));
    if (!runOpenssl(newCertificate, newKey, 825, error))
        return false;
    QFile::setPermissions(newKey, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QFile::remove(certificateFile);
    QFile::remove(keyFile);
    if (!QFile::rename(newKey, keyFile) || !QFile::rename(newCertificate, certificateFile)) {
        *error = QStringLiteral("cannot keep the certificate in %1").arg(directory);
        return false;
    }
    if (!loadPair(certificateFile, keyFile, certificate, key)) {
        *error = QStringLiteral("the generated certificate or key does not load");
        return false;
    }
    return true;
}

void HttpsServer::setCertificate(const QSslCertificate &certificate, const QSslKey &key)
{
    localCertificate = certificate;
    localKey = key;
}

bool HttpsServer::start(const QHostAddress &address, quint16 port)
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

    connect(listener,
            &QTcpServer::pendingConnectionAvailable,
            this,
            &HttpsServer::acceptConnections);
    connect(listener,
            &QSslServer::errorOccurred,
            this,
            [this](QSslSocket *socket, QAbstractSocket::SocketError) {
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

void HttpsServer::stop()
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

bool HttpsServer::isListening() const
{
    return listener && listener->isListening();
}

quint16 HttpsServer::port() const
{
    return listener ? listener->serverPort() : 0;
}

bool HttpsServer::hasPendingOutput() const
{
    for (auto it = open.cbegin(); it != open.cend(); ++it) {
        if (it.key()->bytesToWrite() > 0 || it.key()->encryptedBytesToWrite() > 0)
            return true;
    }
    return false;
}

void HttpsServer::resetCounters()
{
    connections = 0;
    failedHandshakes = 0;
}

void HttpsServer::acceptConnections()
{
    while (listener && listener->hasPendingConnections()) {
        auto *socket = qobject_cast<QSslSocket *>(listener->nextPendingConnection());
        if (!socket)
            continue;
        ++connections;
        open.insert(socket, Connection {++nextSerial, QByteArray(), false});
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QIODevice::readyRead, this, [this, socket] {
            acknowledgeAtOnce(socket);
            readFrom(socket);
        });
        connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
            open.remove(socket);
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

// TCP_QUICKACK does not stay set: the kernel may fall back to delaying, so it is set anew
// whenever data has arrived, while the acknowledgement of that data is still pending.
void HttpsServer::acknowledgeAtOnce(QSslSocket *socket) const
{
#if defined(Q_OS_LINUX)
    const int on = 1;
    if (quickAcks && socket->socketDescriptor() >= 0)
        ::setsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    Q_UNUSED(socket);
#endif
}

void HttpsServer::readFrom(QSslSocket *socket)
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
                Responder refusal;
                refusal.answer(400, "text/plain", "malformed request\n");
                send(socket, refusal, true);
            }
            return;
        }
        request.connection = it->serial;
        handle(socket, request);
    }
}

bool HttpsServer::takeRequest(QByteArray &buffer, Request *request, bool *malformed)
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
        request->headers.insert(line.left(colon).trimmed().toLower(),
                                line.mid(colon + 1).trimmed());
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

void HttpsServer::handle(QSslSocket *socket, const Request &request)
{
    Responder responder;
    if (requestHandler)
        requestHandler(request, responder);
    // The handler may have stopped the server, and with it this connection.
    if (!open.contains(socket)) {
        if (responder.then)
            responder.then();
        return;
    }

    switch (responder.outcome()) {
    case Responder::Outcome::Undecided:
        responder.answer(404, "text/plain", "not found\n");
        [[fallthrough]];
    case Responder::Outcome::Answered: {
        const bool close = request.closes();
        if (responder.answerDelay > 0) {
            QTimer::singleShot(responder.answerDelay,
                               this,
                               [this, socket = QPointer<QSslSocket>(socket), responder, close] {
                                   // The client may have given up, or the server stopped, in the meantime.
                                   if (socket && open.contains(socket)) {
                                       if (close)
                                           open.remove(socket);
                                       send(socket, responder, close);
                                   }
                                   if (responder.then)
                                       responder.then();
                               });
            return;
        }
        if (close)
            open.remove(socket);
        send(socket, responder, close);
        break;
    }
    case Responder::Outcome::Unanswered:
        open[socket].silenced = true;
        break;
    case Responder::Outcome::Reset:
        open.remove(socket);
        resetConnection(socket);
        break;
    }
    if (responder.then)
        responder.then();
}

void HttpsServer::send(QSslSocket *socket, const Responder &responder, bool close)
{
    const int status = responder.answerStatus;
    // A 304 has no body, whatever its Content-Length says.
    const QByteArray body = status == 304 ? QByteArray() : responder.answerBody;
    QByteArray response;
    for (const int interim : responder.interimStatuses)
        response += "HTTP/1.1 " + QByteArray::number(interim) + ' ' + reasonPhrase(interim)
                + "\r\n\r\n";
    response += "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    response += "Content-Type: " + responder.answerType + "\r\n";
    response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const auto &header : responder.extraHeaders)
        response += header.first + ": " + header.second + "\r\n";
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

void HttpsServer::resetConnection(QSslSocket *socket)
{
    socket->disconnect();
#ifdef Q_OS_UNIX
    // A zero linger time makes the close send a reset rather than an orderly shutdown.
    const linger immediately {1, 0};
    ::setsockopt(int(socket->socketDescriptor()),
                 SOL_SOCKET,
                 SO_LINGER,
                 &immediately,
                 sizeof immediately);
#endif
    socket->abort();
    socket->deleteLater();
}
