// dbcipher against its independent peers, through a live server (PGHOST etc. from the
// sandbox): every SQL function gives what libtarncrypt gives for the same arguments, and
// aes_encr gives the AES text that pgcrypto computes with the derived IV.
#include <libpq-fe.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "encDec.h"

namespace {

std::string hexOf(const std::string& bytes) {
    std::string hex = "\\x";
    char pair[3];
    for (unsigned char c : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", c);
        hex += pair;
    }
    return hex;
}

std::string zeroExtended(const std::string& text, size_t width) {
    std::string buffer = text;
    if (buffer.size() < width) buffer.resize(width, '\0');
    return buffer;
}

std::string paddedWithSpaces(const std::string& text) {
    return text +
           std::string((tarnAesBlockBytes - text.size() % tarnAesBlockBytes) % tarnAesBlockBytes,
                       ' ');
}

// ---- what the library gives ------------------------------------------------------------

std::string libraryAesEncrypt(const std::string& input, int inputLen, const std::string& salt,
                              const std::string& key) {
    std::string in = zeroExtended(input, static_cast<size_t>(inputLen)) + '\0';
    std::string s = zeroExtended(salt, 2) + '\0';
    std::string k = zeroExtended(key, 16) + '\0';
    std::vector<char> out(aesTextCapacity(static_cast<size_t>(inputLen)), '\0');
    AES_128_CBC_Encrypt(in.data(), out.data(), inputLen, 1, s.data(), k.data());
    return out.data();
}

std::string libraryAesDecrypt(const std::string& text, const std::string& salt,
                              const std::string& key) {
    std::string in = text;
    std::string s = zeroExtended(salt, 2) + '\0';
    std::string k = zeroExtended(key, 16) + '\0';
    std::vector<char> out(aesPlainCapacity(text.size()), '\0');
    AES_128_CBC_Encrypt(in.data(), out.data(), 0, 0, s.data(), k.data());
    return out.data();
}

std::string derivedIv(const std::string& salt) {
    const std::string s = zeroExtended(salt, 2);
    unsigned char iv[tarnAesBlockBytes] = {};
    getKey(static_cast<UINT32>(static_cast<int>(static_cast<signed char>(s[0]))),
           static_cast<UINT32>(static_cast<int>(static_cast<signed char>(s[1]))), nullptr, iv, 2);
    return std::string(reinterpret_cast<const char*>(iv), tarnAesBlockBytes);
}

std::string libraryLegacyEncrypt(const std::string& clear) {
    std::string in = clear;
    std::vector<char> out(legacyTextCapacity(clear.size()), '\0');
    DbEncryptData(in.data(), out.data());
    return out.data();
}

// The clear text, or the empty text when the library refuses the text.
std::string libraryLegacyDecrypt(const std::string& ascii) {
    std::string in = ascii;
    std::vector<char> out(legacyPlainCapacity(ascii.size()), '\0');
    return DbDecryptData(in.data(), out.data()) == 1 ? std::string(out.data()) : std::string();
}

// ---- what the server gives -------------------------------------------------------------

class Server : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        conn_ = PQconnectdb("");
        ASSERT_EQ(PQstatus(conn_), CONNECTION_OK) << PQerrorMessage(conn_);
        value("CREATE EXTENSION IF NOT EXISTS dbcipher", {});
        value("CREATE EXTENSION IF NOT EXISTS pgcrypto", {});
    }
    static void TearDownTestSuite() { PQfinish(conn_); }

    // The first column of the only row, in text form; "<NULL>" or "<ERROR ...>" otherwise.
    static std::string value(const std::string& sql, const std::vector<std::string>& params) {
        std::vector<const char*> values;
        for (const auto& p : params)
            values.push_back(p.c_str());
        PGresult* res = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                     values.data(), nullptr, nullptr, 0);
        std::string out;
        const ExecStatusType status = PQresultStatus(res);
        if (status == PGRES_COMMAND_OK) {
            out = "";
        } else if (status != PGRES_TUPLES_OK) {
            out = std::string("<ERROR ") + PQresultErrorMessage(res) + ">";
        } else if (PQgetisnull(res, 0, 0)) {
            out = "<NULL>";
        } else {
            out.assign(PQgetvalue(res, 0, 0), PQgetlength(res, 0, 0));
        }
        PQclear(res);
        return out;
    }

    static PGconn* conn_;
};

PGconn* Server::conn_ = nullptr;

struct AesCase {
    const char* name;
    std::string text;
    std::string salt;
    std::string key;
};

const std::vector<AesCase> aesCases = {
    {"one block", "hello", "ab", "0123456789abcdef"},
    {"exact block", "0123456789abcdef", "Xy", "TarnMasterKey016"},
    {"two blocks", "db01.example.net:5432", "Xy", "TarnMasterKey016"},
    {"three blocks, no padding", std::string(40, 'p'), "Qw", "TarnMasterKey016"},
    {"two lines", std::string(64, 'L'), "Qw", "TarnMasterKey016"},
    {"five lines", std::string(300, 'm'), "mL", "TarnMasterKey016"},
    {"multi-byte text", "p\xc3\xa4ss\xe2\x82\xacw\xc3\xb6rd", "ab", "TarnMasterKey016"},
    {"multi-byte salt, sign-widened", "secret", "\xc3\xa9", "TarnMasterKey016"},
    {"one-byte salt", "secret", "a", "TarnMasterKey016"},
    {"empty salt", "secret", "", "TarnMasterKey016"},
    {"short key", "secret", "ab", "k"},
    {"empty key", "secret", "ab", ""},
    {"key longer than 16", "secret", "ab", "0123456789abcdefEXTRA"},
};

// A case as the platform stores it: the space-padded plaintext and the library's text of it.
struct StoredCase {
    std::string padded;
    std::string text;
    std::string pgcryptoKey;  // the 16 key bytes the transform reads, as a bytea literal
    std::string pgcryptoIv;
};

StoredCase stored(const AesCase& c) {
    const std::string padded = paddedWithSpaces(c.text);
    return {padded, libraryAesEncrypt(padded, static_cast<int>(padded.size()), c.salt, c.key),
            hexOf(zeroExtended(c.key, 16).substr(0, 16)), hexOf(derivedIv(c.salt))};
}

TEST_F(Server, AesEncryptAgreesWithLibraryAndPgcrypto) {
    // pgcrypto's Base64 has 76-column lines; the AES text has 72 and no final line break.
    const std::string pgcrypto =
        "SELECT rtrim(regexp_replace(translate(encode(encrypt_iv($1::bytea, $2::bytea, "
        "$3::bytea, 'aes-cbc/pad:none'), 'base64'), E'\\n', ''), '(.{72})', E'\\\\1\\n', 'g'), "
        "E'\\n')";
    for (const auto& c : aesCases) {
        SCOPED_TRACE(c.name);
        const StoredCase s = stored(c);
        EXPECT_EQ(
            value("SELECT aes_encr($1, align_input($1), true, $2, $3)", {s.padded, c.salt, c.key}),
            s.text);
        EXPECT_EQ(value(pgcrypto, {hexOf(s.padded), s.pgcryptoKey, s.pgcryptoIv}), s.text);
    }
}

TEST_F(Server, AesDecryptAgreesWithLibraryAndPgcrypto) {
    const std::string pgcrypto =
        "SELECT convert_from(decrypt_iv(decode(translate($1, E'\\n', ''), 'base64'), $2::bytea, "
        "$3::bytea, 'aes-cbc/pad:none'), 'UTF8')";
    for (const auto& c : aesCases) {
        SCOPED_TRACE(c.name);
        const StoredCase s = stored(c);
        EXPECT_EQ(libraryAesDecrypt(s.text, c.salt, c.key), s.padded);
        EXPECT_EQ(value("SELECT aes_encr($1, 0, false, $2, $3)", {s.text, c.salt, c.key}),
                  s.padded);
        EXPECT_EQ(value(pgcrypto, {s.text, s.pgcryptoKey, s.pgcryptoIv}), s.padded);
    }
}

// inputLen other than the text's padded length: the library reads exactly inputLen bytes,
// which the module provides as the text followed by zero bytes.
TEST_F(Server, AesEncryptWithAnyBlockLengthAgreesWithLibrary) {
    const struct {
        std::string text;
        int inputLen;
    } cases[] = {{"", 0},
                 {"abc", 0},
                 {"abc", 16},
                 {"abc", 64},
                 {"0123456789abcdefXYZ", 16},
                 {"0123456789abcdefXYZ", 32},
                 {std::string(100, 'z'), 48}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " / " + std::to_string(c.inputLen));
        EXPECT_EQ(value("SELECT aes_encr($1, $2::int, true, 'ab', 'TarnMasterKey016')",
                        {c.text, std::to_string(c.inputLen)}),
                  libraryAesEncrypt(c.text, c.inputLen, "ab", "TarnMasterKey016"));
    }
}

TEST_F(Server, LegacyTextsAgreeWithLibraryForEveryLength) {
    for (size_t n = 0; n <= legacyMaxClearLength; ++n) {
        std::string clear;
        for (size_t i = 0; i < n; ++i)
            clear += static_cast<char>('!' + (i * 7 + n) % 90);
        SCOPED_TRACE(n);
        const std::string expected = libraryLegacyEncrypt(clear);
        ASSERT_EQ(value("SELECT encr($1)", {clear}), expected);
        ASSERT_EQ(value("SELECT decr($1)", {expected}), clear);
    }
}

// Refused texts give the empty text, whatever the library left in its buffer; texts the
// checks let through give what the library gives, as bytes: they need not be valid text.
TEST_F(Server, DecrOfDamagedTextsAgreesWithLibraryStatus) {
    const std::string valid = libraryLegacyEncrypt("password1");
    const char replacements[] = "Dbhx$_0Z";
    int compared = 0;
    for (size_t pos = 1; pos < valid.size(); ++pos) {
        for (const char* r = replacements; *r != '\0'; ++r) {
            std::string damaged = valid;
            damaged[pos] = *r;
            SCOPED_TRACE(damaged);
            EXPECT_EQ(value("SELECT decr(convert_to($1, 'UTF8'))", {damaged}),
                      hexOf(libraryLegacyDecrypt(damaged)));
            ++compared;
        }
    }
    EXPECT_GT(compared, 100);
}

TEST_F(Server, HelpersAgreeWithLibrary) {
    for (const long port : {0L, 1L, 389L, 5432L, 65535L, -1L, 2147483647L, -2147483648L}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(value("SELECT mangle_port($1::int)", {std::to_string(port)}),
                  std::to_string(manglePort(static_cast<unsigned int>(port))));
    }
    const std::pair<std::string, std::string> crits[] = {
        {"ab", "cde"}, {"", "abcd"}, {"a", ""}, {"", ""}, {"alice", "db01"}, {"\xc3\xa9", ""}};
    for (const auto& [crit1, crit2] : crits) {
        SCOPED_TRACE(crit1 + "|" + crit2);
        std::string a = crit1;
        std::string b = crit2;
        char salt[3] = {};
        computeSalt(a.data(), b.data(), salt);
        EXPECT_EQ(value("SELECT compute_salt($1, $2)", {crit1, crit2}), salt);
    }
}

TEST_F(Server, SplitsAgreeWithLibrary) {
    const std::string legacyValue = libraryLegacyEncrypt("alice") + libraryLegacyEncrypt("db01");
    const std::string aesValue =
        libraryAesEncrypt(paddedWithSpaces("alice"), 16, "al", "k") +
        libraryAesEncrypt(paddedWithSpaces("db01.example.net!"), 32, "al", "k");
    const std::pair<std::string, bool> cases[] = {
        {legacyValue, false}, {"@a@b@c", false}, {"@abc", false}, {"", false},
        {aesValue, true},     {"abc", true},     {"abc=", true},  {"", true}};
    for (const auto& [combined, masterKey] : cases) {
        SCOPED_TRACE(combined);
        std::string in = combined;
        std::vector<char> user(combined.size() + 1, '\0');
        std::vector<char> host(combined.size() + 1, '\0');
        separateEncrUserAndHost(in.data(), user.data(), host.data(), masterKey ? 1 : 0);
        const std::string flag = masterKey ? "true" : "false";
        EXPECT_EQ(value("SELECT separate_encr_user($1, $2::boolean)", {combined, flag}),
                  user.data());
        EXPECT_EQ(value("SELECT separate_encr_host($1, $2::boolean)", {combined, flag}),
                  host.data());
    }
}

}  // namespace
