// The database legacy key, shared by the library's Db* entry points and dbcipher's
// encr/decr. It is assembled on the stack at each call so that it never stands in the binary
// as one string. Private to the project: not installed, not exported.
#ifndef TARNCRYPT_DBLEGACYKEY_H
#define TARNCRYPT_DBLEGACYKEY_H

inline constexpr unsigned dbLegacyKeySize = 7;  // six characters and the terminator

inline void buildDbLegacyKey(char (&key)[dbLegacyKeySize]) {
    key[0] = 'q';
    key[1] = '7';
    key[2] = 'V';
    key[3] = 'm';
    key[4] = '2';
    key[5] = 'x';
    key[6] = '\0';
}

#endif  // TARNCRYPT_DBLEGACYKEY_H
