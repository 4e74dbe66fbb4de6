// SPDX-License-Identifier: MIT
#include "qsentrelreporter_p.h"

#include "qsentrelconfiguration_p.h"
#include "qsentrelstorage_p.h"
#include "sentrelfiles_p.h"
#include "sentreljsonwriter_p.h"
#include "sentrelprivacy_p.h"
#include "sentrelproperties_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QLocale>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QRegularExpression>
#if QT_CONFIG(ssl)
#  include <QSslCertificate>
#  include <QSslError>
#  include <QSslSocket>
#endif
#include <QScreen>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>

#include <cmath>

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

// The library's own schemas, all under one vendor.
#define SENTREL_SCHEMA(path) "iglu:com.tamlor.sentrel" path

constexpr qsizetype contextDataChunk = 4096;
constexpr char contextDataSchema[] = SENTREL_SCHEMA("/context_data/jsonschema/2-0-2");

// A self-describing context is {"data":{...},"schema":"..."}: its data object stays open for
// the caller's keys between the two calls.
void openContext(SentrelJsonWriter &contexts)
{
    contexts.beginObject();
    contexts.key("data");
    contexts.beginObject();
}

void closeContext(SentrelJsonWriter &contexts, QByteArrayView schema)
{
    contexts.endObject();
    contexts.key("schema");
    contexts.asciiValue(schema);
    contexts.endObject();
}

QByteArray jsonString(const QString &text)
{
    SentrelJsonWriter writer(text.size() + 2);
    writer.value(text);
    return writer.take();
}

void appendNumericContext(SentrelJsonWriter &contexts,
                          const std::optional<SentrelTracker::ContextData<double>> &context)
{
    if (!context)
        return;
    openContext(contexts);
    contexts.key("key");
    contexts.value(context->key);
    contexts.key("val");
    // JSON has no NaN or infinity: such a value would be written as null, which no schema
    // accepts. Its text form keeps it, and "val" may be a string.
    if (std::isfinite(context->value))
        contexts.value(context->value);
    else
        contexts.value(QString::number(context->value));
    closeContext(contexts, contextDataSchema);
}

} // namespace

QSentrelReporter::QSentrelReporter()
    : applicationName(QCoreApplication::applicationName())
    , networkManager(new QNetworkAccessManager(this))
    , scrubTimer(new QTimer(this))
    , waitingTimer(new QTimer(this))
    , openRetry(new QTimer(this))
    , applicationNameJson(jsonString(applicationName))
    , languageJson(jsonString(QLocale::system().name()))
    , detachedSessionIdJson(jsonString(QSentrelConfigurationPrivate::newIdentifier()))
    , delivery(this)
{
    scrubTimer->setSingleShot(true);
    scrubTimer->setInterval(1000);
    connect(scrubTimer, &QTimer::timeout, this, [this] {
        if (eventStore)
            eventStore->scrub();
    });
    openRetry->setSingleShot(true);
    connect(openRetry, &QTimer::timeout, this, [this] {
        if (!eventStore)
            setupStorage();
    });
    waitingTimer->setSingleShot(true);
    connect(waitingTimer, &QTimer::timeout, this, [this] {
        if (eventStore)
            eventStore->writeWaiting();
        retryWaitingEvents();
    });
    // The screen belongs to the application's thread: read its size here rather than from
    // the worker thread later.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            screenResolution = QStringLiteral("%1x%2")
                                       .arg(screen->size().width())
                                       .arg(screen->size().height());
    }
}

QSentrelReporter::~QSentrelReporter()
{
    if (!heldEvents.isEmpty() || heldLost > 0)
        qCWarning(lcStorage) << "The storage never opened; events kept in memory were lost:"
                             << heldEvents.size() + heldLost;
}

void QSentrelReporter::init(QSentrelConfigurationPrivate *config)
{
    SENTREL_ASSERT_THREAD(this);
    configuration = config;
    configuration->markRunning();

    const QString server = configuration->server();
    collectorUrl = QUrl(QStringLiteral("https://%1/com.snowplowanalytics.snowplow/tp2").arg(server),
                        QUrl::TolerantMode);
    remoteConfigUrl = QUrl(QStringLiteral("https://%1/config").arg(server), QUrl::TolerantMode);
#if QT_CONFIG(ssl)
    if (isLocalhost(server))
        connect(networkManager,
                &QNetworkAccessManager::sslErrors,
                this,
                &QSentrelReporter::acceptLocalCertificate);
    const bool tls = QSslSocket::supportsSsl();
#else
    const bool tls = false; // some embedded builds of Qt
#endif
    if (!tls)
        qCWarning(lcEvents) << "HTTPS is not available in this Qt, nothing reaches the collector";

    startNewSession();
    if (!SentrelPrivacy::isAnonymous())
        qCDebug(lcEvents) << "Using user identifier:" << configuration->userId();
    if (configuration->syncInterval() != 0)
        qCInfo(lcEvents) << "Sending events to:" << configuration->server();
    else
        qCInfo(lcEvents) << "Working in offline mode";

    // A remote document signals each storage item it changes, after all of them are in force:
    // the store is reopened when what it is made of differs, so once per document. A store made
    // at run time is synced like the one opened now, and a pending back-off holds across both.
    const auto reopenStore = [this] {
        const QStringList settings {configuration->storageType(),
                                    configuration->storagePath(),
                                    QString::number(configuration->storageSize())};
        if (eventStore && settings == storeSettings)
            return false;
        storeSettings = settings;
        setupStorage();
        return true;
    };
    const auto storageChanged = [this, reopenStore] {
        if (reopenStore())
            scheduleSync();
    };
    connect(configuration, &QSentrelConfiguration::storageTypeChanged, this, storageChanged);
    connect(configuration, &QSentrelConfiguration::storagePathChanged, this, storageChanged);
    connect(configuration, &QSentrelConfiguration::storageSizeChanged, this, storageChanged);
    reopenStore();

    connect(&delivery, &SentrelDelivery::syncDue, this, &QSentrelReporter::sync);
    connect(QThread::currentThread(), &QThread::finished, this, [this] {
        delivery.stopSync();
    });
    // The store's SQL connection belongs to this thread: close it here, before the reporter
    // is handed back to the application's thread for deletion.
    connect(
            QThread::currentThread(),
            &QThread::finished,
            this,
            [this] {
                eventStore.reset();
                senderLock.reset();
                SENTREL_HAND_OFF(); // to the tracker core, which deletes the reporter next
            },
            Qt::DirectConnection);

    // The signal comes with every accepted write, also of the same value: only a new interval
    // re-arms the sync, and even then a pending back-off holds.
    connect(configuration, &QSentrelConfiguration::syncIntervalChanged, this, [this] {
        if (delivery.setSyncInterval(configuration->syncInterval()))
            scheduleSync();
    });
    delivery.setSyncInterval(configuration->syncInterval());
    scheduleSync();

    connect(&delivery,
            &SentrelDelivery::remoteConfigDue,
            this,
            &QSentrelReporter::fetchRemoteConfig);
    const auto remoteChanged = [this] {
        delivery.setRemoteConfig(configuration->remoteConfig(),
                                 configuration->remoteConfigInterval());
    };
    connect(configuration, &QSentrelConfiguration::remoteConfigChanged, this, remoteChanged);
    connect(configuration,
            &QSentrelConfiguration::remoteConfigIntervalChanged,
            this,
            remoteChanged);
    remoteChanged();

    trackDeviceAndAppInfo();
}

QString QSentrelReporter::configuredDirectory(const QSentrelConfigurationPrivate &configuration)
{
    const QString directory = configuration.storagePath();
    // The local profile, not the roaming one that Windows copies between machines; the same
    // directory as the data location elsewhere.
    return directory.isEmpty()
            ? QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
            : directory;
}

QString QSentrelReporter::storageDirectory() const
{
    const QString directory = configuredDirectory(*configuration);
    if (directory.isEmpty()) {
        qCWarning(lcStorage) << "No writable location for the storage";
        return QString();
    }
    if (!SentrelFiles::makePrivatePath(directory)) {
        qCWarning(lcStorage) << "Failed to create the storage directory:" << directory;
        return QString();
    }
    return directory;
}

bool QSentrelReporter::isLocalhost(const QString &server)
{
    // Only the machine itself: "localhost" or "localhost:PORT", never a host that merely
    // starts with those letters.
    return server == QLatin1String("localhost") || server.startsWith(QLatin1String("localhost:"));
}

#if QT_CONFIG(ssl)
QList<QSslError> QSentrelReporter::localCertificateErrors(const QList<QSslError> &errors,
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

void QSentrelReporter::startNewSession()
{
    SENTREL_ASSERT_THREAD(this);
    sessionId = QSentrelConfigurationPrivate::newIdentifier();
    sessionIdJson = jsonString(sessionId);
    qCInfo(lcEvents) << "Using new session id:" << sessionId;
}

void QSentrelReporter::trackDeviceAndAppInfo()
{
    SENTREL_ASSERT_THREAD(this);
    if (screenResolution.isEmpty())
        qCWarning(lcEvents) << "Failed to get the screen resolution.";
    const auto optional = [](SentrelJsonWriter &writer, QByteArrayView key, const QString &value) {
        if (!value.isEmpty()) {
            writer.key(key);
            writer.value(value);
        }
    };

    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("cpu_architecture");
    contexts.value(QSysInfo::currentCpuArchitecture());
    contexts.key("kernel_type");
    contexts.value(QSysInfo::kernelType());
    contexts.key("kernel_version");
    contexts.value(QSysInfo::kernelVersion());
    optional(contexts, "model", configuration->deviceModel());
    contexts.key("os_type");
    contexts.value(QSysInfo::productType());
    contexts.key("os_version");
    contexts.value(QSysInfo::productVersion());
    contexts.key("screen_resolution");
    contexts.value(screenResolution);
    optional(contexts, "screen_type", configuration->deviceScreenType());
    optional(contexts, "variant", configuration->deviceVariant());
    closeContext(contexts, SENTREL_SCHEMA("/device/jsonschema/1-0-1"));

    openContext(contexts);
    optional(contexts, "build", configuration->appBuild());
    contexts.key("last_shutdown");
    contexts.value(configuration->lastShutdown());
    contexts.key("qt_version");
    contexts.value(QString::fromLatin1(qVersion()));
    contexts.key("version");
    contexts.value(QCoreApplication::applicationVersion());
    closeContext(contexts, SENTREL_SCHEMA("/application/jsonschema/1-0-1"));
    recordEvent();
}

SentrelJsonWriter &QSentrelReporter::beginContexts()
{
    contextsWriter.clear();
    contextsWriter.beginObject();
    contextsWriter.key("data");
    contextsWriter.beginArray();
    return contextsWriter;
}

// Keys in the order QJsonObject kept them, which is the order of the stored bytes.
QByteArray QSentrelReporter::createUnstructuredEvent()
{
    contextsWriter.endArray();
    contextsWriter.key("schema");
    contextsWriter.asciiValue("iglu:com.snowplowanalytics.snowplow/contexts/jsonschema/1-0-0");
    contextsWriter.endObject();
    const QByteArrayView envelope = contextsWriter.bytes();

    // Room for the envelope with every byte escaped inside "co", so that it never grows; the
    // rest is short.
    SentrelJsonWriter event(2 * envelope.size() + 320);
    event.beginObject();
    event.key("aid");
    event.rawValue(applicationNameJson);
    event.key("co");
    event.jsonTextValue(envelope);
    event.key("dtm");
    event.decimalTextValue(SentrelEventIds::currentMilliseconds());
    event.key("duid");
    // Read only when needed: an anonymous person's identifier is never made.
    if (SentrelPrivacy::isAnonymous())
        event.asciiValue(SentrelPrivacy::nilIdentifier);
    else
        event.value(configuration->userId());
    event.key("e");
    event.asciiValue("ue");
    event.key("eid");
    char id[SentrelEventIds::textSize];
    eventIds.write(id);
    event.asciiValue(QByteArrayView(id, sizeof id));
    event.key("lang");
    event.rawValue(languageJson);
    event.key("p");
    event.value(configuration->platform());
    event.key("sid");
    event.rawValue(sessionIdJson);
    event.key("tna");
    event.value(configuration->token());
    event.key("tv");
    event.asciiValue("6.9.2");
    event.endObject();

    QByteArray bytes = event.take();
    if (bytes.size() > maximumEventSize) {
        qCWarning(lcEvents) << "Dropped an event of" << bytes.size() << "bytes, above the limit of"
                            << maximumEventSize;
        return QByteArray();
    }
    // As QDebug writes a QJsonObject; the text is made only when the category is on.
    qCDebug(lcEvents).nospace().noquote()
            << "New event QJsonObject(" << QString::fromUtf8(bytes) << ')';
    return bytes;
}

void QSentrelReporter::recordEvent()
{
    const QByteArray event = createUnstructuredEvent();
    if (!event.isEmpty())
        addEvent(event);
}

void QSentrelReporter::trackScreenView(
        const QString &screen,
        const std::optional<SentrelTracker::ContextData<double>> &context)
{
    SENTREL_ASSERT_THREAD(this);
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("object_id");
    contexts.value(screen);
    contexts.key("previous_id");
    contexts.value(currentScreen);
    closeContext(contexts, SENTREL_SCHEMA("/screen_view/jsonschema/1-0-1"));
    currentScreen = screen;
    appendNumericContext(contexts, context);
    recordEvent();
}

void QSentrelReporter::trackClickEvent(
        const QString &name,
        const QString &category,
        const std::optional<SentrelTracker::ContextData<double>> &context)
{
    SENTREL_ASSERT_THREAD(this);
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("category");
    contexts.value(category);
    contexts.key("object_id");
    contexts.value(name);
    contexts.key("screen_id");
    contexts.value(currentScreen);
    closeContext(contexts, SENTREL_SCHEMA("/event_click/jsonschema/1-0-1"));
    appendNumericContext(contexts, context);
    recordEvent();
}

void QSentrelReporter::trackEvent(const QString &type,
                                  const QString &object,
                                  const QString &objectName,
                                  const std::optional<SentrelTracker::EventCoordinates> &position,
                                  const std::optional<QString> &details)
{
    SENTREL_ASSERT_THREAD(this);
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    if (details) {
        contexts.key("data");
        contexts.value(*details);
    }
    contexts.key("object");
    contexts.value(object);
    if (!objectName.isEmpty()) {
        contexts.key("object_name");
        contexts.value(objectName);
    }
    if (position) {
        contexts.key("position");
        contexts.beginObject();
        contexts.key("x");
        contexts.value(position->x);
        contexts.key("y");
        contexts.value(position->y);
        contexts.endObject();
    }
    contexts.key("screen_id");
    contexts.value(currentScreen);
    contexts.key("type");
    contexts.value(type);
    closeContext(contexts, SENTREL_SCHEMA("/qevent/jsonschema/1-0-1"));
    recordEvent();
}

void QSentrelReporter::trackContextData(const SentrelTracker::ContextData<QString> &data)
{
    SENTREL_ASSERT_THREAD(this);
    const QStringView value = data.value;
    const qsizetype length = value.size();
    const bool multipart = length > contextDataChunk;
    SentrelJsonWriter &contexts = beginContexts();
    int part = 0;
    for (qsizetype offset = 0; offset < length; ++part) {
        qsizetype chunk = qMin(contextDataChunk, length - offset);
        // A surrogate pair is never split: a lone half cannot be encoded and would corrupt
        // the reassembled value.
        if (offset + chunk < length && value.at(offset + chunk - 1).isHighSurrogate()
            && value.at(offset + chunk).isLowSurrogate())
            --chunk;
        openContext(contexts);
        contexts.key("key");
        contexts.value(data.key);
        if (multipart) {
            contexts.key("multipart");
            contexts.value(true);
            contexts.key("multipart_sort");
            contexts.value(part);
        }
        contexts.key("val");
        contexts.value(value.mid(offset, chunk));
        closeContext(contexts, contextDataSchema);
        offset += chunk;
    }
    recordEvent();
}

void QSentrelReporter::trackDimensionData(const SentrelTracker::ContextData<QString> &data)
{
    SENTREL_ASSERT_THREAD(this);
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("key");
    contexts.value(data.key);
    contexts.key("val");
    contexts.value(data.value);
    closeContext(contexts, SENTREL_SCHEMA("/context_dimension/jsonschema/1-0-0"));
    recordEvent();
}

void QSentrelReporter::trackTypedEvent(const QString &name, const QVariantMap &properties)
{
    SENTREL_ASSERT_THREAD(this);
    if (!SentrelProperties::isValidName(name)) {
        qCWarning(lcEvents).noquote()
                << QStringLiteral("Refused the event \"%1\": its name must be 1 to %2 letters, "
                                  "digits, '_', '.' or '-'")
                           .arg(name.left(SentrelProperties::maximumNameLength))
                           .arg(SentrelProperties::maximumNameLength);
        return;
    }
    const SentrelProperties::Written written = SentrelProperties::write(properties);
    if (written.json.isEmpty()) {
        qCWarning(lcEvents).noquote()
                << QStringLiteral("Refused the event \"%1\": %2").arg(name, written.refusal);
        return;
    }
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("name");
    contexts.value(name);
    contexts.key("properties");
    contexts.rawValue(written.json);
    contexts.key("screen_id");
    contexts.value(currentScreen);
    closeContext(contexts, SENTREL_SCHEMA("/event/jsonschema/1-0-0"));
    recordEvent();
}

void QSentrelReporter::trackSelfDescribing(const QString &schema, const QJsonObject &data)
{
    SENTREL_ASSERT_THREAD(this);
    static const QRegularExpression iglu(QStringLiteral(
            "^iglu:[A-Za-z0-9_.-]+/[A-Za-z0-9_-]+/jsonschema/[0-9]+-[0-9]+-[0-9]+$"));
    if (!iglu.match(schema).hasMatch()) {
        qCWarning(lcEvents).noquote()
                << QStringLiteral("Refused a self-describing event: \"%1\" is not an Iglu URI "
                                  "(iglu:vendor/name/jsonschema/M-R-A)")
                           .arg(schema.left(256));
        return;
    }
    SentrelJsonWriter &contexts = beginContexts();
    contexts.beginObject();
    contexts.key("data");
    contexts.rawValue(QJsonDocument(data).toJson(QJsonDocument::Compact));
    contexts.key("schema");
    contexts.asciiValue(schema.toLatin1());
    contexts.endObject();
    recordEvent();
}

void QSentrelReporter::startNewIdentity()
{
    SENTREL_ASSERT_THREAD(this);
    // The collector's cookies set before would link the two periods.
    networkManager->setCookieJar(new QNetworkCookieJar);
    startNewSession();
    detachedSessionIdJson = jsonString(QSentrelConfigurationPrivate::newIdentifier());
}

void QSentrelReporter::trackConsent(int consent, int previous, int version)
{
    SENTREL_ASSERT_THREAD(this);
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("level");
    contexts.value(QSentrelConfigurationPrivate::consentNames().value(consent));
    contexts.key("previous");
    contexts.value(QSentrelConfigurationPrivate::consentNames().value(previous));
    contexts.key("version");
    contexts.value(version);
    closeContext(contexts, SENTREL_SCHEMA("/consent/jsonschema/1-0-0"));
    recordEvent();
}
