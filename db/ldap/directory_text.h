// Directory data as SQL text. The server sends DNs, attribute names and values as byte strings
// of any content; only bytes that are valid text of the database encoding (which excludes zero
// bytes) become text, anything else is an ERROR naming what it was.
#pragma once

#include "quenby_common.h"

namespace quenby {

// Whether the bytes are text of the database encoding.
bool isDatabaseText(const struct berval& bytes) noexcept;

// A text datum of the entry's DN, in the current memory context.
Datum dnText(const char* fname, const struct berval& dn);

// A text datum of an attribute name, as the server spelled it.
Datum attributeNameText(const char* fname, const struct berval& name);

// A text datum of one value of the named attribute (already checked as text).
Datum attributeValueText(const char* fname, const struct berval& name, const struct berval& value);

}  // namespace quenby
