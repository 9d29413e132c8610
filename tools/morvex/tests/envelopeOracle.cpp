#include "envelopeOracle.h"

#include <cstring>
#include <vector>

#include "encDec.h"
#include "morvex_new.h"

namespace {

struct KeyBuffer {
    char bytes[17] = {};
    explicit KeyBuffer(const std::string& key) { std::strncpy(bytes, key.c_str(), 16); }
};

}  // namespace

std::string aesText(const std::string& plain, const char* salt, const std::string& key) {
    std::string padded = plain;
    padded.resize((plain.size() + 15) / 16 * 16, ' ');
    KeyBuffer keyBuffer(key);
    std::vector<char> out(aesTextCapacity(padded.size()) + 1, '\0');
    AES_128_CBC_Encrypt(padded.data(), out.data(), static_cast<int>(padded.size()), 1, salt,
                        keyBuffer.bytes);
    return out.data();
}

std::string aesPlain(const std::string& text, const char* salt, const std::string& key) {
    std::string input = text;
    KeyBuffer keyBuffer(key);
    std::vector<char> out(aesPlainCapacity(text.size()) + 1, '\0');
    AES_128_CBC_Encrypt(input.data(), out.data(), 0, 0, salt, keyBuffer.bytes);
    return out.data();
}

std::string repeatedCharEnvelope(const std::string& text, const std::string& key) {
    const std::string unit = text.empty() ? std::string(" ") : text;
    const char salt[3] = {unit[0], unit[0], '\0'};
    return "@@" + aesText(unit, salt, key) + aesText(salt, staticSalt, key);
}

OpenedEnvelope openWithLibrary(const std::string& envelope, const std::string& key) {
    const std::string body = envelope.substr(2);
    const size_t textPartLength = body.size() - envelopeSaltBlockLength;
    OpenedEnvelope opened;
    opened.saltPlain = aesPlain(body.substr(textPartLength), staticSalt, key);
    std::string salt = opened.saltPlain;
    salt.resize(2, '\0');
    opened.padded = aesPlain(body.substr(0, textPartLength), salt.c_str(), key);
    return opened;
}
