#ifndef SENTRELTRACKERTYPES_H
#define SENTRELTRACKERTYPES_H

#include <QString>

namespace SentrelTracker {

// A named value attached to an event: numeric context of a screen view or a click
// (ContextData<double>), or a context-data or dimension record (ContextData<QString>).
template<typename T>
struct ContextData
{
    QString key;
    T value;
};

// A position in integer pixels, or the new size of a resized object. Always passed as
// std::optional<EventCoordinates>; an empty optional means "no position".
struct EventCoordinates
{
    int x = 0;
    int y = 0;
};

} // namespace SentrelTracker

#endif // SENTRELTRACKERTYPES_H
