// SPDX-License-Identifier: MIT
#include "sentrelprivacy_p.h"

#include "sentrelpayload_p.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <utility>

namespace {
std::atomic<bool> anonymousTracking {false};
} // namespace

bool SentrelPrivacy::isAnonymous()
{
    return anonymousTracking.load(std::memory_order_acquire);
}

void SentrelPrivacy::setAnonymous(bool anonymous)
{
    anonymousTracking.store(anonymous, std::memory_order_release);
}

namespace {

const QByteArray userIdKey = QByteArrayLiteral("\"duid\":");
const QByteArray sessionIdKey = QByteArrayLiteral("\"sid\":");

// The span of the JSON string value of the event's own key, quotes included.
std::pair<qsizetype, qsizetype> valueOf(QByteArrayView event, const QByteArray &key)
{
    const qsizetype start = event.indexOf(key);
    const qsizetype value = start + key.size();
    if (start < 0 || value >= event.size() || event.at(value) != '"')
        return {-1, 0};
    // A configured identifier may hold escaped quotes.
    for (qsizetype end = value + 1; end < event.size(); ++end) {
        if (event.at(end) == '\\')
            ++end;
        else if (event.at(end) == '"')
            return {value, end + 1 - value};
    }
    return {-1, 0};
}

void replace(QByteArray &event, const QByteArray &key, QByteArrayView json)
{
    const auto [value, length] = valueOf(event, key);
    if (value >= 0)
        event.replace(value, length, json.data(), json.size());
}

} // namespace

bool SentrelPrivacy::isAnonymousEvent(QByteArrayView event)
{
    static const QByteArray nil = QByteArray(1, '"') + nilIdentifier + '"';
    const auto [value, length] = valueOf(event, userIdKey);
    return value >= 0 && event.sliced(value, length) == nil;
}

namespace {

// Rare (events recorded before the person chose anonymity, under a session timeout): parsed.
void removeSessionContext(QByteArray &event)
{
    static const QByteArray schema(SentrelPayload::sessionSchema);
    if (!event.contains(schema))
        return;
    QJsonObject object = QJsonDocument::fromJson(event).object();
    QJsonObject contexts =
            QJsonDocument::fromJson(object.value(u"co").toString().toUtf8()).object();
    QJsonArray kept;
    const QJsonArray data = contexts.value(u"data").toArray();
    for (const QJsonValue &context : data) {
        if (context.toObject().value(u"schema").toString() != QLatin1String(schema))
            kept.append(context);
    }
    if (object.isEmpty() || kept.size() == data.size())
        return;
    contexts.insert(QStringLiteral("data"), kept);
    object.insert(QStringLiteral("co"),
                  QString::fromUtf8(QJsonDocument(contexts).toJson(QJsonDocument::Compact)));
    event = QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

void SentrelPrivacy::detach(QByteArray &event, QByteArrayView sessionId)
{
    static const QByteArray nil = QByteArray(1, '"') + nilIdentifier + '"';
    removeSessionContext(event);
    replace(event, userIdKey, nil);
    replace(event, sessionIdKey, sessionId);
}
