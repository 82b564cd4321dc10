#pragma once
// The whole of the lobby module's surface, for code that uses much of it. Each
// subject has its own header; include the one you need.
#include "session/desktop.h"
#include "session/keyChecks.h"
#include "session/scramble.h"
#include "session/sessionState.h"
#include "wire/rules.h"

namespace lobbyModule {

// The private-address rule is the one the server applies too.
using protocol::isPrivateAddress;

} // namespace lobbyModule
