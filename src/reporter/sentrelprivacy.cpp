// SPDX-License-Identifier: MIT
#include "sentrelprivacy_p.h"

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

void SentrelPrivacy::detach(QByteArray &event, QByteArrayView sessionId)
{
    static const QByteArray nil = QByteArray(1, '"') + nilIdentifier + '"';
    replace(event, userIdKey, nil);
    replace(event, sessionIdKey, sessionId);
}
