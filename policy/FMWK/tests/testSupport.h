// Helpers shared by the library's tests. Buffers are heap blocks of exactly the size a caller
// is promised to need, so that the sanitizer build catches any byte read or written past it.
#ifndef TARNCRYPT_TESTS_TESTSUPPORT_H
#define TARNCRYPT_TESTS_TESTSUPPORT_H

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "encDec.h"

namespace tarntest {

// A heap block of exactly `size` bytes, every byte set to `fill`.
class ExactBuffer {
  public:
    explicit ExactBuffer(size_t size, char fill = '\0') : bytes_(new char[size]), size_(size) {
        std::memset(bytes_.get(), fill, size);
    }
    // The text and its terminator, in a block of max(text + 1, minSize) bytes.
    static ExactBuffer holding(const std::string& text, size_t minSize = 0) {
        ExactBuffer buffer(text.size() + 1 > minSize ? text.size() + 1 : minSize);
        std::memcpy(buffer.data(), text.data(), text.size());
        return buffer;
    }
    char* data() { return bytes_.get(); }
    size_t size() const { return size_; }
    std::string raw() const { return std::string(bytes_.get(), size_); }
    std::string text() const { return std::string(bytes_.get(), strnlen(bytes_.get(), size_)); }

  private:
    std::unique_ptr<char[]> bytes_;
    size_t size_;
};

struct AesKey {
    unsigned char bytes[16];
    char* data() { return reinterpret_cast<char*>(bytes); }
};

// A key buffer holding a key text followed by zero bytes, as the tool keeps it.
inline AesKey keyFromText(const std::string& text) {
    AesKey key{};
    std::memcpy(key.bytes, text.data(), text.size() < 16 ? text.size() : 16);
    return key;
}

// Encrypts whole blocks into an output of exactly the documented minimum size.
inline std::string aesEncrypt(const std::string& plain, const char* salt, AesKey key) {
    const size_t textLen = aesTextLength(plain.size());
    ExactBuffer input = ExactBuffer::holding(plain);
    ExactBuffer output(textLen + 1 > plain.size() ? textLen + 1 : plain.size());
    AES_128_CBC_Encrypt(input.data(), output.data(), static_cast<int>(plain.size()), 1, salt,
                        key.data());
    return output.text();
}

// Decrypts into an output one byte longer than the text, prefilled with `fill`; returns all
// of it so that callers see what was and was not written.
inline std::string aesDecryptRaw(const std::string& text, const char* salt, AesKey key,
                                 char fill = '\0') {
    ExactBuffer input = ExactBuffer::holding(text);
    ExactBuffer output(text.size() + 1, fill);
    AES_128_CBC_Encrypt(input.data(), output.data(), 0, 0, salt, key.data());
    return output.raw();
}

inline std::string randomBytes(std::mt19937& rng, size_t n, unsigned char lowest = 0) {
    std::uniform_int_distribution<int> byte(lowest, 255);
    std::string bytes(n, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(byte(rng));
    return bytes;
}

inline std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

// Standard output of a shell command, or a text naming the failure when it does not exit 0.
inline std::string runCommand(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "<popen failed>";
    std::string out;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        out.append(chunk, n);
    if (pclose(pipe) != 0) return "<command failed: " + command + ">";
    return out;
}

inline std::string unhex(const std::string& text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return out;
}

}  // namespace tarntest

#endif  // TARNCRYPT_TESTS_TESTSUPPORT_H
