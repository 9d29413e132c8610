// Directory data as SQL text. The server sends DNs, attribute names and values as byte strings
// of any content; only bytes that are valid text of the database encoding (which excludes zero
// bytes) become text, anything else is an ERROR naming what it was.
#pragma once

#include "quenby_common.h"

extern "C" {
#include "utils/array.h"
}

namespace quenby {

// Whether the bytes are text of the database encoding.
bool isDatabaseText(const struct berval& bytes) noexcept;

// A text datum of the entry's DN, in the current memory context.
Datum dnText(const char* fname, const struct berval& dn);

// A text datum of an attribute name, as the server spelled it.
Datum attributeNameText(const char* fname, const struct berval& name);

// The one check of a value as text: an ERROR naming the attribute when the database
// encoding does not accept it.
void requireValueText(const char* fname, const struct berval& name, const struct berval& value);

// A text datum of one value of the named attribute, checked as text.
Datum attributeValueText(const char* fname, const struct berval& name, const struct berval& value);

// Size of a bytea holding the bytes whole; 0 when they exceed what one allocation holds.
Size byteaSize(const struct berval& bytes) noexcept;

// Copies the bytes whole into `into`, which has byteaSize(bytes) room.
void fillBytea(bytea* into, const struct berval& bytes) noexcept;

// The bytes whole as a bytea in the current memory context.
bytea* byteaOf(const char* fname, const struct berval& bytes);

// The attribute names of a text array as a null-terminated list in palloc'd memory: NULL
// elements are skipped, at most `limit` names are taken when limit is not negative, and when
// traceFname is not null each name is traced at DEBUG1 under that function's name.
char** attributeList(ArrayType* names, int limit, const char* traceFname);

}  // namespace quenby
