// SPDX-License-Identifier: MIT
#include "eventchecker.h"

#include "schemaregistry.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QUuid>

const QString EventChecker::batchSchema =
        QStringLiteral("iglu:com.snowplowanalytics.snowplow/payload_data/jsonschema/1-0-4");
const QString EventChecker::contextsSchema =
        QStringLiteral("iglu:com.snowplowanalytics.snowplow/contexts/jsonschema/1-0-0");

namespace {
// The field names of the tracker protocol's payload.
const QSet<QString> &protocolFields()
{
    static const QSet<QString> fields = [] {
        QSet<QString> result;
        for (const char *name :
             {"tv",    "tna",     "aid",    "p",     "tz",     "lang",   "cs",      "f_pdf",
              "f_qt",  "f_realp", "f_wma",  "f_dir", "f_fla",  "f_java", "f_gears", "f_ag",
              "res",   "cd",      "cookie", "url",   "ua",     "dtm",    "ttm",     "stm",
              "e",     "eid",     "tid",    "page",  "refr",   "se_ca",  "se_ac",   "se_la",
              "se_pr", "se_va",   "ue_pr",  "ue_px", "pp_mix", "pp_max", "pp_miy",  "pp_may",
              "tr_id", "tr_af",   "tr_tt",  "tr_tx", "tr_sh",  "tr_ci",  "tr_st",   "tr_co",
              "tr_cu", "ti_id",   "ti_sk",  "ti_nm", "ti_na",  "ti_ca",  "ti_pr",   "ti_qu",
              "ti_cu", "duid",    "uid",    "vid",   "sid",    "nuid",   "tnuid",   "fp",
              "vp",    "ds",      "mac",    "ip",    "co",     "cx"})
            result.insert(QLatin1String(name));
        return result;
    }();
    return fields;
}

const QStringList platforms {QStringLiteral("web"),
                             QStringLiteral("mob"),
                             QStringLiteral("pc"),
                             QStringLiteral("srv"),
                             QStringLiteral("app"),
                             QStringLiteral("tv"),
                             QStringLiteral("cnsl"),
                             QStringLiteral("iot")};

// "iglu:vendor/name/format/version" -> name
QString schemaName(const QString &uri)
{
    const QStringList parts = uri.split(QLatin1Char('/'));
    return parts.size() == 4 ? parts.at(1) : QString();
}

QString text(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toDouble());
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    return QString();
}
} // namespace

QString CheckedEvent::field(const QString &name) const
{
    for (const auto &[key, value] : fields) {
        if (key == name)
            return value;
    }
    return QString();
}

EventChecker::EventChecker(const SchemaRegistry *schemas) : schemas(schemas) { }

QJsonArray EventChecker::batchEvents(const QByteArray &body, QStringList *problems)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (!document.isObject()) {
        problems->append(error.error != QJsonParseError::NoError
                                 ? QStringLiteral("the body is not JSON: %1 at offset %2")
                                           .arg(error.errorString())
                                           .arg(error.offset)
                                 : QStringLiteral("the body is not a JSON object"));
        return {};
    }
    const QJsonObject batch = document.object();
    const QString schema = batch.value(QStringLiteral("schema")).toString();
    if (schema != batchSchema)
        problems->append(
                QStringLiteral("batch: schema is \"%1\", not %2").arg(schema, batchSchema));
    for (auto it = batch.begin(); it != batch.end(); ++it) {
        if (it.key() != QLatin1String("schema") && it.key() != QLatin1String("data"))
            problems->append(QStringLiteral("batch: \"%1\" is not allowed").arg(it.key()));
    }
    const QJsonValue data = batch.value(QStringLiteral("data"));
    if (!data.isArray()) {
        problems->append(QStringLiteral("batch: \"data\" is not an array of events"));
        return {};
    }
    if (data.toArray().isEmpty())
        problems->append(QStringLiteral("batch: \"data\" holds no event"));
    return data.toArray();
}

CheckedEvent EventChecker::check(const QJsonValue &value) const
{
    CheckedEvent result;
    result.kind = QStringLiteral("unknown");
    if (!value.isObject()) {
        result.problems.append(QStringLiteral("the event is not a JSON object"));
        return result;
    }
    result.event = value.toObject();
    const QJsonObject &event = result.event;

    // The payload rules.
    for (const char *required : {"tv", "p", "e"}) {
        if (!event.contains(QLatin1String(required)))
            result.problems.append(
                    QStringLiteral("\"%1\" is missing").arg(QLatin1String(required)));
    }
    for (auto it = event.begin(); it != event.end(); ++it) {
        if (!protocolFields().contains(it.key()))
            result.problems.append(
                    QStringLiteral("\"%1\" is not a field of the tracker protocol").arg(it.key()));
        else if (!it.value().isString())
            result.problems.append(QStringLiteral("\"%1\" is not a string").arg(it.key()));
    }
    const QJsonValue platform = event.value(QStringLiteral("p"));
    if (platform.isString() && !platforms.contains(platform.toString()))
        result.problems.append(QStringLiteral("\"p\" is \"%1\", not a platform of the protocol")
                                       .arg(platform.toString()));

    result.eventId = event.value(QStringLiteral("eid")).toString();
    if (event.contains(QStringLiteral("eid"))) {
        const QUuid uuid = QUuid::fromString(result.eventId);
        if (uuid.isNull() || result.eventId.size() != 36)
            result.problems.append(QStringLiteral("\"eid\" is not a UUID"));
    }
    const QJsonValue dtm = event.value(QStringLiteral("dtm"));
    if (dtm.isString()) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,15}$"));
        if (digits.match(dtm.toString()).hasMatch())
            result.time = dtm.toString().toLongLong();
        else
            result.problems.append(QStringLiteral("\"dtm\" is not a time in milliseconds"));
    }

    // The content.
    if (event.contains(QStringLiteral("co"))) {
        const QByteArray co = event.value(QStringLiteral("co")).toString().toUtf8();
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(co, &error);
        if (error.error != QJsonParseError::NoError)
            result.problems.append(QStringLiteral("co: not JSON: %1").arg(error.errorString()));
        else
            checkContexts(document.object(), QStringLiteral("co"), &result);
    }
    if (event.contains(QStringLiteral("cx"))) {
        const QByteArray cx =
                QByteArray::fromBase64(event.value(QStringLiteral("cx")).toString().toLatin1(),
                                       QByteArray::Base64UrlEncoding);
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(cx, &error);
        if (error.error != QJsonParseError::NoError)
            result.problems.append(QStringLiteral("cx: not Base64 of JSON"));
        else
            checkContexts(document.object(), QStringLiteral("cx"), &result);
    }
    if (!event.contains(QStringLiteral("co")) && !event.contains(QStringLiteral("cx"))
        && !event.contains(QStringLiteral("ue_pr")) && !event.contains(QStringLiteral("ue_px")))
        result.problems.append(QStringLiteral("the event carries no content (no \"co\")"));
    return result;
}

void EventChecker::checkContexts(const QJsonValue &envelope,
                                 const QString &where,
                                 CheckedEvent *result) const
{
    const QJsonObject object = envelope.toObject();
    if (object.value(QStringLiteral("schema")).toString() != contextsSchema)
        result->problems.append(QStringLiteral("%1: schema is not %2").arg(where, contextsSchema));
    const QJsonValue data = object.value(QStringLiteral("data"));
    if (!data.isArray()) {
        result->problems.append(QStringLiteral("%1: \"data\" is not an array").arg(where));
        return;
    }
    const QJsonArray contexts = data.toArray();
    result->contexts = contexts;
    result->kind = contexts.isEmpty() ? QStringLiteral("empty") : QStringLiteral("unknown");

    const auto addField = [result](const char *name, const QJsonValue &value) {
        if (value.isUndefined())
            return;
        for (const auto &field : std::as_const(result->fields)) {
            if (field.first == QLatin1String(name))
                return;
        }
        result->fields.append({QLatin1String(name), text(value)});
    };
    for (qsizetype i = 0; i < contexts.size(); ++i) {
        const QString at = QStringLiteral("%1[%2]").arg(where).arg(i);
        const QJsonObject context = contexts.at(i).toObject();
        const QString uri = context.value(QStringLiteral("schema")).toString();
        if (!contexts.at(i).isObject() || uri.isEmpty() || !context.contains(QStringLiteral("data"))
            || context.size() != 2) {
            result->problems.append(
                    QStringLiteral("%1: not a self-describing object of \"schema\" and \"data\"")
                            .arg(at));
            continue;
        }
        const QString name = schemaName(uri);
        if (i == 0)
            result->kind = name == QLatin1String("device") ? QStringLiteral("device") : name;
        result->problems.append(schemas->validate(uri,
                                                  context.value(QStringLiteral("data")),
                                                  at + QLatin1Char(' ') + name));

        const QJsonObject fields = context.value(QStringLiteral("data")).toObject();
        if (name == QLatin1String("screen_view")) {
            addField("screen", fields.value(QStringLiteral("object_id")));
        } else if (name == QLatin1String("event_click")) {
            addField("screen", fields.value(QStringLiteral("screen_id")));
            addField("object", fields.value(QStringLiteral("object_id")));
            addField("category", fields.value(QStringLiteral("category")));
        } else if (name == QLatin1String("event")) {
            addField("screen", fields.value(QStringLiteral("screen_id")));
            addField("name", fields.value(QStringLiteral("name")));
        } else if (name == QLatin1String("qevent")) {
            addField("screen", fields.value(QStringLiteral("screen_id")));
            addField("object", fields.value(QStringLiteral("object")));
            addField("type", fields.value(QStringLiteral("type")));
            addField("data", fields.value(QStringLiteral("data")));
        } else if (name == QLatin1String("context_data")
                   || name == QLatin1String("context_dimension")) {
            addField("key", fields.value(QStringLiteral("key")));
            addField("value", fields.value(QStringLiteral("val")));
        } else if (name == QLatin1String("device")) {
            addField("os", fields.value(QStringLiteral("os_type")));
        } else if (name == QLatin1String("application")) {
            addField("version", fields.value(QStringLiteral("version")));
        } else if (name == QLatin1String("action")) {
            addField("screen", fields.value(QStringLiteral("screen_id")));
            addField("action", fields.value(QStringLiteral("action")));
            addField("via", fields.value(QStringLiteral("via")));
        } else if (name == QLatin1String("ui_stall")) {
            addField("screen", fields.value(QStringLiteral("screen_id")));
            addField("ms", fields.value(QStringLiteral("duration_ms")));
        } else if (name == QLatin1String("screen_end")) {
            addField("screen", fields.value(QStringLiteral("screen_id")));
            addField("ms", fields.value(QStringLiteral("foreground_ms")));
        }
    }
}
