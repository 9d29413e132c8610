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
#include "settings.h"
#include "tls_contexts.h"

extern "C" {
#include "fmgr.h"
#include "funcapi.h"
#include "catalog/pg_type.h"
#include "mb/pg_wchar.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/lsyscache.h"
#include "utils/memutils.h"
#include "utils/timestamp.h"
#include "utils/tuplestore.h"
#include "storage/ipc.h"
#include "tcop/tcopprot.h"

PG_MODULE_MAGIC;

void _PG_init(void);

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
PG_FUNCTION_INFO_V1(pg_ldap_sessions);
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
    const struct berval name = {strlen(attribute), const_cast<char*>(attribute)};
    const struct berval bytes = {strlen(value), const_cast<char*>(value)};
    requireValueText(fname, name, bytes);
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

// A StartTLS that did not succeed leaves no session in clear: its connection is cut before
// the ERROR, unless TLS was running on it already.
#define QUENBY_REFUSE_TLS(ld, keepSession, fmt, ...)               \
    do {                                                           \
        if (!(keepSession)) cutConnection(ld);                     \
        QUENBY_REPORT_SECRET(ERROR, __func__, fmt, ##__VA_ARGS__); \
    } while (0)

// Sets one TLS option of the session; a failure is an ERROR naming the option.
void setTlsOption(const char* fname, LDAP* ld, bool keepSession, int option, const char* optionName,
                  const void* value) {
    const int rc = ldap_set_option(ld, option, value);
    if (rc == 0) return;
    if (!keepSession) cutConnection(ld);
    QUENBY_REPORT_SECRET(ERROR, fname, "SSL %s failed, error=%d", optionName, rc);
}

// StartTLS on the session; an ERROR on the way (cancel, statement_timeout) cuts the
// connection too.
int startTlsOrCut(LDAP* ld, bool keepSession) {
    int rc = -1;
    PG_TRY();
    { rc = startTls(ld, OnInterrupt::abandonRequest); }
    PG_CATCH();
    {
        if (!keepSession) cutConnection(ld);
        PG_RE_THROW();
    }
    PG_END_TRY();
    return rc;
}

// StartTLS with the library's default trust settings on the private session of a server test,
// before its bind; the session is closed when it fails.
int startTlsForTest(LDAP* ld) {
    int rc = startTls(ld, OnInterrupt::releaseSession);
    if (rc != 0) {
        cutConnection(ld);
        dropSession(ld);
    }
    return rc;
}

const char* tlsStateName(TlsState state) {
    switch (state) {
        case TlsState::running:
            return "on";
        case TlsState::failed:
            return "failed";
        default:
            return "off";
    }
}

// One row of pg_ldap_sessions.
void putSessionRow(ReturnSetInfo* result, const SessionView& view, TimestampTz now) {
    Datum row[7];
    bool nulls[7] = {false, false, false, false, view.boundDn == nullptr, false, false};
    row[0] = Int64GetDatum(view.session);
    row[1] = CStringGetTextDatum(view.host);
    row[2] = Int32GetDatum(view.port);
    row[3] = CStringGetTextDatum(tlsStateName(view.tls));
    row[4] = view.boundDn == nullptr ? static_cast<Datum>(0) : CStringGetTextDatum(view.boundDn);
    row[5] = Int32GetDatum(view.results);
    row[6] = DirectFunctionCall2(timestamp_mi, TimestampTzGetDatum(now),
                                 TimestampTzGetDatum(view.opened));
    tuplestore_putvalues(result->setResult, result->setDesc, row, nulls);
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

void _PG_init(void) {
    defineSettings();
    on_proc_exit(releaseTlsContexts, 0);
}

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
    if (!rememberSession(ld, host, port)) {
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
    // From here on the session has TLS or nothing: any way out but success leaves it cut.
    const bool running = tlsStateOf(session) == TlsState::running;
    if (!running) setTlsState(session, TlsState::failed);
    if (level < LDAP_OPT_X_TLS_NEVER || level > LDAP_OPT_X_TLS_TRY) {
        QUENBY_REFUSE_TLS(ld, running, "SSL Bad Certificate Request value %d", level);
    }
    if (!fileOpens(certFile)) {
        QUENBY_REFUSE_TLS(ld, running, "SSL CERTFILE file is not opened: %s", certFile);
    }
    if (!fileOpens(keyFile)) {
        QUENBY_REFUSE_TLS(ld, running, "SSL KEY file is not opened: %s", keyFile);
    }
    setTlsOption(__func__, ld, running, LDAP_OPT_X_TLS_REQUIRE_CERT, "LDAP_OPT_X_TLS_REQUIRE_CERT",
                 &level);
    setTlsOption(__func__, ld, running, LDAP_OPT_X_TLS_CACERTFILE, "LDAP_OPT_X_TLS_CACERTFILE",
                 nullptr);
    setTlsOption(__func__, ld, running, LDAP_OPT_X_TLS_CERTFILE, "LDAP_OPT_X_TLS_CERTFILE",
                 certFile);
    setTlsOption(__func__, ld, running, LDAP_OPT_X_TLS_KEYFILE, "LDAP_OPT_X_TLS_KEYFILE", keyFile);
    int rc = useTlsContext(ld, level, certFile, keyFile);
    if (rc != 0) QUENBY_REFUSE_TLS(ld, running, "SSL LDAP_OPT_X_TLS_NEWCTX failed, error=%d", rc);
    rc = startTlsOrCut(ld, running);
    if (rc != 0) QUENBY_REFUSE_TLS(ld, running, "SSL start failed, error=%d", rc);
    setTlsState(session, TlsState::running);
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
    // Nothing is sent: a session whose StartTLS failed answers as a lost connection, and one
    // without TLS where it is required as the server would.
    int rc = LDAP_SERVER_DOWN;
    TlsState tls = tlsStateOf(session);
    if (tls != TlsState::failed) {
        rc = requireTls && tls != TlsState::running
                 ? LDAP_CONFIDENTIALITY_REQUIRED
                 : simpleBind(ld, user, password, OnInterrupt::abandonRequest);
    }
    setBoundDn(session, rc == 0 ? user : nullptr);
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
    if (ld != nullptr && requireTls) {
        result = startTlsForTest(ld);
        if (result != 0) ld = nullptr;
    }
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
    QUENBY_REPORT(DEBUG1, __func__, "ldap_search_s, dn=[%s], filter=[%s]", base, filter);
    if (session == 0) {
        QUENBY_REPORT(ERROR, __func__, "Empty session for AD base %s, filter %s", base, filter);
    }
    LDAP* ld = requireSession(__func__, session);
    if (ArrayGetNItems(ARR_NDIM(names), ARR_DIMS(names)) == 0) {
        QUENBY_REPORT(WARNING, __func__, "No attributes for AD base %s, filter %s", base, filter);
    }
    char** slots = attributeList(names, maxRequestedAttributes, __func__);
    if (slots[0] == nullptr) {
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

// The current role's live sessions in this backend. The views are taken in one go, before any
// row is stored, so that nothing of the registry is walked while an ERROR can strike.
Datum pg_ldap_sessions(PG_FUNCTION_ARGS) {
    InitMaterializedSRF(fcinfo, 0);
    ReturnSetInfo* result = reinterpret_cast<ReturnSetInfo*>(fcinfo->resultinfo);
    int count = ownSessions(nullptr, 0);
    SessionView* views = static_cast<SessionView*>(palloc(sizeof(SessionView) * (count + 1)));
    count = Min(count, ownSessions(views, count));
    TimestampTz now = GetCurrentTimestamp();
    for (int i = 0; i < count; ++i)
        putSessionRow(result, views[i], now);
    return static_cast<Datum>(0);
}

}  // extern "C"
