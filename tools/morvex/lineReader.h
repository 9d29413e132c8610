// Lines of standard input for morvex's batch modes, read with read(2) into one buffer of fixed
// size that no stdio layer copies. A line is handed out in place; its bytes are wiped before the
// next line is handed out, and the whole buffer when the reader goes. A line longer than the
// longest one its mode can use is read and dropped in chunks of the buffer's size, so that no
// input, however long its lines, needs more memory.
#ifndef MORVEX_LINEREADER_H
#define MORVEX_LINEREADER_H

#include <cstddef>

struct Line {
    char* text = nullptr;  // terminated in place; null for an overlong line, whose bytes are gone
    size_t length = 0;     // bytes before the line end, zero bytes included
    bool overlong = false;
};

enum class ReadStep {
    line,       // a line was handed out
    needInput,  // no whole line is buffered: fill() before taking again
    end,        // the input ended and every line was handed out
};

class LineReader {
  public:
    static constexpr size_t defaultCapacity = 64 * 1024;

    // capacity must exceed longest by at least one byte.
    LineReader(int fd, size_t longest, size_t capacity = defaultCapacity);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Hands out the next buffered line (valid until the next call) and wipes the one before it.
    // A last line without a line end is handed out once the input has ended.
    ReadStep take(Line& line);
    // One read(2) from the input, which may wait for it; false on a read error (errno tells).
    bool fill();
    // False when the buffer could not be allocated; such a reader reports a read error.
    bool ready() const { return buffer_ != nullptr; }

  private:
    void wipe(size_t from, size_t to);
    ReadStep handOut(Line& line, size_t length, size_t next);
    ReadStep dropOverlong(Line& line, const char* lineEnd);

    int fd_;
    size_t longest_;
    size_t capacity_;
    char* buffer_;          // capacity_ + 1 bytes: a last line is terminated behind the data
    size_t begin_ = 0;      // the first byte not handed out
    size_t end_ = 0;        // the end of the buffered input
    size_t handedOut_ = 0;  // the start of the line handed out last, wiped at the next take
    bool inputEnded_ = false;
    bool dropping_ = false;  // inside an overlong line whose line end has not come yet
};

#endif  // MORVEX_LINEREADER_H
