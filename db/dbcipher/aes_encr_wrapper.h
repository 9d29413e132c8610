// The only door from dbcipher's SQL functions into libtarncrypt: one plain-named function per
// library operation, each passing its arguments through unchanged.
//
// The library is C++ and may throw (std::bad_alloc from its scratch buffers); the server must
// never see an exception, because its ERROR is a longjmp that skips destructors and its
// callers are C. So every wrapper catches everything and reports it as a negative status,
// which the SQL function turns into an ERROR once no C++ frame is left on the stack.
#ifndef DBCIPHER_AES_ENCR_WRAPPER_H
#define DBCIPHER_AES_ENCR_WRAPPER_H

#include <cstdint>
#include <exception>
#include <new>

#include "encDec.h"

enum WrapperStatus : int {
    c_outOfMemory = -2,     // the library could not allocate its scratch memory
    c_libraryFailure = -1,  // the library threw anything else
};

extern "C" {
int c_AES_128_CBC_Encrypt(char* input, char* output, int inputLen, unsigned char isEncrypt,
                          const char* salt, char* masterKey);
int c_AES_128_CBC_PrepareKey(TarnPreparedKey* prepared, const char* masterKey);
int c_AES_128_CBC_EncryptPrepared(char* input, char* output, int inputLen, unsigned char isEncrypt,
                                  const char* salt, const TarnPreparedKey* prepared);
uint32_t c_manglePort(uint32_t port, uint32_t* mangled);
int c_computeSalt(char* crit1, char* crit2, char* salt);
int c_decryptData(char* ascii, char* key, char* binary);
int c_encryptData(char* password, char* key, char* ascii);
int c_separateEncrUserHost(char* criteriaId, char* encrUserPart, char* encrHostPart,
                           unsigned char masterKey);
}

// Runs call() and returns its status, or the WrapperStatus of whatever it threw.
template <typename Call>
int guardedStatus(Call call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return c_outOfMemory;
    } catch (...) {
        return c_libraryFailure;
    }
}

#endif  // DBCIPHER_AES_ENCR_WRAPPER_H
