// SPDX-License-Identifier: MIT
#ifndef HTTPSSERVER_H
#define HTTPSSERVER_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <functional>

class QSslServer;
class QSslSocket;

// The HTTPS side of a collector: a TLS listener speaking HTTP/1.1 with keep-alive and
// Content-Length bodies, which hands every complete request to one handler and sends back
// what the handler decides: an answer, no answer at all, or a connection reset.
//
// Shared by the tests' collector and the development collector. Lives on the thread that
// created it and serves its sockets from that thread's event loop.
class HttpsServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        int connection = 0; // serial number of the connection, from 1
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;

        QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
        // The path without its query.
        QByteArray route() const;
        // Whether the client asked to close the connection after this request.
        bool closes() const;
    };

    // How the handler disposes of one request; unless it calls one of these, the request is
    // answered with 404.
    class Responder
    {
    public:
        void answer(int status, const QByteArray &contentType, const QByteArray &body);
        // Reads the request and never answers; the rest of the connection is read and dropped.
        void leaveUnanswered();
        // Resets the connection (a TCP reset rather than an orderly close).
        void reset();
        // Runs after the request has been disposed of as decided (the answer written).
        void afterwards(std::function<void()> done) { then = std::move(done); }
        // A header sent with the answer, besides Content-Type, Content-Length and Connection.
        void addHeader(const QByteArray &name, const QByteArray &value)
        {
            extraHeaders.append({name, value});
        }
        // Writes the answer only after this many milliseconds.
        void delayAnswer(int milliseconds) { answerDelay = milliseconds; }
        // An interim answer (1xx) written before the final one.
        void addInterim(int status) { interimStatuses.append(status); }

        enum class Outcome {
            Undecided,
            Answered,
            Unanswered,
            Reset
        };
        Outcome outcome() const { return decided; }
        int status() const { return answerStatus; }

    private:
        friend class HttpsServer;
        Outcome decided = Outcome::Undecided;
        int answerStatus = 0;
        QByteArray answerType;
        QByteArray answerBody;
        QList<QPair<QByteArray, QByteArray>> extraHeaders;
        QList<int> interimStatuses;
        int answerDelay = 0;
        std::function<void()> then;
    };

    using Handler = std::function<void(const Request &request, Responder &responder)>;

    explicit HttpsServer(QObject *parent = nullptr);
    ~HttpsServer() override;

    void setHandler(Handler handler) { requestHandler = std::move(handler); }

    // Starts listening with the certificate given by setCertificate, or one generated for
    // "localhost" with the openssl command line. Port 0 picks a free port.
    bool start(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    void stop();
    bool isListening() const;
    quint16 port() const;
    QString errorString() const { return lastError; }

    void setCertificate(const QSslCertificate &certificate, const QSslKey &key);
    QSslCertificate certificate() const { return localCertificate; }
    QSslKey certificateKey() const { return localKey; }

    // A self-signed certificate for CN=localhost (subjectAltName DNS:localhost, IP:127.0.0.1)
    // and its key, made once per process in a temporary directory.
    static bool generateCertificate(QSslCertificate *certificate, QSslKey *key, QString *error);
    // The certificate kept in directory ("localhost.crt" and "localhost.key", the key
    // readable by its owner only), made there on first use and made anew once it expired.
    static bool keptCertificate(const QString &directory,
                                QSslCertificate *certificate,
                                QSslKey *key,
                                QString *error);

    // Whether each chunk of a request is acknowledged as soon as it has been read (the
    // default), rather than when the kernel's delayed-acknowledgement timer fires. A client
    // that writes a request's header and body separately without TCP_NODELAY, as Qt's does,
    // otherwise waits for that timer (40 ms on Linux) on every request.
    void setImmediateAcknowledgements(bool immediate) { quickAcks = immediate; }

    // Whether some answer has not yet been handed to the network.
    bool hasPendingOutput() const;

    int connectionCount() const { return connections; }
    // Connections still open: once none is, every request a client sent has been read.
    int openConnections() const { return int(open.size()); }
    int handshakeFailures() const { return failedHandshakes; }
    void resetCounters();

Q_SIGNALS:
    void handshakeFailed(const QString &error);

private:
    struct Connection
    {
        int serial = 0;
        QByteArray buffer;
        bool silenced = false; // a request went unanswered: ignore the rest
    };

    void acceptConnections();
    void readFrom(QSslSocket *socket);
    void acknowledgeAtOnce(QSslSocket *socket) const;
    // Parses one complete request from the front of buffer; returns false when more data is
    // needed, and sets malformed when the request cannot be parsed.
    static bool takeRequest(QByteArray &buffer, Request *request, bool *malformed);
    void handle(QSslSocket *socket, const Request &request);
    static void send(QSslSocket *socket, const Responder &responder, bool close);
    static void resetConnection(QSslSocket *socket);

    Handler requestHandler;
    QSslServer *listener = nullptr; // child of this
    QSslCertificate localCertificate;
    QSslKey localKey;
    QString lastError;
    QHash<QSslSocket *, Connection> open;
    int connections = 0;
    int nextSerial = 0;
    int failedHandshakes = 0;
    bool quickAcks = true;
};

#endif // HTTPSSERVER_H
