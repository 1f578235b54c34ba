// Account authorisation against the scrobbling service.
#pragma once

namespace kiln {

// The stored session key as UTF-8, or null when the account is not authorised.
const char* GetSessionKey();

}  // namespace kiln
