// Port mangling and the cutting of a stored user+host value into its two encrypted parts.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>

#include "encDec.h"
#include "testSupport.h"

namespace {

using tarntest::ExactBuffer;

TEST(PortMangling, DemangleUndoesMangleAndTheOtherWayRound) {
    const unsigned int edges[] = {
        0u,          1u,          80u,         65535u,      65536u,          0x7FFFFFFFu,
        0x80000000u, 0xFFFFFFFFu, cryptobase1, cryptobase2, 0u - cryptobase1};
    std::mt19937 rng(65535);
    std::vector<unsigned int> ports(std::begin(edges), std::end(edges));
    for (int i = 0; i < 10000; ++i)
        ports.push_back(static_cast<unsigned int>(rng()));
    for (unsigned int port : ports) {
        ASSERT_EQ(
            static_cast<unsigned int>(demanglePort(static_cast<unsigned int>(manglePort(port)))),
            port);
        ASSERT_EQ(
            static_cast<unsigned int>(manglePort(static_cast<unsigned int>(demanglePort(port)))),
            port);
    }
}

TEST(PortMangling, AddsThenMasksWithWrapAround) {
    for (unsigned int port : {0u, 5432u, 0xFFFFFFFFu, 0u - cryptobase1}) {
        SCOPED_TRACE(port);
        const unsigned int sum = port + cryptobase1;  // wraps modulo 2^32
        EXPECT_EQ(static_cast<unsigned int>(manglePort(port)), sum ^ cryptobase2);
    }
    EXPECT_NE(manglePort(5432), 5432) << "a mangled port must not read as the port itself";
}

TEST(PortMangling, PlainNameTwinMangleTheSame32Bits) {
    for (int port : {0, 1, 5432, INT_MAX, -1, -5432, INT_MIN}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(DbManglePort(port), manglePort(static_cast<unsigned int>(port)));
    }
}

struct SeparationCase {
    std::string value;
    bool masterKey;
    std::string user;  // "<untouched>": the buffer keeps its prefill
    std::string host;
};

const std::string untouched = "<untouched>";

const SeparationCase separationCases[] = {
    // Legacy texts: cut before the second "@", both parts keep their "@".
    {"@Dbhd@6rs_", false, "@Dbhd", "@6rs_"},
    {"@a@b@c", false, "@a", "@b@c"},
    {"@a@", false, "@a", "@"},
    {"@@x", false, "@", "@x"},
    {"xy@z", false, "xy", "@z"},
    {"@Dbhd", false, untouched, untouched},
    {"@", false, untouched, untouched},
    {"x", false, untouched, untouched},
    {"", false, untouched, untouched},
    // AES texts: the user part ends with its first run of Base64 padding.
    {"abc==def=", true, "abc==", "def="},
    {"abc=def", true, "abc=", "def"},
    {"abc=", true, "abc=", ""},
    {"abc==", true, "abc==", ""},
    {"abcdef", true, "a", "bcdef"},
    {"=abc", true, "=", "abc"},
    {"==abc", true, "==", "abc"},
    {"===", true, "==", "="},
    {"x", true, "x", ""},
    {"", true, untouched, untouched},
};

TEST(SeparateEncrUserAndHost, CutsWhereTheFirstPartEnds) {
    for (const auto& c : separationCases) {
        for (auto separate : {separateEncrUserAndHost, DbSeparateEncrUserAndHost}) {
            SCOPED_TRACE("'" + c.value + "' masterKey=" + std::to_string(c.masterKey));
            ExactBuffer value = ExactBuffer::holding(c.value);
            // Zero-filled, as callers prepare them, unless the case expects them untouched.
            const char fill = c.user == untouched ? '#' : '\0';
            ExactBuffer user(c.value.size() + 1, fill);
            ExactBuffer host(c.value.size() + 1, fill);
            EXPECT_EQ(separate(value.data(), user.data(), host.data(), c.masterKey), 1);
            if (c.user == untouched) {
                EXPECT_EQ(user.raw(), std::string(user.size(), '#'));
                EXPECT_EQ(host.raw(), std::string(host.size(), '#'));
            } else {
                EXPECT_EQ(user.text(), c.user);
                EXPECT_EQ(host.text(), c.host);
            }
            EXPECT_EQ(value.text(), c.value) << "the value is not modified";
        }
    }
}

// Master-key mode writes no terminators: a caller that did not zero-fill sees its own bytes.
TEST(SeparateEncrUserAndHost, MasterKeyModeCopiesWithoutTerminators) {
    ExactBuffer value = ExactBuffer::holding("ab==cd");
    ExactBuffer user(7, '#');
    ExactBuffer host(7, '#');
    separateEncrUserAndHost(value.data(), user.data(), host.data(), 1);
    EXPECT_EQ(user.raw(), "ab==###");
    EXPECT_EQ(host.raw(), "cd#####");
}

std::pair<std::string, std::string> separated(const std::string& combined, bool masterKey) {
    ExactBuffer value = ExactBuffer::holding(combined);
    ExactBuffer user(combined.size() + 1);
    ExactBuffer host(combined.size() + 1);
    separateEncrUserAndHost(value.data(), user.data(), host.data(), masterKey);
    return {user.text(), host.text()};
}

std::string legacyText(const std::string& clear) {
    ExactBuffer clearBuffer = ExactBuffer::holding(clear);
    ExactBuffer text(legacyTextCapacity(clear.size()));
    EXPECT_EQ(DbEncryptData(clearBuffer.data(), text.data()), 1);
    return text.text();
}

TEST(SeparateEncrUserAndHost, GivesBackTheTextsOfRealStoredValues) {
    const std::string user = legacyText("operator");
    const std::string host = legacyText("db01.example.net");
    EXPECT_EQ(separated(user + host, false), std::make_pair(user, host));

    const tarntest::AesKey key = tarntest::keyFromText("0123456789abcdef");
    struct AesCase {
        size_t userBytes;
        size_t hostBytes;
        bool cutAtUserEnd;  // false: a 48-byte user part carries no padding to cut at
    };
    const AesCase cases[] = {{16, 16, true}, {16, 48, true},  {32, 16, true},
                             {32, 32, true}, {48, 16, false}, {48, 48, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.userBytes << " + " << c.hostBytes << " bytes");
        const std::string userText = tarntest::aesEncrypt(std::string(c.userBytes, 'u'), "us", key);
        const std::string hostText = tarntest::aesEncrypt(std::string(c.hostBytes, 'h'), "ho", key);
        const auto parts = separated(userText + hostText, true);
        if (c.cutAtUserEnd) {
            EXPECT_EQ(parts, std::make_pair(userText, hostText));
        } else if (c.hostBytes % 3 != 0) {
            EXPECT_EQ(parts, std::make_pair(userText + hostText, std::string()));
        } else {
            EXPECT_EQ(parts, std::make_pair(userText.substr(0, 1), userText.substr(1) + hostText));
        }
    }
}

}  // namespace
