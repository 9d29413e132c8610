// Runs the real tool (built with a throwaway key directory) and checks standard output byte for
// byte, standard error (empty in the one-text modes unless a write failed) and the exit status.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "encDec.h"
#include "envelope.h"
#include "envelopeOracle.h"
#include "legacyRecord.h"
#include "processMemory.h"
#include "runProcess.h"
#include "toolLegacyKey.h"

namespace {

namespace fs = std::filesystem;

const std::string msgArguments = "morvex: 3 arguments expected.\n";
const std::string msgNoKey = "morvex: Unable to read Generic Key. Please contact administrator.\n";
const std::string msgMode = "morvex: arguments should be either -e or -d\n";
const std::string msgNotValid = "morvex: Not a valid string to decrypt\n";
const std::string msgTooLong = "morvex: Input string exceeds maximum allowed size.\n";
const std::string msgTooShort =
    "morvex: Does not meet minimum expected size of encrypted string.\n";

const std::string leadIn = "GENERIC_KEY: ";  // 13 characters, never examined
const std::string keyN = "N-key-0123456789";
const std::string keyY = "Y-key-abcdefghij";
const std::string keyPG = "PG-key-ABCDEFGHI";

// Made once with this tool; they guard the stored formats, the static salt and the tool
// legacy key against change.
const std::string knownEnvelope = "@@S3/z1f8UUzAcdjiUZQYnLQ==Sa4A8y73sjLXoiEdjOvllw==";
const std::string knownLegacyText = "@vZfNQ_pHq0ZJGSOKPvTKgz";

const char* const fileN = ".genericKey.dat";
const char* const fileY = ".genericKey.dat.default";
const char* const filePG = ".pg.genericKey.dat";

fs::path keyPath(const char* name) {
    return fs::path(MORVEX_TEST_KEY_DIR) / name;
}

void writeKeyFile(const char* name, const std::string& content) {
    std::ofstream(keyPath(name), std::ios::binary | std::ios::trunc) << content;
}

void writeStandardKeys() {
    fs::create_directories(MORVEX_TEST_KEY_DIR);
    writeKeyFile(fileN, leadIn + keyN + "\n");
    writeKeyFile(fileY, leadIn + keyY + "\n");
    writeKeyFile(filePG, leadIn + keyPG + "\n");
}

ProcessResult morvex(std::vector<std::string> args) {
    args.insert(args.begin(), MORVEX_TEST_BINARY);
    return runProcess(args);
}

// Every outcome of the tool: stdout exactly, nothing on stderr, the status.
void expectOutcome(const ProcessResult& r, const std::string& out, int status) {
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, status);
}

std::string encrypt(const std::string& text) {
    const ProcessResult r = morvex({"-e", text});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.out.empty());
    return r.out.substr(0, r.out.size() - 1);  // the line end
}

std::string legacyText(const std::string& clear, const std::string& key) {
    std::vector<char> out(legacyTextCapacity(clear.size()), '\0');
    std::string c = clear;
    std::string k = key;
    EXPECT_EQ(EncryptData(c.data(), k.data(), out.data()), 1);
    return out.data();
}

std::string toolLegacyKey() {
    char key[toolLegacyKeySize];
    buildToolLegacyKey(key);
    return key;
}

// Printable characters and bytes above 127, with spaces inside but never at the end.
std::string randomText(std::mt19937& rng, size_t length) {
    std::uniform_int_distribution<int> byte(0x20, 0xFF);
    std::string text;
    while (text.size() < length) {
        const int b = byte(rng);
        if (b == 0x7F) continue;
        text.push_back(static_cast<char>(b));
    }
    if (!text.empty() && text.back() == ' ') text.back() = 'z';
    return text;
}

class MorvexCli : public ::testing::Test {
  protected:
    void SetUp() override { writeStandardKeys(); }
};

// ---- failures -------------------------------------------------------------------------

// What stands at the default key file's path. Only a regular file the tool can read holds a
// key; anything else must be refused, never read as the empty key, and never waited on.
enum class KeyFile { standard, missing, directory, fifo, socket, device, unreadable, readError };

void bindSocketAt(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.string().size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
}

// Puts at path a file of a kind that cannot give a key; nothing for the other kinds.
void putKeylessFile(const fs::path& path, KeyFile kind) {
    switch (kind) {
        case KeyFile::directory:
            fs::create_directory(path);
            break;
        case KeyFile::fifo:
            EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
            break;
        case KeyFile::socket:
            bindSocketAt(path);
            break;
        case KeyFile::device:  // reads as an empty file
            fs::create_symlink("/dev/null", path);
            break;
        case KeyFile::readError:  // a regular file whose read at offset 0 fails with EIO
            fs::create_symlink("/proc/self/mem", path);
            break;
        default:
            break;
    }
}

// Puts the kind of file asked for at the default key file's path; returns the command line
// prefix that runs the tool (without root's right to read any file, since tests run as root).
std::vector<std::string> prepareKeyFile(KeyFile kind) {
    const fs::path path = keyPath(fileN);
    if (kind == KeyFile::missing) fs::remove_all(MORVEX_TEST_KEY_DIR);
    if (kind == KeyFile::standard || kind == KeyFile::missing) return {};
    fs::remove(path);
    if (kind != KeyFile::unreadable) {
        putKeylessFile(path, kind);
        return {};
    }
    writeKeyFile(fileN, leadIn + keyN + "\n");
    fs::permissions(path, fs::perms::none);
    // Root reads any file; without these two capabilities it is refused like anyone else, and
    // it can still reach the tool in a build tree only root may enter.
    if (geteuid() == 0)
        return {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search"};
    return {};
}

struct FailureRow {
    const char* name;
    std::vector<std::string> args;
    KeyFile keyFile;
    const std::string& out;
};

TEST_F(MorvexCli, EveryFailureRowPrintsItsLineAndExitsOne) {
    const std::string tooLong(257, 'a');
    const std::string envelope47 = "@@" + std::string(47, 'A');
    const FailureRow rows[] = {
        {"no arguments", {}, KeyFile::standard, msgArguments},
        {"mode alone", {"-e"}, KeyFile::standard, msgArguments},
        {"mode alone, no key", {"-d"}, KeyFile::missing, msgArguments},
        {"unknown selector", {"-e", "abc", "X"}, KeyFile::standard, msgNoKey},
        {"key file missing", {"-e", "abc"}, KeyFile::missing, msgNoKey},
        {"key file is a directory", {"-e", "hello"}, KeyFile::directory, msgNoKey},
        {"key file is a FIFO", {"-e", "hello"}, KeyFile::fifo, msgNoKey},
        {"key file is a socket", {"-e", "hello"}, KeyFile::socket, msgNoKey},
        {"key file is a device", {"-e", "hello"}, KeyFile::device, msgNoKey},
        {"key file unreadable", {"-e", "hello"}, KeyFile::unreadable, msgNoKey},
        {"key file read fails", {"-e", "hello"}, KeyFile::readError, msgNoKey},
        {"bad mode", {"-x", "abc"}, KeyFile::standard, msgMode},
        {"batch letters compared exactly", {"-ED", "abc"}, KeyFile::standard, msgMode},
        {"bad mode, key missing first", {"-x", "abc"}, KeyFile::missing, msgNoKey},
        {"mode compared exactly", {"-e ", "abc"}, KeyFile::standard, msgMode},
        {"decrypt plain text", {"-d", "abc"}, KeyFile::standard, msgNotValid},
        {"decrypt empty text", {"-d", ""}, KeyFile::standard, msgNotValid},
        {"decrypt leading blank", {"-d", " @abc"}, KeyFile::standard, msgNotValid},
        {"257 characters", {"-e", tooLong}, KeyFile::standard, msgTooLong},
        {"47 after @@", {"-d", envelope47}, KeyFile::standard, msgTooShort},
        {"@@ alone", {"-d", "@@"}, KeyFile::standard, msgTooShort},
        {"legacy @ alone", {"-d", "@"}, KeyFile::standard, msgNotValid},
        {"legacy bad character", {"-d", "@abc=def"}, KeyFile::standard, msgNotValid},
        {"fingerprint, no selector", {"-f"}, KeyFile::standard, msgArguments},
        {"fingerprint, unknown selector", {"-f", "X"}, KeyFile::standard, msgNoKey},
        {"fingerprint, key file is a FIFO", {"-f", "N"}, KeyFile::fifo, msgNoKey},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> command = prepareKeyFile(row.keyFile);
        command.push_back(MORVEX_TEST_BINARY);
        command.insert(command.end(), row.args.begin(), row.args.end());
        // A key file that blocks the tool (a FIFO without a writer) must not hang it.
        const ProcessResult r = runProcess(command, std::chrono::seconds(1));
        EXPECT_FALSE(r.timedOut) << "did not return within 1 s";
        expectOutcome(r, row.out, 1);
        fs::remove_all(MORVEX_TEST_KEY_DIR);
        writeStandardKeys();
    }
}

// ---- key files ------------------------------------------------------------------------

struct SelectorRow {
    std::vector<std::string> selector;
    std::optional<std::string> key;  // none: the key message
};

TEST_F(MorvexCli, SelectorChoosesTheKeyFile) {
    const SelectorRow rows[] = {
        {{}, keyN},
        {{"N"}, keyN},
        {{"Y"}, keyY},
        {{"PG"}, keyPG},
        {{"PG", "extra", "args"}, keyPG},
        {{"n"}, std::nullopt},
        {{"y"}, std::nullopt},
        {{"pg"}, std::nullopt},
        {{"Pg"}, std::nullopt},
        {{""}, std::nullopt},
        {{"N "}, std::nullopt},
        {{"default"}, std::nullopt},
    };
    const std::string text = "kkkkkk";
    for (const SelectorRow& row : rows) {
        SCOPED_TRACE(row.selector.empty() ? std::string("(absent)") : row.selector[0]);
        std::vector<std::string> args = {"-e", text};
        args.insert(args.end(), row.selector.begin(), row.selector.end());
        const std::string expected =
            row.key ? repeatedCharEnvelope(text, *row.key) + "\n" : msgNoKey;
        expectOutcome(morvex(args), expected, row.key ? 0 : 1);

        // A batch takes its selector from the argument after the mode, and says everything
        // but its result lines on standard error.
        std::vector<std::string> batchArgs = {MORVEX_TEST_BINARY, "-E"};
        batchArgs.insert(batchArgs.end(), row.selector.begin(), row.selector.end());
        const ProcessResult batch = runProcess(batchArgs, ProcessOptions{text + "\n"});
        EXPECT_EQ(batch.out, row.key ? expected : "");
        EXPECT_EQ(batch.err, row.key ? "" : msgNoKey);
        EXPECT_EQ(batch.status, row.key ? 0 : 1);
    }
}

TEST_F(MorvexCli, MissingChosenFileIsReportedEvenWhenOthersExist) {
    const std::pair<const char*, std::vector<std::string>> rows[] = {
        {fileN, {}}, {fileN, {"N"}}, {fileY, {"Y"}}, {filePG, {"PG"}}};
    for (const auto& [file, selector] : rows) {
        SCOPED_TRACE(file);
        fs::remove(keyPath(file));
        std::vector<std::string> args = {"-d", "@@" + std::string(48, 'A')};
        args.insert(args.end(), selector.begin(), selector.end());
        expectOutcome(morvex(args), msgNoKey, 1);
        writeStandardKeys();
    }
}

struct KeyLineRow {
    const char* name;
    std::string content;
    std::string key;  // what the transform gets, zero bytes after it
};

TEST_F(MorvexCli, KeyIsTakenFromTheFirstLineAfterTheLeadIn) {
    const KeyLineRow rows[] = {
        {"16 key characters", leadIn + "0123456789abcdef\n", "0123456789abcdef"},
        {"short key keeps its line end", leadIn + "0123456789\n", "0123456789\n"},
        {"longer line cut at 16", leadIn + "0123456789abcdefXYZ\n", "0123456789abcdef"},
        {"no line end at the end of file", leadIn + "abc", "abc"},
        {"second line ignored", leadIn + "k1\nsecond line here\n", "k1\n"},
        {"13 characters and a line end", leadIn + "\n", "\n"},
        {"13 characters with the line end", "GENERIC_KEY:\n", ""},
        {"13 characters, no line end", leadIn, ""},
        {"empty file", "", ""},
    };
    const std::string text = "wwww";
    for (const KeyLineRow& row : rows) {
        SCOPED_TRACE(row.name);
        writeKeyFile(fileN, row.content);
        const std::string envelope = repeatedCharEnvelope(text, row.key);
        expectOutcome(morvex({"-e", text}), envelope + "\n", 0);
        expectOutcome(morvex({"-d", envelope}), text + "\n", 0);
    }
}

// Fixed for a key, so that a database server and this tool can be compared; equal keys in two
// files give equal fingerprints, other keys others.
TEST_F(MorvexCli, FingerprintNamesTheKeyOfTheChosenFile) {
    std::set<std::string> seen;
    for (const char* selector : {"N", "Y", "PG"}) {
        const ProcessResult r = morvex({"-f", selector});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.size(), 17u) << r.out;
        EXPECT_EQ(r.out.find_first_not_of("0123456789abcdef"), 16u) << r.out;
        seen.insert(r.out);
    }
    EXPECT_EQ(seen.size(), 3u);
    writeKeyFile(fileY, "another lead " + keyN + "\nsecond line");
    EXPECT_EQ(morvex({"-f", "Y"}).out, morvex({"-f", "N"}).out);
    writeKeyFile(filePG, leadIn + "0123456789abcdef\n");
    expectOutcome(morvex({"-f", "PG"}), "b960e1f7d9979578\n", 0);
}

// ---- envelopes ------------------------------------------------------------------------

struct LengthRow {
    size_t textLength;
    size_t envelopeLength;
    size_t lineBreaks;
};

TEST_F(MorvexCli, EnvelopeLengthFollowsThePaddedLength) {
    const LengthRow rows[] = {
        {0, 50, 0},   {1, 50, 0},   {16, 50, 0},   {17, 70, 0},   {32, 70, 0},
        {33, 90, 0},  {48, 90, 0},  {49, 115, 1},  {64, 115, 1},  {65, 135, 1},
        {96, 155, 1}, {97, 180, 2}, {241, 374, 4}, {256, 374, 4},
    };
    std::mt19937 rng(7);
    for (const LengthRow& row : rows) {
        SCOPED_TRACE(row.textLength);
        const std::string envelope = encrypt(randomText(rng, row.textLength));
        EXPECT_EQ(envelope.size(), row.envelopeLength);
        EXPECT_EQ(envelope.substr(0, 2), "@@");
        EXPECT_EQ(envelope.substr(envelope.size() - 2), "==");
        const size_t textPart = envelope.size() - 26;
        EXPECT_EQ(textPart, aesTextLength(aesPaddedLength(std::max<size_t>(row.textLength, 1))));
        EXPECT_EQ(static_cast<size_t>(std::count(envelope.begin(), envelope.end(), '\n')),
                  row.lineBreaks);
        for (size_t i = 72; i < textPart; i += 73)
            EXPECT_EQ(envelope[2 + i], '\n') << i;
        EXPECT_EQ(envelope.find('\n', envelope.size() - 24), std::string::npos);
    }
}

TEST_F(MorvexCli, EveryLengthUpTo256RoundTrips) {
    std::mt19937 rng(42);
    for (size_t length = 0; length <= 256; ++length) {
        SCOPED_TRACE(length);
        const std::string text = randomText(rng, length);
        expectOutcome(morvex({"-d", encrypt(text)}), text + "\n", 0);
    }
}

TEST_F(MorvexCli, SpacesInsideStayTrailingSpacesGo) {
    const std::pair<std::string, std::string> rows[] = {
        {"a b  c", "a b  c"},
        {" lead", " lead"},
        {"abc   ", "abc"},
        {"   ", ""},
        {"x" + std::string(15, ' '), "x"},
        {std::string(16, ' ') + "y", std::string(16, ' ') + "y"},
        {std::string(256, ' '), ""},
        {"tab\t", "tab\t"},
        {"line\nbreak", "line\nbreak"},
    };
    for (const auto& [text, opened] : rows) {
        SCOPED_TRACE(text);
        expectOutcome(morvex({"-d", encrypt(text)}), opened + "\n", 0);
    }
}

TEST_F(MorvexCli, ExactlyFortyEightCharactersAfterThePrefixOpen) {
    const std::string envelope = encrypt("hello");
    ASSERT_EQ(envelope.size(), 50u);
    expectOutcome(morvex({"-d", envelope}), "hello\n", 0);
    // Opening checks nothing but the length: any 48 characters open to some bytes.
    const ProcessResult any = morvex({"-d", "@@" + std::string(48, 'A')});
    EXPECT_EQ(any.status, 0);
    EXPECT_EQ(any.err, "");
    expectOutcome(morvex({"-d", envelope.substr(0, 49)}), msgTooShort, 1);
}

TEST_F(MorvexCli, RepeatedCharacterTextGivesOneEnvelope) {
    const std::string rows[] = {"q", "zzzzzzzz", std::string(256, 'm'), ""};
    for (const std::string& text : rows) {
        SCOPED_TRACE(text.size());
        const std::string expected = repeatedCharEnvelope(text, keyN);
        for (int call = 0; call < 3; ++call)
            EXPECT_EQ(encrypt(text), expected);
    }
}

// Guards the stored format: the envelope of a fixed text under a fixed key never changes.
TEST_F(MorvexCli, KnownEnvelopeOpens) {
    writeKeyFile(fileN, leadIn + "0123456789abcdef\n");
    expectOutcome(morvex({"-e", "aaaa"}), knownEnvelope + "\n", 0);
    expectOutcome(morvex({"-d", knownEnvelope}), "aaaa\n", 0);
}

TEST_F(MorvexCli, WrongKeyOpensToOtherBytesWithoutError) {
    const std::string envelope = encrypt("secret text");
    const ProcessResult r = morvex({"-d", envelope, "Y"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out, "secret text\n");
}

// ---- legacy texts ---------------------------------------------------------------------

TEST_F(MorvexCli, LegacyTextsPrintTheirClearTextWithoutLineEnd) {
    const std::string rows[] = {
        "", "a", "legacy-secret", "with spaces  ", "bytes \xA5\xFF\x80", std::string(255, 'L')};
    for (const std::string& clear : rows) {
        SCOPED_TRACE(clear);
        expectOutcome(morvex({"-d", legacyText(clear, toolLegacyKey())}), clear, 0);
    }
}

// Guards the tool legacy key: a text stored by earlier tools must keep opening.
TEST_F(MorvexCli, KnownLegacyTextOpens) {
    expectOutcome(morvex({"-d", knownLegacyText}), "legacy-secret", 0);
}

TEST_F(MorvexCli, RefusedLegacyTextIsAFailure) {
    const std::string good = legacyText("refused", toolLegacyKey());
    const std::pair<const char*, std::string> rows[] = {
        {"@ alone", "@"},
        {"character outside the alphabet", good.substr(0, 4) + "!" + good.substr(5)},
        {"last character removed", good.substr(0, good.size() - 1)},
        {"other key", legacyText("refused", "not-the-tool-key")},
        {"altered character", good.substr(0, 3) + (good[3] == 'D' ? "b" : "D") + good.substr(4)},
        {"byte above 127", "@\xC3\xA9"},
    };
    for (const auto& [name, text] : rows) {
        SCOPED_TRACE(name);
        expectOutcome(morvex({"-d", text}), msgNotValid, 1);
    }
}

// ---- batch modes ----------------------------------------------------------------------

const std::string msgLinePrefix = "morvex: line ";
const std::string lineTooLong = "Input string exceeds maximum allowed size.";
const std::string lineTooShort = "Does not meet minimum expected size of encrypted string.";
const std::string lineNotValid = "Not a valid string to decrypt";
const std::string lineZeroByte = "The line holds a zero byte.";
const std::string lineNotOneLine =
    "The text holds a line end or a zero byte and cannot be written as one line.";

ProcessResult batch(const char* mode, const std::string& input) {
    return runProcess({MORVEX_TEST_BINARY, mode}, ProcessOptions{input});
}

std::vector<std::string> linesOf(const std::string& out) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(out.substr(start, end - start));
    EXPECT_EQ(start, out.size()) << "every result line ends with a line end";
    return lines;
}

std::string withoutLineFeeds(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

std::string trimmed(const std::string& text) {
    const size_t kept = text.find_last_not_of(' ');
    return kept == std::string::npos ? "" : text.substr(0, kept + 1);
}

struct BatchRow {
    const char* name;
    std::string line;
    std::optional<std::string> failure;  // the message after "morvex: line N: "
};

// Lines joined by line ends; the last one has none.
std::string batchInput(const std::vector<BatchRow>& rows) {
    std::string input;
    for (const BatchRow& row : rows)
        input += row.line + (&row == &rows.back() ? "" : "\n");
    return input;
}

// One result line per row, empty for a failed row whose number its message names, and the
// status that says whether any row failed. Returns the result lines.
std::vector<std::string> expectLinedUp(const ProcessResult& r, const std::vector<BatchRow>& rows) {
    const std::vector<std::string> lines = linesOf(r.out);
    EXPECT_EQ(lines.size(), rows.size());
    std::string messages;
    for (size_t i = 0; i < rows.size() && i < lines.size(); ++i) {
        if (!rows[i].failure) continue;
        EXPECT_EQ(lines[i], "") << rows[i].name;
        messages += msgLinePrefix + std::to_string(i + 1) + ": " + *rows[i].failure + "\n";
    }
    EXPECT_EQ(r.err, messages);
    EXPECT_EQ(r.status, messages.empty() ? 0 : 1);
    return lines;
}

TEST_F(MorvexCli, SealBatchGivesOneEnvelopeLinePerTextLine) {
    std::mt19937 rng(15);
    const std::vector<BatchRow> rows = {
        {"text", "hello", std::nullopt},
        {"empty line", "", std::nullopt},
        {"trailing spaces", "abc   ", std::nullopt},
        {"carriage return is part of the text", "pw\r", std::nullopt},
        {"bytes above 127 and controls", "\x01\x7F\x80\xFE\xFF", std::nullopt},
        {"envelope longer than one -e line", randomText(rng, 100), std::nullopt},
        {"256 characters", randomText(rng, 256), std::nullopt},
        {"257 characters", std::string(257, 'x'), lineTooLong},
        {"1 MB", std::string(1 << 20, 'm'), lineTooLong},
        {"zero byte", std::string("a\0b", 3), lineZeroByte},
        {"last line without line end", "tail", std::nullopt},
    };
    const std::vector<std::string> lines = expectLinedUp(batch("-E", batchInput(rows)), rows);
    for (size_t i = 0; i < rows.size() && i < lines.size(); ++i) {
        if (rows[i].failure) continue;
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(lines[i].substr(0, 2), "@@");
        expectOutcome(morvex({"-d", lines[i]}), trimmed(rows[i].line) + "\n", 0);
    }
}

// Crafted with the format's own sealing: the tool never makes such a text.
std::string legacyTextHolding(const std::string& clear) {
    const legacy::MixedKey key(toolLegacyKey().c_str());
    std::vector<char> out(legacyTextCapacity(clear.size()), '\0');
    legacy::sealRecord(reinterpret_cast<const unsigned char*>(clear.data()), clear.size(), key,
                       out.data());
    return out.data();
}

// Every line the one-text mode opens gives the same text in batch; the rest fail by number.
TEST_F(MorvexCli, OpenBatchAgreesWithTheOneTextMode) {
    const std::string fixedEnvelope = repeatedCharEnvelope("pppp", keyN);
    const std::vector<BatchRow> rows = {
        {"envelope", encrypt("hello"), std::nullopt},
        {"envelope over several -e lines", withoutLineFeeds(encrypt(std::string(200, 'z') + "!")),
         std::nullopt},
        {"legacy text", knownLegacyText, std::nullopt},
        {"legacy text of the empty text", legacyText("", toolLegacyKey()), std::nullopt},
        {"48 characters after @@", "@@" + std::string(48, 'A'), std::nullopt},
        {"envelope and a carriage return", fixedEnvelope + "\r", std::nullopt},
        {"47 characters after @@", "@@" + std::string(47, 'A'), lineTooShort},
        {"@@ alone", "@@", lineTooShort},
        {"plain text", "plain", lineNotValid},
        {"empty line", "", lineNotValid},
        {"@ alone", "@", lineNotValid},
        {"bytes above 127", "@\x80\xFF", lineNotValid},
        {"longer than any envelope", "@@" + std::string(369, 'A'), lineTooLong},
        {"1 MB", std::string(1 << 20, '@'), lineTooLong},
        {"zero byte", std::string("@@\0", 3) + std::string(48, 'A'), lineZeroByte},
        {"text with a line end", withoutLineFeeds(encrypt("line\nbreak")), lineNotOneLine},
        {"legacy text with a zero byte", legacyTextHolding(std::string("a\0b", 3)), lineNotOneLine},
        {"last line without line end", encrypt("last"), std::nullopt},
    };
    const std::vector<std::string> lines = expectLinedUp(batch("-D", batchInput(rows)), rows);
    for (size_t i = 0; i < rows.size() && i < lines.size(); ++i) {
        if (rows[i].failure) continue;
        SCOPED_TRACE(rows[i].name);
        const ProcessResult one = morvex({"-d", rows[i].line});
        EXPECT_EQ(one.status, 0);
        const bool envelope = rows[i].line.compare(0, 2, "@@") == 0;
        EXPECT_EQ(envelope ? lines[i] + "\n" : lines[i], one.out);
    }
}

// ---- re-key ---------------------------------------------------------------------------

const std::string lineNotUnderOldKey = "The envelope does not open under the old key.";
const std::string lineLegacyText =
    "A legacy text is not under the old key: open it with -D and seal its text with -E.";
const char* const oldKeyName = "old.key";

// The old key file of the re-key tests: keyN's file, private to its owner.
std::string writeOldKeyFile(const std::string& key = keyN) {
    writeKeyFile(oldKeyName, leadIn + key + "\n");
    fs::permissions(keyPath(oldKeyName), fs::perms::owner_read | fs::perms::owner_write);
    return keyPath(oldKeyName).string();
}

// Re-keys input from keyN (the old key file) to keyY.
ProcessResult rekey(const std::string& input) {
    return runProcess({MORVEX_TEST_BINARY, "-R", writeOldKeyFile(), "Y"}, ProcessOptions{input});
}

std::string joinedLines(const std::vector<std::string>& lines) {
    std::string joined;
    for (const std::string& line : lines)
        joined += line + "\n";
    return joined;
}

// The whole rotation of a file: what -D gives under the new key after the re-key is what it
// gave under the old key before, line by line; the re-keyed file is under the old key no more.
TEST_F(MorvexCli, RekeyedFileOpensUnderTheNewKeyToTheSameTexts) {
    std::mt19937 rng(22);
    std::uniform_int_distribution<size_t> length(0, envelopeMaxTextLength);
    std::vector<std::string> texts;
    for (int i = 0; i < 10000; ++i)
        texts.push_back(randomText(rng, length(rng)));
    const ProcessResult sealed = batch("-E", joinedLines(texts));
    ASSERT_EQ(sealed.status, 0) << sealed.err;
    const ProcessResult before = batch("-D", sealed.out);
    ASSERT_EQ(before.out, joinedLines(texts));

    const ProcessResult rekeyed = rekey(sealed.out);
    EXPECT_EQ(rekeyed.err, "");
    EXPECT_EQ(rekeyed.status, 0);
    const std::vector<std::string> envelopes = linesOf(rekeyed.out);
    ASSERT_EQ(envelopes.size(), texts.size());
    EXPECT_EQ(runProcess({MORVEX_TEST_BINARY, "-D", "Y"}, ProcessOptions{rekeyed.out}).out,
              before.out);

    const ProcessResult again = rekey(rekeyed.out);
    EXPECT_EQ(again.out, std::string(texts.size(), '\n')) << "no envelope is written";
    EXPECT_EQ(again.status, 1);
    const std::string refusal = ": " + lineNotUnderOldKey + "\n";
    size_t refused = 0;
    for (size_t at = 0; (at = again.err.find(refusal, at)) != std::string::npos; ++at)
        ++refused;
    EXPECT_EQ(refused, texts.size());
}

// Only an envelope under the old key is sealed again; everything else fails by number, also
// what -D would open to garbage.
TEST_F(MorvexCli, RekeyBatchSealsAgainOnlyWhatOpensUnderTheOldKey) {
    const std::string envelope = encrypt("rotate me");
    std::string alteredSalt = envelope;
    char& saltData = alteredSalt[alteredSalt.size() - 4];
    saltData = saltData == 'A' ? 'B' : 'A';
    const std::vector<BatchRow> rows = {
        {"envelope", envelope, std::nullopt},
        {"envelope over several -e lines", withoutLineFeeds(encrypt(std::string(250, 'w') + "!")),
         std::nullopt},
        {"text with a line end, which -D cannot write", withoutLineFeeds(encrypt("line\nbreak")),
         std::nullopt},
        {"empty text", encrypt(""), std::nullopt},
        {"under another key", repeatedCharEnvelope("pppp", keyPG), lineNotUnderOldKey},
        {"already under the new key", repeatedCharEnvelope("pppp", keyY), lineNotUnderOldKey},
        {"48 characters after @@", "@@" + std::string(48, 'A'), lineNotUnderOldKey},
        {"salt block altered", alteredSalt, lineNotUnderOldKey},
        {"envelope and a carriage return", envelope + "\r", lineNotUnderOldKey},
        {"legacy text", knownLegacyText, lineLegacyText},
        {"@ alone", "@", lineLegacyText},
        {"47 characters after @@", "@@" + std::string(47, 'A'), lineTooShort},
        {"plain text", "plain", lineNotValid},
        {"empty line", "", lineNotValid},
        {"longer than any envelope", "@@" + std::string(369, 'A'), lineTooLong},
        {"1 MB", std::string(1 << 20, '@'), lineTooLong},
        {"zero byte", envelope.substr(0, 10) + std::string(1, '\0') + envelope.substr(11),
         lineZeroByte},
        {"last line without line end", encrypt("last"), std::nullopt},
    };
    const std::vector<std::string> lines = expectLinedUp(rekey(batchInput(rows)), rows);
    for (size_t i = 0; i < rows.size() && i < lines.size(); ++i) {
        if (rows[i].failure) continue;
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(lines[i].find('\n'), std::string::npos);
        expectOutcome(morvex({"-d", lines[i], "Y"}), morvex({"-d", rows[i].line}).out, 0);
    }
}

constexpr uid_t nobody = 65534;  // also the group nogroup

// What stands at the old key file's path (a standard file of the row's owner, group and mode),
// and who runs the tool.
struct OldKeyRow {
    const char* name;
    KeyFile kind;
    mode_t mode;
    uid_t owner;
    gid_t group;
    bool runAsNobody;
    std::string refusal;  // after the path, or the whole message; empty when accepted
};

std::vector<std::string> asNobody() {
    return {"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody),
            "--regid=" + std::to_string(nobody), "--clear-groups"};
}

// Puts the old key file of row at its path; returns the command line prefix that runs the
// tool as the row's user.
std::vector<std::string> prepareOldKeyFile(const OldKeyRow& row) {
    const fs::path path = keyPath(oldKeyName);
    fs::remove_all(path);
    if (row.kind == KeyFile::standard) {
        writeOldKeyFile();
        EXPECT_EQ(chown(path.c_str(), row.owner, row.group), 0);
        EXPECT_EQ(chmod(path.c_str(), row.mode), 0);
    }
    putKeylessFile(path, row.kind);
    if (!row.runAsNobody) return {};
    return asNobody();
}

// A checkout in a private folder (root's home) keeps the test binary, its library and its key
// files out of another user's reach; the rows that run as that user need a tree it can enter.
bool nobodyReachesTheBuild() {
    std::vector<std::string> command = asNobody();
    command.insert(command.end(), {MORVEX_TEST_BINARY, "-f", "Y"});
    return runProcess(command, std::chrono::seconds(5)).status == 0;
}

// The old key is read only from a file kept like the database server's key file; anything
// else is refused before a line is read.
TEST_F(MorvexCli, RekeyReadsTheOldKeyOnlyFromAPrivateFile) {
    if (geteuid() != 0) GTEST_SKIP() << "files of other owners need root";
    const std::string path = keyPath(oldKeyName).string();
    const std::string groupOrWorld = "\" has group or world access (mode ";
    const OldKeyRow rows[] = {
        {"owner's file, 0600", KeyFile::standard, 0600, 0, 0, false, ""},
        {"owner's file, 0400", KeyFile::standard, 0400, 0, 0, false, ""},
        {"another user's own file, 0600", KeyFile::standard, 0600, nobody, nobody, true, ""},
        {"root's file, group read", KeyFile::standard, 0640, 0, nobody, true, ""},
        {"owner's file, group read", KeyFile::standard, 0640, 0, 0, false,
         groupOrWorld + "0640): allow 0600 or less (chmod)"},
        {"another user's own file, group read", KeyFile::standard, 0640, nobody, nobody, true,
         groupOrWorld + "0640): allow 0600 or less (chmod)"},
        {"owner's file, world read", KeyFile::standard, 0604, 0, 0, false,
         groupOrWorld + "0604): allow 0600 or less (chmod)"},
        {"root's file, world read", KeyFile::standard, 0644, 0, nobody, true,
         groupOrWorld + "0644): allow 0640 or less (chmod)"},
        {"root's file, group write", KeyFile::standard, 0660, 0, nobody, true,
         groupOrWorld + "0660): allow 0640 or less (chmod)"},
        {"other owner", KeyFile::standard, 0600, nobody, nobody, false,
         "\" must be owned by the user running morvex or by root (chown)"},
        {"directory", KeyFile::directory, 0, 0, 0, false, "\" is not a regular file"},
        {"FIFO", KeyFile::fifo, 0, 0, 0, false, "\" is not a regular file"},
        {"device", KeyFile::device, 0, 0, 0, false, "\" is not a regular file"},
        {"read fails", KeyFile::readError, 0, 0, 0, false,
         "morvex: cannot read the old key file \"" + path + "\": Input/output error"},
        {"missing", KeyFile::missing, 0, 0, 0, false,
         "morvex: cannot open the old key file \"" + path + "\": No such file or directory"},
    };
    const std::string envelope = encrypt("kept private");
    const bool otherUserRows = nobodyReachesTheBuild();
    if (!otherUserRows) {
        std::cout << "[ SKIPPED  ] the rows run as nobody: the build tree is out of its reach\n";
    }
    for (const OldKeyRow& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.runAsNobody && !otherUserRows) continue;
        std::vector<std::string> command = prepareOldKeyFile(row);
        command.insert(command.end(), {MORVEX_TEST_BINARY, "-R", path, "Y"});
        const ProcessResult r =
            runProcess(command, ProcessOptions{envelope + "\n"}, std::chrono::seconds(5));
        EXPECT_FALSE(r.timedOut);
        if (row.refusal.empty()) {
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.status, 0);
            expectOutcome(morvex({"-d", r.out.substr(0, r.out.size() - 1), "Y"}), "kept private\n",
                          0);
            continue;
        }
        const std::string message = row.refusal.rfind("morvex: ", 0) == 0
                                        ? row.refusal
                                        : "morvex: the old key file \"" + path + row.refusal;
        EXPECT_EQ(r.err, message + "\n") << "one line, and no line read";
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
    }
}

struct RekeyArgumentsRow {
    const char* name;
    std::vector<std::string> args;  // after -R; OLD stands for the old key file
    std::string message;
};

TEST_F(MorvexCli, RekeyNeedsTwoDifferentKeys) {
    const std::string path = writeOldKeyFile();
    const RekeyArgumentsRow rows[] = {
        {"no old key file",
         {},
         "morvex: -R needs the old key file: morvex -R <old key file> "
         "[N|Y|PG]"},
        {"the old key is the chosen one",
         {path, "N"},
         "morvex: the old key file holds the key of the chosen key file: nothing to re-key"},
        {"no selector chooses N",
         {path},
         "morvex: the old key file holds the key of the chosen key file: nothing to re-key"},
        {"unknown selector", {path, "X"}, msgNoKey.substr(0, msgNoKey.size() - 1)},
    };
    for (const RekeyArgumentsRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> args = {MORVEX_TEST_BINARY, "-R"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const ProcessResult r = runProcess(args, ProcessOptions{encrypt("x") + "\n"});
        EXPECT_EQ(r.err, row.message + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
    }
}

struct BatchStatusRow {
    const char* mode;
    std::string input;
    size_t lines;
    int status;
};

TEST_F(MorvexCli, BatchStatusAndLineCountFollowTheInput) {
    const BatchStatusRow rows[] = {
        {"-E", "", 0, 0},
        {"-D", "", 0, 0},
        {"-E", "\n", 1, 0},
        {"-E", "a\nb", 2, 0},
        {"-D", "a\n", 1, 1},
        {"-E", "\n\n\n", 3, 0},
        {"-D", "\n" + encrypt("x"), 2, 1},
    };
    for (const BatchStatusRow& row : rows) {
        SCOPED_TRACE(std::string(row.mode) + " " + row.input);
        const ProcessResult r = batch(row.mode, row.input);
        EXPECT_EQ(linesOf(r.out).size(), row.lines);
        EXPECT_EQ(r.status, row.status);
    }
}

void expectNotInArgumentsOrEnvironment(pid_t pid, const std::vector<std::string>& texts) {
    const std::string proc = "/proc/" + std::to_string(pid);
    for (const char* file : {"/cmdline", "/environ"}) {
        std::ifstream in(proc + file, std::ios::binary);
        const std::string content{std::istreambuf_iterator<char>(in), {}};
        EXPECT_FALSE(content.empty()) << file;
        for (const std::string& text : texts)
            EXPECT_EQ(content.find(text), std::string::npos) << file << ": " << text;
    }
}

// The secret travels by pipe: while the batch waits for its next line, neither its command
// line, its environment nor any of its memory holds the line it answered.
TEST_F(MorvexCli, APipedSecretIsNowhereInTheWaitingProcess) {
    const std::string secret = "Piped-S3cret-never-in-argv-7Q";
    RunningProcess seal({MORVEX_TEST_BINARY, "-E", "PG"});
    seal.write(secret + "\n");
    const std::string envelopeLine = seal.readLine();
    ASSERT_EQ(envelopeLine.substr(0, 2), "@@");
    ASSERT_TRUE(waitUntilReadingStdin(seal.pid()));
    expectNotInArgumentsOrEnvironment(seal.pid(), {secret});
    // The program's own path stands on its stack: the scan must find it.
    const std::string control = MORVEX_TEST_BINARY;
    EXPECT_EQ(patternsInMemory(seal.pid(), {secret, control}), std::vector<std::string>{control});
    expectOutcome(seal.finish(), "", 0);

    // Opening answers with the secret: the output buffer that held it is wiped too.
    RunningProcess open({MORVEX_TEST_BINARY, "-D", "PG"});
    open.write(envelopeLine);
    EXPECT_EQ(open.readLine(), secret + "\n");
    ASSERT_TRUE(waitUntilReadingStdin(open.pid()));
    EXPECT_EQ(patternsInMemory(open.pid(), {secret}), std::vector<std::string>{});
    expectOutcome(open.finish(), "", 0);

    // A re-key opens the secret on its way: wiped too. A long one, so that a freed copy keeps
    // most of it past what the allocator writes over. Neither key is in an argument.
    std::string longSecret = "Rekeyed-secret-";
    for (size_t i = 0; longSecret.size() < 200; ++i)
        longSecret += std::to_string(i * 7919);
    const ProcessResult longSealed = batch("-E", longSecret + "\n");
    RunningProcess rekey({MORVEX_TEST_BINARY, "-R", writeOldKeyFile(keyN), "Y"});
    rekey.write(longSealed.out);
    const std::string rekeyed = rekey.readLine();
    ASSERT_EQ(rekeyed.substr(0, 2), "@@");
    ASSERT_TRUE(waitUntilReadingStdin(rekey.pid()));
    expectNotInArgumentsOrEnvironment(rekey.pid(), {longSecret, keyN, keyY});
    EXPECT_EQ(patternsInMemory(rekey.pid(), {longSecret.substr(24)}), std::vector<std::string>{});
    expectOutcome(rekey.finish(), "", 0);
    expectOutcome(morvex({"-d", rekeyed.substr(0, rekeyed.size() - 1), "Y"}), longSecret + "\n", 0);
}

struct WriteFailureRow {
    const char* name;
    std::vector<std::string> args;
    std::string input;
};

// Standard output on a full device, or closed: whatever the mode, status 1 and one message.
TEST_F(MorvexCli, AResultThatCannotBeWrittenIsAFailure) {
    const std::string envelope = encrypt("written");
    const WriteFailureRow rows[] = {
        {"-e", {"-e", "hello"}, ""},
        {"-d envelope", {"-d", envelope}, ""},
        {"-d legacy text", {"-d", knownLegacyText}, ""},
        {"failure message", {"-d", "plain"}, ""},
        {"message of a long text", {"-e", std::string(300, 'x')}, ""},
        {"seal batch", {"-E"}, "one\ntwo\n"},
        {"open batch", {"-D"}, envelope + "\n"},
        {"batch of failing lines", {"-D"}, "plain\n"},
        {"re-key batch", {"-R", writeOldKeyFile(), "Y"}, envelope + "\n"},
    };
    const std::pair<Stdout, int> outputs[] = {{Stdout::full, ENOSPC}, {Stdout::closed, EBADF}};
    for (const auto& [out, error] : outputs) {
        for (const WriteFailureRow& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (out == Stdout::full ? " /dev/full" : " closed"));
            std::vector<std::string> args = row.args;
            args.insert(args.begin(), MORVEX_TEST_BINARY);
            const ProcessResult r = runProcess(args, ProcessOptions{row.input, out});
            EXPECT_EQ(r.status, 1);
            const std::string message =
                std::string("morvex: cannot write to standard output: ") + std::strerror(error);
            const size_t at = r.err.find(message + "\n");
            EXPECT_NE(at, std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("cannot write", at + message.size()), std::string::npos)
                << "one message";
        }
    }
}

}  // namespace
