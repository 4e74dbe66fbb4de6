// SPDX-License-Identifier: MIT
#ifndef SENTRELPRIVACY_P_H
#define SENTRELPRIVACY_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <QByteArray>

// Whether the person chose to be tracked anonymously. Set on the application's thread the
// moment the decision is made, and read on the worker for every event built and every
// request sent, so that nothing sent after the decision carries an identifier.
namespace SentrelPrivacy {

SENTREL_AUTOTEST_EXPORT bool isAnonymous();
SENTREL_AUTOTEST_EXPORT void setAnonymous(bool anonymous);

// The "duid" of anonymous events.
inline constexpr char nilIdentifier[] = "00000000-0000-0000-0000-000000000000";

// Whether a stored event was recorded anonymously: its "duid" is the nil identifier. An
// event's identity travels with it, whatever the person decides later.
SENTREL_AUTOTEST_EXPORT bool isAnonymousEvent(QByteArrayView event);

// Makes a stored event recorded before the person chose anonymity anonymous: the nil user
// identifier, and sessionId (a JSON string) in place of a session the collector may already
// have tied to the person. Only the event's own keys can match: every string value inside it,
// "co" included, has its quotes escaped. A session context in "co" goes: it names the session
// and the one before.
SENTREL_AUTOTEST_EXPORT void detach(QByteArray &event, QByteArrayView sessionId);

} // namespace SentrelPrivacy

#endif // SENTRELPRIVACY_P_H
