// The AES text transform's own behaviour (layout, round trips, refusals) and the text helpers.
// Agreement with an independent AES implementation is checked in openssl_peer_test.cpp.
#include <gtest/gtest.h>
#include <openssl/aes.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "deadStack.h"
#include "encDec.h"
#include "testSupport.h"

namespace {

using tarntest::aesDecryptRaw;
using tarntest::aesEncrypt;
using tarntest::ExactBuffer;
using tarntest::keyFromText;

const char defaultSalt[3] = "Rq";
const tarntest::AesKey defaultKey = keyFromText("0123456789abcdef");

// The padded plaintext that a decryption gives back, read as a string.
std::string aesDecrypt(const std::string& text, const char* salt = defaultSalt,
                       tarntest::AesKey key = defaultKey) {
    return aesDecryptRaw(text, salt, key).c_str();
}

TEST(AesTransform, TextLayoutFollowsTheCiphertextLength) {
    struct LayoutCase {
        size_t plain;
        size_t length;
        std::string ending;  // "==", "=" or "" for a Base64 character
        size_t lineBreaks;
    };
    const LayoutCase cases[] = {
        {16, 24, "==", 0}, {32, 44, "=", 0},  {48, 64, "", 0},     {64, 89, "==", 1},
        {96, 129, "", 1},  {144, 194, "", 2}, {256, 348, "==", 4},
    };
    std::mt19937 rng(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.plain << " bytes");
        const std::string text = aesEncrypt(tarntest::randomBytes(rng, c.plain), "ab", defaultKey);
        ASSERT_EQ(text.size(), c.length);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(c.lineBreaks));
        EXPECT_NE(text.back(), '\n');
        const size_t equals = std::count(text.begin(), text.end(), '=');
        EXPECT_EQ(equals, c.ending.size());
        EXPECT_EQ(text.substr(text.size() - equals), c.ending);
    }
}

// Every text the transform writes decrypts back in full, multi-line texts included.
TEST(AesTransform, EveryBlockCountRoundTrips) {
    std::mt19937 rng(2);
    for (size_t n = 16; n <= 256; n += 16) {
        SCOPED_TRACE(testing::Message() << n << " bytes");
        const std::string plain = tarntest::randomBytes(rng, n, 1);
        const std::string text = aesEncrypt(plain, defaultSalt, defaultKey);
        const std::string raw = aesDecryptRaw(text, defaultSalt, defaultKey, '#');
        EXPECT_EQ(raw.substr(0, n), plain);
        EXPECT_EQ(raw[n], '\0') << "terminated right after the blocks";
    }
}

TEST(AesTransform, PadEncryptDecryptTrimGivesTheTextBack) {
    std::mt19937 rng(3);
    for (size_t n = 1; n <= 255; ++n) {
        SCOPED_TRACE(testing::Message() << n << " characters");
        std::string secret = tarntest::randomBytes(rng, n, 1);
        if (secret.back() == ' ') secret.back() = 'x';
        ExactBuffer buffer = ExactBuffer::holding(secret, (n + 15) / 16 * 16 + 1);
        const int padded = pad(buffer.data(), static_cast<unsigned>(buffer.size()));
        ASSERT_EQ(padded % 16, 0);
        ExactBuffer plain =
            ExactBuffer::holding(aesDecrypt(aesEncrypt(buffer.text(), "Zz", defaultKey), "Zz"));
        trim(plain.data());
        EXPECT_EQ(plain.text(), secret);
    }
}

TEST(AesTransform, TrailingSpacesOfTheSecretAreLostToTrim) {
    ExactBuffer buffer = ExactBuffer::holding("secret  ", 17);
    pad(buffer.data(), 17);
    ExactBuffer plain =
        ExactBuffer::holding(aesDecrypt(aesEncrypt(buffer.text(), defaultSalt, defaultKey)));
    trim(plain.data());
    EXPECT_EQ(plain.text(), "secret");
}

TEST(AesTransform, EveryKeyAndSaltByteTakesPart) {
    const std::string plain = "sixteen byte msg";
    const std::string reference = aesEncrypt(plain, defaultSalt, defaultKey);
    EXPECT_EQ(aesEncrypt(plain, defaultSalt, defaultKey), reference) << "deterministic";
    for (int i = 0; i < 16; ++i) {
        tarntest::AesKey key = defaultKey;
        key.bytes[i] ^= 0x01;
        EXPECT_NE(aesEncrypt(plain, defaultSalt, key), reference) << "key byte " << i;
    }
    for (int i = 0; i < 2; ++i) {
        char salt[3] = {defaultSalt[0], defaultSalt[1], 0};
        salt[i] ^= 0x01;
        EXPECT_NE(aesEncrypt(plain, salt, defaultKey), reference) << "salt byte " << i;
    }
}

TEST(AesTransform, ReadsNoMoreThanSixteenKeyBytesAndTwoSaltBytes) {
    const std::string plain(32, 'p');
    ExactBuffer key(16, 'k');
    ExactBuffer salt(2, 's');
    ExactBuffer input = ExactBuffer::holding(plain);
    ExactBuffer output(45);
    AES_128_CBC_Encrypt(input.data(), output.data(), 32, 1, salt.data(), key.data());
    EXPECT_EQ(output.text().size(), 44u);
    ExactBuffer text = ExactBuffer::holding(output.text());
    ExactBuffer back(text.size());
    AES_128_CBC_Encrypt(text.data(), back.data(), 0, 0, salt.data(), key.data());
    EXPECT_EQ(back.text(), plain);
}

TEST(AesTransform, WrongKeyOrSaltGivesOtherBytesOfTheSameLength) {
    const std::string plain(48, 'w');
    const std::string text = aesEncrypt(plain, defaultSalt, defaultKey);
    const std::string wrongKey = aesDecryptRaw(text, defaultSalt, keyFromText("another key"), '#');
    const std::string wrongSalt = aesDecryptRaw(text, "Rr", defaultKey, '#');
    for (const std::string& raw : {wrongKey, wrongSalt}) {
        EXPECT_NE(raw.substr(0, 48), plain);
        EXPECT_EQ(raw[48], '\0');
    }
}

// A decryption that cannot produce whole blocks leaves the output as the caller prepared it.
TEST(AesTransform, UndecryptableTextsLeaveTheOutputUntouched) {
    const std::string valid = aesEncrypt(std::string(16, 'v'), defaultSalt, defaultKey);
    const std::string cases[] = {
        "",
        "=",
        "=QUJD",
        "!" + valid,
        "QUJD",                         // 3 bytes: not a whole block
        "QUJDRA==",                     // 4 bytes
        valid.substr(0, 20),            // 15 bytes
        valid.substr(0, 22),            // a single character before the end
        std::string(64, 'A') + "QQ==",  // 49 bytes
        " ",
    };
    for (const auto& text : cases) {
        SCOPED_TRACE("text '" + text + "'");
        const std::string raw = aesDecryptRaw(text, defaultSalt, defaultKey, '#');
        EXPECT_EQ(raw, std::string(text.size() + 1, '#'));
    }
}

TEST(AesTransform, DecryptionReadsAcrossLineBreaksAndSpaces) {
    const std::string plain(96, 'm');
    const std::string text = aesEncrypt(plain, defaultSalt, defaultKey);
    std::string crlf = text;
    crlf.insert(crlf.find('\n'), "\r");
    std::string spaced = text;
    spaced.insert(10, "  ");
    std::string unbroken = text;
    unbroken.erase(std::remove(unbroken.begin(), unbroken.end(), '\n'), unbroken.end());
    for (const std::string& variant : {text, crlf, spaced, unbroken}) {
        EXPECT_EQ(aesDecrypt(variant), plain);
    }
}

TEST(AesTransform, EncryptingNothingWritesNothing) {
    for (int len : {0, -1, -16}) {
        SCOPED_TRACE(testing::Message() << "inputLen " << len);
        char input[17] = "abcdefghijklmnop";
        ExactBuffer output(32, '#');
        char key[17] = "0123456789abcdef";
        EXPECT_EQ(AES_128_CBC_Encrypt(input, output.data(), len, 1, defaultSalt, key), 1);
        EXPECT_EQ(output.raw(), std::string(32, '#'));
    }
}

TEST(AesTransform, PlainNameTwinGivesTheSameResults) {
    char input[33] = "thirty-two bytes of plain text!!";
    char key[17] = "0123456789abcdef";
    ExactBuffer viaTransform(45);
    ExactBuffer viaTwin(45);
    EXPECT_EQ(AES_128_CBC_Encrypt(input, viaTransform.data(), 32, 1, "xy", key), 1);
    EXPECT_EQ(Db_AES_128_CBC_Encrypt(input, viaTwin.data(), 32, 1, "xy", key), 1);
    EXPECT_EQ(viaTwin.raw(), viaTransform.raw());

    ExactBuffer back(45);
    EXPECT_EQ(Db_AES_128_CBC_Encrypt(viaTwin.data(), back.data(), 0, 0, "xy", key), 1);
    EXPECT_EQ(back.text(), input);
}

// Enough long texts to pass the switch to EVP, so both ciphers see prepared keys.
TEST(PreparedKey, GivesTheBytesOfTheStatelessTransform) {
    const char* const keys[] = {"0123456789abcdef", "short"};
    const char salts[][3] = {"Rq", "", "a"};  // the transform reads two salt bytes
    const int lengths[] = {16, 32, 160, 1040};
    for (const char* keyText : keys) {
        char key[17] = {};
        std::copy_n(keyText, std::string(keyText).size(), key);
        TarnPreparedKey prepared;
        ASSERT_EQ(AES_128_CBC_PrepareKey(&prepared, key), 1);
        for (int round = 0; round < 5; ++round) {
            for (const char* salt : salts) {
                for (const int len : lengths) {
                    SCOPED_TRACE(std::string(keyText) + "/" + salt + "/" + std::to_string(len));
                    std::string plain(static_cast<size_t>(len), 'x');
                    plain[static_cast<size_t>(len) / 2] = static_cast<char>('a' + round);
                    ExactBuffer viaKey(aesTextCapacity(plain.size()));
                    ExactBuffer viaPrepared(aesTextCapacity(plain.size()));
                    AES_128_CBC_Encrypt(plain.data(), viaKey.data(), len, 1, salt, key);
                    EXPECT_EQ(AES_128_CBC_EncryptPrepared(plain.data(), viaPrepared.data(), len, 1,
                                                          salt, &prepared),
                              1);
                    EXPECT_EQ(viaPrepared.raw(), viaKey.raw());
                    ExactBuffer opened(aesPlainCapacity(std::strlen(viaKey.data())));
                    AES_128_CBC_EncryptPrepared(viaKey.data(), opened.data(), 0, 0, salt,
                                                &prepared);
                    EXPECT_EQ(opened.text(), plain);
                }
            }
        }
        AES_128_CBC_ForgetKey(&prepared);
        EXPECT_TRUE(std::all_of(std::begin(prepared.opaque), std::end(prepared.opaque),
                                [](unsigned char b) { return b == 0; }));
    }
}

TEST(PreparedKey, AForgottenOrMissingKeyWritesNothing) {
    TarnPreparedKey prepared;
    ASSERT_EQ(AES_128_CBC_PrepareKey(&prepared, "0123456789abcdef"), 1);
    AES_128_CBC_ForgetKey(&prepared);
    char input[17] = "sixteen bytes!!!";
    ExactBuffer output(aesTextCapacity(16), '#');
    const std::string before = output.raw();
    EXPECT_EQ(AES_128_CBC_EncryptPrepared(input, output.data(), 16, 1, "Rq", &prepared), 0);
    EXPECT_EQ(AES_128_CBC_EncryptPrepared(input, output.data(), 16, 1, "Rq", nullptr), 0);
    EXPECT_EQ(AES_128_CBC_PrepareKey(nullptr, "0123456789abcdef"), 0);
    EXPECT_EQ(AES_128_CBC_PrepareKey(&prepared, nullptr), 0);
    EXPECT_EQ(output.raw(), before);
    AES_128_CBC_ForgetKey(nullptr);
}

// The transform keeps a process-wide count of long texts and turns from the low-level cipher
// to EVP after 16 of them; a failing EVP call falls back to the low-level cipher. Each path
// runs in a fresh process, which also checks that the path taken is the one named.
TEST(AesTransform, EveryCipherPathGivesTheSameTexts) {
    const auto run = [](const std::string& path) {
        return tarntest::runCommand(std::string(TARN_TRANSFORM_PATHS) + " " + path);
    };
    const std::string lowLevel = run("low-level");
    ASSERT_NE(lowLevel.find("256 opens"), std::string::npos) << lowLevel;
    EXPECT_EQ(lowLevel.find("differs"), std::string::npos) << lowLevel;
    for (const char* path : {"evp", "evp-failing"}) {
        EXPECT_EQ(run(path), lowLevel) << path;
    }
}

// The eleven round keys of an AES-128 schedule, as the structure holds them.
std::vector<std::string> roundKeys(const unsigned char* key, bool encrypt) {
    AES_KEY schedule;
    if (encrypt) {
        AES_set_encrypt_key(key, 128, &schedule);
    } else {
        AES_set_decrypt_key(key, 128, &schedule);
    }
    std::vector<std::string> keys;
    for (int round = 0; round <= 10; ++round) {
        keys.emplace_back(reinterpret_cast<const char*>(&schedule.rd_key[4 * round]), 16);
    }
    return keys;
}

__attribute__((noinline)) void scheduleWithoutWiping(const unsigned char* key) {
    AES_KEY schedule;
    AES_set_encrypt_key(key, 128, &schedule);
    asm volatile("" : : "r"(&schedule) : "memory");
}

// One block always takes the low-level cipher, whose key schedule lives on the stack. (EVP's
// lives in its context on the heap, which OpenSSL wipes when it frees the context; that this
// scan cannot see.) Every buffer the call is given is on the heap, so only copies the call
// made itself could be found.
TEST(AesTransform, LeavesNoRoundKeyOnTheStack) {
    ExactBuffer key = ExactBuffer::holding("stack-probe-key!");
    const auto* rawKey = reinterpret_cast<const unsigned char*>(key.data());
    const std::vector<std::string> encryptKeys = roundKeys(rawKey, true);
    const std::vector<std::string> decryptKeys = roundKeys(rawKey, false);
    ASSERT_FALSE(tarntest::leftOnStack([&] { scheduleWithoutWiping(rawKey); }, encryptKeys).empty())
        << "the probe must see a schedule left behind";

    ExactBuffer plain = ExactBuffer::holding(std::string(16, 'p'));
    ExactBuffer text(aesTextCapacity(16));
    ExactBuffer opened(aesPlainCapacity(24));
    const auto encrypt = [&] {
        AES_128_CBC_Encrypt(plain.data(), text.data(), 16, 1, "Sq", key.data());
    };
    // The first call through this program's lazily bound import passes the dynamic linker,
    // which saves the vector registers on the stack; they may still hold the round keys that
    // were just worked out here.
    encrypt();
    EXPECT_EQ(tarntest::leftOnStack(encrypt, encryptKeys), std::vector<std::string>{});
    EXPECT_EQ(tarntest::leftOnStack(
                  [&] { AES_128_CBC_Encrypt(text.data(), opened.data(), 0, 0, "Sq", key.data()); },
                  decryptKeys),
              std::vector<std::string>{});
    EXPECT_EQ(opened.text(), std::string(16, 'p'));
}

// ---- Text helpers -------------------------------------------------------------------------

TEST(Pad, FillsWithSpacesUpToTheNextBlockWithinTheCapacity) {
    struct PadCase {
        std::string text;
        unsigned capacity;
        size_t spaces;  // appended
        int result;
    };
    const PadCase cases[] = {
        {"abc", 17, 13, 16},
        {"", 5, 0, 0},
        {std::string(16, 'x'), 17, 0, 16},
        {std::string(17, 'x'), 40, 15, 32},
        {std::string(17, 'x'), 18, 0, 32},  // no room at all
        {"abc", 10, 6, 16},                 // room for six
        {"abc", 0, 0, 16},                  // capacity 0
        {"abc", 4, 0, 16},
        {std::string(255, 'x'), 257, 1, 256},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "'" << c.text << "' capacity " << c.capacity);
        ExactBuffer buffer = ExactBuffer::holding(c.text, c.capacity);
        EXPECT_EQ(pad(buffer.data(), c.capacity), c.result);
        EXPECT_EQ(buffer.text(), c.text + std::string(c.spaces, ' '));
    }
}

TEST(Trim, DropsTrailingSpacesOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"a b a  ", "a b a"},
        {"abc\t", "abc\t"},
        {"abc\n", "abc\n"},
        {"abc \t ", "abc \t"},
        {"", ""},
        {"    ", ""},
        {" ", ""},
        {" x", " x"},
        {"x", "x"},
    };
    for (const auto& [text, trimmed] : cases) {
        SCOPED_TRACE("'" + text + "'");
        // Exact size: a scan that runs below the start of the text trips the sanitizer build.
        ExactBuffer buffer = ExactBuffer::holding(text);
        trim(buffer.data());
        EXPECT_EQ(buffer.text(), trimmed);
    }
}

TEST(StrNCpyZ, CopiesBoundedAndAlwaysTerminates) {
    struct CopyCase {
        std::string src;
        unsigned long capacity;
        std::string written;  // the whole destination afterwards (8 bytes, prefilled '#')
        bool nullResult;
    };
    const CopyCase cases[] = {
        {"hello", 0, "########", true},
        {"hello", 1, std::string("\0#######", 8), false},
        {"hello", 3, std::string("he\0#####", 8), false},
        {"hello", 6, std::string("hello\0##", 8), false},
        {"hello", 8, std::string("hello\0##", 8), false},
        {"", 8, std::string("\0#######", 8), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "'" << c.src << "' capacity " << c.capacity);
        ExactBuffer dst(8, '#');
        char* result = StrNCpyZ(dst.data(), c.src.c_str(), c.capacity);
        EXPECT_EQ(result, c.nullResult ? nullptr : dst.data());
        EXPECT_EQ(dst.raw(), c.written);
    }
    char dst[4] = "abc";
    EXPECT_EQ(StrNCpyZ(dst, nullptr, 4), nullptr);
    EXPECT_EQ(StrNCpyZ(nullptr, "x", 4), nullptr);
    EXPECT_STREQ(dst, "abc");
}

TEST(StrNCatZ, AppendsBoundedAndReportsWhere) {
    struct CatCase {
        std::string dst;
        std::string src;
        unsigned long capacity;
        std::string result;
        long returnedOffset;  // -1: null
    };
    const CatCase cases[] = {
        {"ab", "cd", 10, "abcd", 2}, {"ab", "cdef", 5, "abcd", 2},
        {"abcd", "x", 5, "abcd", 0},  // full: unchanged, dst itself
        {"abcd", "x", 3, "abcd", 0},  // capacity below the text
        {"", "xyz", 3, "xy", 0},     {"ab", "cd", 0, "ab", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.dst + "' + '" + c.src + "'");
        ExactBuffer dst = ExactBuffer::holding(c.dst, c.capacity);
        char* result = StrNCatZ(dst.data(), c.src.c_str(), c.capacity);
        EXPECT_EQ(result, c.returnedOffset < 0 ? nullptr : dst.data() + c.returnedOffset);
        EXPECT_EQ(dst.text(), c.result);
    }
    char dst[4] = "abc";
    EXPECT_EQ(StrNCatZ(dst, nullptr, 4), nullptr);
    EXPECT_EQ(StrNCatZ(nullptr, "x", 4), nullptr);
}

}  // namespace
