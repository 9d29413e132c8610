// The range option of an attribute name ("member;range=100-199"), read without the server:
// the part of range retrieval that needs no session.
#pragma once

#include <lber.h>

#include <cstddef>

namespace quenby {

// What a ranged attribute name says. "member;range=100-199": the plain name is the first
// plainLength bytes ("member"), the piece holds values 100 to 199; "member;range=300-*": the
// last piece, from value 300 on (high is then -1).
struct ValueRange {
    size_t plainLength;
    long low;
    long high;
};

// Whether the attribute name ends in a range option, which then fills *range.
bool parseValueRange(const struct berval& name, ValueRange* range) noexcept;

// The number of values in a null-terminated list (0 for null).
long countValues(const struct berval* values) noexcept;

}  // namespace quenby
