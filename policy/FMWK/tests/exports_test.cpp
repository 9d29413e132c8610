// The library's dynamic symbol table holds the interface and nothing else: callers bind to
// these names at load time, and anything more would be a name someone might come to rely on.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

// The interface is the library's symbols file: one line per exported name, with the version
// that introduced it (" name@Base version").
std::set<std::string> interfaceSymbols() {
    std::set<std::string> names;
    std::ifstream file(TARN_SYMBOLS_FILE);
    EXPECT_TRUE(file) << TARN_SYMBOLS_FILE;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] != ' ') continue;
        names.insert(line.substr(1, line.find('@') - 1));
    }
    return names;
}

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
    const auto interface = interfaceSymbols();
    EXPECT_EQ(interface.count("_Z6decodePKhPj"), 1u) << "the symbols file reads as names";
    EXPECT_EQ(definedDynamicSymbols(TARN_LIBRARY_FILE), interface);
}

}  // namespace
