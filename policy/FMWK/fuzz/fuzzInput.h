// libFuzzer hands over bytes without a terminator; the library's decoders read C strings.
#ifndef TARNCRYPT_FUZZ_FUZZINPUT_H
#define TARNCRYPT_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tarnfuzz {

// A heap block of exactly size bytes, so that the sanitizer sees any access past it.
inline std::unique_ptr<char[]> block(size_t size, char fill) {
    std::unique_ptr<char[]> bytes(new char[size]);
    std::memset(bytes.get(), fill, size);
    return bytes;
}

// The bytes followed by a terminator; a zero byte inside ends the text early, as it would for
// any caller.
inline std::unique_ptr<char[]> terminated(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text = block(size + 1, '\0');
    if (size > 0) std::memcpy(text.get(), data, size);
    return text;
}

// A broken invariant is a finding: stop the way every sanitizer report does.
inline void require(bool holds) {
    if (!holds) std::abort();
}

}  // namespace tarnfuzz

#endif  // TARNCRYPT_FUZZ_FUZZINPUT_H
