// SPDX-License-Identifier: MIT
#include "sentreluploader_p.h"

#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#if QT_CONFIG(ssl)
#  include <QSslCertificate>
#  include <QSslConfiguration>
#  include <QSslError>
#  include <QSslSocket>
#endif

#include <algorithm>
#include <utility>

namespace {

#if QT_CONFIG(ssl)
constexpr QSslCertificate::SubjectInfo certificateNames[] = {
        QSslCertificate::Organization,
        QSslCertificate::CommonName,
        QSslCertificate::LocalityName,
        QSslCertificate::OrganizationalUnitName,
        QSslCertificate::CountryName,
        QSslCertificate::StateOrProvinceName,
};
#endif

} // namespace

SentrelTransport::~SentrelTransport() = default;

SentrelHttpTransport::SentrelHttpTransport(QObject *parent)
    : QObject(parent)
    , networkManager(new QNetworkAccessManager(this))
{
#if QT_CONFIG(ssl)
    connect(networkManager,
            &QNetworkAccessManager::sslErrors,
            this,
            &SentrelHttpTransport::acceptLocalCertificate);
#endif
}

SentrelHttpTransport::~SentrelHttpTransport()
{
    // Abandoned with the transport: no handler may run on what is gone.
    for (QNetworkReply *reply : std::as_const(requests)) {
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
    }
}

void SentrelHttpTransport::setLocalCollector(bool local)
{
    localCollector = local;
}

int SentrelHttpTransport::transferTimeout()
{
#ifdef SENTREL_TESTING_LIBRARY
    bool ok = false;
    const int timeout = qEnvironmentVariableIntValue("SENTREL_TRANSFER_TIMEOUT_MS", &ok);
    if (ok && timeout > 0)
        return timeout;
#endif
    return defaultTransferTimeout;
}

#if QT_CONFIG(ssl)
void SentrelHttpTransport::acceptLocalCertificate(QNetworkReply *reply,
                                                  const QList<QSslError> &errors)
{
    if (!localCollector || reply->url().host() != QLatin1String("localhost"))
        return;
    // The exact errors, so that any other one found later still fails the request.
    const QList<QSslError> expected =
            localCertificateErrors(errors,
                                   reply->sslConfiguration().peerCertificate(),
                                   QSslSocket::activeBackend());
    if (!expected.isEmpty())
        reply->ignoreSslErrors(expected);
}
#endif

bool SentrelHttpTransport::isLocalhost(const QString &server)
{
    // Only the machine itself: "localhost" or "localhost:PORT", never a host that merely
    // starts with those letters.
    return server == QLatin1String("localhost") || server.startsWith(QLatin1String("localhost:"));
}

#if QT_CONFIG(ssl)
QList<QSslError> SentrelHttpTransport::localCertificateErrors(const QList<QSslError> &errors,
                                                              const QSslCertificate &peer,
                                                              const QString &backend)
{
    // OpenSSL names a self-signed leaf as such; Schannel and SecureTransport call it
    // untrusted, as they do any certificate whose root the system does not trust.
    QList<QSslError::SslError> expected {QSslError::SelfSignedCertificate};
    if (backend == QLatin1String("schannel") || backend == QLatin1String("securetransport"))
        expected.append(QSslError::CertificateUntrusted);

    // Compared by name rather than with isSelfSigned(), which the backends without OpenSSL
    // answer with a warning; each accepted error says the signature is not trusted anyway.
    const bool namesItself = !peer.isNull()
            && std::all_of(std::begin(certificateNames),
                           std::end(certificateNames),
                           [&peer](QSslCertificate::SubjectInfo name) {
                               return peer.subjectInfo(name) == peer.issuerInfo(name);
                           });
    const bool onlyExpected = !errors.isEmpty() && namesItself
            && std::all_of(errors.cbegin(), errors.cend(), [&](const QSslError &error) {
                   return expected.contains(error.error()) && error.certificate() == peer;
               });
    return onlyExpected ? errors : QList<QSslError>();
}
#endif

quint64 SentrelHttpTransport::post(const QUrl &url,
                                   const QByteArray &body,
                                   bool anonymous,
                                   const Headers &headers,
                                   Handler handler)
{
    SENTREL_ASSERT_THREAD(this);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(transferTimeout());
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    // Following a redirect turns the POST into a bodiless GET on 301 to 303, whose 200 would
    // pass for an acceptance, and would send the token where the server item does not point:
    // neither the upload nor the remote configuration fetch follows one.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // Decided by what the request carries: a batch holds anonymous events only or identified
    // ones only, and the anonymous ones never carry or take a cookie.
    if (anonymous) {
        request.setRawHeader("SP-Anonymous", "*");
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    }
    QNetworkReply *reply = networkManager->post(request, body);
    const quint64 id = ++lastRequest;
    requests.insert(id, reply);
    // Checked on every chunk as it arrives: the progress signal is throttled, and its last
    // emission comes when the reply has already finished and can no longer be abandoned.
    connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > maximumReplySize)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, id, reply, handler = std::move(handler)] {
        requests.remove(id);
        reply->deleteLater();
        Reply answer;
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.retryAfter = reply->rawHeader("Retry-After");
        answer.location = reply->rawHeader("Location");
        answer.error = reply->errorString();
        answer.failed = reply->error() != QNetworkReply::NoError;
        if (!answer.failed && reply->bytesAvailable() > maximumReplySize) {
            answer.failed = true;
            answer.error = QStringLiteral("Reply larger than %1 bytes").arg(maximumReplySize);
        } else if (!answer.failed) {
            answer.body = reply->readAll();
        }
        handler(answer);
    });
    return id;
}

void SentrelHttpTransport::abort(quint64 request)
{
    QNetworkReply *reply = requests.take(request);
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
}

void SentrelHttpTransport::forgetCookies()
{
    networkManager->setCookieJar(new QNetworkCookieJar);
}

SentrelUploader::SentrelUploader(QObject *parent)
    : QObject(parent)
    , transport(std::make_unique<SentrelHttpTransport>(this))
    , delivery(this)
{ }

void SentrelUploader::setServer(const QString &server)
{
    collectorUrl = QUrl(QStringLiteral("https://%1/com.snowplowanalytics.snowplow/tp2").arg(server),
                        QUrl::TolerantMode);
    remoteConfigUrl = QUrl(QStringLiteral("https://%1/config").arg(server), QUrl::TolerantMode);
    if (auto *https = dynamic_cast<SentrelHttpTransport *>(transport.get()))
        https->setLocalCollector(SentrelHttpTransport::isLocalhost(server));
}

void SentrelUploader::setHeaders(const QVariantMap &map)
{
    headers.clear();
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        headers.append({it.key().toLatin1(), it.value().toString().toUtf8()});
}

void SentrelUploader::setTransport(std::unique_ptr<SentrelTransport> replacement)
{
    abandonUpload();
    transport = std::move(replacement);
}

void SentrelUploader::send(const SentrelDelivery::Batch &batch,
                           const QByteArray &body,
                           Answered answered)
{
    SENTREL_ASSERT_THREAD(this);
    qCDebug(lcEvents) << "Sending" << batch.ids.size() << "events in" << body.size() << "bytes";
    delivery.sent(batch);
    upload = transport->post(
            collectorUrl,
            body,
            batch.anonymous,
            headers,
            [this, batch, answered = std::move(answered)](const SentrelTransport::Reply &reply) {
                upload.reset();
                SentrelDelivery::Answer answer;
                answer.status = reply.status;
                answer.retryAfter = reply.retryAfter;
                answer.location = reply.location;
                answer.error = reply.error;
                if (SentrelDelivery::verdictOf(answer.status)
                    == SentrelDelivery::Verdict::Accepted) {
                    qCDebug(lcEvents) << "Events have been sent successfully.";
                } else if (answer.status >= 100 && answer.status < 400) {
                    // Qt reports no error for these, yet nothing was delivered.
                    qCWarning(lcEvents)
                            << "Failed to sent events:" << answer.status
                            << (answer.location.isEmpty()
                                        ? QStringLiteral("an answer that is not an acceptance")
                                        : QStringLiteral("redirected to %1")
                                                  .arg(QString::fromLatin1(answer.location)));
                } else {
                    qCWarning(lcEvents)
                            << "Failed to sent events:" << answer.status << answer.error;
                }
                answered(batch, answer);
            });
}

void SentrelUploader::sendNow(const QByteArray &event, bool anonymous)
{
    SENTREL_ASSERT_THREAD(this);
    const QByteArray body = SentrelDelivery::batchOf(event);
    qCDebug(lcEvents) << "Sending 1 events in" << body.size() << "bytes";
    transport->post(
            collectorUrl,
            body,
            anonymous,
            headers,
            [](const SentrelTransport::Reply &reply) {
                if (SentrelDelivery::verdictOf(reply.status) == SentrelDelivery::Verdict::Accepted)
                    qCDebug(lcEvents) << "Events have been sent successfully.";
                else // misspelt on purpose: the log text is fixed and tests pin it
                    qCWarning(lcEvents) << "Failed to sent events:" << reply.status << reply.error;
            });
}

void SentrelUploader::fetchRemoteConfig(const QByteArray &body,
                                        bool anonymous,
                                        std::function<void(const QByteArray &)> apply)
{
    SENTREL_ASSERT_THREAD(this);
    qCDebug(lcConfig) << "Checking for remote configurations";
    transport->post(remoteConfigUrl,
                    body,
                    anonymous,
                    headers,
                    [apply = std::move(apply)](const SentrelTransport::Reply &reply) {
                        if (reply.failed
                            || SentrelDelivery::verdictOf(reply.status)
                                    != SentrelDelivery::Verdict::Accepted) {
                            qCWarning(lcConfig)
                                    << "Failed to fetch remote configuration:" << reply.status
                                    << reply.error;
                            return;
                        }
                        apply(reply.body);
                    });
}

void SentrelUploader::abandonUpload()
{
    SENTREL_ASSERT_THREAD(this);
    if (upload)
        transport->abort(*std::exchange(upload, std::nullopt));
}
