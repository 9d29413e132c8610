// The envelope format worked out with the library's transform alone, so that tests check the
// tool against the format rather than against itself.
#ifndef MORVEX_TESTS_ENVELOPEORACLE_H
#define MORVEX_TESTS_ENVELOPEORACLE_H

#include <string>

// The AES text of plain, space-padded to whole blocks, under salt and the first 16 bytes of
// key (zero bytes after a shorter key).
std::string aesText(const std::string& plain, const char* salt, const std::string& key);

// The decrypted bytes of an AES text up to the first zero byte, padding included.
std::string aesPlain(const std::string& text, const char* salt, const std::string& key);

// The envelope of a text made of one repeated character: its salt can only be that character
// twice, so the envelope is fixed.
std::string repeatedCharEnvelope(const std::string& text, const std::string& key);

struct OpenedEnvelope {
    std::string saltPlain;  // the decrypted salt block: two salt characters and 14 spaces
    std::string padded;     // the decrypted text part, padding included
};
OpenedEnvelope openWithLibrary(const std::string& envelope, const std::string& key);

#endif  // MORVEX_TESTS_ENVELOPEORACLE_H
