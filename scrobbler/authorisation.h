// Account authorisation with the scrobbling service's desktop flow: a request
// token, the service's page in the browser, then the token exchanged for a
// session key kept in the settings ("sk", with the account name in "lfm").
#pragma once

#include <string>

#include "core/host_services.h"

namespace kiln {

// Whether a session key is stored (the account is authorised). Read from the
// settings on first need, then kept.
bool HasSessionKey();
// The stored session key as UTF-8, empty when there is none. A copy, never
// the kept text: the page may revoke the key while the worker sends with it.
std::string SessionKeyCopy();
// True while a request token is held (between the two presses).
bool HoldsAuthToken();

// The command of the page's button (control 1058): revoke when authorised,
// else fetch a request token, else exchange it for a session key.
void OnScrobblerButton(Window page, Window button);

// Opens the service's authorisation page for the held token.
void OpenAuthPage(Window owner);

}  // namespace kiln
