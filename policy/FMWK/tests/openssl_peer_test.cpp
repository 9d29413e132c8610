// Cross-checks of the AES text transform against independent implementations: the openssl
// command line (cipher and Base64), and the CBC-AES128 vectors of NIST SP 800-38A F.2.1.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "encDec.h"
#include "testSupport.h"

namespace {

using tarntest::AesKey;
using tarntest::hex;
using tarntest::runCommand;

UINT32 widenedBySign(char c) {
    return static_cast<UINT32>(static_cast<signed char>(c));
}

std::string derivedIv(const char* salt) {
    unsigned char iv[16];
    getKey(widenedBySign(salt[0]), widenedBySign(salt[1]), nullptr, iv, 2);
    return std::string(reinterpret_cast<char*>(iv), 16);
}

// Breaks single-line Base64 into 72-character lines, with no line feed at the end.
std::string wrapAt72(const std::string& oneLine) {
    std::string text;
    for (size_t i = 0; i < oneLine.size(); i += 72) {
        if (i > 0) text += '\n';
        text += oneLine.substr(i, 72);
    }
    return text;
}

// `openssl enc -aes-128-cbc -nopad` of the plaintext, as one line of standard Base64.
std::string opensslText(const std::string& plain, const AesKey& key, const std::string& iv) {
    char path[] = "/tmp/tarncrypt-peer-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, plain.data(), plain.size()) != static_cast<ssize_t>(plain.size())) {
        return "<temp file failed>";
    }
    close(fd);
    const std::string keyHex = hex(std::string(reinterpret_cast<const char*>(key.bytes), 16));
    std::string out =
        runCommand(std::string(TARN_OPENSSL_CLI) + " enc -aes-128-cbc -nopad -a -A -K " + keyHex +
                   " -iv " + hex(iv) + " -in " + path);
    unlink(path);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return wrapAt72(out);
}

// The transform's text under the key prepared beforehand, as a database backend makes it.
std::string preparedKeyText(const std::string& plain, const char* salt, AesKey key) {
    TarnPreparedKey prepared;
    if (AES_128_CBC_PrepareKey(&prepared, key.data()) != 1) return "<key not prepared>";
    tarntest::ExactBuffer input = tarntest::ExactBuffer::holding(plain);
    tarntest::ExactBuffer output(aesTextCapacity(plain.size()));
    AES_128_CBC_EncryptPrepared(input.data(), output.data(), static_cast<int>(plain.size()), 1,
                                salt, &prepared);
    AES_128_CBC_ForgetKey(&prepared);
    return output.text();
}

struct PeerCase {
    std::string salt;  // two bytes
    std::string key;   // key text; the buffer holds zero bytes after it
};

const PeerCase peerCases[] = {
    {"Ab", "0123456789abcdef"},
    {"\xE9"
     "A",
     "0123456789abcdef"},  // first salt byte widened by sign
    {"z\x80", "K3y!K3y!K3y!K3y!"},
    {"\xFF\xFF", "\xF0\xE1\xD2\xC3\xB4\xA5\x96\x87\x78\x69\x5A\x4B\x3C\x2D\x1E\x0F"},
    {std::string("Q\0", 2), "0123456789abcdef"},  // one-character salt: its terminator
    {"mN", "short"},                              // five characters and eleven zero bytes
    {"mN", ""},                                   // sixteen zero bytes
};

TEST(AesOpensslPeer, TextEqualsOpensslCipherAndBase64) {
    std::mt19937 rng(800);
    for (const auto& c : peerCases) {
        const AesKey key = tarntest::keyFromText(c.key);
        const std::string iv = derivedIv(c.salt.c_str());
        for (size_t n = 16; n <= 256; n += 16) {
            SCOPED_TRACE(testing::Message()
                         << "salt " << hex(c.salt) << ", key '" << c.key << "', " << n << " bytes");
            const std::string plain = tarntest::randomBytes(rng, n);
            const std::string text = tarntest::aesEncrypt(plain, c.salt.c_str(), key);
            ASSERT_EQ(text, opensslText(plain, key, iv));
            EXPECT_EQ(preparedKeyText(plain, c.salt.c_str(), key), text);
            EXPECT_EQ(tarntest::aesDecryptRaw(text, c.salt.c_str(), key).substr(0, n), plain);
        }
    }
}

// NIST SP 800-38A F.2.1 (CBC-AES128.Encrypt). The transform derives its own IV, so the first
// block is given pre-whitened with (NIST IV xor derived IV); CBC then produces exactly the
// published ciphertext.
TEST(AesOpensslPeer, ReproducesNistSp80038aCbcAes128) {
    const std::string key = tarntest::unhex("2b7e151628aed2a6abf7158809cf4f3c");
    const std::string nistIv = tarntest::unhex("000102030405060708090a0b0c0d0e0f");
    std::string plain = tarntest::unhex(
        "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const std::string cipher = tarntest::unhex(
        "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
        "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
    const char salt[3] = "Ns";
    const std::string iv = derivedIv(salt);
    for (size_t i = 0; i < 16; ++i)
        plain[i] = static_cast<char>(plain[i] ^ nistIv[i] ^ iv[i]);

    std::string base64(4 * ((cipher.size() + 2) / 3) + 1, '\0');
    base64.resize(static_cast<size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(&base64[0]),
        reinterpret_cast<const unsigned char*>(cipher.data()), static_cast<int>(cipher.size()))));

    const AesKey aesKey = tarntest::keyFromText(key);
    const std::string text = tarntest::aesEncrypt(plain, salt, aesKey);
    EXPECT_EQ(text, wrapAt72(base64));
    EXPECT_EQ(tarntest::aesDecryptRaw(text, salt, aesKey).substr(0, 64), plain);
}

}  // namespace
