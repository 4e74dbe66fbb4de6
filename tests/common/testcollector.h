// SPDX-License-Identifier: MIT
#ifndef TESTCOLLECTOR_H
#define TESTCOLLECTOR_H

#include "httpsserver.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <optional>

// A small collector for the tracker: an HTTPS server speaking HTTP/1.1 with keep-alive that
// accepts event batches on "/com.snowplowanalytics.snowplow/tp2", hands out a configuration
// document on "/config" and answers 404 to everything else. Its answers on both set the
// cookie "sp" to cookieValue, and every request's headers are recorded. On demand it fails a route with
// an HTTP status, by never answering, or by resetting the connection.
//
// Lives on the thread that created it and serves its sockets from that thread's event loop.
// The TLS and HTTP side is the HttpsServer that sentrel-collector uses too.
class TestCollector : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *eventsPath = "/com.snowplowanalytics.snowplow/tp2";
    static constexpr const char *configPath = "/config";
    static constexpr const char *cookieValue = "collector-cookie";

    enum class Failure {
        None,
        HttpStatus, // answer with the failure's status code and a short body
        NoAnswer, // read the request, never answer, keep the connection open
        Reset, // read the request, then reset the connection
    };
    Q_ENUM(Failure)

    // What the server read, and what the collector made of it.
    struct Request : HttpsServer::Request
    {
        QJsonObject batch; // the parsed body, for event batches that parse as an object
        Failure failure = Failure::None;
        int status = 0; // the status answered, 0 when there was no answer
        qint64 arrival = 0; // milliseconds since the collector was made
    };

    explicit TestCollector(QObject *parent = nullptr);
    ~TestCollector() override;

    // Starts listening with a certificate for "localhost", generated on first use with the
    // openssl command line (or the one given by setCertificate). Port 0 picks a free port.
    bool start(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    void stop();
    bool isListening() const;
    QString errorString() const { return listener->errorString(); }
    quint16 port() const;
    // "localhost:PORT", the server item that reaches this collector.
    QString server() const;

    void setCertificate(const QSslCertificate &certificate, const QSslKey &key);
    QSslCertificate certificate() const { return listener->certificate(); }
    QSslKey certificateKey() const { return listener->certificateKey(); }
    // Creates a self-signed certificate for CN=localhost (subjectAltName DNS:localhost) and
    // its key in a temporary directory. Returns false with a message in error on failure.
    static bool generateCertificate(QSslCertificate *certificate, QSslKey *key, QString *error);

    // The answer to "/config"; none (the default) answers 404.
    void setConfigDocument(const QByteArray &document);
    void clearConfigDocument();

    // Fails the next count requests of path (-1: until clearFailures). The status is used
    // by Failure::HttpStatus only.
    void setFailure(const QByteArray &path, Failure failure, int count = -1, int status = 500);
    void clearFailures();

    // Batches whose body contains marker are answered with status (an empty marker: none).
    void refuseBodiesContaining(const QByteArray &marker, int status);
    // Batch bodies larger than bytes are answered with 413 (0: no limit).
    void setBodyLimit(qint64 bytes) { bodyLimit = bytes; }
    // Batch bodies larger than bytes reset the connection, as a proxy's limit may (0: none).
    void setResetAbove(qint64 bytes) { resetAbove = bytes; }
    // Every answer is written this many milliseconds after the request arrived.
    void setAnswerDelay(int milliseconds) { answerDelay = milliseconds; }
    // Every batch is answered with status for the next milliseconds.
    void startOutage(int milliseconds, int status = 503);
    // Sent as Retry-After with every failure answered with a status (empty: none).
    void setRetryAfter(const QByteArray &value) { retryAfter = value; }
    // Sent as Location with every failure answered with a status (empty: none); the page
    // "/landing" answers 200 to anything.
    void setLocation(const QByteArray &value) { location = value; }
    // A failure answered with status 103 writes "103 Early Hints" and then a 503.
    // The failures above, all off again.
    void clearRefusals();

    QList<Request> requests() const { return recorded; }
    QList<Request> requests(const QByteArray &path) const;
    // Every event object of every batch that was answered with 200, in arrival order.
    QList<QJsonObject> receivedEvents() const;
    // Bodies of the batches that were answered with 200, in arrival order.
    QList<QByteArray> acceptedBatches() const;
    int connectionCount() const { return listener->connectionCount(); }
    int openConnections() const { return listener->openConnections(); }
    // TLS handshakes that failed (the client rejected the certificate, for example).
    int handshakeFailures() const { return listener->handshakeFailures(); }
    // Forgets the recorded requests and counters; failures and the document stay.
    void clear();

Q_SIGNALS:
    // After the request has been recorded, and answered unless it fails without answer.
    void requestReceived(const TestCollector::Request &request);
    void eventsReceived(int count);
    void handshakeFailed(const QString &error);

private:
    struct FailureRule
    {
        Failure failure = Failure::None;
        int remaining = 0; // -1: until cleared
        int status = 500;
    };

    void handle(const HttpsServer::Request &incoming, HttpsServer::Responder &responder);
    std::optional<FailureRule> takeFailure(const QByteArray &path);

    // The status for a batch of the refusals above; 0 for none.
    int refusalOf(const Request &request) const;

    HttpsServer *listener; // child of this: the TLS and HTTP side
    QElapsedTimer clock;
    QByteArray refusalMarker;
    int markerStatus = 400;
    qint64 bodyLimit = 0;
    qint64 resetAbove = 0;
    int answerDelay = 0;
    QDeadlineTimer outageEnd {0};
    int outageStatus = 503;
    QByteArray retryAfter;
    QByteArray location;
    QList<Request> recorded;
    QHash<QByteArray, FailureRule> failures;
    std::optional<QByteArray> configDocument;
};

Q_DECLARE_METATYPE(TestCollector::Request)

#endif // TESTCOLLECTOR_H
