// SPDX-License-Identifier: MIT
#ifndef SENTRELSTORAGELIMITS_P_H
#define SENTRELSTORAGELIMITS_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include <QtGlobal>

namespace SentrelStorage {

// The largest event the compressing stores compress, and the largest decompressed size they
// accept when reading a row back. Events are a few KiB to tens of KiB (context data travels in
// chunks of 4096 code units), so this is far above any real event, yet it keeps a damaged or
// hostile row from making the process allocate without bound. Larger events are stored
// uncompressed and read back as stored.
inline constexpr qsizetype maxEventSize = 16 * 1024 * 1024;

} // namespace SentrelStorage

#endif // SENTRELSTORAGELIMITS_P_H
