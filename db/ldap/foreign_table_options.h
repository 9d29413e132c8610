// What a foreign table of quenby_ldap_fdw searches (base, scope, filter, page_size) and which
// attribute each column shows (the column option "attribute", else the column's name).
#pragma once

#include "quenby_common.h"

extern "C" {
#include "access/attnum.h"
}

namespace quenby {

struct TableSearch {
    Oid serverId;
    const char* serverName;
    const char* base;
    int scope;           // LDAP_SCOPE_BASE, _ONELEVEL or _SUBTREE
    const char* filter;  // "(objectClass=*)" when the table sets none
    int pageSize;
};

// The option parsers the validator and the reader share; false for a value that is refused.
bool parseScope(const char* value, int* scope);
bool parsePageSize(const char* value, int* pageSize);
// A filter that is one parenthesised item with balanced parentheses.
bool looksLikeFilter(const char* value);
// An attribute description: a name (a letter, then letters, digits and '-') or a numeric OID,
// each with ';' options. Only such names are ever written into a filter.
bool isAttributeDescription(const char* value);

// The search of the foreign table `relid`, with the defaults applied.
TableSearch tableSearchOf(Oid relid);

// The attribute the column shows.
const char* attributeOfColumn(Oid relid, AttrNumber attnum, const char* columnName);

}  // namespace quenby
