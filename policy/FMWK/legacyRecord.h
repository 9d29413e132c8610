// The legacy text format, shared by the library's cipher and morvex's own decoder so that the
// two can never drift apart. Private to the project: not installed, not exported.
//
// A legacy text is "@" and the six-bit packing of a mixed record: marker, length, nibble
// checksum, then at most 255 clear bytes.
#ifndef TARNCRYPT_LEGACYRECORD_H
#define TARNCRYPT_LEGACYRECORD_H

#include <array>
#include <cstddef>
#include <cstring>

#include "tarnSecrets.h"

namespace legacy {

inline constexpr char SixbitToChar[65] =
    "Dbhd6rs_t8aYNTe7F2ikK5EQRgqHMSP0zm3J9CW4LVZcwXlyUnpfjuG1I$BOAovx";
inline constexpr unsigned char Mask[7] = {0, 1, 3, 7, 15, 31, 63};

inline constexpr size_t headerLength = 3;
inline constexpr size_t maxClearLength = 255;
inline constexpr size_t maxRecordLength = headerLength + maxClearLength;
inline constexpr unsigned char marker = 'N';
inline constexpr unsigned char notInAlphabet = 0xFF;

constexpr std::array<unsigned char, 256> buildSixbitValues() {
    std::array<unsigned char, 256> values{};
    for (auto& v : values)
        v = notInAlphabet;
    for (unsigned char i = 0; i < 64; ++i)
        values[static_cast<unsigned char>(SixbitToChar[i])] = i;
    return values;
}
inline constexpr std::array<unsigned char, 256> sixbitValue = buildSixbitValues();

// The key after its two running sums. Only the positions a record can reach are kept, so a key
// of any length costs a fixed buffer and is never read outside its own bytes. The mixed key opens
// every text made under the key, so it is wiped when it goes out of scope, and never copied.
//
// Forward sums F[i] = key[0] + ... + key[i]; backward sums B[i] = F[i] + ... + F[L-1], all
// modulo 256. B[0] is the total of F, and each later B[i] drops F[i-1].
class MixedKey {
  public:
    explicit MixedKey(const char* key) : length_(std::strlen(key)) {
        // Only the kept positions are ever read or wiped; no need to clear the rest.
        unsigned char forward = 0;
        unsigned char total = 0;
        for (size_t i = 0; i < length_; ++i) {
            forward = static_cast<unsigned char>(forward + static_cast<unsigned char>(key[i]));
            total = static_cast<unsigned char>(total + forward);
            if (i < kept()) bytes_[i] = forward;  // F, turned into B below
        }
        unsigned char backward = total;
        for (size_t i = 0; i < kept(); ++i) {
            const unsigned char f = bytes_[i];
            bytes_[i] = backward;
            backward = static_cast<unsigned char>(backward - f);
        }
    }
    ~MixedKey() { wipeSecret(bytes_, kept()); }
    MixedKey(const MixedKey&) = delete;
    MixedKey& operator=(const MixedKey&) = delete;

    // The key byte that meets record position recordPos; the key is not empty.
    unsigned char at(size_t recordPos) const { return bytes_[recordPos % length_]; }

  private:
    size_t kept() const { return length_ < maxRecordLength ? length_ : maxRecordLength; }

    unsigned char bytes_[maxRecordLength];
    size_t length_;  // the key's full string length (L); 0 for an empty key
};

inline unsigned char nibbleChecksum(const unsigned char* clear, size_t n) {
    unsigned char sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum = static_cast<unsigned char>(sum + (clear[i] >> 4) + (clear[i] & 0x0F));
    return sum;
}

// Writes "@", the packed record and a terminator; clearLen <= maxClearLength, key not empty.
inline void sealRecord(const unsigned char* clear, size_t clearLen, const MixedKey& key,
                       char* ascii) {
    unsigned char record[maxRecordLength];
    const size_t m = clearLen + headerLength;
    record[0] = marker;
    record[1] = static_cast<unsigned char>(clearLen);
    record[2] = nibbleChecksum(clear, clearLen);
    std::memcpy(record + headerLength, clear, clearLen);

    unsigned char a = record[0];
    for (size_t i = 1; i < m; ++i)
        record[i] = a = static_cast<unsigned char>(a + record[i] + key.at(i));
    a = record[m - 1];
    for (size_t i = m - 1; i-- > 0;)
        record[i] = a = static_cast<unsigned char>(a + record[i]);

    char* out = ascii;
    *out++ = '@';
    unsigned int bits = 0;  // pending bits, most significant first
    unsigned int pending = 0;
    for (size_t i = 0; i < m; ++i) {
        bits = (bits << 8) | record[i];
        pending += 8;
        while (pending >= 6) {
            pending -= 6;
            *out++ = SixbitToChar[(bits >> pending) & 0x3F];
        }
        bits &= Mask[pending];
    }
    if (pending > 0) *out++ = SixbitToChar[(bits << (6 - pending)) & 0x3F];
    *out = '\0';
    // The record needs no wiping: the mixing overwrote every clear byte, and what it holds now
    // is exactly what the text shows.
}

// Unpacks the characters after "@" into out, undoes the mixing and checks length and checksum.
// On success the clear text stands terminated at the start of out and its length is returned;
// on failure -1 (out then holds no defined content). out needs strlen(packed) * 6 / 8 + 1
// bytes; every byte written stays below that.
inline int openRecord(const char* packed, const MixedKey& key, unsigned char* out) {
    size_t j = 0;
    unsigned int bits = 0;
    unsigned int pending = 0;
    out[0] = 0;
    for (const char* p = packed; *p != '\0'; ++p) {
        const unsigned char v = sixbitValue[static_cast<unsigned char>(*p)];
        if (v == notInAlphabet) return -1;
        bits = (bits << 6) | v;
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            out[j++] = static_cast<unsigned char>(bits >> pending);
        }
        bits &= (1u << pending) - 1;
        out[j] = static_cast<unsigned char>(
            bits);  // the partial byte, as the format's decoders leave it
    }
    // Bits that do not complete a byte are ignored. A valid record has 3 to 258 bytes; anything
    // else fails here, before the key is read at positions it does not hold.
    if (j < headerLength || j > maxRecordLength) return -1;

    for (size_t i = 0; i + 1 < j; ++i)
        out[i] = static_cast<unsigned char>(out[i] - out[i + 1]);
    for (size_t i = j - 1; i >= 1; --i)
        out[i] = static_cast<unsigned char>(out[i] - out[i - 1] - key.at(i));

    const size_t clearLen = out[1];
    if (j != clearLen + headerLength) return -1;
    if (nibbleChecksum(out + headerLength, clearLen) != out[2]) return -1;
    std::memmove(out, out + headerLength, clearLen);
    // Behind the terminator stand the last clear bytes of the move and the spare bits; a caller
    // that wipes the text up to its terminator must not leave them behind.
    std::memset(out + clearLen, 0, j + 1 - clearLen);
    return static_cast<int>(clearLen);
}

}  // namespace legacy

#endif  // TARNCRYPT_LEGACYRECORD_H
