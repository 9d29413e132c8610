// Key/IV derivation against hand-worked index lists, and salt selection.
#include <gtest/gtest.h>
#include <openssl/aes.h>
#include <openssl/evp.h>

#include <array>
#include <string>

#include "encDec.h"
#include "testSupport.h"

namespace {

using Indexes = std::array<unsigned, 16>;

struct DerivationCase {
    UINT32 key;
    UINT32 key2;
    Indexes keyIndexes;  // into dataTable
    Indexes ivIndexes;   // into vecTable
};

const DerivationCase derivationCases[] = {
    {65,
     66,
     {65, 105, 99, 1, 133, 1, 1, 1, 1, 1, 66, 104, 12, 1, 46, 136},
     {3, 12, 12, 1, 28, 123, 114, 114, 125, 98, 66, 76, 10, 1, 26, 125}},
    {0xFFFFFFE9u,
     48,
     {11, 22, 117, 1, 14, 1, 1, 1, 1, 1, 48, 122, 71, 1, 105, 17},
     {104, 38, 38, 1, 54, 22, 88, 88, 125, 72, 48, 94, 65, 1, 81, 125}},
    {0,
     0,
     {0, 33, 0, 0, 33, 0, 0, 1, 1, 0, 0, 33, 0, 0, 33, 34},
     {0, 15, 15, 0, 30, 126, 111, 111, 126, 96, 0, 15, 0, 0, 15, 124}},
    {0xFFFFFFFFu,
     0xFFFFFFFFu,
     {33, 0, 121, 1, 18, 1, 1, 0, 1, 0, 33, 0, 121, 1, 18, 20},
     {0, 15, 15, 1, 31, 126, 111, 111, 125, 95, 15, 0, 12, 1, 28, 125}},
};

std::array<unsigned char, 16> pick(const UCHAR* table, const Indexes& indexes) {
    std::array<unsigned char, 16> bytes{};
    for (size_t i = 0; i < 16; ++i)
        bytes[i] = table[indexes[i]];
    return bytes;
}

TEST(GetKey, PicksTableEntriesAtTheWorkedIndexes) {
    for (const auto& c : derivationCases) {
        SCOPED_TRACE(testing::Message() << "key=" << c.key << " key2=" << c.key2);
        std::array<unsigned char, 16> key{};
        std::array<unsigned char, 16> iv{};
        EXPECT_EQ(getKey(c.key, c.key2, key.data(), iv.data(), 3), 1);
        EXPECT_EQ(key, pick(dataTable, c.keyIndexes));
        EXPECT_EQ(iv, pick(vecTable, c.ivIndexes));
    }
}

TEST(GetKey, WritesOnlyTheBuffersItsOperationBitsAskFor) {
    struct OpCase {
        UINT32 op;
        bool writesKey;
        bool writesIv;
    };
    const OpCase cases[] = {
        {0, false, false}, {1, true, false},           {2, false, true},          {3, true, true},
        {4, false, false}, {0xFFFFFFFDu, true, false}, {0xFFFFFFFEu, false, true}};
    const DerivationCase& c = derivationCases[0];
    for (const auto& oc : cases) {
        SCOPED_TRACE(testing::Message() << "computeOp=" << oc.op);
        std::array<unsigned char, 16> key;
        std::array<unsigned char, 16> iv;
        key.fill(0xAB);
        iv.fill(0xAB);
        const std::array<unsigned char, 16> untouched = key;
        EXPECT_EQ(getKey(c.key, c.key2, key.data(), iv.data(), oc.op), 1);
        EXPECT_EQ(key, oc.writesKey ? pick(dataTable, c.keyIndexes) : untouched);
        EXPECT_EQ(iv, oc.writesIv ? pick(vecTable, c.ivIndexes) : untouched);
    }
}

TEST(GetKey, AcceptsANullBufferForTheUnrequestedPart) {
    std::array<unsigned char, 16> buffer{};
    EXPECT_EQ(getKey(1, 2, nullptr, buffer.data(), 2), 1);
    EXPECT_EQ(getKey(1, 2, buffer.data(), nullptr, 1), 1);
    EXPECT_EQ(getKey(1, 2, nullptr, nullptr, 0), 1);
}

// Every pair of sign-widened salt characters stays inside both tables; the sanitizer build
// turns any index past the end into a failure.
TEST(GetKey, EverySaltPairIndexesInsideTheTables) {
    for (int a = -128; a < 128; ++a) {
        for (int b = -128; b < 128; ++b) {
            unsigned char key[16];
            unsigned char iv[16];
            getKey(static_cast<UINT32>(a), static_cast<UINT32>(b), key, iv, 3);
            ASSERT_EQ(iv[1], iv[2]);
            ASSERT_EQ(iv[6], iv[7]);
        }
    }
}

struct SaltCase {
    std::string crit1;
    std::string crit2;
    std::string salt;  // all three bytes
};

const SaltCase saltCases[] = {
    {"ab", "cde", std::string("bc\0", 3)},     // joined length 5: 2nd and 3rd
    {"a", "b", std::string("ab\0", 3)},        // joined length 2: both, in order
    {"", "wxyz", std::string("xy\0", 3)},      // empty first text
    {"wxyz", "", std::string("xy\0", 3)},      // empty second text
    {"abc", "d", std::string("bc\0", 3)},      // middle inside the first text
    {"ab", "cd", std::string("bc\0", 3)},      // middle straddles the join
    {"pqrstuv", "w", std::string("st\0", 3)},  // joined length 8
    {"\xE9\x80", "\xFF", std::string("\xE9\x80\0", 3)},
    {"q", "", std::string("qq\0", 3)},  // one character: twice
    {"", "q", std::string("qq\0", 3)},
    {"", "", std::string("\0\0\0", 3)},  // nothing to take: the empty salt
};

TEST(ComputeSalt, TakesTheCharactersAroundTheMiddleOfTheJoinedText) {
    for (const auto& c : saltCases) {
        SCOPED_TRACE("crit1='" + c.crit1 + "' crit2='" + c.crit2 + "'");
        // Exact-size copies: reading outside either text trips the sanitizer build.
        auto crit1 = tarntest::ExactBuffer::holding(c.crit1);
        auto crit2 = tarntest::ExactBuffer::holding(c.crit2);
        tarntest::ExactBuffer salt(3, '#');
        computeSalt(crit1.data(), crit2.data(), salt.data());
        EXPECT_EQ(salt.raw(), c.salt);

        tarntest::ExactBuffer twin(3, '#');
        EXPECT_EQ(DbComputeSalt(crit1.data(), crit2.data(), twin.data()), 1);
        EXPECT_EQ(twin.raw(), c.salt);
    }
}

// The transform derives its IV from tables built once; every one of the 65,536 two-byte salts
// must give exactly the IV getKey gives for the sign-widened pair. One block of CBC is
// AES(plain ^ IV), so the expected text follows from getKey and OpenSSL alone.
TEST(TransformIv, EverySaltGivesGetKeysIv) {
    tarntest::AesKey key = tarntest::keyFromText("iv-tables-check!");
    AES_KEY schedule;
    AES_set_encrypt_key(key.bytes, 128, &schedule);
    const std::string plain(16, 'P');
    for (unsigned s0 = 0; s0 < 256; ++s0) {
        for (unsigned s1 = 0; s1 < 256; ++s1) {
            const char salt[2] = {static_cast<char>(s0), static_cast<char>(s1)};
            unsigned char iv[16];
            getKey(static_cast<UINT32>(static_cast<signed char>(salt[0])),
                   static_cast<UINT32>(static_cast<signed char>(salt[1])), nullptr, iv, 2);
            unsigned char block[16];
            for (int i = 0; i < 16; ++i)
                block[i] = static_cast<unsigned char>(plain[i]) ^ iv[i];
            unsigned char cipher[16];
            AES_encrypt(block, cipher, &schedule);
            unsigned char expected[25];
            EVP_EncodeBlock(expected, cipher, 16);

            char text[26] = {};
            char input[17] = {};
            plain.copy(input, 16);
            AES_128_CBC_Encrypt(input, text, 16, 1, salt, key.data());
            if (std::string(text) != reinterpret_cast<char*>(expected)) {
                FAIL() << "salt bytes " << s0 << ", " << s1;
            }
        }
    }
}

}  // namespace
