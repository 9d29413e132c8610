// Every operation of the library from eight threads at once, starting together in a process
// that has not used the library yet, so that the first-use set-up (Base64 tables, IV tables,
// the OpenSSL cipher, the count of long texts and the switch to EVP) happens under contention.
// Its own binary, so no other test has used the library first. The ThreadSanitizer build runs
// it too, and fails it on any report.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "encDec.h"
#include "testSupport.h"

namespace {

using tarntest::ExactBuffer;

constexpr int threadCount = 8;
constexpr int rounds = 50;

char masterKey[17] = "threads-key-0123";
char legacyKey[] = "thread-legacy-key";

std::string asText(const unsigned char* bytes, size_t n) {
    return std::string(reinterpret_cast<const char*>(bytes), n);
}

// Encrypts a text padded to whole blocks, opens it again and returns the AES text.
std::string aesRoundTrip(const std::string& secret, const char* salt,
                         int (*transform)(char*, char*, int, BOOLEAN, const char*, char*)) {
    ExactBuffer padded = ExactBuffer::holding(secret, (secret.size() + 15) / 16 * 16 + 1);
    const int length = pad(padded.data(), static_cast<unsigned>(padded.size()));
    ExactBuffer text(aesTextCapacity(static_cast<size_t>(length)));
    EXPECT_EQ(transform(padded.data(), text.data(), length, 1, salt, masterKey), 1);
    ExactBuffer opened(aesPlainCapacity(text.text().size()));
    EXPECT_EQ(transform(text.data(), opened.data(), 0, 0, salt, masterKey), 1);
    trim(opened.data());
    EXPECT_EQ(opened.text(), secret);
    return text.text();
}

std::string legacyRoundTrip(const std::string& secret) {
    ExactBuffer clear = ExactBuffer::holding(secret);
    ExactBuffer text(legacyTextCapacity(secret.size()));
    EXPECT_EQ(EncryptData(clear.data(), legacyKey, text.data()), 1);
    ExactBuffer opened(legacyPlainCapacity(text.text().size()));
    EXPECT_EQ(DecryptData(text.data(), legacyKey, opened.data()), 1);
    EXPECT_EQ(opened.text(), secret);

    ExactBuffer dbText(legacyTextCapacity(secret.size()));
    EXPECT_EQ(DbEncryptData(clear.data(), dbText.data()), 1);
    ExactBuffer dbOpened(legacyPlainCapacity(dbText.text().size()));
    EXPECT_EQ(DbDecryptData(dbText.data(), dbOpened.data()), 1);
    EXPECT_EQ(dbOpened.text(), secret);
    return text.text() + dbText.text();
}

std::string base64RoundTrip(const std::string& bytes) {
    unsigned int textLength = 0;
    unsigned char* text = encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                 static_cast<int>(bytes.size()), &textLength);
    unsigned int decodedLength = 0;
    unsigned char* decoded = decode(text, &decodedLength);
    EXPECT_NE(decoded, nullptr);
    EXPECT_LT(decodedLength, length(text));
    EXPECT_EQ(asText(decoded, decodedLength), bytes);
    const std::string result = asText(text, textLength);
    delete[] text;
    delete[] decoded;
    return result;
}

void checkTables() {
    init();
    EXPECT_TRUE(init_);
    EXPECT_EQ(decoder_[static_cast<unsigned char>('/')], 63);
    EXPECT_EQ(member_[static_cast<unsigned char>('z')], 1);
    EXPECT_EQ(member_[static_cast<unsigned char>('=')], 0);
}

std::string separated(const std::string& joined, BOOLEAN aesParts) {
    ExactBuffer value = ExactBuffer::holding(joined);
    ExactBuffer user(joined.size() + 1);
    ExactBuffer host(joined.size() + 1);
    EXPECT_EQ(separateEncrUserAndHost(value.data(), user.data(), host.data(), aesParts), 1);
    ExactBuffer twinUser(joined.size() + 1);
    ExactBuffer twinHost(joined.size() + 1);
    EXPECT_EQ(DbSeparateEncrUserAndHost(value.data(), twinUser.data(), twinHost.data(), aesParts),
              1);
    EXPECT_EQ(twinUser.text() + "|" + twinHost.text(), user.text() + "|" + host.text());
    return user.text() + "|" + host.text();
}

// Every operation once, each result checked; returns what the round produced, which depends
// only on the round and must be the same in every thread.
std::vector<std::string> everyOperation(int round) {
    std::vector<std::string> out;
    checkTables();

    unsigned char key[16];
    unsigned char iv[16];
    EXPECT_EQ(getKey(static_cast<UINT32>(round), 0xFFFFFF80u, key, iv, 3), 1);
    out.push_back(asText(key, 16) + asText(iv, 16));

    char crit1[] = "user";
    char crit2[] = "host";
    char salt[3];
    char twinSalt[3];
    computeSalt(crit1, crit2, salt);
    EXPECT_EQ(DbComputeSalt(crit1, crit2, twinSalt), 1);
    EXPECT_STREQ(salt, "rh");
    EXPECT_STREQ(twinSalt, salt);

    const std::string secret = "secret of round " + std::to_string(round);
    out.push_back(base64RoundTrip(secret));
    // Short and long texts: the long ones cross the switch to EVP while the threads run.
    for (size_t n : {1, 17, 40, 200}) {
        std::string text = secret;
        text.resize(n, static_cast<char>('a' + round % 26));
        out.push_back(aesRoundTrip(text, salt, AES_128_CBC_Encrypt));
        EXPECT_EQ(aesRoundTrip(text, salt, Db_AES_128_CBC_Encrypt), out.back());
    }
    out.push_back(legacyRoundTrip(secret));

    const unsigned port = 1000u + static_cast<unsigned>(round);
    EXPECT_EQ(static_cast<unsigned>(demanglePort(static_cast<unsigned>(manglePort(port)))), port);
    EXPECT_EQ(DbManglePort(static_cast<int>(port)), manglePort(port));

    const std::string aesUser = out[2];  // 24 characters ending in "=="
    EXPECT_EQ(separated(aesUser + out[3], 1), aesUser + "|" + out[3]);
    EXPECT_EQ(separated("@user@host", 0), "@user|@host");

    char copy[8];
    EXPECT_EQ(StrNCpyZ(copy, "abcdefghij", sizeof copy), copy);
    EXPECT_STREQ(copy, "abcdefg");
    char joined[8] = "ab";
    StrNCatZ(joined, "cdefghij", sizeof joined);
    EXPECT_STREQ(joined, "abcdefg");
    return out;
}

TEST(Threads, EveryOperationAtOnceGivesTheSingleThreadedResults) {
    std::vector<std::vector<std::vector<std::string>>> results(threadCount);
    std::atomic<int> waiting{threadCount};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            // Start together, so that the first calls meet.
            waiting.fetch_sub(1);
            while (waiting.load() > 0)
                std::this_thread::yield();
            for (int round = 0; round < rounds; ++round)
                results[t].push_back(everyOperation(round));
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    for (int round = 0; round < rounds; ++round) {
        const std::vector<std::string> alone = everyOperation(round);
        for (int t = 0; t < threadCount; ++t) {
            EXPECT_EQ(results[t][round], alone) << "thread " << t << ", round " << round;
        }
    }
}

}  // namespace
