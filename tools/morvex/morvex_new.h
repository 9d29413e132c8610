// The functions behind morvex's modes, linkable without its main (tests and fuzz targets).
// Every result is a malloc'd string that the caller releases with free; nothing stands behind
// its terminator, so wiping it up to there leaves no clear byte behind. The functions wipe
// their own copies of keys and texts.
#ifndef MORVEX_MORVEX_NEW_H
#define MORVEX_MORVEX_NEW_H

#include "encDec.h"
#include "envelope.h"

// The messages every mode shares. The one-text modes print them after toolPrefix; a batch
// reports them for a line.
inline constexpr char toolPrefix[] = "morvex: ";
inline constexpr char msgTooLong[] = "Input string exceeds maximum allowed size.";
inline constexpr char msgTooShort[] = "Does not meet minimum expected size of encrypted string.";
inline constexpr char msgNotValid[] = "Not a valid string to decrypt";
inline constexpr char msgNoKey[] = "Unable to read Generic Key. Please contact administrator.";

// Seals text (at most envelopeMaxTextLength characters) into an "@@" envelope under the first
// 16 bytes of genericKey (a shorter key counts as followed by zero bytes). Null for a null
// text. A longer text prints "morvex: Input string exceeds maximum allowed size." and ends
// the process with status 1.
char* EncryptDataNew(char* text, char* genericKey);

// Opens an envelope (its "@@" prefix included) and returns the text without trailing spaces.
// Nothing authenticates an envelope: a wrong key or an altered envelope opens to other bytes.
// Fewer than envelopeMinOpenLength characters after the prefix print "morvex: Does not meet
// minimum expected size of encrypted string." and end the process with status 1.
char* DecryptDataNew(char* envelope, char* genericKey);

// Reads a legacy "@" text under key (any non-empty length). A text that does not start with
// "@" comes back as a copy. Null for a null text, an empty or null key, or a text that fails
// the format's checks.
char* DecryptData(char* text, char* key);
// The same, and *clearLength is the clear text's length, counting any zero bytes within it.
char* DecryptDataCounted(char* text, char* key, unsigned long* clearLength);

// DecryptDataCounted under the tool's legacy key, the key -d and -D open legacy texts with.
char* openToolLegacyText(char* text, unsigned long* clearLength);

// Writes "morvex: cannot write to standard output: <reason>" and a line end to fd.
void reportWriteFailure(int fd, int error);

#endif  // MORVEX_MORVEX_NEW_H
