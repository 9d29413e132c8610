// The library's Base64 codec: RFC 4648 vectors, its line layout, and its lenient decoder.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "encDec.h"
#include "testSupport.h"

namespace {

struct Released {
    void operator()(unsigned char* p) const { delete[] p; }
};
using Result = std::unique_ptr<unsigned char[], Released>;

std::string encodeText(const std::string& bytes, unsigned int* reported = nullptr) {
    unsigned int len = 12345;
    Result text(encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<int>(bytes.size()), &len));
    if (reported != nullptr) *reported = len;
    return text ? std::string(reinterpret_cast<char*>(text.get()), len) : "<null>";
}

// The decoded bytes, or "<null>" when the decoder refuses the text.
std::string decodeText(const std::string& text) {
    auto input = tarntest::ExactBuffer::holding(text);
    unsigned int len = 12345;
    Result bytes(decode(reinterpret_cast<const unsigned char*>(input.data()), &len));
    if (!bytes) {
        EXPECT_EQ(len, 12345u) << "a refused text must leave the length alone";
        return "<null>";
    }
    EXPECT_LT(len, length(reinterpret_cast<const unsigned char*>(input.data())));
    EXPECT_EQ(bytes[len], 0) << "decoded bytes are followed by a zero byte";
    return std::string(reinterpret_cast<char*>(bytes.get()), len);
}

// Standard Base64 from OpenSSL, one line.
std::string standardBase64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string withoutLineFeeds(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

struct Vector {
    std::string bytes;
    std::string text;  // as the library writes it
};

// RFC 4648 section 10, with the library's line feed after a text that ends a non-empty line
// with a padded group.
const Vector rfc4648[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg==\n"},
    {"fooba", "Zm9vYmE=\n"},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64Encode, MatchesRfc4648Vectors) {
    for (const auto& v : rfc4648) {
        SCOPED_TRACE("input '" + v.bytes + "'");
        unsigned int reported = 0;
        EXPECT_EQ(encodeText(v.bytes, &reported), v.text);
        EXPECT_EQ(reported, v.text.size());
    }
}

TEST(Base64Decode, MatchesRfc4648Vectors) {
    for (const auto& v : rfc4648) {
        SCOPED_TRACE("text '" + v.text + "'");
        EXPECT_EQ(decodeText(v.text), v.bytes);
    }
}

TEST(Base64Encode, BreaksLinesAfter72Characters) {
    struct LayoutCase {
        size_t bytes;
        size_t length;  // reported, line feeds included
        bool endsInLineFeed;
    };
    const LayoutCase cases[] = {
        {0, 0, false},   {1, 4, false},   {3, 4, false},    {4, 9, true},     {6, 8, false},
        {16, 25, true},  {48, 64, false}, {53, 73, true},   {54, 73, true},   {55, 77, false},
        {57, 77, false}, {58, 82, true},  {108, 146, true}, {256, 349, true},
    };
    std::mt19937 rng(4648);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes << " bytes");
        const std::string text = encodeText(tarntest::randomBytes(rng, c.bytes));
        EXPECT_EQ(text.size(), c.length);
        EXPECT_EQ(!text.empty() && text.back() == '\n', c.endsInLineFeed);
    }
}

// Every length up to a few lines, with bytes of all values: same characters as standard
// Base64, line feeds exactly at every 73rd position, and a final one only after a padded
// group that shares its line or after a full line.
TEST(Base64Encode, AgreesWithStandardBase64AtEveryLength) {
    std::mt19937 rng(72);
    for (size_t n = 0; n <= 300; ++n) {
        SCOPED_TRACE(testing::Message() << n << " bytes");
        const std::string bytes = tarntest::randomBytes(rng, n);
        const std::string text = encodeText(bytes);
        const std::string plain = standardBase64(bytes);
        ASSERT_EQ(withoutLineFeeds(text), plain);
        const bool paddedGroupSharesLine = n % 3 != 0 && plain.size() % 72 != 4;
        const bool fullLastLine = !plain.empty() && plain.size() % 72 == 0;
        const bool finalLineFeed = paddedGroupSharesLine || fullLastLine;
        ASSERT_EQ(!text.empty() && text.back() == '\n', finalLineFeed);
        for (size_t i = 0; i + (finalLineFeed ? 1 : 0) < text.size(); ++i) {
            ASSERT_EQ(text[i] == '\n', i % 73 == 72) << "at " << i;
        }
    }
}

TEST(Base64Encode, NegativeLengthGivesTheEmptyText) {
    for (int len : {-1, -3, -2147483647 - 1}) {
        unsigned int reported = 99;
        Result text(encode(reinterpret_cast<const unsigned char*>("abc"), len, &reported));
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(reported, 0u);
        EXPECT_EQ(text[0], 0);
    }
}

TEST(Base64Codec, NullInputGivesNullAndLeavesTheLength) {
    unsigned int len = 7;
    EXPECT_EQ(encode(nullptr, 3, &len), nullptr);
    EXPECT_EQ(decode(nullptr, &len), nullptr);
    EXPECT_EQ(len, 7u);
}

struct DecodeCase {
    std::string text;
    std::string bytes;  // "<null>": refused
};

const DecodeCase decodeCases[] = {
    {"Zm9vYmFy", "foobar"},
    {"Zm9vYmE", "<null>"},  // three characters at the end without "="
    {"Zm9vYg", "<null>"},   // two
    {"Zm9vY", "<null>"},    // one
    {"Z", "<null>"},
    {"Zm9vY=", "<null>"},     // a single character before "="
    {"Zm9vYmFy=", "foobar"},  // "=" after a complete group
    {"Zg=", "f"},             // one "=" is enough
    {"Zm9=", "fo"},
    {"Zm9vYg==Zm9v", "foob"},    // nothing after the first "=" is read
    {"Z m9 vY mF y", "foobar"},  // spaces are skipped anywhere
    {"  Zm9v  ", "foo"},
    {" ", ""},
    {"", ""},
    {"=Zm9v", ""},   // a leading "=": empty result
    {"\nZm9v", ""},  // a leading line feed: empty result
    {"!Zm9v", ""},
    {"\x80Zm9v", ""},
    {"Zm9v\nYmFy", "foo"},  // a line feed ends the run
    {"Zm9v\r\nYmFy", "foo"},
    {"Zm9v\tYmFy", "foo"},
    {"Zm9vY\nmFy", "<null>"},  // ... even inside a group
    {"+/+/", "\xfb\xff\xbf"},
    {"AAAA", std::string("\0\0\0", 3)},
};

TEST(Base64Decode, ReadsTheLeadingRunAndRefusesIncompleteGroups) {
    for (const auto& c : decodeCases) {
        SCOPED_TRACE("text '" + c.text + "'");
        EXPECT_EQ(decodeText(c.text), c.bytes);
    }
}

TEST(Base64Decode, ReturnsEncodedBytesOfTheFirstLineOnly) {
    std::mt19937 rng(54);
    for (size_t n = 0; n <= 120; ++n) {
        SCOPED_TRACE(testing::Message() << n << " bytes");
        const std::string bytes = tarntest::randomBytes(rng, n);
        EXPECT_EQ(decodeText(encodeText(bytes)), bytes.substr(0, 54));
    }
}

// A text of `run` "A"s and a terminator that takes a few megabytes of memory however long it
// is: one chunk of "A"s mapped again and again, then a chunk holding the rest and zeros.
class RepeatedRun {
  public:
    static constexpr size_t chunk = size_t{2} << 20;

    explicit RepeatedRun(size_t run) : size_((run / chunk + 1) * chunk) {
        void* area =
            mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (area == MAP_FAILED) return;
        base_ = static_cast<unsigned char*>(area);
        const int full = chunkOf(chunk);
        const int tail = chunkOf(run % chunk);
        bool mapped = full >= 0 && tail >= 0;
        for (size_t at = 0; mapped && at < size_; at += chunk)
            mapped = mmap(base_ + at, chunk, PROT_READ, MAP_SHARED | MAP_FIXED,
                          at + chunk < size_ ? full : tail, 0) != MAP_FAILED;
        if (full >= 0) close(full);
        if (tail >= 0) close(tail);
        if (!mapped) release();
    }
    ~RepeatedRun() { release(); }
    RepeatedRun(const RepeatedRun&) = delete;
    RepeatedRun& operator=(const RepeatedRun&) = delete;

    const unsigned char* text() const { return base_; }

  private:
    // A memory file of one chunk: `letters` "A"s, then zeros.
    static int chunkOf(size_t letters) {
        const int fd = memfd_create("base64-run", 0);
        if (fd < 0 || ftruncate(fd, chunk) != 0) return -1;
        void* bytes = mmap(nullptr, chunk, PROT_WRITE, MAP_SHARED, fd, 0);
        if (bytes == MAP_FAILED) return -1;
        std::memset(bytes, 'A', letters);
        munmap(bytes, chunk);
        return fd;
    }
    void release() {
        if (base_ != nullptr) munmap(base_, size_);
        base_ = nullptr;
    }

    size_t size_;
    unsigned char* base_ = nullptr;
};

// The buffer size of a run must fit the unsigned int that length() and decode() report: the
// longest run that fits is 5,726,623,056 characters (4,294,967,293 bytes and a terminator).
// Longer runs once wrapped the size to a few bytes and decoded gigabytes into them.
TEST(Base64Decode, RefusesARunWhoseSizeDoesNotFit) {
    if (sizeof(size_t) < 8) GTEST_SKIP() << "such a text does not fit this address space";
    struct RunCase {
        size_t run;
        bool decoded;
    };
    const RunCase cases[] = {
        {2 * RepeatedRun::chunk + 4, true},  // the mapped text itself reads as one run
        {size_t{5726623057}, false},         // the shortest run that does not fit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.run << " characters");
        RepeatedRun text(c.run);
        ASSERT_NE(text.text(), nullptr) << "mapping the text failed";
        unsigned int len = 12345;
        Result bytes(decode(text.text(), &len));
        EXPECT_EQ(bytes != nullptr, c.decoded);
        EXPECT_EQ(len, c.decoded ? c.run / 4 * 3 : 12345u);
        EXPECT_EQ(length(text.text()), c.decoded ? c.run / 4 * 3 + 1 : UINT_MAX);
    }
}

TEST(Base64Length, SizesTheDecodeBufferFromTheAcceptedRun) {
    struct LengthCase {
        std::string text;
        unsigned int size;
    };
    const LengthCase cases[] = {
        {"", 1},  {"abcd", 4}, {"abcdefgh", 7},   {"!abcd", 1},    {"\nabcd", 1},
        {"=", 4}, {" ab", 4},  {"abcd\nefgh", 4}, {"ab==cd==", 7}, {"abcde", 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text '" + c.text + "'");
        EXPECT_EQ(length(reinterpret_cast<const unsigned char*>(c.text.c_str())), c.size);
    }
}

TEST(Base64Tables, HoldTheAlphabetOnly) {
    init();
    ASSERT_TRUE(init_);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int c = 0; c < 256; ++c) {
        const size_t pos = alphabet.find(static_cast<char>(c));
        const bool inAlphabet = c != 0 && pos != std::string::npos;
        EXPECT_EQ(member_[c], inAlphabet ? 1 : 0) << "character " << c;
        if (inAlphabet) {
            EXPECT_EQ(decoder_[c], pos) << "character " << c;
        }
    }
}

}  // namespace
