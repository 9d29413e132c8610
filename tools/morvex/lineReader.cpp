#include "lineReader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "wipeSecret.h"

LineReader::LineReader(int fd, size_t longest, size_t capacity)
    : fd_(fd),
      longest_(longest),
      capacity_(capacity > longest + 1 ? capacity : longest + 2),
      buffer_(static_cast<char*>(std::calloc(capacity_ + 1, 1))) {}

LineReader::~LineReader() {
    if (buffer_ == nullptr) return;
    wipeSecret(buffer_, capacity_ + 1);
    std::free(buffer_);
}

void LineReader::wipe(size_t from, size_t to) {
    if (to > from) wipeSecret(buffer_ + from, to - from);
}

ReadStep LineReader::handOut(Line& line, size_t length, size_t next) {
    buffer_[begin_ + length] = '\0';  // the line end, or the spare byte behind the data
    line = Line{buffer_ + begin_, length, false};
    handedOut_ = begin_;
    begin_ = next;
    return ReadStep::line;
}

// Drops the overlong line up to lineEnd (null: its end is not buffered yet). It is handed out
// as an overlong line once its end is seen, or once the input ends.
ReadStep LineReader::dropOverlong(Line& line, const char* lineEnd) {
    if (lineEnd != nullptr) {
        const size_t next = static_cast<size_t>(lineEnd - buffer_) + 1;
        wipe(begin_, next);
        begin_ = handedOut_ = next;
        dropping_ = false;
        line = Line{nullptr, 0, true};
        return ReadStep::line;
    }
    wipe(begin_, end_);
    begin_ = end_ = handedOut_ = 0;
    dropping_ = !inputEnded_;
    if (dropping_) return ReadStep::needInput;
    line = Line{nullptr, 0, true};
    return ReadStep::line;
}

ReadStep LineReader::take(Line& line) {
    if (buffer_ == nullptr) return ReadStep::needInput;
    wipe(handedOut_, begin_);
    handedOut_ = begin_;
    const size_t pending = end_ - begin_;
    const auto* lineEnd = static_cast<const char*>(std::memchr(buffer_ + begin_, '\n', pending));
    if (dropping_) return dropOverlong(line, lineEnd);
    if (lineEnd != nullptr) {
        const size_t length = static_cast<size_t>(lineEnd - (buffer_ + begin_));
        if (length > longest_) return dropOverlong(line, lineEnd);
        return handOut(line, length, begin_ + length + 1);
    }
    if (pending > longest_) return dropOverlong(line, nullptr);
    if (!inputEnded_) return ReadStep::needInput;
    if (pending == 0) return ReadStep::end;
    return handOut(line, pending, end_);
}

bool LineReader::fill() {
    if (buffer_ == nullptr) {
        errno = ENOMEM;
        return false;
    }
    // The unfinished line moves to the front; the bytes it leaves behind are wiped.
    const size_t pending = end_ - begin_;
    if (begin_ > 0) {
        std::memmove(buffer_, buffer_ + begin_, pending);
        wipe(pending, end_);
        begin_ = handedOut_ = 0;
        end_ = pending;
    }
    for (;;) {
        const ssize_t n = read(fd_, buffer_ + end_, capacity_ - end_);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) inputEnded_ = true;
        end_ += static_cast<size_t>(n);
        return true;
    }
}
