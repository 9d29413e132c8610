// The "@@" envelope codec under a prepared generic key, shared by morvex (which seals and opens
// envelopes for operators) and quenby_ldap (which opens the directory passwords kept as
// envelopes). Private to the project: not installed, not exported from libtarncrypt.
//
// Every result is a malloc'd string that the caller wipes up to its terminator and releases
// with free; nothing stands behind the terminator.
#ifndef TARNCRYPT_ENVELOPE_H
#define TARNCRYPT_ENVELOPE_H

#include "encDec.h"

// Encrypts the salt block of every envelope. Envelopes open only under the value they were
// made with, so it never changes.
inline constexpr char staticSalt[3] = "Xq";

inline constexpr unsigned long envelopeMaxTextLength = 256;
// A 24-character text part and the 24-character salt block.
inline constexpr unsigned long envelopeMinOpenLength = 48;
inline constexpr unsigned long envelopeSaltBlockLength = 24;

// The generic key's AES schedules, built once for every envelope sealed or opened under it and
// wiped when the object goes (a batch keeps one for all its lines). Never in a frame that a
// PostgreSQL ERROR can unwind: the longjmp skips the destructor.
class PreparedGenericKey {
  public:
    // The first 16 bytes of genericKey; a shorter key counts as followed by zero bytes.
    explicit PreparedGenericKey(const char* genericKey);
    ~PreparedGenericKey();
    PreparedGenericKey(const PreparedGenericKey&) = delete;
    PreparedGenericKey& operator=(const PreparedGenericKey&) = delete;
    const TarnPreparedKey& get() const { return prepared_; }

  private:
    TarnPreparedKey prepared_;
};

// Seals text into an "@@" envelope; null for a text of more than envelopeMaxTextLength
// characters or when memory runs out.
char* sealEnvelope(const char* text, const TarnPreparedKey& key);

// Opens an envelope (its "@@" prefix included) and returns the text without trailing spaces;
// null when fewer than envelopeMinOpenLength characters follow the prefix or memory runs out.
// Nothing authenticates an envelope: a wrong key or an altered envelope opens to other bytes.
char* openEnvelope(const char* envelope, const TarnPreparedKey& key);

enum class EnvelopeOpening {
    opened,
    tooShort,         // fewer than envelopeMinOpenLength characters after the prefix
    notUnderThisKey,  // the salt block does not open to two salt characters and 14 spaces
    noMemory,
};

// openEnvelope for callers that must not act on garbage (a bind, a re-key): the salt block
// opens to its two salt characters followed by fourteen spaces only under the key that sealed
// it (a wrong key passes with odds of about 2^-112), so any other key is refused before the
// text part is touched. *opening says why a null came back.
char* openEnvelopeUnderKey(const char* envelope, const TarnPreparedKey& key,
                           EnvelopeOpening* opening);

#endif  // TARNCRYPT_ENVELOPE_H
