// The options of foreign tables and their columns.
#include "foreign_table_options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" {
#include "commands/defrem.h"
#include "foreign/foreign.h"
}

namespace quenby {
namespace {

constexpr int defaultPageSize = 500;
constexpr const char* everyEntry = "(objectClass=*)";

bool isKeyChar(char c) {
    return isalnum(static_cast<unsigned char>(c)) || c == '-';
}

// A descriptor or numeric OID, from `at` up to ';' or the end; returns where it stopped.
const char* skipOid(const char* at) {
    if (isalpha(static_cast<unsigned char>(*at))) {
        while (isKeyChar(*at))
            ++at;
        return at;
    }
    for (;;) {
        if (!isdigit(static_cast<unsigned char>(*at))) return nullptr;
        while (isdigit(static_cast<unsigned char>(*at)))
            ++at;
        if (*at != '.') return at;
        ++at;
    }
}

}  // namespace

bool parseScope(const char* value, int* scope) {
    static const struct {
        const char* name;
        int scope;
    } scopes[] = {
        {"base", LDAP_SCOPE_BASE}, {"one", LDAP_SCOPE_ONELEVEL}, {"subtree", LDAP_SCOPE_SUBTREE}};
    for (const auto& known : scopes) {
        if (strcmp(value, known.name) != 0) continue;
        *scope = known.scope;
        return true;
    }
    return false;
}

bool parsePageSize(const char* value, int* pageSize) {
    char* end = nullptr;
    errno = 0;
    const long parsed = strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || parsed < 0 || parsed > INT32_MAX) {
        return false;
    }
    *pageSize = static_cast<int>(parsed);
    return true;
}

bool looksLikeFilter(const char* value) {
    const size_t length = strlen(value);
    if (length < 3 || value[0] != '(' || value[length - 1] != ')') return false;
    int depth = 0;
    for (size_t i = 0; i < length; ++i) {
        if (value[i] == '(') ++depth;
        if (value[i] == ')' && --depth == 0 && i != length - 1) return false;
        if (depth < 0) return false;
    }
    return depth == 0;
}

bool isAttributeDescription(const char* value) {
    const char* at = skipOid(value);
    if (at == nullptr || at == value) return false;
    while (*at == ';') {
        const char* option = ++at;
        while (isKeyChar(*at))
            ++at;
        if (at == option) return false;
    }
    return *at == '\0';
}

TableSearch tableSearchOf(Oid relid) {
    ForeignTable* table = GetForeignTable(relid);
    TableSearch search = {table->serverid,
                          GetForeignServer(table->serverid)->servername,
                          "",
                          LDAP_SCOPE_SUBTREE,
                          everyEntry,
                          defaultPageSize};
    ListCell* cell;
    foreach (cell, table->options) {
        DefElem* option = static_cast<DefElem*>(lfirst(cell));
        const char* value = defGetString(option);
        if (strcmp(option->defname, "base") == 0) search.base = value;
        if (strcmp(option->defname, "filter") == 0) search.filter = value;
        // The validator took these values: parsing them again cannot fail.
        if (strcmp(option->defname, "scope") == 0) parseScope(value, &search.scope);
        if (strcmp(option->defname, "page_size") == 0) parsePageSize(value, &search.pageSize);
    }
    return search;
}

const char* attributeOfColumn(Oid relid, AttrNumber attnum, const char* columnName) {
    ListCell* cell;
    foreach (cell, GetForeignColumnOptions(relid, attnum)) {
        DefElem* option = static_cast<DefElem*>(lfirst(cell));
        if (strcmp(option->defname, "attribute") == 0) return defGetString(option);
    }
    return columnName;
}

}  // namespace quenby
