// SPDX-License-Identifier: MIT
#ifndef SENTRELTRACKERTYPES_H
#define SENTRELTRACKERTYPES_H

#include <QString>

/*!
    \namespace SentrelTracker
    \brief The value types that carry optional data of an event.
*/
namespace SentrelTracker {

/*!
    \struct SentrelTracker::ContextData
    \brief A named value attached to an event.

    Used as `ContextData<double>` for the numeric context of a screen view or a click, and as
    `ContextData<QString>` for a context-data or dimension record. A plain value type, copied
    wherever it goes.
*/
template <typename T>
struct ContextData
{
    QString key; //!< The name of the entry.
    T value; //!< Its value.
};

/*!
    \struct SentrelTracker::EventCoordinates
    \brief A position in integer pixels, or the new size of a resized object.

    Always passed as `std::optional<EventCoordinates>`; an empty optional means "no position".
    Positions in floating point are truncated toward zero.
*/
struct EventCoordinates
{
    int x = 0; //!< The horizontal coordinate, or the new width.
    int y = 0; //!< The vertical coordinate, or the new height.
};

} // namespace SentrelTracker

#endif // SENTRELTRACKERTYPES_H
