// SPDX-License-Identifier: MIT
#ifndef SENTRELDICTIONARYSAMPLE_P_H
#define SENTRELDICTIONARYSAMPLE_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include <QByteArray>

namespace SentrelDictionarySample {

// An event as a dictionary may keep it: its shape without what identifies it. The event, the
// device, the session and the times ("eid", "duid", "sid", "dtm", "stm") become placeholders
// of the same form, and the values of context and dimension data empty strings or 0. A
// dictionary stays in the file for as long as events do, and is the same bytes whatever made
// it, so this changes only how well the next events compress, never how rows decode. Anything
// that is not an event object gives an empty sample.
QByteArray mask(const QByteArray &event);

} // namespace SentrelDictionarySample

#endif // SENTRELDICTIONARYSAMPLE_P_H
