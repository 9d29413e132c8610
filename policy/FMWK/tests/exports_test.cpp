// The library's dynamic symbol table holds the interface and nothing else: callers bind to
// these names at load time, and anything more would be a name someone might come to rely on.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> interfaceSymbols = {
    // Operations, by their ordinary C++ names.
    "_Z6getKeyjjPhS_j",
    "_Z11computeSaltPcS_S_",
    "_Z4initv",
    "_Z6lengthPKh",
    "_Z6encodePKhiPj",
    "_Z6decodePKhPj",
    "_Z19AES_128_CBC_EncryptPcS_ihPKcS_",
    "_Z3padPcj",
    "_Z4trimPc",
    "_Z8StrNCpyZPcPKcm",
    "_Z8StrNCatZPcPKcm",
    "_Z10manglePortj",
    "_Z12demanglePortj",
    "_Z23separateEncrUserAndHostPcS_S_h",
    "_Z11EncryptDataPcS_S_",
    "_Z11DecryptDataPcS_S_",
    // Plain-name twins.
    "DbComputeSalt",
    "Db_AES_128_CBC_Encrypt",
    "DbManglePort",
    "DbSeparateEncrUserAndHost",
    "DbEncryptData",
    "DbDecryptData",
    // Prepared keys, since 1.1.
    "AES_128_CBC_PrepareKey",
    "AES_128_CBC_EncryptPrepared",
    "AES_128_CBC_ForgetKey",
    // Data.
    "dataTable",
    "vecTable",
    "cryptobase1",
    "cryptobase2",
    "decoder_",
    "member_",
    "init_",
};

bool startsWith(const std::string& name, const char* prefix) {
    return name.rfind(prefix, 0) == 0;
}

// Names that begin with "__" are reserved for the toolchain, and sanitizer builds add some;
// clang's function-type check adds type information for function types.
bool addedByToolchain(const std::string& name) {
    return startsWith(name, "__") ||
           (TARN_SANITIZED && (startsWith(name, "_ZTIF") || startsWith(name, "_ZTSF")));
}

std::set<std::string> definedDynamicSymbols(const std::string& library) {
    const std::string command = std::string(TARN_NM) + " -D --defined-only " + library;
    std::set<std::string> names;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name && !addedByToolchain(name)) names.insert(name);
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return names;
}

TEST(LibraryExports, ExactlyTheInterface) {
    EXPECT_EQ(definedDynamicSymbols(TARN_LIBRARY_FILE), interfaceSymbols);
}

}  // namespace
