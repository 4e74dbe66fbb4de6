// SPDX-License-Identifier: MIT
#include "sentreleventids_p.h"

#include "sentrelclock_p.h"

#include <array>

namespace {

QRandomGenerator seededFromSystem()
{
    std::array<quint32, 8> seed;
    QRandomGenerator::system()->fillRange(seed.data(), qsizetype(seed.size()));
    return QRandomGenerator(seed.data(), qsizetype(seed.size()));
}

} // namespace

SentrelEventIds::SentrelEventIds() : generator(seededFromSystem()) { }

void SentrelEventIds::write(char (&text)[textSize])
{
    static constexpr char hexDigits[] = "0123456789abcdef";
    quint32 words[4];
    generator.fillRange(words);
    uchar bytes[16];
    for (int i = 0; i < 16; ++i)
        bytes[i] = uchar(words[i / 4] >> (8 * (i % 4)));
    bytes[6] = uchar((bytes[6] & 0x0f) | 0x40); // version 4: random
    bytes[8] = uchar((bytes[8] & 0x3f) | 0x80); // the variant of RFC 4122
    char *cursor = text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *cursor++ = '-';
        *cursor++ = hexDigits[bytes[i] >> 4];
        *cursor++ = hexDigits[bytes[i] & 0xf];
    }
}

qint64 SentrelEventIds::currentMilliseconds()
{
    return SentrelClock::current()->now(); // the one a test installs, as delivery's
}
