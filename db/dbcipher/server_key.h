// The master key the server holds: the dbcipher.key_file setting, the file's rules, and the
// locked memory that holds the key and everything derived from it.
//
// The key is read on first use in a backend and again after a reload; it lives, prepared, in
// one page of its own that is locked (best effort), left out of core dumps and wiped on reload
// and at backend exit. The five-argument functions keep the last key they saw in the same page.
#ifndef DBCIPHER_SERVER_KEY_H
#define DBCIPHER_SERVER_KEY_H

#include "encDec.h"

// Defines dbcipher.key_file. Called once, when the module is loaded.
void defineServerKeySetting();

// The server's prepared key, read now if need be; an ERROR when none is configured or the
// file breaks a rule. Valid until the next reload.
const TarnPreparedKey* serverKey();

// The fingerprint of the server's key (see keyFile.h), with serverKey()'s ERRORs.
const char* serverKeyFingerprint();

// The prepared form of the 16 bytes at key, kept from the last call with an equal key
// (compared in constant time) or prepared now in place of it. Null when OpenSSL fails.
const TarnPreparedKey* passedKey(const char* key);

#endif  // DBCIPHER_SERVER_KEY_H
