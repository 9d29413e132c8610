// separateEncrUserAndHost on arbitrary values (first byte: the mode). The two parts, each in
// a buffer of exactly the value's length plus one, always join back to the value.
#include <cstring>
#include <string>

#include "encDec.h"
#include "fuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const BOOLEAN masterKey = data[0] & 1;
    const auto value = tarnfuzz::terminated(data + 1, size - 1);
    const size_t valueLen = std::strlen(value.get());
    const auto user = tarnfuzz::block(valueLen + 1, '\0');
    const auto host = tarnfuzz::block(valueLen + 1, '\0');
    tarnfuzz::require(separateEncrUserAndHost(value.get(), user.get(), host.get(), masterKey) == 1);

    const std::string joined = std::string(user.get()) + host.get();
    const bool leftAlone = user[0] == '\0' && host[0] == '\0';
    if (masterKey) {
        tarnfuzz::require(joined == value.get() && (valueLen == 0 || user[0] != '\0'));
    } else {
        tarnfuzz::require(leftAlone ? std::strchr(value.get() + (valueLen > 0), '@') == nullptr
                                    : joined == value.get() && host[0] == '@');
    }
    return 0;
}
