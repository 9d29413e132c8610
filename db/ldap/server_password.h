// The directory passwords of user mappings, sealed under the kit's server key (the key file
// that dbcipher.key_file names). A password is opened into a locked page of its own, kept out
// of core dumps and forked children, for one bind, and wiped right after it; the bind request
// that the client library encodes of it is wiped as it is sent (server_wait.cpp).
#pragma once

#include "quenby_common.h"

namespace quenby {

// Opens the envelope under the server key into the locked page and returns the password
// there; an ERROR naming the setting without a key, and one saying so for an envelope that
// was not sealed under it (nothing is then sent anywhere). The caller wipes it with
// forgetOpenedPassword once the bind is over, on every way out.
const char* openServerPassword(const char* fname, const char* serverName, const char* envelope);

void forgetOpenedPassword() noexcept;

}  // namespace quenby
