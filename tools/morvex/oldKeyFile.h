// The old key of a re-key (-R), read from a file the operator names. A key that decides which
// envelopes are opened and sealed again is read only from a file kept as private as the
// database server's key file, never from a command line, the environment or a file others may
// read or replace.
#ifndef MORVEX_OLDKEYFILE_H
#define MORVEX_OLDKEYFILE_H

#include "keyFile.h"

// Reads the key of the file at path (the key files' format) into the zero-filled key. A file
// that cannot be read, is not a regular file or breaks keyFileOwnershipBroken's rule gives
// false and one line "morvex: ..." on messageFd that names the file and what to change.
bool readOldKeyFile(const char* path, char (&key)[keyFileKeyBufferSize], int messageFd);

#endif  // MORVEX_OLDKEYFILE_H
