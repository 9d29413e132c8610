#include "morvex_batch.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "morvex_new.h"
#include "tarnSecrets.h"

namespace {

constexpr size_t base64Length(size_t bytes) {
    return 4 * ((bytes + 2) / 3);
}
constexpr size_t longestOneLineEnvelope =
    2 + base64Length(envelopeMaxTextLength) + envelopeSaltBlockLength;
static_assert(longestOneLineEnvelope == 370);

// Why a line has no result. Each names the message that goes to standard error.
enum class LineFailure {
    none,
    tooLong,
    tooShort,
    notValid,
    zeroByte,
    notOneLine,
    notUnderOldKey,
    legacyText,
    noMemory,
};

const char* messageFor(LineFailure failure) {
    switch (failure) {
        case LineFailure::tooLong:
            return msgTooLong + msgToolPrefixLength;
        case LineFailure::tooShort:
            return msgTooShort + msgToolPrefixLength;
        case LineFailure::notValid:
            return msgNotValid + msgToolPrefixLength;
        case LineFailure::zeroByte:
            return "The line holds a zero byte.";
        case LineFailure::notOneLine:
            return "The text holds a line end or a zero byte and cannot be written as one line.";
        case LineFailure::notUnderOldKey:
            return "The envelope does not open under the old key.";
        case LineFailure::legacyText:
            return "A legacy text is not under the old key: open it with -D and seal its text "
                   "with -E.";
        case LineFailure::noMemory:
            return "Out of memory.";
        case LineFailure::none:
            break;
    }
    return "";
}

// A result: a malloc'd string and its length, or why there is none. It is wiped when it is
// released, since an opened text is a clear text.
struct LineResult {
    char* text = nullptr;
    size_t length = 0;
    LineFailure failure = LineFailure::none;

    explicit LineResult(LineFailure why) : failure(why) {}
    LineResult(char* result, size_t resultLength)
        : text(result),
          length(resultLength),
          failure(result ? LineFailure::none : LineFailure::noMemory) {}
    LineResult(const LineResult&) = delete;
    LineResult& operator=(const LineResult&) = delete;
    LineResult(LineResult&& other) noexcept
        : text(other.text), length(other.length), failure(other.failure) {
        other.text = nullptr;
    }
    ~LineResult() {
        if (text == nullptr) return;
        wipeSecret(text, length);
        std::free(text);
    }
};

// The schedules of a batch's keys, built once for all its lines.
class PreparedBatchKeys {
  public:
    PreparedBatchKeys(BatchMode mode, const BatchKeys& keys) : generic_(keys.genericKey) {
        if (mode == BatchMode::rekey) old_.emplace(keys.oldKey);
    }
    const TarnPreparedKey& generic() const { return generic_.get(); }
    const TarnPreparedKey& old() const { return old_->get(); }

  private:
    PreparedGenericKey generic_;
    std::optional<PreparedGenericKey> old_;
};

// Drops the line feeds of the text part, in place: the envelope opens the same without them.
size_t joinLines(char* envelope) {
    char* out = envelope;
    for (const char* in = envelope; *in != '\0'; ++in) {
        if (*in != '\n') *out++ = *in;
    }
    *out = '\0';
    return static_cast<size_t>(out - envelope);
}

LineResult sealLine(const char* text, const TarnPreparedKey& key) {
    char* envelope = sealEnvelope(text, key);
    if (envelope == nullptr) return LineResult(LineFailure::noMemory);
    return LineResult(envelope, joinLines(envelope));
}

LineResult openLegacyLine(char* text) {
    unsigned long clearLength = 0;
    char* clear = openToolLegacyText(text, &clearLength);
    if (clear == nullptr) return LineResult(LineFailure::notValid);
    LineResult result(clear, clearLength);
    if (std::strlen(clear) != clearLength) result.failure = LineFailure::notOneLine;
    return result;
}

// What a line to be opened holds, told apart exactly as -d tells it.
enum class Encrypted { nothing, legacyText, shortEnvelope, envelope };

Encrypted encryptedIn(const char* text, size_t length) {
    if (length == 0 || text[0] != '@') return Encrypted::nothing;
    if (text[1] != '@') return Encrypted::legacyText;
    if (length - 2 < envelopeMinOpenLength) return Encrypted::shortEnvelope;
    return Encrypted::envelope;
}

// Why a line that is neither an envelope nor a legacy text cannot be opened.
LineResult unopenable(Encrypted what) {
    return LineResult(what == Encrypted::shortEnvelope ? LineFailure::tooShort
                                                       : LineFailure::notValid);
}

LineResult openLine(char* text, size_t length, const TarnPreparedKey& key) {
    const Encrypted what = encryptedIn(text, length);
    if (what == Encrypted::legacyText) return openLegacyLine(text);
    if (what != Encrypted::envelope) return unopenable(what);
    char* clear = openEnvelope(text, key);
    return LineResult(clear, clear ? std::strlen(clear) : 0);
}

// Only an envelope whose salt block opens under the old key is sealed again: any other would
// open to garbage, and sealing that would destroy the text for good. A legacy text is under
// the tool's own key, which no re-key changes.
LineResult rekeyLine(const char* text, size_t length, const PreparedBatchKeys& keys) {
    const Encrypted what = encryptedIn(text, length);
    if (what == Encrypted::legacyText) return LineResult(LineFailure::legacyText);
    if (what != Encrypted::envelope) return unopenable(what);
    EnvelopeOpening opening = EnvelopeOpening::noMemory;
    char* clear = openEnvelopeUnderKey(text, keys.old(), &opening);
    if (opening == EnvelopeOpening::notUnderThisKey) {
        return LineResult(LineFailure::notUnderOldKey);
    }
    const LineResult opened(clear, clear ? std::strlen(clear) : 0);
    if (opened.failure != LineFailure::none) return LineResult(opened.failure);
    // A crafted text part can open to more than any envelope holds.
    if (opened.length > envelopeMaxTextLength) return LineResult(LineFailure::tooLong);
    return sealLine(opened.text, keys.generic());
}

LineResult resultFor(BatchMode mode, const Line& line, const PreparedBatchKeys& keys) {
    if (line.overlong) return LineResult(LineFailure::tooLong);
    if (std::memchr(line.text, '\0', line.length) != nullptr) {
        return LineResult(LineFailure::zeroByte);
    }
    if (mode == BatchMode::seal) return sealLine(line.text, keys.generic());
    if (mode == BatchMode::rekey) return rekeyLine(line.text, line.length, keys);
    LineResult opened = openLine(line.text, line.length, keys.generic());
    if (opened.failure == LineFailure::none &&
        std::memchr(opened.text, '\n', opened.length) != nullptr) {
        opened.failure = LineFailure::notOneLine;
    }
    return opened;
}

// Result lines gather here and go out with write(2) when the buffer is full and whenever the
// batch is about to wait for input, so that a caller who writes one line and waits for its
// answer gets it. What went out is wiped: an opened text is a clear text.
class Output {
  public:
    explicit Output(int fd) : fd_(fd), buffer_(static_cast<char*>(std::malloc(capacity))) {
        if (buffer_ == nullptr) error_ = ENOMEM;
    }
    ~Output() {
        if (buffer_ == nullptr) return;
        wipeSecret(buffer_, used_);
        std::free(buffer_);
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // False once a write failed; error() tells why.
    bool appendLine(const char* text, size_t length) {
        if (error_ != 0) return false;
        if (used_ + length + 1 > capacity && !flush()) return false;
        std::memcpy(buffer_ + used_, text, length);
        buffer_[used_ + length] = '\n';
        used_ += length + 1;
        return true;
    }

    bool flush() {
        if (error_ != 0) return false;
        size_t done = 0;
        while (done < used_) {
            const ssize_t n = write(fd_, buffer_ + done, used_ - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error_ = errno;
                break;
            }
            done += static_cast<size_t>(n);
        }
        wipeSecret(buffer_, used_);
        used_ = 0;
        return error_ == 0;
    }

    int error() const { return error_; }

  private:
    // Far more than the longest result line (370 characters and a line end).
    static constexpr size_t capacity = 64 * 1024;

    int fd_;
    char* buffer_;
    size_t used_ = 0;
    int error_ = 0;
};

int writeFailed(const BatchStreams& streams, const Output& output) {
    reportWriteFailure(streams.err, output.error());
    return 1;
}

int readFailed(const BatchStreams& streams) {
    dprintf(streams.err, "morvex: cannot read standard input: %s\n", std::strerror(errno));
    return 1;
}

}  // namespace

std::optional<BatchMode> batchModeFor(const char* argument) {
    if (std::strcmp(argument, "-E") == 0) return BatchMode::seal;
    if (std::strcmp(argument, "-D") == 0) return BatchMode::open;
    if (std::strcmp(argument, "-R") == 0) return BatchMode::rekey;
    return std::nullopt;
}

size_t longestLine(BatchMode mode) {
    return mode == BatchMode::seal ? envelopeMaxTextLength : longestOneLineEnvelope;
}

int runBatch(BatchMode mode, const BatchKeys& keys, const BatchStreams& streams) {
    const PreparedBatchKeys prepared(mode, keys);
    LineReader reader(streams.in, longestLine(mode), streams.readCapacity);
    Output output(streams.out);
    if (!reader.ready()) return readFailed(streams);
    unsigned long lineNumber = 0;
    bool anyFailed = false;
    for (;;) {
        Line line;
        const ReadStep step = reader.take(line);
        if (step == ReadStep::end) break;
        if (step == ReadStep::needInput) {
            if (!output.flush()) return writeFailed(streams, output);
            if (!reader.fill()) return readFailed(streams);
            continue;
        }
        ++lineNumber;
        const LineResult result = resultFor(mode, line, prepared);
        const bool failed = result.failure != LineFailure::none;
        if (failed) {
            anyFailed = true;
            dprintf(streams.err, "morvex: line %lu: %s\n", lineNumber, messageFor(result.failure));
        }
        if (!output.appendLine(failed ? "" : result.text, failed ? 0 : result.length)) {
            return writeFailed(streams, output);
        }
    }
    if (!output.flush()) return writeFailed(streams, output);
    return anyFailed ? 1 : 0;
}
