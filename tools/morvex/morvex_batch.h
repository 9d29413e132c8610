// morvex's batch modes: many texts in one process, one per line of standard input, one result
// line per input line on standard output, in order. A line that fails leaves its result line
// empty and names its number in a message on standard error; it does not end the batch.
#ifndef MORVEX_MORVEX_BATCH_H
#define MORVEX_MORVEX_BATCH_H

#include <cstddef>
#include <optional>

#include "lineReader.h"

enum class BatchMode {
    seal,   // each line is a text; its result is its envelope on one line
    open,   // each line is an envelope or a legacy text, chosen as -d chooses; its result the text
    rekey,  // each line is an envelope under the old key; its result the text's envelope under
            // the generic key, on one line
};

// The mode a first argument names: "-E" seals, "-D" opens, "-R" re-keys. Every other argument
// is no batch.
std::optional<BatchMode> batchModeFor(const char* argument);

// The longest line a mode can use: a longer one fails unread. An envelope's result line leaves
// out the line feeds that -e writes after every 72 Base64 characters (-d and the open mode read
// it either way), so the longest envelope on one line is 370 characters.
size_t longestLine(BatchMode mode);

struct BatchStreams {
    int in;
    int out;
    int err;
    size_t readCapacity = LineReader::defaultCapacity;
};

// The keys of a batch: the generic key seals and opens; a re-key opens under oldKey (ignored by
// the other modes) and seals under the generic key.
struct BatchKeys {
    const char* genericKey;
    const char* oldKey = nullptr;
};

// Runs the batch until the input ends. Returns the exit status: 0 when every line succeeded, 1
// when any failed or when the input could not be read or the results could not be written
// (both end the batch with one message).
int runBatch(BatchMode mode, const BatchKeys& keys, const BatchStreams& streams);

#endif  // MORVEX_MORVEX_BATCH_H
