// quenby_ldap: LDAP sessions, StartTLS, simple binds, searches and result walking from SQL.
//
// This file holds the SQL functions and the copying of library data into palloc'd memory; the
// handle registry and the waits for the server have files of their own. Library objects (value
// lists, attribute names, BER cursors) are copied and released before anything is reported.
#include <cstdio>
#include <cstring>

#include "directory_text.h"
#include "handle_registry.h"
#include "server_wait.h"

extern "C" {
#include "fmgr.h"
#include "catalog/pg_type.h"
#include "mb/pg_wchar.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/lsyscache.h"
#include "utils/memutils.h"
#include "tcop/tcopprot.h"

PG_MODULE_MAGIC;

PG_FUNCTION_INFO_V1(pg_ldap_err2text);
PG_FUNCTION_INFO_V1(pg_ldap_open);
PG_FUNCTION_INFO_V1(pg_ldap_bind);
PG_FUNCTION_INFO_V1(pg_ldap_unbind);
PG_FUNCTION_INFO_V1(pg_ldap_server_test);
PG_FUNCTION_INFO_V1(pg_ldap_open_ssl);
PG_FUNCTION_INFO_V1(pg_ldap_search);
PG_FUNCTION_INFO_V1(pg_ldap_count_entries);
PG_FUNCTION_INFO_V1(pg_ldap_msgfree);
PG_FUNCTION_INFO_V1(pg_ldap_get_first_entry);
PG_FUNCTION_INFO_V1(pg_ldap_get_next_entry);
PG_FUNCTION_INFO_V1(pg_ldap_get_attributes);
PG_FUNCTION_INFO_V1(pg_ldap_get_attrib_vals);
PG_FUNCTION_INFO_V1(pg_ldap_get_attrib_value);
PG_FUNCTION_INFO_V1(pg_ldap_get_ad_info);
}

namespace {

using namespace quenby;

// A search asks for at most this many attributes; one more slot ends the list.
constexpr int maxRequestedAttributes = 127;
// pg_ldap_get_attributes returns at most this many names.
constexpr int maxListedAttributes = 128;
// Stands in for the password in messages: the password itself is never reported.
constexpr const char* passwordMask = "********";

// The statement of a call that takes a password or a key path never reaches the log. Our own
// reports from such calls say so with errhidestmt; the server's reports during the call (the
// cancel or statement_timeout of a wait at ERROR, a terminate at FATAL, an unknown handle
// from the registry) quote the statement they find here, so it is taken away for the rest of
// the statement.
#define QUENBY_REPORT_SECRET(elevel, fname, fmt, ...) \
    QUENBY_REPORT_WITH(elevel, fname, errhidestmt(true), fmt, ##__VA_ARGS__)

void keepStatementOutOfLog() {
    debug_query_string = nullptr;
}

// Releases a converted argument that held a secret, without leaving the secret behind.
void releaseSecret(char* secret) {
    explicit_bzero(secret, strlen(secret));
    pfree(secret);
}

// ---------------------------------------------------------------------------------------------
// Copies of library data in palloc'd memory, so that reports never leave library memory
// behind.

struct StringList {
    int count;
    char** items;
};

struct Bytes {
    const char* data;
    size_t length;
};

// Copies `count` byte strings, each with a terminator added, into one palloc'd block; null when
// memory ran out. itemAt(i) gives the i-th string as Bytes.
template <typename ItemAt>
char** copyStrings(int count, ItemAt itemAt) {
    size_t total = sizeof(char*) * count;
    for (int i = 0; i < count; ++i)
        total += itemAt(i).length + 1;
    if (total > MaxAllocSize) return nullptr;
    char** copy = static_cast<char**>(palloc_extended(total, MCXT_ALLOC_NO_OOM));
    if (copy == nullptr) return nullptr;
    char* cursor = reinterpret_cast<char*>(copy + count);
    for (int i = 0; i < count; ++i) {
        Bytes item = itemAt(i);
        memcpy(cursor, item.data, item.length);
        cursor[item.length] = '\0';
        copy[i] = cursor;
        cursor += item.length + 1;
    }
    return copy;
}

// The values of one attribute, each cut at its first zero byte; count 0 when the entry has
// none. The values are read as byte strings: the library's string form drops the whole
// attribute as soon as one value holds a zero byte.
StringList fetchValues(const char* fname, LDAP* ld, LDAPMessage* entry, const char* attribute) {
    StringList list = {0, nullptr};
    struct berval** values = ldap_get_values_len(ld, entry, attribute);
    if (values == nullptr) return list;
    list.count = ldap_count_values_len(values);
    list.items = copyStrings(list.count, [values](int i) {
        return Bytes{values[i]->bv_val, strnlen(values[i]->bv_val, values[i]->bv_len)};
    });
    ldap_value_free_len(values);
    if (list.items == nullptr) reportOutOfMemory(fname);
    return list;
}

// The values of an attribute of an entry, for the two value functions.
StringList attributeValues(const char* fname, Handle session, Handle entry, const char* attribute) {
    Target target = requireSessionAndEntry(fname, session, entry);
    QUENBY_REPORT(DEBUG1, fname, "ld=%lld : Attribute %s.", static_cast<long long>(session),
                  attribute);
    return fetchValues(fname, target.ld, target.message, attribute);
}

// Attribute names as the library hands them out, gathered in a malloc'd array.
struct HeldNames {
    char** names;
    int count;
    bool complete;
};

// Walks the entry's attributes in the library's order: all of them, or at most `limit` when
// limit is not negative, in which case no name past the limit is fetched.
HeldNames holdAttributeNames(LDAP* ld, LDAPMessage* entry, int limit) {
    HeldNames held = {nullptr, 0, true};
    int capacity = 0;
    BerElement* cursor = nullptr;
    for (char* name = ldap_first_attribute(ld, entry, &cursor); name != nullptr;) {
        if (held.count == capacity) {
            capacity = capacity == 0 ? 32 : capacity * 2;
            char** grown = static_cast<char**>(realloc(held.names, sizeof(char*) * capacity));
            if (grown == nullptr) {
                ldap_memfree(name);
                held.complete = false;
                break;
            }
            held.names = grown;
        }
        held.names[held.count++] = name;
        if (limit >= 0 && held.count >= limit) break;
        name = ldap_next_attribute(ld, entry, cursor);
    }
    if (cursor != nullptr) ber_free(cursor, 0);
    return held;
}

// The entry's attribute names (see holdAttributeNames), copied into palloc'd memory.
StringList fetchAttributeNames(const char* fname, LDAP* ld, LDAPMessage* entry, int limit) {
    HeldNames held = holdAttributeNames(ld, entry, limit);
    StringList list = {held.count, nullptr};
    if (held.complete) {
        list.items = copyStrings(held.count, [&held](int i) {
            return Bytes{held.names[i], strlen(held.names[i])};
        });
    }
    for (int i = 0; i < held.count; ++i)
        ldap_memfree(held.names[i]);
    free(held.names);
    if (list.items == nullptr) reportOutOfMemory(fname);
    return list;
}

bool validInDatabaseEncoding(const char* value) {
    const struct berval bytes = {strlen(value), const_cast<char*>(value)};
    return isDatabaseText(bytes);
}

// Binary values never become text: a value the database encoding does not accept is an ERROR
// naming the attribute.
void requireValidValue(const char* fname, const char* attribute, const char* value) {
    if (!validInDatabaseEncoding(value)) {
        QUENBY_REPORT(ERROR, fname, "Value of attribute %s is not valid in the database encoding",
                      attribute);
    }
}

// Messages show a value the database encoding does not accept as "\x" and its bytes in hex.
const char* printableValue(const char* value) {
    if (validInDatabaseEncoding(value)) return value;
    size_t length = strlen(value);
    char* shown = static_cast<char*>(palloc(2 * length + 3));
    shown[0] = '\\';
    shown[1] = 'x';
    hex_encode(value, length, shown + 2);
    shown[2 * length + 2] = '\0';
    return shown;
}

ArrayType* textArray(char* const* strings, int count) {
    Datum* items = static_cast<Datum*>(palloc(sizeof(Datum) * count));
    for (int i = 0; i < count; ++i)
        items[i] = PointerGetDatum(cstring_to_text(strings[i]));
    int16 typlen;
    bool byval;
    char align;
    get_typlenbyvalalign(TEXTOID, &typlen, &byval, &align);
    return construct_array(items, count, TEXTOID, typlen, byval, align);
}

ArrayType* bigintPair(int64 first, int64 second) {
    Datum items[2] = {Int64GetDatum(first), Int64GetDatum(second)};
    int16 typlen;
    bool byval;
    char align;
    get_typlenbyvalalign(INT8OID, &typlen, &byval, &align);
    return construct_array(items, 2, INT8OID, typlen, byval, align);
}

// Fills `slots` with the search's attribute names: NULL elements are skipped, at most
// maxRequestedAttributes names are taken, and the slot after the last is left empty.
int takeAttributeNames(const char* fname, ArrayType* names, char** slots) {
    int16 typlen;
    bool byval;
    char align;
    get_typlenbyvalalign(ARR_ELEMTYPE(names), &typlen, &byval, &align);
    Datum* elements;
    bool* nulls;
    int count;
    deconstruct_array(names, ARR_ELEMTYPE(names), typlen, byval, align, &elements, &nulls, &count);
    QUENBY_REPORT(DEBUG1, fname, "Number of Attributes : %d.", count);
    int taken = 0;
    for (int i = 0; i < count && taken < maxRequestedAttributes; ++i) {
        if (nulls[i]) continue;
        text* element = DatumGetTextPP(elements[i]);
        int length = VARSIZE_ANY_EXHDR(element);
        char* name = pnstrdup(VARDATA_ANY(element), length);
        slots[taken++] = name;
        QUENBY_REPORT(DEBUG1, fname, "attr[%d] %s, len %d.", i, name, length);
    }
    slots[taken] = nullptr;
    return taken;
}

// Sets one TLS option of the session; a failure is an ERROR naming the option.
void setTlsOption(const char* fname, LDAP* ld, int option, const char* optionName,
                  const void* value) {
    const int rc = ldap_set_option(ld, option, value);
    if (rc != 0) QUENBY_REPORT_SECRET(ERROR, fname, "SSL %s failed, error=%d", optionName, rc);
}

bool fileOpens(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return false;
    fclose(file);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SQL functions: sessions.

extern "C" {

Datum pg_ldap_err2text(PG_FUNCTION_ARGS) {
    const char* description = ldap_err2string(PG_GETARG_INT32(0));
    if (description == nullptr || description[0] == '\0') {
        QUENBY_REPORT(ERROR, __func__, "No LDAP Return Value!");
    }
    PG_RETURN_TEXT_P(cstring_to_text_with_len(description, strlen(description)));
}

Datum pg_ldap_open(PG_FUNCTION_ARGS) {
    char* host = text_to_cstring(PG_GETARG_TEXT_PP(0));
    int port = PG_GETARG_INT32(1);
    LDAP* ld = openSession(__func__, host, port);
    if (ld == nullptr) {
        pfree(host);
        PG_RETURN_INT64(0);
    }
    if (!rememberSession(ld)) {
        dropSession(ld);
        reportOutOfMemory(__func__);
    }
    pfree(host);
    PG_RETURN_INT64(handleOf(ld));
}

Datum pg_ldap_open_ssl(PG_FUNCTION_ARGS) {
    keepStatementOutOfLog();
    Handle session = PG_GETARG_INT64(0);
    int level = PG_GETARG_INT32(1);
    char* certFile = text_to_cstring(PG_GETARG_TEXT_PP(2));
    char* keyFile = text_to_cstring(PG_GETARG_TEXT_PP(3));
    if (session == 0) QUENBY_REPORT_SECRET(ERROR, __func__, "Bad SSL LDAP session!");
    LDAP* ld = requireSession(__func__, session);
    if (level < LDAP_OPT_X_TLS_NEVER || level > LDAP_OPT_X_TLS_TRY) {
        QUENBY_REPORT_SECRET(ERROR, __func__, "SSL Bad Certificate Request value %d", level);
    }
    if (!fileOpens(certFile)) {
        QUENBY_REPORT_SECRET(ERROR, __func__, "SSL CERTFILE file is not opened: %s", certFile);
    }
    if (!fileOpens(keyFile)) {
        QUENBY_REPORT_SECRET(ERROR, __func__, "SSL KEY file is not opened: %s", keyFile);
    }
    setTlsOption(__func__, ld, LDAP_OPT_X_TLS_REQUIRE_CERT, "LDAP_OPT_X_TLS_REQUIRE_CERT", &level);
    setTlsOption(__func__, ld, LDAP_OPT_X_TLS_CACERTFILE, "LDAP_OPT_X_TLS_CACERTFILE", nullptr);
    setTlsOption(__func__, ld, LDAP_OPT_X_TLS_CERTFILE, "LDAP_OPT_X_TLS_CERTFILE", certFile);
    setTlsOption(__func__, ld, LDAP_OPT_X_TLS_KEYFILE, "LDAP_OPT_X_TLS_KEYFILE", keyFile);
    // The four options above only reach the handshake through a TLS context of the session's
    // own; without one the library's global context is used and no certificate is presented.
    int newContextIsServer = 0;
    setTlsOption(__func__, ld, LDAP_OPT_X_TLS_NEWCTX, "LDAP_OPT_X_TLS_NEWCTX", &newContextIsServer);
    const int rc = startTls(ld);
    CHECK_FOR_INTERRUPTS();
    if (rc != 0) QUENBY_REPORT_SECRET(ERROR, __func__, "SSL start failed, error=%d", rc);
    pfree(certFile);
    releaseSecret(keyFile);
    PG_RETURN_INT32(0);
}

Datum pg_ldap_bind(PG_FUNCTION_ARGS) {
    keepStatementOutOfLog();
    Handle session = PG_GETARG_INT64(0);
    char* user = text_to_cstring(PG_GETARG_TEXT_PP(1));
    char* password = text_to_cstring(PG_GETARG_TEXT_PP(2));
    if (session == 0) {
        QUENBY_REPORT_SECRET(ERROR, __func__, "Empty session for AD user %s, passwd %s", user,
                             passwordMask);
    }
    LDAP* ld = requireSession(__func__, session);
    int rc = simpleBind(ld, user, password, OnInterrupt::abandonRequest);
    pfree(user);
    releaseSecret(password);
    PG_RETURN_INT32(rc);
}

Datum pg_ldap_unbind(PG_FUNCTION_ARGS) {
    Handle session = PG_GETARG_INT64(0);
    if (session == 0) {
        QUENBY_REPORT(WARNING, __func__, "Empty session");
        PG_RETURN_INT32(1);
    }
    requireSession(__func__, session);
    PG_RETURN_INT32(releaseSession(session));
}

Datum pg_ldap_server_test(PG_FUNCTION_ARGS) {
    keepStatementOutOfLog();
    char* host = text_to_cstring(PG_GETARG_TEXT_PP(0));
    int port = PG_GETARG_INT32(1);
    char* user = text_to_cstring(PG_GETARG_TEXT_PP(2));
    char* password = text_to_cstring(PG_GETARG_TEXT_PP(3));
    int result = 1;
    LDAP* ld = openSession(nullptr, host, port);
    if (ld != nullptr) {
        result = simpleBind(ld, user, password, OnInterrupt::releaseSession);
        // The session never reaches SQL: it is closed here whatever the bind said.
        if (result == 0) {
            result = closeSession(ld);
        } else {
            dropSession(ld);
        }
    }
    pfree(host);
    pfree(user);
    releaseSecret(password);
    PG_RETURN_INT32(result);
}

// ---------------------------------------------------------------------------------------------
// SQL functions: searches and results.

Datum pg_ldap_search(PG_FUNCTION_ARGS) {
    Handle session = PG_GETARG_INT64(0);
    char* base = text_to_cstring(PG_GETARG_TEXT_PP(1));
    int scope = PG_GETARG_INT32(2);
    char* filter = text_to_cstring(PG_GETARG_TEXT_PP(3));
    ArrayType* names = PG_GETARG_ARRAYTYPE_P(4);
    char* slots[maxRequestedAttributes + 1] = {};
    QUENBY_REPORT(DEBUG1, __func__, "ldap_search_s, dn=[%s], filter=[%s]", base, filter);
    if (session == 0) {
        QUENBY_REPORT(ERROR, __func__, "Empty session for AD base %s, filter %s", base, filter);
    }
    LDAP* ld = requireSession(__func__, session);
    if (ArrayGetNItems(ARR_NDIM(names), ARR_DIMS(names)) == 0) {
        QUENBY_REPORT(WARNING, __func__, "No attributes for AD base %s, filter %s", base, filter);
    }
    if (takeAttributeNames(__func__, names, slots) == 0) {
        pfree(base);
        pfree(filter);
        PG_RETURN_NULL();
    }
    LDAPMessage* result = nullptr;
    int rc = searchSync(ld, base, scope, filter, slots, &result);
    pfree(base);
    pfree(filter);
    Handle message = 0;
    if (rc != 0) {
        if (result != nullptr) ldap_msgfree(result);
        QUENBY_REPORT(WARNING, __func__, "LDAP search error: %d.", rc);
    } else if (rememberResult(session, ld, result)) {
        message = handleOf(result);
    } else {
        ldap_msgfree(result);
        reportOutOfMemory(__func__);
    }
    PG_RETURN_ARRAYTYPE_P(bigintPair(message, rc));
}

Datum pg_ldap_count_entries(PG_FUNCTION_ARGS) {
    Target target = requireSessionAndResult(__func__, PG_GETARG_INT64(0), PG_GETARG_INT64(1));
    PG_RETURN_INT32(ldap_count_entries(target.ld, target.message));
}

Datum pg_ldap_msgfree(PG_FUNCTION_ARGS) {
    Handle message = PG_GETARG_INT64(0);
    if (message == 0) QUENBY_REPORT(ERROR, __func__, "NULL LDAP message!");
    requireResult(__func__, message);
    PG_RETURN_INT32(releaseResult(message));
}

Datum pg_ldap_get_first_entry(PG_FUNCTION_ARGS) {
    Target target = requireSessionAndResult(__func__, PG_GETARG_INT64(0), PG_GETARG_INT64(1));
    PG_RETURN_INT64(handleOf(ldap_first_entry(target.ld, target.message)));
}

Datum pg_ldap_get_next_entry(PG_FUNCTION_ARGS) {
    Target target = requireSessionAndEntry(__func__, PG_GETARG_INT64(0), PG_GETARG_INT64(1));
    PG_RETURN_INT64(handleOf(ldap_next_entry(target.ld, target.message)));
}

Datum pg_ldap_get_attributes(PG_FUNCTION_ARGS) {
    Target target = requireSessionAndEntry(__func__, PG_GETARG_INT64(0), PG_GETARG_INT64(1));
    StringList names =
        fetchAttributeNames(__func__, target.ld, target.message, maxListedAttributes);
    QUENBY_REPORT(DEBUG1, __func__, "Number of Attributes: %d", names.count);
    if (names.count == 0) {
        QUENBY_REPORT(WARNING, __func__, "Number of Attributes: %d", names.count);
        PG_RETURN_NULL();
    }
    ArrayType* array = textArray(names.items, names.count);
    for (int i = 0; i < names.count; ++i) {
        QUENBY_REPORT(DEBUG1, __func__, "Attribute packed: %s", names.items[i]);
    }
    PG_RETURN_ARRAYTYPE_P(array);
}

Datum pg_ldap_get_attrib_vals(PG_FUNCTION_ARGS) {
    char* attribute = text_to_cstring(PG_GETARG_TEXT_PP(2));
    StringList values =
        attributeValues(__func__, PG_GETARG_INT64(0), PG_GETARG_INT64(1), attribute);
    for (int i = 0; i < values.count; ++i) {
        requireValidValue(__func__, attribute, values.items[i]);
        QUENBY_REPORT(DEBUG1, __func__, "Value[%d] %s", i, values.items[i]);
    }
    pfree(attribute);
    if (values.count == 0) {
        QUENBY_REPORT(WARNING, __func__, "Number of Values: %d", values.count);
        PG_RETURN_NULL();
    }
    PG_RETURN_ARRAYTYPE_P(textArray(values.items, values.count));
}

Datum pg_ldap_get_attrib_value(PG_FUNCTION_ARGS) {
    char* attribute = text_to_cstring(PG_GETARG_TEXT_PP(2));
    StringList values =
        attributeValues(__func__, PG_GETARG_INT64(0), PG_GETARG_INT64(1), attribute);
    size_t length = 0;
    if (values.count > 0) {
        requireValidValue(__func__, attribute, values.items[0]);
        QUENBY_REPORT(DEBUG2, __func__, "Attribute %s, Value %s", attribute, values.items[0]);
        length = strlen(values.items[0]);
    }
    pfree(attribute);
    if (length > 0) PG_RETURN_TEXT_P(cstring_to_text_with_len(values.items[0], length));
    if (values.count == 0) QUENBY_REPORT(WARNING, __func__, "No Values!");
    PG_RETURN_NULL();
}

Datum pg_ldap_get_ad_info(PG_FUNCTION_ARGS) {
    Handle session = PG_GETARG_INT64(0);
    Handle entry = PG_GETARG_INT64(1);
    if (session == 0 || entry == 0) {
        QUENBY_REPORT(ERROR, __func__, "Bad LDAP session:entry %lld:%lld",
                      static_cast<long long>(session), static_cast<long long>(entry));
    }
    LDAP* ld = requireSession(__func__, session);
    LDAPMessage* message = requireEntry(__func__, entry);
    QUENBY_REPORT(DEBUG1, __func__, "ld=%lld : en=%lld.", static_cast<long long>(session),
                  static_cast<long long>(entry));
    StringList names = fetchAttributeNames(__func__, ld, message, -1);
    // Restarts for every attribute with values: the result is the last such attribute's count.
    int counter = 0;
    for (int i = 0; i < names.count; ++i) {
        const char* name = names.items[i];
        QUENBY_REPORT(DEBUG1, __func__, "Attribute %s", name);
        StringList values = fetchValues(__func__, ld, message, name);
        if (values.count == 0) continue;
        counter = 0;
        for (int v = 0; v < values.count; ++v) {
            QUENBY_REPORT(INFO, __func__, "Attribute %s, Value %s", name,
                          printableValue(values.items[v]));
            ++counter;
        }
    }
    PG_RETURN_INT32(counter);
}

}  // extern "C"
