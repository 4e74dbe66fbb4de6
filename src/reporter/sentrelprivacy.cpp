// SPDX-License-Identifier: MIT
#include "sentrelprivacy_p.h"

#include <atomic>

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

void SentrelPrivacy::removeUserId(QByteArray &event)
{
    static const QByteArray key = QByteArrayLiteral("\"duid\":\"");
    const qsizetype start = event.indexOf(key);
    if (start < 0)
        return;
    const qsizetype value = start + key.size();
    // A configured identifier may hold escaped quotes.
    for (qsizetype end = value; end < event.size(); ++end) {
        if (event.at(end) == '\\') {
            ++end;
        } else if (event.at(end) == '"') {
            event.replace(value, end - value, nilIdentifier);
            return;
        }
    }
}
