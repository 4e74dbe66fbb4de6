// SPDX-License-Identifier: MIT
#ifndef REFERENCEEVENTS_H
#define REFERENCEEVENTS_H

// Events built as the tracker built them before it wrote their bytes itself: QJsonObject
// trees serialised twice by QJsonDocument. The tests hold its bytes to these, and the pipeline
// benchmark measures their cost beside its own.

#include <SentrelTracker/sentreltrackertypes.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cmath>
#include <optional>

namespace ReferenceEvents {

inline QJsonObject selfDescribing(const char *path, const QJsonObject &data)
{
    return QJsonObject {{QStringLiteral("schema"),
                         QStringLiteral("iglu:com.tamlor.sentrel") + QLatin1String(path)},
                        {QStringLiteral("data"), data}};
}

inline QJsonObject contextData(const QString &key, const QJsonValue &value)
{
    return selfDescribing(
            "/context_data/jsonschema/2-0-2",
            QJsonObject {{QStringLiteral("key"), key}, {QStringLiteral("val"), value}});
}

inline void appendNumeric(QJsonArray &contexts,
                          const std::optional<SentrelTracker::ContextData<double>> &context)
{
    if (!context)
        return;
    if (std::isfinite(context->value))
        contexts.append(contextData(context->key, context->value));
    else
        contexts.append(contextData(context->key, QString::number(context->value)));
}

inline QJsonArray
screenView(const QString &screen,
           const QString &previous,
           const std::optional<SentrelTracker::ContextData<double>> &context = std::nullopt)
{
    QJsonArray contexts {selfDescribing("/screen_view/jsonschema/1-0-1",
                                        QJsonObject {{QStringLiteral("object_id"), screen},
                                                     {QStringLiteral("previous_id"), previous}})};
    appendNumeric(contexts, context);
    return contexts;
}

inline QJsonArray
click(const QString &name,
      const QString &category,
      const QString &screen,
      const std::optional<SentrelTracker::ContextData<double>> &context = std::nullopt)
{
    QJsonArray contexts {selfDescribing("/event_click/jsonschema/1-0-1",
                                        QJsonObject {{QStringLiteral("object_id"), name},
                                                     {QStringLiteral("category"), category},
                                                     {QStringLiteral("screen_id"), screen}})};
    appendNumeric(contexts, context);
    return contexts;
}

inline QJsonArray qevent(const QString &type,
                         const QString &object,
                         const QString &objectName,
                         const QString &screen,
                         const std::optional<SentrelTracker::EventCoordinates> &position,
                         const std::optional<QString> &details)
{
    QJsonObject data {{QStringLiteral("type"), type},
                      {QStringLiteral("object"), object},
                      {QStringLiteral("screen_id"), screen}};
    if (!objectName.isEmpty())
        data.insert(QStringLiteral("object_name"), objectName);
    if (details)
        data.insert(QStringLiteral("data"), *details);
    if (position)
        data.insert(QStringLiteral("position"),
                    QJsonObject {{QStringLiteral("x"), position->x},
                                 {QStringLiteral("y"), position->y}});
    return QJsonArray {selfDescribing("/qevent/jsonschema/1-0-1", data)};
}

// Chunks of 4096 code units, never splitting a surrogate pair.
inline QJsonArray contextDataChunks(const QString &key, const QString &value)
{
    QJsonArray contexts;
    const qsizetype length = value.size();
    int part = 0;
    for (qsizetype offset = 0; offset < length; ++part) {
        qsizetype chunk = qMin<qsizetype>(4096, length - offset);
        if (offset + chunk < length && value.at(offset + chunk - 1).isHighSurrogate()
            && value.at(offset + chunk).isLowSurrogate())
            --chunk;
        QJsonObject context = contextData(key, value.mid(offset, chunk));
        if (length > 4096) {
            QJsonObject payload = context.value(QLatin1String("data")).toObject();
            payload.insert(QStringLiteral("multipart"), true);
            payload.insert(QStringLiteral("multipart_sort"), part);
            context.insert(QStringLiteral("data"), payload);
        }
        contexts.append(context);
        offset += chunk;
    }
    return contexts;
}

inline QJsonArray dimension(const QString &key, const QString &value)
{
    return QJsonArray {selfDescribing(
            "/context_dimension/jsonschema/1-0-0",
            QJsonObject {{QStringLiteral("key"), key}, {QStringLiteral("val"), value}})};
}

// The values of an event's fields other than its contexts.
struct Fields
{
    QString aid, dtm, duid, eid, lang, p, sid, tna;
};

inline QJsonObject event(const QJsonArray &contexts, const Fields &fields)
{
    QJsonObject event;
    event.insert(QStringLiteral("e"), QStringLiteral("ue"));
    event.insert(QStringLiteral("tna"), fields.tna);
    event.insert(QStringLiteral("dtm"), fields.dtm);
    event.insert(QStringLiteral("eid"), fields.eid);
    event.insert(QStringLiteral("tv"), QStringLiteral("6.9.2"));
    event.insert(QStringLiteral("lang"), fields.lang);
    event.insert(QStringLiteral("aid"), fields.aid);
    event.insert(QStringLiteral("sid"), fields.sid);
    event.insert(QStringLiteral("duid"), fields.duid);
    event.insert(QStringLiteral("p"), fields.p);
    const QJsonObject envelope {
            {QStringLiteral("schema"),
             QStringLiteral("iglu:com.snowplowanalytics.snowplow/contexts/jsonschema/1-0-0")},
            {QStringLiteral("data"), contexts}};
    event.insert(QStringLiteral("co"),
                 QString::fromUtf8(QJsonDocument(envelope).toJson(QJsonDocument::Compact)));
    return event;
}

inline QByteArray eventBytes(const QJsonArray &contexts, const Fields &fields)
{
    return QJsonDocument(event(contexts, fields)).toJson(QJsonDocument::Compact);
}

} // namespace ReferenceEvents

#endif // REFERENCEEVENTS_H
