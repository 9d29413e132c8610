// dbcipher's wrapper layer over libtarncrypt; see aes_encr_wrapper.h for why it exists.
#include "aes_encr_wrapper.h"

#include "encDec.h"

extern "C" {

int c_AES_128_CBC_Encrypt(char* input, char* output, int inputLen, unsigned char isEncrypt,
                          const char* salt, char* masterKey) {
    return guardedStatus(
        [&] { return AES_128_CBC_Encrypt(input, output, inputLen, isEncrypt, salt, masterKey); });
}

int c_AES_128_CBC_PrepareKey(TarnPreparedKey* prepared, const char* masterKey) {
    return guardedStatus([&] { return AES_128_CBC_PrepareKey(prepared, masterKey); });
}

int c_AES_128_CBC_EncryptPrepared(char* input, char* output, int inputLen, unsigned char isEncrypt,
                                  const char* salt, const TarnPreparedKey* prepared) {
    return guardedStatus([&] {
        return AES_128_CBC_EncryptPrepared(input, output, inputLen, isEncrypt, salt, prepared);
    });
}

// Pure arithmetic: nothing to catch, and the result travels through the pointer.
uint32_t c_manglePort(uint32_t port, uint32_t* mangled) {
    *mangled = static_cast<uint32_t>(manglePort(port));
    return *mangled;
}

int c_computeSalt(char* crit1, char* crit2, char* salt) {
    return guardedStatus([&] {
        computeSalt(crit1, crit2, salt);
        return 0;
    });
}

int c_decryptData(char* ascii, char* key, char* binary) {
    return guardedStatus([&] { return DecryptData(ascii, key, binary); });
}

int c_encryptData(char* password, char* key, char* ascii) {
    return guardedStatus([&] { return EncryptData(password, key, ascii); });
}

int c_separateEncrUserHost(char* criteriaId, char* encrUserPart, char* encrHostPart,
                           unsigned char masterKey) {
    return guardedStatus(
        [&] { return separateEncrUserAndHost(criteriaId, encrUserPart, encrHostPart, masterKey); });
}

}  // extern "C"
