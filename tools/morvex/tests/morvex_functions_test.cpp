// The tool's functions linked directly: the legacy decoder against the library's, and the
// envelope against the format worked out with the library's transform.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "deadStack.h"
#include "encDec.h"
#include "envelopeOracle.h"
#include "lineReader.h"
#include "morvex_batch.h"
#include "morvex_new.h"

namespace {

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using HeapString = std::unique_ptr<char, FreeDeleter>;

std::optional<std::string> toolDecrypt(const char* text, const char* key) {
    std::string t = text ? text : "";
    std::string k = key ? key : "";
    HeapString result(DecryptData(text ? t.data() : nullptr, key ? k.data() : nullptr));
    if (!result) return std::nullopt;
    return std::string(result.get());
}

std::optional<std::string> libraryDecrypt(const std::string& text, const std::string& key) {
    std::string t = text;
    std::string k = key;
    std::vector<char> out(legacyPlainCapacity(text.size()), '\0');
    if (DecryptData(t.data(), k.data(), out.data()) != 1) return std::nullopt;
    return std::string(out.data());
}

std::string libraryEncrypt(const std::string& clear, const std::string& key) {
    std::string c = clear;
    std::string k = key;
    std::vector<char> out(legacyTextCapacity(clear.size()), '\0');
    EXPECT_EQ(EncryptData(c.data(), k.data(), out.data()), 1);
    return out.data();
}

// Bytes 1 to 255: anything a C string can carry.
std::string randomBytes(std::mt19937& rng, size_t length) {
    std::uniform_int_distribution<int> byte(1, 255);
    std::string s;
    for (size_t i = 0; i < length; ++i)
        s.push_back(static_cast<char>(byte(rng)));
    return s;
}

// Calls one of the envelope functions on copies of its arguments and takes over the result.
std::string callEnvelopeFunction(char* (*function)(char*, char*), std::string first,
                                 std::string second) {
    HeapString result(function(first.data(), second.data()));
    EXPECT_NE(result, nullptr);
    return result ? result.get() : "";
}

std::string envelopeOf(const std::string& text, const std::string& key) {
    return callEnvelopeFunction(EncryptDataNew, text, key);
}

std::string openEnvelope(const std::string& envelope, const std::string& key) {
    return callEnvelopeFunction(DecryptDataNew, envelope, key);
}

// ---- legacy decoder -------------------------------------------------------------------

TEST(ToolLegacyDecoder, AgreesWithTheLibraryOnRandomTextsAndKeys) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<size_t> clearLength(0, 255);
    std::uniform_int_distribution<size_t> keyLength(1, 255);
    for (int round = 0; round < 400; ++round) {
        const std::string clear = randomBytes(rng, clearLength(rng));
        const std::string key = randomBytes(rng, keyLength(rng));
        const std::string text = libraryEncrypt(clear, key);
        ASSERT_EQ(toolDecrypt(text.c_str(), key.c_str()), clear) << "round " << round;
        EXPECT_EQ(libraryDecrypt(text, key), clear);
    }
}

// Damaged texts and wrong keys: both decoders refuse alike, or read the same bytes.
TEST(ToolLegacyDecoder, AgreesWithTheLibraryOnDamagedTexts) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<size_t> clearLength(0, 40);
    std::uniform_int_distribution<int> alphabet(0, 63);
    const char* sixbit = "Dbhd6rs_t8aYNTe7F2ikK5EQRgqHMSP0zm3J9CW4LVZcwXlyUnpfjuG1I$BOAovx";
    int refusals = 0;
    for (int round = 0; round < 600; ++round) {
        const std::string key = randomBytes(rng, 1 + round % 20);
        std::string text = libraryEncrypt(randomBytes(rng, clearLength(rng)), key);
        const size_t pos = 1 + rng() % (text.size() - 1);
        switch (round % 4) {
            case 0:
                text[pos] = sixbit[alphabet(rng)];
                break;
            case 1:
                text.erase(pos, 1);
                break;
            case 2:
                text.push_back(sixbit[alphabet(rng)]);
                break;
            default:
                text[pos] = static_cast<char>(rng() % 255 + 1);
                break;
        }
        const std::optional<std::string> expected = libraryDecrypt(text, key);
        refusals += !expected;
        EXPECT_EQ(toolDecrypt(text.c_str(), key.c_str()), expected) << text;
    }
    EXPECT_GT(refusals, 300);
}

TEST(ToolLegacyDecoder, ReadsTextsMadeWithKeysOver255Characters) {
    std::mt19937 rng(5);
    for (size_t keyLength : {256u, 257u, 300u, 511u, 1024u, 5000u}) {
        SCOPED_TRACE(keyLength);
        const std::string key = randomBytes(rng, keyLength);
        const std::string clear = randomBytes(rng, 255);
        const std::string text = libraryEncrypt(clear, key);
        EXPECT_EQ(toolDecrypt(text.c_str(), key.c_str()), clear);
        // Every byte of a long key counts: its first 255 characters alone do not open it.
        EXPECT_NE(toolDecrypt(text.c_str(), key.substr(0, 255).c_str()), clear);
    }
}

struct ContractRow {
    const char* name;
    const char* text;
    const char* key;
    std::optional<std::string> result;
};

TEST(ToolLegacyDecoder, Contract) {
    const std::string emptyClear = libraryEncrypt("", "key");
    const ContractRow rows[] = {
        {"null text", nullptr, "key", std::nullopt},
        {"empty text comes back", "", "key", ""},
        {"plain text comes back", "plain text", "key", "plain text"},
        {"plain text with empty key", "plain", "", "plain"},
        {"@ alone", "@", "key", std::nullopt},
        {"@@ prefix", "@@Dbhd", "key", std::nullopt},
        {"outside the alphabet", "@Dbh=", "key", std::nullopt},
        {"empty key", emptyClear.c_str(), "", std::nullopt},
        {"null key", emptyClear.c_str(), nullptr, std::nullopt},
        {"empty clear text", emptyClear.c_str(), "key", ""},
    };
    for (const ContractRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(toolDecrypt(row.text, row.key), row.result);
    }
}

TEST(ToolLegacyDecoder, PlainTextComesBackAsANewString) {
    char text[] = "not legacy";
    char key[] = "key";
    HeapString copy(DecryptData(text, key));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), text);
    EXPECT_STREQ(copy.get(), text);
}

// ---- envelope -------------------------------------------------------------------------

const std::string genericKey = "0123456789abcdef";

// Distinct characters, so that the salt's two positions show in its two characters.
std::string distinctText(size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text.push_back(static_cast<char>(0x21 + i % 94));
    return text;
}

TEST(Envelope, EveryLengthFollowsTheFormat) {
    for (size_t length = 1; length <= envelopeMaxTextLength; ++length) {
        SCOPED_TRACE(length);
        const std::string text = distinctText(length);
        const std::string envelope = envelopeOf(text, genericKey);
        const OpenedEnvelope opened = openWithLibrary(envelope, genericKey);
        ASSERT_EQ(opened.saltPlain.size(), 16u);
        EXPECT_EQ(opened.saltPlain.substr(2), std::string(14, ' '));
        const char s0 = opened.saltPlain[0];
        const char s1 = opened.saltPlain[1];
        EXPECT_NE(text.find(s0), std::string::npos);
        EXPECT_NE(text.find(s1), std::string::npos);
        if (length >= 2 && length <= 94) {
            EXPECT_NE(s0, s1);
        }
        std::string padded = text;
        padded.resize((length + 15) / 16 * 16, ' ');
        EXPECT_EQ(opened.padded, padded);
        EXPECT_EQ(openEnvelope(envelope, genericKey), text);
    }
}

TEST(Envelope, SaltVariesBetweenCalls) {
    const std::string text = distinctText(60);
    std::set<std::string> salts;
    for (int call = 0; call < 40; ++call) {
        salts.insert(openWithLibrary(envelopeOf(text, genericKey), genericKey).saltPlain);
    }
    EXPECT_GT(salts.size(), 1u);
}

TEST(Envelope, EmptyTextOpensToTheEmptyText) {
    const std::string envelope = envelopeOf("", genericKey);
    EXPECT_EQ(envelope.size(), 50u);
    EXPECT_EQ(envelope, envelopeOf(" ", genericKey));
    EXPECT_EQ(openEnvelope(envelope, genericKey), "");
}

// A key shorter than 16 bytes acts as its characters followed by zero bytes, and is never
// read past its end (the sanitizer build checks the latter).
TEST(Envelope, ShortKeysActAsZeroFilled) {
    const std::pair<std::string, std::string> rows[] = {
        {"", std::string()},
        {"k", std::string("k")},
        {"short key\n", std::string("short key\n")},
    };
    for (const auto& [key, asUsed] : rows) {
        SCOPED_TRACE(key);
        const std::string envelope = envelopeOf("rrrr", key);
        EXPECT_EQ(envelope, repeatedCharEnvelope("rrrr", asUsed));
        EXPECT_EQ(openEnvelope(envelope, key), "rrrr");
    }
    // Only the first 16 characters of a longer key count.
    EXPECT_EQ(envelopeOf("rrrr", genericKey + "tail"), envelopeOf("rrrr", genericKey));
}

// Making and opening an envelope copies the generic key and the text to the stack; no copy may
// stay there once the call returns. Both arguments are on the heap.
TEST(Envelope, LeavesNoKeyOrTextOnTheStack) {
    const std::string text = distinctText(40);
    const std::vector<std::string> secrets = {genericKey, text};
    // The first calls bind this program's imports (see AesTransform.LeavesNoRoundKeyOnTheStack).
    std::string envelope = envelopeOf(text, genericKey);
    std::string opened = openEnvelope(envelope, genericKey);
    EXPECT_EQ(tarntest::leftOnStack([&] { envelope = envelopeOf(text, genericKey); }, secrets),
              std::vector<std::string>{});
    EXPECT_EQ(tarntest::leftOnStack([&] { opened = openEnvelope(envelope, genericKey); }, secrets),
              std::vector<std::string>{});
    EXPECT_EQ(opened, text);
}

TEST(Envelope, NullArgumentsGiveNull) {
    char text[] = "text";
    char key[] = "key";
    EXPECT_EQ(EncryptDataNew(nullptr, key), nullptr);
    EXPECT_EQ(EncryptDataNew(text, nullptr), nullptr);
    EXPECT_EQ(DecryptDataNew(nullptr, key), nullptr);
    EXPECT_EQ(DecryptDataNew(text, nullptr), nullptr);
}

TEST(Envelope, AlteredEnvelopesOpenWithoutCrash) {
    const std::string envelope = envelopeOf(distinctText(100), genericKey);
    const std::string rows[] = {
        "@@" + std::string(48, '='),
        "@@" + std::string(48, '\n'),
        "@@" + std::string(24, 'A') + std::string(24, '!'),
        envelope.substr(0, envelope.size() - 1) + "A",
        envelope.substr(0, 40) + envelope.substr(60),
        "@@" + std::string(1000, 'Q'),
    };
    for (const std::string& altered : rows) {
        SCOPED_TRACE(altered);
        openEnvelope(altered, genericKey);
    }
}

// One character in the middle of the salt block changed: a whole 6-bit group of its first
// block, so the change never falls into padding bits.
std::string withSaltBlockAltered(std::string envelope) {
    char& c = envelope[envelope.size() - envelopeSaltBlockLength + 5];
    c = c == 'A' ? 'B' : 'A';
    return envelope;
}

// The opener that callers use before acting on a text (a bind, a re-key) refuses every key
// but the sealing one, and every envelope whose salt block was altered.
TEST(Envelope, OpensUnderTheSealingKeyOnly) {
    const std::string text = distinctText(40);
    const std::string envelope = envelopeOf(text, genericKey);
    const std::string empty = envelopeOf("", genericKey);
    struct Row {
        std::string envelope;
        std::string key;
        EnvelopeOpening expected;
    };
    const Row rows[] = {
        {envelope, genericKey, EnvelopeOpening::opened},
        {empty, genericKey, EnvelopeOpening::opened},
        {envelope, genericKey + "tail", EnvelopeOpening::opened},
        {envelope, "another key", EnvelopeOpening::notUnderThisKey},
        {envelope, "", EnvelopeOpening::notUnderThisKey},
        {withSaltBlockAltered(envelope), genericKey, EnvelopeOpening::notUnderThisKey},
        {"@@" + std::string(48, 'A'), genericKey, EnvelopeOpening::notUnderThisKey},
        {envelope.substr(0, 49), genericKey, EnvelopeOpening::tooShort},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.envelope + " under " + row.key);
        const PreparedGenericKey key(row.key.c_str());
        EnvelopeOpening opening = EnvelopeOpening::noMemory;
        HeapString opened(openEnvelopeUnderKey(row.envelope.c_str(), key.get(), &opening));
        EXPECT_EQ(opening, row.expected);
        EXPECT_EQ(opened != nullptr, row.expected == EnvelopeOpening::opened);
    }
    std::mt19937 rng(7);
    int passed = 0;
    for (int i = 0; i < 10000; ++i) {
        const PreparedGenericKey wrong(randomBytes(rng, 16).c_str());
        EnvelopeOpening opening = EnvelopeOpening::noMemory;
        HeapString opened(openEnvelopeUnderKey(envelope.c_str(), wrong.get(), &opening));
        passed += opened != nullptr;
    }
    EXPECT_EQ(passed, 0) << "of 10,000 random wrong keys";
}

TEST(Envelope, OverlongTextEndsTheProcess) {
    std::string text(envelopeMaxTextLength + 1, 'a');
    char key[] = "key";
    EXPECT_EXIT(EncryptDataNew(text.data(), key), ::testing::ExitedWithCode(1), "")
        << "prints its message on standard output";
}

TEST(Envelope, ShortEnvelopeEndsTheProcess) {
    std::string envelope = "@@" + std::string(envelopeMinOpenLength - 1, 'A');
    char key[] = "key";
    EXPECT_EXIT(DecryptDataNew(envelope.data(), key), ::testing::ExitedWithCode(1), "");
}

// ---- batch ----------------------------------------------------------------------------

// A file in memory that holds content, open for reading from its start.
struct MemoryFile {
    int fd;
    explicit MemoryFile(const std::string& content) : fd(memfd_create("batch", MFD_CLOEXEC)) {
        EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        lseek(fd, 0, SEEK_SET);
    }
    ~MemoryFile() { close(fd); }
    std::string content() const {
        std::string all(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
        EXPECT_EQ(pread(fd, all.data(), all.size(), 0), static_cast<ssize_t>(all.size()));
        return all;
    }
};

// Every line as the reader hands it out; none for an overlong line.
std::vector<std::optional<std::string>> readAll(const std::string& input, size_t longest,
                                                size_t capacity) {
    MemoryFile file(input);
    LineReader reader(file.fd, longest, capacity);
    std::vector<std::optional<std::string>> lines;
    for (;;) {
        Line line;
        const ReadStep step = reader.take(line);
        if (step == ReadStep::end) break;
        if (step == ReadStep::needInput) {
            EXPECT_TRUE(reader.fill());
            continue;
        }
        if (line.overlong) {
            lines.emplace_back();
        } else {
            EXPECT_EQ(line.text[line.length], '\0');
            lines.emplace_back(std::string(line.text, line.length));
        }
    }
    return lines;
}

struct ReaderRow {
    const char* name;
    std::string input;
    size_t longest;
    size_t capacity;
    std::vector<std::optional<std::string>> lines;
};

TEST(LineReader, HandsOutEveryLineOnceWhateverTheReadsCut) {
    const auto none = std::nullopt;
    const ReaderRow rows[] = {
        {"empty input", "", 4, 64, {}},
        {"one empty line", "\n", 4, 64, {""}},
        {"last line without line end", "a\nbb\nccc", 4, 64, {"a", "bb", "ccc"}},
        {"exactly the longest", "abcd\n", 4, 64, {"abcd"}},
        {"one byte over", "abcde\nx", 4, 64, {none, "x"}},
        {"overlong last line", "abcdefgh", 4, 64, {none}},
        {"lines across reads", "abc\ndefgh\nij\n", 5, 8, {"abc", "defgh", "ij"}},
        {"overlong over many reads", std::string(100, 'x') + "\nok", 5, 8, {none, "ok"}},
        {"overlong ends at a read", "xxxxxxxx\nok\n", 5, 8, {none, "ok"}},
        {"overlong to the end over reads", std::string(30, 'y'), 5, 8, {none}},
        {"carriage return kept", "a\r\nb", 4, 64, {"a\r", "b"}},
        {"zero byte kept", std::string("a\0b\n", 4), 4, 64, {std::string("a\0b", 3)}},
        {"capacity raised to fit a line", "abcdef\n", 6, 2, {"abcdef"}},
    };
    for (const ReaderRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(readAll(row.input, row.longest, row.capacity), row.lines);
    }
}

// The streams of one batch, in memory.
struct BatchFiles {
    MemoryFile in;
    MemoryFile out{""};
    MemoryFile err{""};
    explicit BatchFiles(const std::string& input) : in(input) {}
    BatchStreams streams(size_t capacity = LineReader::defaultCapacity) const {
        return BatchStreams{in.fd, out.fd, err.fd, capacity};
    }
};

struct BatchRun {
    std::string out;
    std::string err;
    int status;
};

BatchRun runInMemory(BatchMode mode, const std::string& input, const std::string& key,
                     size_t capacity = LineReader::defaultCapacity) {
    const BatchFiles files(input);
    const int status = runBatch(mode, BatchKeys{key.c_str()}, files.streams(capacity));
    return {files.out.content(), files.err.content(), status};
}

// A short read buffer moves the lines across many reads; the results stay the same.
TEST(Batch, ResultsDoNotDependOnHowTheInputIsRead) {
    const std::string input = "alpha\n" + std::string(300, 'o') + "\n\nomega";
    const BatchRun whole = runInMemory(BatchMode::seal, input, genericKey);
    const BatchRun pieces = runInMemory(BatchMode::seal, input, genericKey, 300);
    EXPECT_EQ(whole.err, "morvex: line 2: Input string exceeds maximum allowed size.\n");
    EXPECT_EQ(pieces.err, whole.err);
    EXPECT_EQ(whole.status, 1);
    const BatchRun opened = runInMemory(BatchMode::open, pieces.out, genericKey, 400);
    EXPECT_EQ(opened.out, "alpha\n\n\nomega\n");
    EXPECT_EQ(opened.err, "morvex: line 2: Not a valid string to decrypt\n");
}

// After a batch of lines, no key copy and no text of any line is left on the stack.
TEST(Batch, LeavesNoKeyOrTextOnTheStack) {
    const std::vector<std::string> texts = {distinctText(40), "Second-secret-line-0123456789",
                                            std::string(256, 'Z')};
    std::string input;
    for (const std::string& t : texts)
        input += t + "\n";
    const std::string newKey = "a-new-generic-ky";
    std::vector<std::string> secrets = texts;
    secrets.push_back(genericKey);
    secrets.push_back(newKey);
    // The first batches bind this program's imports: the dynamic linker saves the vector
    // registers on the stack when it does (see AesTransform.LeavesNoRoundKeyOnTheStack).
    const BatchRun sealed = runInMemory(BatchMode::seal, input, genericKey);
    EXPECT_EQ(runInMemory(BatchMode::open, sealed.out, genericKey).out, input);
    struct Row {
        BatchMode mode;
        std::string input;
        BatchKeys keys;
        std::string openKey;  // opens the results to the texts, or the results are the texts
    };
    const Row rows[] = {
        {BatchMode::seal, input, {genericKey.c_str()}, genericKey},
        {BatchMode::open, sealed.out, {genericKey.c_str()}, ""},
        {BatchMode::rekey, sealed.out, {newKey.c_str(), genericKey.c_str()}, newKey},
    };
    for (const Row& row : rows) {
        const BatchFiles files(row.input);
        int status = -1;
        EXPECT_EQ(tarntest::leftOnStack(
                      [&] { status = runBatch(row.mode, row.keys, files.streams()); }, secrets),
                  std::vector<std::string>{});
        EXPECT_EQ(status, 0);
        const std::string out = files.out.content();
        EXPECT_EQ(row.openKey.empty() ? out : runInMemory(BatchMode::open, out, row.openKey).out,
                  input);
    }
}

}  // namespace
