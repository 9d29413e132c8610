// The kit's key files as a database backend reads them: PostgreSQL's ssl_key_file rule, the
// platform's key-file format (keyFile.h), and one ERROR for each way a file is refused, naming
// the setting; the file's path goes to the server log only. Shared by every module that holds
// a key of the server's (dbcipher's keys, quenby_ldap's directory passwords).
//
// No ereport may leave a frame of readKeyFile (its line buffer would stay on the stack), so the
// rules are checked inside it without reporting, and reported once it has returned.
#ifndef TARN_DB_SERVER_KEY_FILE_H
#define TARN_DB_SERVER_KEY_FILE_H

#include <cstddef>

#include "keyFile.h"

struct ServerKeyFile {
    const char* setting;  // the setting that names the file, as a DBA writes it
    const char* noun;     // how messages name the file: "dbcipher's key file"
    const char* path;     // the setting's value
};

// Reads the master key of file.path into key (zero-filled first). An ERROR when the file cannot
// be opened or read, is not a regular file, breaks the ownership rule or holds no key after its
// lead-in. The caller wipes key.
void readServerKeyFile(const ServerKeyFile& file, char (&key)[keyFileKeyBufferSize]);

// size bytes (rounded up to whole pages) of zero-filled memory of their own for keys: left
// out of core dumps (an ERROR when that fails), zero-filled in a forked child where the kernel
// allows it, and locked against swapping (a refusal is logged, once per mapping). owner names
// the module in the messages. Never unmapped: the caller wipes it.
void* mapKeyPages(size_t size, const char* owner, size_t* mappedSize);

#endif  // TARN_DB_SERVER_KEY_FILE_H
