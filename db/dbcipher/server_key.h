// The master keys the server holds: the current one (dbcipher.key_file) and, while a rotation
// runs, the one it replaces (dbcipher.previous_key_file); the files' rules, and the locked
// memory that holds the keys and everything derived from them.
//
// Each key is read on first use in a backend and again after a reload; it lives, prepared, in
// one page of its own that is locked (best effort), left out of core dumps and wiped on reload
// and at backend exit. The five-argument functions keep the last key they saw in the same page.
#ifndef DBCIPHER_SERVER_KEY_H
#define DBCIPHER_SERVER_KEY_H

#include "encDec.h"

// Defines dbcipher.key_file and dbcipher.previous_key_file. Called once, when the module is
// loaded.
void defineServerKeySetting();

// The server's prepared key, read now if need be; an ERROR when none is configured or the
// file breaks a rule. Valid until the next reload.
const TarnPreparedKey* serverKey();

// The fingerprint of the server's key (see keyFile.h), with serverKey()'s ERRORs.
const char* serverKeyFingerprint();

// The previous key and its fingerprint, with the same promises and ERRORs.
const TarnPreparedKey* previousKey();
const char* previousKeyFingerprint();

// The prepared form of the 16 bytes at key, kept from the last call with an equal key
// (compared in constant time) or prepared now in place of it. Null when OpenSSL fails.
const TarnPreparedKey* passedKey(const char* key);

#endif  // DBCIPHER_SERVER_KEY_H
