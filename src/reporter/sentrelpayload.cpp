// SPDX-License-Identifier: MIT
#include "sentrelpayload_p.h"

#include "qsentrelconfiguration_p.h"
#include "sentrelclock_p.h"
#include "sentrelprivacy_p.h"
#include "sentrelproperties_p.h"

#include <SentrelTracker/qsentreleventinterceptor.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>
#include <QScreen>
#include <QSysInfo>

#include <cmath>

namespace {

// The library's own schemas, all under one vendor.
#define SENTREL_SCHEMA(path) "iglu:com.tamlor.sentrel" path

constexpr qsizetype contextDataChunk = 4096;
constexpr char contextsSchema[] = "iglu:com.snowplowanalytics.snowplow/contexts/jsonschema/1-0-0";
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

QByteArray SentrelPayload::jsonString(const QString &text)
{
    SentrelJsonWriter writer(text.size() + 2);
    writer.value(text);
    return writer.take();
}

SentrelPayload::SentrelPayload()
    : applicationNameJson(jsonString(QCoreApplication::applicationName()))
    , languageJson(jsonString(QLocale::system().name()))
{
    // The screen belongs to the application's thread: read its size here rather than from
    // the worker thread later.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            screenResolution = QStringLiteral("%1x%2")
                                       .arg(screen->size().width())
                                       .arg(screen->size().height());
    }
}

QByteArray SentrelPayload::intercepted(QByteArrayView envelope)
{
    QJsonArray contexts =
            QJsonDocument::fromJson(envelope.toByteArray()).object().value(u"data").toArray();
    bool keep = false;
    // The application's code: whatever it does, no exception leaves through the library.
    try {
        keep = eventInterceptor->intercept(contexts);
    } catch (...) {
        qCWarning(lcEvents) << "The event interceptor threw an exception; the event is dropped";
        return QByteArray();
    }
    if (!keep) {
        qCDebug(lcEvents) << "The event interceptor dropped an event";
        return QByteArray();
    }
    return QJsonDocument(QJsonObject {{QStringLiteral("data"), contexts},
                                      {QStringLiteral("schema"), QLatin1String(contextsSchema)}})
            .toJson(QJsonDocument::Compact);
}

void SentrelPayload::setConfiguration(QSentrelConfigurationPrivate *config)
{
    configuration = config;
}

void SentrelPayload::startNewSession()
{
    sessionId = QSentrelConfigurationPrivate::newIdentifier();
    sessionIdJson = jsonString(sessionId);
    sessionContext.clear();
    qCInfo(lcEvents) << "Using new session id:" << sessionId;
}

QByteArray SentrelPayload::deviceAndAppInfo()
{
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
    return finish();
}

SentrelJsonWriter &SentrelPayload::beginContexts()
{
    contextsWriter.clear();
    contextsWriter.beginObject();
    contextsWriter.key("data");
    contextsWriter.beginArray();
    return contextsWriter;
}

// Keys in the order QJsonObject kept them, which is the order of the stored bytes.
QByteArray SentrelPayload::finish()
{
    char id[SentrelEventIds::textSize];
    eventIds.write(id);
    const QByteArrayView eventId(id, sizeof id);
    // Read once: a timeout set to 0 between two reads would start a session on this event.
    if (const int timeout = configuration->sessionTimeout(); timeout > 0)
        appendSession(contextsWriter, eventId, qint64(timeout) * 1000);
    if (!globalProperties.isEmpty()) {
        contextsWriter.beginObject();
        contextsWriter.key("data");
        contextsWriter.rawValue(globalProperties);
        contextsWriter.key("schema");
        contextsWriter.asciiValue(SENTREL_SCHEMA("/global/jsonschema/1-0-0"));
        contextsWriter.endObject();
    }
    contextsWriter.endArray();
    contextsWriter.key("schema");
    contextsWriter.asciiValue(contextsSchema);
    contextsWriter.endObject();
    QByteArrayView envelope = contextsWriter.bytes();
    QByteArray rewritten;
    if (eventInterceptor) {
        rewritten = intercepted(envelope);
        if (rewritten.isEmpty())
            return QByteArray();
        envelope = rewritten;
    }

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
    event.asciiValue(eventId);
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

void SentrelPayload::appendSession(SentrelJsonWriter &contexts,
                                   QByteArrayView eventId,
                                   qint64 timeout)
{
    const qint64 now = SentrelClock::current()->steady();
    const bool idle = lastEventAt >= 0 && now - lastEventAt >= timeout;
    const bool away = backgroundSince >= 0 && now - backgroundSince >= timeout;
    if (!sessionContext.isEmpty() && (idle || away)) {
        startNewSession();
        if (away)
            backgroundSince = now;
    }
    lastEventAt = now;
    if (sessionContext.isEmpty()) {
        const bool anonymous = SentrelPrivacy::isAnonymous();
        const auto [index, previous] = configuration->takeSessionIndex(sessionId, anonymous);
        SentrelJsonWriter session(256);
        session.beginObject();
        session.key("first_event_id");
        session.asciiValue(eventId);
        session.key("index");
        session.value(index);
        session.key("previous_session_id");
        if (previous.isEmpty())
            session.rawValue("null");
        else
            session.value(previous);
        session.key("session_id");
        session.rawValue(sessionIdJson);
        session.endObject();
        sessionContext = session.take();
    }
    contexts.beginObject();
    contexts.key("data");
    contexts.rawValue(sessionContext);
    contexts.key("schema");
    contexts.asciiValue(sessionSchema);
    contexts.endObject();
}

QByteArray SentrelPayload::applicationState(bool foreground)
{
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("screen_id");
    contexts.value(currentScreen);
    closeContext(contexts,
                 foreground ? SENTREL_SCHEMA("/foreground/jsonschema/1-0-0")
                            : SENTREL_SCHEMA("/background/jsonschema/1-0-0"));
    QByteArray event = finish();
    // Time in the background counts from here; coming back after too long, finish() started
    // a new session for this event already.
    backgroundSince = foreground ? -1 : SentrelClock::current()->steady();
    return event;
}

QByteArray
SentrelPayload::screenView(const QString &screen,
                           const std::optional<SentrelTracker::ContextData<double>> &context)
{
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("object_id");
    contexts.value(screen);
    contexts.key("previous_id");
    contexts.value(currentScreen);
    closeContext(contexts, SENTREL_SCHEMA("/screen_view/jsonschema/1-0-1"));
    currentScreen = screen;
    appendNumericContext(contexts, context);
    return finish();
}

QByteArray SentrelPayload::click(const QString &name,
                                 const QString &category,
                                 const std::optional<SentrelTracker::ContextData<double>> &context)
{
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
    return finish();
}

QByteArray
SentrelPayload::capturedEvent(const QString &type,
                              const QString &object,
                              const QString &objectName,
                              const std::optional<SentrelTracker::EventCoordinates> &position,
                              const std::optional<QString> &details,
                              const QString &objectPath)
{
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
    if (!objectPath.isEmpty()) {
        contexts.key("object_path");
        contexts.value(objectPath);
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
    // 1-1-0 adds object_path; an event without it is valid under both and keeps 1-0-1.
    closeContext(contexts,
                 objectPath.isEmpty() ? SENTREL_SCHEMA("/qevent/jsonschema/1-0-1")
                                      : SENTREL_SCHEMA("/qevent/jsonschema/1-1-0"));
    return finish();
}

QByteArray
SentrelPayload::action(const QString &action, const QString &via, std::optional<bool> checked)
{
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("action");
    contexts.value(action);
    if (checked) {
        contexts.key("checked");
        contexts.value(*checked);
    }
    contexts.key("screen_id");
    contexts.value(currentScreen);
    contexts.key("via");
    contexts.value(via);
    closeContext(contexts, SENTREL_SCHEMA("/action/jsonschema/1-0-0"));
    return finish();
}

QByteArray SentrelPayload::stall(qint64 milliseconds)
{
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("duration_ms");
    contexts.value(milliseconds);
    contexts.key("screen_id");
    contexts.value(currentScreen);
    closeContext(contexts, SENTREL_SCHEMA("/ui_stall/jsonschema/1-0-0"));
    return finish();
}

QByteArray SentrelPayload::screenEnd(const QString &screen, qint64 foregroundMilliseconds)
{
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("foreground_ms");
    contexts.value(foregroundMilliseconds);
    contexts.key("screen_id");
    contexts.value(screen);
    closeContext(contexts, SENTREL_SCHEMA("/screen_end/jsonschema/1-0-0"));
    return finish();
}

QByteArray SentrelPayload::contextData(const SentrelTracker::ContextData<QString> &data)
{
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
    return finish();
}

QByteArray SentrelPayload::dimensionData(const SentrelTracker::ContextData<QString> &data)
{
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("key");
    contexts.value(data.key);
    contexts.key("val");
    contexts.value(data.value);
    closeContext(contexts, SENTREL_SCHEMA("/context_dimension/jsonschema/1-0-0"));
    return finish();
}

QByteArray SentrelPayload::typedEvent(const QString &name, const QVariantMap &properties)
{
    if (!SentrelProperties::isValidName(name)) {
        qCWarning(lcEvents).noquote()
                << QStringLiteral("Refused the event \"%1\": its name must be 1 to %2 letters, "
                                  "digits, '_', '.' or '-'")
                           .arg(name.left(SentrelProperties::maximumNameLength))
                           .arg(SentrelProperties::maximumNameLength);
        return QByteArray();
    }
    const SentrelProperties::Written written = SentrelProperties::write(properties);
    if (written.json.isEmpty()) {
        qCWarning(lcEvents).noquote()
                << QStringLiteral("Refused the event \"%1\": %2").arg(name, written.refusal);
        return QByteArray();
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
    return finish();
}

QByteArray SentrelPayload::selfDescribing(const QString &schema, const QJsonObject &data)
{
    static const QRegularExpression iglu(QStringLiteral(
            "^iglu:[A-Za-z0-9_.-]+/[A-Za-z0-9_-]+/jsonschema/[0-9]+-[0-9]+-[0-9]+$"));
    if (!iglu.match(schema).hasMatch()) {
        qCWarning(lcEvents).noquote()
                << QStringLiteral("Refused a self-describing event: \"%1\" is not an Iglu URI "
                                  "(iglu:vendor/name/jsonschema/M-R-A)")
                           .arg(schema.left(256));
        return QByteArray();
    }
    SentrelJsonWriter &contexts = beginContexts();
    contexts.beginObject();
    contexts.key("data");
    contexts.rawValue(QJsonDocument(data).toJson(QJsonDocument::Compact));
    contexts.key("schema");
    contexts.asciiValue(schema.toLatin1());
    contexts.endObject();
    return finish();
}

QByteArray SentrelPayload::consent(int consent, int previous, int version)
{
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("level");
    contexts.value(QSentrelConfigurationPrivate::consentNames().value(consent));
    contexts.key("previous");
    contexts.value(QSentrelConfigurationPrivate::consentNames().value(previous));
    contexts.key("version");
    contexts.value(version);
    closeContext(contexts, SENTREL_SCHEMA("/consent/jsonschema/1-0-0"));
    return finish();
}

QByteArray SentrelPayload::applicationInstall(const QString &version)
{
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("version");
    contexts.value(version);
    closeContext(contexts, SENTREL_SCHEMA("/application_install/jsonschema/1-0-0"));
    return finish();
}

QByteArray SentrelPayload::applicationUpdate(const QString &version, const QString &previous)
{
    SentrelJsonWriter &contexts = beginContexts();
    openContext(contexts);
    contexts.key("previous_version");
    contexts.value(previous);
    contexts.key("version");
    contexts.value(version);
    closeContext(contexts, SENTREL_SCHEMA("/application_update/jsonschema/1-0-0"));
    return finish();
}
