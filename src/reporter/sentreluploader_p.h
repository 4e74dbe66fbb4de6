// SPDX-License-Identifier: MIT
#ifndef SENTRELUPLOADER_P_H
#define SENTRELUPLOADER_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentreldelivery_p.h"
#include "sentrelglobal_p.h"

#include <QtNetwork/qtnetworkglobal.h>

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QSslCertificate;
class QSslError;

// How requests reach the collector. The uploader owns one; tests put in place one that needs
// no network.
class SENTREL_AUTOTEST_EXPORT SentrelTransport
{
public:
    struct Reply
    {
        int status = 0; // 0: no answer
        QByteArray retryAfter;
        QByteArray location;
        QString error; // what went wrong, when something did
        bool failed = false; // a network error or an oversized reply, whatever the status
        QByteArray body;
    };
    using Handler = std::function<void(const Reply &)>;
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    virtual ~SentrelTransport();
    // Posts body to url as JSON; anonymous: with "SP-Anonymous: *", and no cookie sent or kept.
    // headers: the application's own, sent as well. handler is called once, later, on the
    // calling thread, unless abort() came first. Returns the request's handle.
    virtual quint64 post(const QUrl &url,
                         const QByteArray &body,
                         bool anonymous,
                         const Headers &headers,
                         Handler handler) = 0;
    // Abandons the request without calling its handler.
    virtual void abort(quint64 request) = 0;
    // The collector's cookies set so far are not sent again.
    virtual void forgetCookies() = 0;
};

// The transport over HTTPS, with the one exception to certificate checks: a self-signed
// certificate of a collector on this machine. Lives on the worker thread; owned by the uploader.
class SENTREL_AUTOTEST_EXPORT SentrelHttpTransport : public QObject, public SentrelTransport
{
    Q_OBJECT

public:
    explicit SentrelHttpTransport(QObject *parent = nullptr);
    ~SentrelHttpTransport() override;

    void setLocalCollector(bool local);

    quint64 post(const QUrl &url,
                 const QByteArray &body,
                 bool anonymous,
                 const Headers &headers,
                 Handler handler) override;
    void abort(quint64 request) override;
    void forgetCookies() override;

    // Every request is abandoned as an error after this long, so that a collector that never
    // answers cannot hold the cache back.
    static constexpr int defaultTransferTimeout = 30000;
    // The test-only build of the library lets the tests shorten it through
    // SENTREL_TRANSFER_TIMEOUT_MS; the library that ships reads no such variable.
    static int transferTimeout();
    // Replies longer than this are abandoned as errors: a collector's answer is small, and a
    // hostile one must not make the application buffer without bound.
    static constexpr qint64 maximumReplySize = 1024 * 1024;

    // Whether server names this machine, for which a self-signed certificate is accepted.
    static bool isLocalhost(const QString &server);
#if QT_CONFIG(ssl)
    // The errors to ignore for a local collector: all of errors when each is one that the TLS
    // backend named by backend (QSslSocket::activeBackend()) reports for the peer's own
    // self-signed certificate, else none, so that a name mismatch or an expiry still fails.
    static QList<QSslError> localCertificateErrors(const QList<QSslError> &errors,
                                                   const QSslCertificate &peer,
                                                   const QString &backend);
#endif

private:
#if QT_CONFIG(ssl)
    void acceptLocalCertificate(QNetworkReply *reply, const QList<QSslError> &errors);
#endif

    QNetworkAccessManager *networkManager; // child of this
    QHash<quint64, QNetworkReply *> requests; // replies are children of networkManager
    quint64 lastRequest = 0;
    bool localCollector = false;
};

// Sends batches, single events and the remote configuration request to the collector, and
// holds the rules of delivery and their schedule. Lives on the worker thread, a child of the
// reporter, which reads the rows and removes them as the answers say.
class SENTREL_AUTOTEST_EXPORT SentrelUploader : public QObject
{
    Q_OBJECT

public:
    explicit SentrelUploader(QObject *parent = nullptr);

    // The collector at server ("host" or "host:port").
    void setServer(const QString &server);
    // Headers of the application sent with every request, as the configuration names them.
    void setHeaders(const QVariantMap &headers);
    // For tests: another way to the collector. Abandons the upload in flight.
    void setTransport(std::unique_ptr<SentrelTransport> transport);

    SentrelDelivery &rules() { return delivery; }

    using Answered =
            std::function<void(const SentrelDelivery::Batch &, const SentrelDelivery::Answer &)>;
    // Posts a batch of the cache; answered gets the collector's answer, after the failure, if
    // any, has been logged.
    void send(const SentrelDelivery::Batch &batch, const QByteArray &body, Answered answered);
    // Posts one event that has no cache to wait in; its answer is only logged.
    void sendNow(const QByteArray &event, bool anonymous);
    // Asks for the remote configuration; apply gets the document of an accepted answer.
    void fetchRemoteConfig(const QByteArray &body,
                           bool anonymous,
                           std::function<void(const QByteArray &)> apply);
    // Abandons the batch in flight: its answer is neither awaited nor a failure to report.
    void abandonUpload();
    void forgetCookies() { transport->forgetCookies(); }

private:
    std::unique_ptr<SentrelTransport> transport;
    SentrelDelivery delivery; // child of this
    QUrl collectorUrl;
    QUrl remoteConfigUrl;
    SentrelTransport::Headers headers;
    std::optional<quint64> upload; // the batch in flight
};

#endif // SENTRELUPLOADER_P_H
