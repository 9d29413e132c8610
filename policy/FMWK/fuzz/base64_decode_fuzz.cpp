// The Base64 decoder on arbitrary text: it must stay within the buffer that length() sizes,
// and whatever it decodes must come back through the encoder.
#include <cstring>

#include "encDec.h"
#include "fuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto text = tarnfuzz::terminated(data, size);
    const auto* input = reinterpret_cast<const unsigned char*>(text.get());
    const unsigned int capacity = length(input);
    unsigned int decodedLen = 0;
    unsigned char* decoded = decode(input, &decodedLen);
    if (decoded == nullptr) return 0;
    tarnfuzz::require(decodedLen < capacity && decoded[decodedLen] == 0);

    // A text that fits on one line decodes back to the same bytes.
    if (decodedLen <= 54) {
        unsigned int textLen = 0;
        unsigned char* again = encode(decoded, static_cast<int>(decodedLen), &textLen);
        unsigned int roundTripLen = 0;
        unsigned char* roundTrip = decode(again, &roundTripLen);
        tarnfuzz::require(roundTrip != nullptr && roundTripLen == decodedLen &&
                          std::memcmp(roundTrip, decoded, decodedLen) == 0);
        delete[] roundTrip;
        delete[] again;
    }
    delete[] decoded;
    return 0;
}
