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

// Replaces the user identifier of a stored event, which was recorded before the person chose
// anonymity, with the nil one. Only the event's own key can match: every string value inside
// it, "co" included, has its quotes escaped.
SENTREL_AUTOTEST_EXPORT void removeUserId(QByteArray &event);

} // namespace SentrelPrivacy

#endif // SENTRELPRIVACY_P_H
