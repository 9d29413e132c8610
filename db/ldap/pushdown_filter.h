// The WHERE conditions of a foreign table scan that the directory server can apply, written as
// LDAP filter items. A condition is written only when every row SQL would keep also matches
// the item on the server: the server may keep more (its matching is mostly case-insensitive),
// never fewer, and PostgreSQL checks every condition again on the rows that come back.
#pragma once

#include "quenby_common.h"

extern "C" {
#include "lib/stringinfo.h"
#include "nodes/pg_list.h"
#include "nodes/primnodes.h"
}

namespace quenby {

// What the conditions may use of the scanned table's columns, indexed by attribute number - 1.
struct PushableColumns {
    Index relid;  // the range table index of the scanned table
    int count;
    const char** attribute;  // the attribute a column shows; null for dn and unusable names
    bool* isPlainText;       // text or varchar, not an array
};

// The items of the conditions (bare clauses, ANDed) that can go to the server, concatenated;
// "" when none can.
const char* pushableItems(List* clauses, const PushableColumns& columns);

// The bytes as an LDAP filter value (RFC 4515): '*', '(', ')', '\' and NUL as \2a, \28, \29,
// \5c and \00, everything else as it is.
void appendFilterValue(StringInfo out, const char* bytes, size_t length);

// The filter a scan sends: the table's own, ANDed with the pushed items when there are any.
const char* scanFilter(const char* tableFilter, const char* pushedItems);

}  // namespace quenby
