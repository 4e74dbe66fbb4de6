#include "qsentrelreporter_p.h"

#include "qsentrelconfiguration_p.h"
#include "qsentrelstorage_p.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QScreen>
#include <QSysInfo>
#include <QThread>

#include <memory>

#include <cmath>

namespace {

const QString schemaPrefix = QStringLiteral("iglu:com.tamlor.sentrel");
constexpr qsizetype contextDataChunk = 4096;

QJsonObject selfDescribing(const QString &path, const QJsonObject &data)
{
    return QJsonObject{{QStringLiteral("schema"), QString(schemaPrefix + path)}, {QStringLiteral("data"), data}};
}

QJsonObject contextData(const QString &key, const QJsonValue &value)
{
    return selfDescribing(QStringLiteral("/context_data/jsonschema/2-0-2"),
                          QJsonObject{{QStringLiteral("key"), key}, {QStringLiteral("val"), value}});
}

void appendNumericContext(QJsonArray &contexts,
                          const std::optional<SentrelTracker::ContextData<double>> &context)
{
    if (!context)
        return;
    // JSON has no NaN or infinity: such a value would be written as null, which no schema
    // accepts. Its text form keeps it, and "val" may be a string.
    if (std::isfinite(context->value))
        contexts.append(contextData(context->key, context->value));
    else
        contexts.append(contextData(context->key, QString::number(context->value)));
}

} // namespace

QSentrelReporter::QSentrelReporter()
    : applicationName(QCoreApplication::applicationName())
    , networkManager(new QNetworkAccessManager(this))
    , syncTimer(this)
    , remoteConfigTimer(this)
{
    // The screen belongs to the application's thread: read its size here rather than from
    // the worker thread later.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            screenResolution = QStringLiteral("%1x%2").arg(screen->size().width()).arg(screen->size().height());
    }
}

QSentrelReporter::~QSentrelReporter() = default;

void QSentrelReporter::init(QSentrelConfigurationPrivate *config)
{
    Q_ASSERT(QThread::currentThread() == thread());
    configuration = config;

    const QString server = configuration->server();
    collectorUrl = QUrl(QStringLiteral("https://%1/com.snowplowanalytics.snowplow/tp2").arg(server),
                        QUrl::TolerantMode);
    remoteConfigUrl = QUrl(QStringLiteral("https://%1/config").arg(server), QUrl::TolerantMode);
    if (isLocalhost(server))
        connect(networkManager, &QNetworkAccessManager::sslErrors, this, &QSentrelReporter::acceptLocalCertificate);

    startNewSession();
    qCDebug(lcEvents) << "Using user identifier:" << configuration->userId();
    if (configuration->syncInterval() != 0)
        qCInfo(lcEvents) << "Sending events to:" << configuration->server();
    else
        qCInfo(lcEvents) << "Working in offline mode";

    // A remote document signals each storage item it changes, after all of them are in force:
    // the store is reopened when what it is made of differs, so once per document.
    const auto storeSettings = std::make_shared<QStringList>();
    const auto reopenStore = [this, storeSettings] {
        const QStringList settings {configuration->storageType(),
                                    configuration->storagePath(),
                                    QString::number(configuration->storageSize())};
        if (eventStore && settings == *storeSettings)
            return;
        *storeSettings = settings;
        setupStorage();
    };
    connect(configuration, &QSentrelConfiguration::storageTypeChanged, this, reopenStore);
    connect(configuration, &QSentrelConfiguration::storagePathChanged, this, reopenStore);
    connect(configuration, &QSentrelConfiguration::storageSizeChanged, this, reopenStore);
    reopenStore();

    syncTimer.setSingleShot(true);
    connect(&syncTimer, &QTimer::timeout, this, &QSentrelReporter::sync);
    connect(QThread::currentThread(), &QThread::finished, this, [this] { syncTimer.stop(); });
    // The store's SQL connection belongs to this thread: close it here, before the reporter
    // is handed back to the application's thread for deletion.
    connect(QThread::currentThread(), &QThread::finished, this, [this] {
        eventStore.reset();
        SENTREL_HAND_OFF(); // to the tracker core, which deletes the reporter next
    }, Qt::DirectConnection);

    connect(configuration, &QSentrelConfiguration::syncIntervalChanged, this, [this] { scheduleSync(); });
    scheduleSync();

    connect(&remoteConfigTimer, &QTimer::timeout, this, &QSentrelReporter::fetchRemoteConfig);
    connect(configuration, &QSentrelConfiguration::remoteConfigChanged, this, [this] { scheduleRemoteConfigCheck(); });
    connect(configuration, &QSentrelConfiguration::remoteConfigIntervalChanged, this, [this] {
        scheduleRemoteConfigCheck();
    });
    scheduleRemoteConfigCheck();

    trackDeviceAndAppInfo();
}

bool QSentrelReporter::isLocalhost(const QString &server)
{
    // Only the machine itself: "localhost" or "localhost:PORT", never a host that merely
    // starts with those letters.
    return server == QLatin1String("localhost") || server.startsWith(QLatin1String("localhost:"));
}

void QSentrelReporter::startNewSession()
{
    sessionId = QSentrelConfigurationPrivate::newIdentifier();
    qCInfo(lcEvents) << "Using new session id:" << sessionId;
}

void QSentrelReporter::trackDeviceAndAppInfo()
{
    QJsonObject device;
    const QString model = configuration->deviceModel();
    if (!model.isEmpty())
        device.insert(QStringLiteral("model"), model);
    const QString variant = configuration->deviceVariant();
    if (!variant.isEmpty())
        device.insert(QStringLiteral("variant"), variant);
    const QString screenType = configuration->deviceScreenType();
    if (!screenType.isEmpty())
        device.insert(QStringLiteral("screen_type"), screenType);
    if (screenResolution.isEmpty())
        qCWarning(lcEvents) << "Failed to get the screen resolution.";
    device.insert(QStringLiteral("screen_resolution"), screenResolution);
    device.insert(QStringLiteral("cpu_architecture"), QSysInfo::currentCpuArchitecture());
    device.insert(QStringLiteral("kernel_type"), QSysInfo::kernelType());
    device.insert(QStringLiteral("kernel_version"), QSysInfo::kernelVersion());
    device.insert(QStringLiteral("os_type"), QSysInfo::productType());
    device.insert(QStringLiteral("os_version"), QSysInfo::productVersion());

    QJsonObject application;
    const QString build = configuration->appBuild();
    if (!build.isEmpty())
        application.insert(QStringLiteral("build"), build);
    application.insert(QStringLiteral("version"), QCoreApplication::applicationVersion());
    application.insert(QStringLiteral("qt_version"), QString::fromLatin1(qVersion()));
    application.insert(QStringLiteral("last_shutdown"), configuration->lastShutdown());

    addEvent(QJsonArray{selfDescribing(QStringLiteral("/device/jsonschema/1-0-1"), device),
                        selfDescribing(QStringLiteral("/application/jsonschema/1-0-1"), application)});
}

QJsonObject QSentrelReporter::createUnstructuredEvent(const QJsonArray &contexts)
{
    QJsonObject event;
    event.insert(QStringLiteral("e"), QStringLiteral("ue"));
    event.insert(QStringLiteral("tna"), configuration->token());
    event.insert(QStringLiteral("dtm"), QString::number(QDateTime::currentMSecsSinceEpoch()));
    event.insert(QStringLiteral("eid"), QSentrelConfigurationPrivate::newIdentifier());
    event.insert(QStringLiteral("tv"), QStringLiteral("6.9.2"));
    event.insert(QStringLiteral("lang"), QLocale::system().name());
    event.insert(QStringLiteral("aid"), applicationName);
    event.insert(QStringLiteral("sid"), sessionId);
    event.insert(QStringLiteral("duid"), configuration->userId());
    event.insert(QStringLiteral("p"), configuration->platform());
    const QJsonObject envelope{
            {QStringLiteral("schema"), QStringLiteral("iglu:com.snowplowanalytics.snowplow/contexts/jsonschema/1-0-0")},
            {QStringLiteral("data"), contexts}};
    event.insert(QStringLiteral("co"),
                 QString::fromUtf8(QJsonDocument(envelope).toJson(QJsonDocument::Compact)));
    return event;
}

void QSentrelReporter::trackScreenView(const QString &screen,
                                       const std::optional<SentrelTracker::ContextData<double>> &context)
{
    QJsonArray contexts{selfDescribing(QStringLiteral("/screen_view/jsonschema/1-0-1"),
                                       QJsonObject{{QStringLiteral("object_id"), screen},
                                                   {QStringLiteral("previous_id"), currentScreen}})};
    currentScreen = screen;
    appendNumericContext(contexts, context);
    addEvent(contexts);
}

void QSentrelReporter::trackClickEvent(const QString &name,
                                       const QString &category,
                                       const std::optional<SentrelTracker::ContextData<double>> &context)
{
    QJsonArray contexts{selfDescribing(QStringLiteral("/event_click/jsonschema/1-0-1"),
                                       QJsonObject{{QStringLiteral("object_id"), name},
                                                   {QStringLiteral("category"), category},
                                                   {QStringLiteral("screen_id"), currentScreen}})};
    appendNumericContext(contexts, context);
    addEvent(contexts);
}

void QSentrelReporter::trackEvent(const QString &type,
                                  const QString &object,
                                  const QString &objectName,
                                  const std::optional<SentrelTracker::EventCoordinates> &position,
                                  const std::optional<QString> &details)
{
    QJsonObject data{{QStringLiteral("type"), type},
                     {QStringLiteral("object"), object},
                     {QStringLiteral("screen_id"), currentScreen}};
    if (!objectName.isEmpty())
        data.insert(QStringLiteral("object_name"), objectName);
    if (details)
        data.insert(QStringLiteral("data"), *details);
    if (position) {
        data.insert(QStringLiteral("position"),
                    QJsonObject{{QStringLiteral("x"), position->x}, {QStringLiteral("y"), position->y}});
    }
    addEvent(QJsonArray{selfDescribing(QStringLiteral("/qevent/jsonschema/1-0-1"), data)});
}

void QSentrelReporter::trackContextData(const SentrelTracker::ContextData<QString> &data)
{
    const QString &value = data.value;
    const qsizetype length = value.size();
    const bool multipart = length > contextDataChunk;
    QJsonArray contexts;
    int part = 0;
    for (qsizetype offset = 0; offset < length; ++part) {
        qsizetype chunk = qMin(contextDataChunk, length - offset);
        // A surrogate pair is never split: a lone half cannot be encoded and would corrupt
        // the reassembled value.
        if (offset + chunk < length && value.at(offset + chunk - 1).isHighSurrogate()
            && value.at(offset + chunk).isLowSurrogate())
            --chunk;
        QJsonObject context = contextData(data.key, value.mid(offset, chunk));
        if (multipart) {
            QJsonObject payload = context.value(QLatin1String("data")).toObject();
            payload.insert(QStringLiteral("multipart"), true);
            payload.insert(QStringLiteral("multipart_sort"), part);
            context.insert(QStringLiteral("data"), payload);
        }
        contexts.append(context);
        offset += chunk;
    }
    addEvent(contexts);
}

void QSentrelReporter::trackDimensionData(const SentrelTracker::ContextData<QString> &data)
{
    addEvent(QJsonArray{selfDescribing(QStringLiteral("/context_dimension/jsonschema/1-0-0"),
                                       QJsonObject{{QStringLiteral("key"), data.key},
                                                   {QStringLiteral("val"), data.value}})});
}
