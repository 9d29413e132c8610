// The legacy text cipher: a step-by-step reference encoder written from the format, round
// trips of random texts under random keys, and every refusal of the decoder.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tarnSecrets.h"
#include "deadStack.h"
#include "encDec.h"
#include "legacyRecord.h"
#include "testSupport.h"

namespace {

using tarntest::ExactBuffer;

// The format done the long way: the key's running sums over a copy of the whole key, the
// record mixed forward with the key and backward without it, then packed with the bit
// counts and masks of the format's description. Only the test uses it.
struct ReferenceRecord {
    unsigned char marker = 'N';
    int lengthOverride = -1;    // write this length byte instead of n
    int checksumOverride = -1;  // write this checksum instead of the real one
};

std::string referenceMixedKey(const std::string& key) {
    std::string k = key;
    const size_t L = k.size();
    for (size_t i = 1; i < L; ++i)
        k[i] = static_cast<char>(k[i] + k[i - 1]);
    for (size_t i = L - 1; i-- > 0;)
        k[i] = static_cast<char>(k[i] + k[i + 1]);
    return k;
}

std::string referenceEncrypt(const std::string& clear, const std::string& key,
                             const ReferenceRecord& options = {}) {
    const std::string mixed = referenceMixedKey(key);
    const auto* k = reinterpret_cast<const unsigned char*>(mixed.data());
    const size_t L = mixed.size();

    unsigned char checksum = 0;
    for (unsigned char c : clear)
        checksum = static_cast<unsigned char>(checksum + (c >> 4) + (c & 15));
    std::vector<unsigned char> r = {
        options.marker,
        static_cast<unsigned char>(options.lengthOverride >= 0 ? options.lengthOverride
                                                               : clear.size()),
        static_cast<unsigned char>(options.checksumOverride >= 0 ? options.checksumOverride
                                                                 : checksum)};
    r.insert(r.end(), clear.begin(), clear.end());
    const size_t m = r.size();
    unsigned char a = r[0];
    for (size_t i = 1; i < m; ++i)
        r[i] = a = static_cast<unsigned char>(a + r[i] + k[i % L]);
    a = r[m - 1];
    for (size_t i = m - 1; i-- > 0;)
        r[i] = a = static_cast<unsigned char>(a + r[i]);

    std::string text = "@";
    unsigned group = 0;
    int unused = 6;
    for (unsigned char byte : r) {
        int left = 8;
        while (left > 0) {
            const int b = std::min(left, unused);
            group = (group << b) | ((byte >> (8 - b)) & legacy::Mask[b]);
            byte = static_cast<unsigned char>(byte << b);
            left -= b;
            unused -= b;
            if (unused == 0) {
                text += legacy::SixbitToChar[group];
                group = 0;
                unused = 6;
            }
        }
    }
    if (unused < 6) text += legacy::SixbitToChar[group << unused];
    return text;
}

std::string encrypted(const std::string& clear, const std::string& key, int* result = nullptr) {
    ExactBuffer clearBuffer = ExactBuffer::holding(clear);
    ExactBuffer keyBuffer = ExactBuffer::holding(key);
    ExactBuffer text(legacyTextCapacity(clear.size()));
    const int r = EncryptData(clearBuffer.data(), keyBuffer.data(), text.data());
    if (result != nullptr) *result = r;
    return text.text();
}

// The clear text, or "<refused>". An opened text leaves nothing behind its terminator, so
// that a caller who wipes the text wipes every clear byte.
std::string decrypted(const std::string& text, const std::string& key) {
    ExactBuffer textBuffer = ExactBuffer::holding(text);
    ExactBuffer keyBuffer = ExactBuffer::holding(key);
    ExactBuffer clear(legacyPlainCapacity(text.size()));
    if (DecryptData(textBuffer.data(), keyBuffer.data(), clear.data()) != 1) return "<refused>";
    EXPECT_EQ(clear.raw().find_first_not_of('\0', clear.text().size()), std::string::npos);
    return clear.text();
}

std::string randomKey(std::mt19937& rng, size_t maxLength) {
    std::uniform_int_distribution<size_t> length(1, maxLength);
    return tarntest::randomBytes(rng, length(rng), 1);
}

TEST(LegacyCipher, TextLengthFollowsTheRecordLength) {
    const std::pair<size_t, size_t> cases[] = {{0, 5}, {1, 7},   {2, 8},
                                               {3, 9}, {16, 27}, {255, 345}};
    for (const auto& [clearLength, textLength] : cases) {
        SCOPED_TRACE(clearLength);
        const std::string text = encrypted(std::string(clearLength, 'c'), "key");
        EXPECT_EQ(text.size(), textLength);
        EXPECT_EQ(text[0], '@');
        EXPECT_LE(text.size() + 1, legacyTextCapacity(clearLength));
    }
}

TEST(LegacyCipher, MatchesTheReferenceEncoderAndRoundTrips) {
    std::mt19937 rng(1995);
    std::uniform_int_distribution<size_t> clearLength(0, 255);
    for (int i = 0; i < 600; ++i) {
        const std::string clear = tarntest::randomBytes(rng, i < 256 ? i : clearLength(rng), 1);
        // Mostly short keys; some longer than a record, whose positions then never wrap.
        const std::string key = randomKey(rng, i % 10 == 0 ? 400 : 24);
        SCOPED_TRACE(testing::Message() << clear.size() << " bytes, key of " << key.size());
        const std::string text = encrypted(clear, key);
        ASSERT_EQ(text, referenceEncrypt(clear, key));
        ASSERT_EQ(decrypted(text, key), clear);
    }
}

TEST(LegacyCipher, DatabaseEntryPointsUseTheDatabaseKey) {
    char key[dbLegacyKeySize];
    buildDbLegacyKey(key);
    ASSERT_EQ(std::strlen(key), 6u);
    for (const std::string clear : {"", "scott", "p\xE4ssw\xF6rd \xA5"}) {
        SCOPED_TRACE(clear);
        ExactBuffer clearBuffer = ExactBuffer::holding(clear);
        ExactBuffer text(legacyTextCapacity(clear.size()));
        ASSERT_EQ(DbEncryptData(clearBuffer.data(), text.data()), 1);
        EXPECT_EQ(text.text(), encrypted(clear, key));

        ExactBuffer back(legacyPlainCapacity(text.text().size()));
        ASSERT_EQ(DbDecryptData(text.data(), back.data()), 1);
        EXPECT_EQ(back.text(), clear);
    }
}

// Refusals made before any decoding leave the output as the caller prepared it; "@" alone
// leaves an empty text.
TEST(LegacyCipher, EarlyRefusalsLeaveTheOutputAlone) {
    using Operation = int (*)(char*, char*, char*);
    struct Refusal {
        const char* what;
        Operation operation;
        std::string input;
        std::string key;
        std::string outputAfter;  // 8 bytes, prefilled with '#'
    };
    const std::string untouched(8, '#');
    const std::string valid = encrypted("abc", "key");
    const Refusal cases[] = {
        {"encrypt, empty key", EncryptData, "secret", "", untouched},
        {"encrypt, 256 bytes", EncryptData, std::string(256, 'x'), "key", untouched},
        {"encrypt, 1000 bytes", EncryptData, std::string(1000, 'x'), "key", untouched},
        {"decrypt, no @", DecryptData, valid.substr(1), "key", untouched},
        {"decrypt, empty text", DecryptData, "", "key", untouched},
        {"decrypt, empty key", DecryptData, valid, "", untouched},
        {"decrypt, @ alone", DecryptData, "@", "key", std::string("\0#######", 8)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExactBuffer input = ExactBuffer::holding(c.input);
        ExactBuffer key = ExactBuffer::holding(c.key);
        ExactBuffer output(8, '#');
        EXPECT_EQ(c.operation(input.data(), key.data(), output.data()), 0);
        EXPECT_EQ(output.raw(), c.outputAfter);
    }
    ExactBuffer output(8, '#');
    char key[] = "key";
    EXPECT_EQ(EncryptData(nullptr, key, output.data()), 0);
    EXPECT_EQ(DecryptData(nullptr, key, output.data()), 0);
    EXPECT_EQ(DbEncryptData(nullptr, output.data()), 0);
    EXPECT_EQ(DbDecryptData(nullptr, output.data()), 0);
    EXPECT_EQ(output.raw(), untouched);
}

TEST(LegacyCipher, DamagedTextsAreRefused) {
    const std::string key = "k3y";
    const std::string text = encrypted("password", key);  // 8 bytes: spare bits at the end
    const std::string refused[] = {
        "@" + text,                                // "@@..."
        text.substr(0, text.size() - 1),           // last character removed
        text + legacy::SixbitToChar[0],            // a character too many
        text.substr(0, 3) + "=" + text.substr(4),  // outside the alphabet
        text.substr(0, 3) + " " + text.substr(4),
        text.substr(0, 3) + "\xC1" + text.substr(4),
        text.substr(0, 3) + "@" + text.substr(4),
        "@" + std::string(400, 'D'),  // longer than any record
        "@D",                         // not even a header
        "@Db",
    };
    for (const auto& damaged : refused) {
        SCOPED_TRACE(damaged);
        EXPECT_EQ(decrypted(damaged, key), "<refused>");
    }
    EXPECT_EQ(decrypted(text, "k3z"), "<refused>") << "wrong key";
}

// Texts whose bit count fills whole characters (n a multiple of 3) carry no spare bits: one
// extra character only adds ignored bits. Otherwise the extra character completes a byte.
TEST(LegacyCipher, SpareBitsAreIgnored) {
    const std::string key = "spare";
    for (size_t n = 0; n <= 12; ++n) {
        SCOPED_TRACE(testing::Message() << n << " bytes");
        const std::string clear = std::string(n, 'a' + static_cast<char>(n));
        const std::string text = encrypted(clear, key);
        const std::string longer = text + legacy::SixbitToChar[37];
        EXPECT_EQ(decrypted(longer, key), n % 3 == 0 ? clear : "<refused>");
        if (n % 3 != 0) {
            // The last character's low bits are zero; setting them changes nothing.
            const size_t spareBits = n % 3 == 1 ? 4 : 2;
            const unsigned lastValue = legacy::sixbitValue[static_cast<unsigned char>(text.back())];
            std::string flipped = text;
            flipped.back() = legacy::SixbitToChar[lastValue | ((1u << spareBits) - 1)];
            EXPECT_EQ(decrypted(flipped, key), clear);
        }
    }
}

TEST(LegacyCipher, DecoderChecksLengthAndChecksumButNotTheMarker) {
    const std::string key = "mark";
    struct RecordCase {
        const char* what;
        std::string clear;
        ReferenceRecord record;
        std::string result;
    };
    const RecordCase cases[] = {
        {"marker X", "hello", {'X', -1, -1}, "hello"},
        {"marker 0", "hello", {0, -1, -1}, "hello"},
        {"length one short", "hello", {'N', 4, -1}, "<refused>"},
        {"length one over", "hello", {'N', 6, -1}, "<refused>"},
        {"checksum off by one", "hello", {'N', -1, 0x33}, "<refused>"},
        {"empty with checksum", "", {'N', -1, 1}, "<refused>"},
        // 0xA5 counts as 10 + 5; a signed byte would count otherwise.
        {"unsigned checksum", "\xA5", {'N', -1, 15}, "\xA5"},
        {"signed checksum", "\xA5", {'N', -1, static_cast<unsigned char>(-6 + 5)}, "<refused>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decrypted(referenceEncrypt(c.clear, key, c.record), key), c.result);
    }
}

// The mixed key opens every text made under its key; neither it, nor the database legacy key,
// nor the clear text may stay on the stack once a call returns. Texts, keys and outputs are on
// the heap.
TEST(LegacyCipher, LeavesNoKeyOrClearTextOnTheStack) {
    const std::string key = "a legacy key long enough to stand out";
    const std::string secret = "a clear text to seal";
    char dbKey[dbLegacyKeySize];
    buildDbLegacyKey(dbKey);
    ExactBuffer keyBuffer = ExactBuffer::holding(key);
    ExactBuffer clear = ExactBuffer::holding(secret);
    ExactBuffer text(legacyTextCapacity(secret.size()));
    ExactBuffer opened(legacyPlainCapacity(legacyTextCapacity(secret.size())));
    const std::vector<std::string> ownKey = {referenceMixedKey(key), secret};
    const std::vector<std::string> databaseKey = {std::string(dbKey, sizeof dbKey),
                                                  referenceMixedKey(dbKey), secret};
    struct Call {
        const char* name;
        std::function<void()> call;
        const std::vector<std::string>& secrets;
    };
    const Call calls[] = {
        {"EncryptData", [&] { EncryptData(clear.data(), keyBuffer.data(), text.data()); }, ownKey},
        {"DecryptData", [&] { DecryptData(text.data(), keyBuffer.data(), opened.data()); }, ownKey},
        {"DbEncryptData", [&] { DbEncryptData(clear.data(), text.data()); }, databaseKey},
        {"DbDecryptData", [&] { DbDecryptData(text.data(), opened.data()); }, databaseKey},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.name);
        // The first call binds this program's import (see LeavesNoRoundKeyOnTheStack).
        c.call();
        EXPECT_EQ(tarntest::leftOnStack(c.call, c.secrets), std::vector<std::string>{});
    }
    EXPECT_EQ(opened.text(), secret);
}

TEST(LegacyCipher, OneCharacterKeyIsUsedUnchanged) {
    // With L = 1 both running sums leave the key as it is: every record position meets 'k'.
    EXPECT_EQ(encrypted("unchanged", "k"), referenceEncrypt("unchanged", "k"));
    EXPECT_EQ(decrypted(encrypted("unchanged", "k"), "k"), "unchanged");
}

}  // namespace
