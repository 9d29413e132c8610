// Searches held as results, and their entries: counting and walking them, and reading an
// entry's DN, attribute names and values as text or as bytes. Library objects (value lists,
// attribute names, BER cursors) are copied into palloc'd memory and released before anything
// is reported.
#include <strings.h>

#include <cstring>

#include "directory_text.h"
#include "handle_registry.h"
#include "server_wait.h"
#include "value_ranges.h"

extern "C" {
#include "fmgr.h"
#include "catalog/pg_type.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/lsyscache.h"
#include "utils/memutils.h"

PG_FUNCTION_INFO_V1(pg_ldap_search);
PG_FUNCTION_INFO_V1(pg_ldap_count_entries);
PG_FUNCTION_INFO_V1(pg_ldap_msgfree);
PG_FUNCTION_INFO_V1(pg_ldap_get_first_entry);
PG_FUNCTION_INFO_V1(pg_ldap_get_next_entry);
PG_FUNCTION_INFO_V1(pg_ldap_get_attributes);
PG_FUNCTION_INFO_V1(pg_ldap_get_attrib_vals);
PG_FUNCTION_INFO_V1(pg_ldap_get_attrib_value);
PG_FUNCTION_INFO_V1(pg_ldap_get_ad_info);
PG_FUNCTION_INFO_V1(pg_ldap_get_dn);
PG_FUNCTION_INFO_V1(pg_ldap_get_attrib_bytes);
}

namespace {

using namespace quenby;

// A search asks for at most this many attributes; one more slot ends the list.
constexpr int maxRequestedAttributes = 127;
// pg_ldap_get_attributes returns at most this many names.
constexpr int maxListedAttributes = 128;
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

// Values gathered range by range, each a palloc'd berval with its bytes behind it, in a
// null-terminated list shaped as the library's.
struct GatheredValues {
    int count;
    int capacity;
    struct berval** items;
};

void gatherValue(GatheredValues* gathered, const struct berval& value) {
    if (gathered->count + 1 >= gathered->capacity) {
        gathered->capacity = gathered->capacity == 0 ? 64 : gathered->capacity * 2;
        Size size = sizeof(struct berval*) * gathered->capacity;
        gathered->items = static_cast<struct berval**>(
            gathered->items == nullptr ? palloc(size) : repalloc(gathered->items, size));
    }
    auto* copy = static_cast<struct berval*>(palloc(sizeof(struct berval) + value.bv_len + 1));
    copy->bv_len = value.bv_len;
    copy->bv_val = reinterpret_cast<char*>(copy + 1);
    memcpy(copy->bv_val, value.bv_val, value.bv_len);
    copy->bv_val[value.bv_len] = '\0';
    gathered->items[gathered->count++] = copy;
    gathered->items[gathered->count] = nullptr;
}

void gatherPiece(void* context, struct berval* values) {
    for (struct berval* value = values; value != nullptr && value->bv_val != nullptr; ++value)
        gatherValue(static_cast<GatheredValues*>(context), *value);
}

// The name under which the entry holds the first range of `attribute` (the plain name asked
// for), in palloc'd memory; null when it holds none.
char* rangedName(const char* fname, LDAP* ld, LDAPMessage* entry, const char* attribute) {
    HeldNames held = holdAttributeNames(ld, entry, -1);
    int found = -1;
    for (int i = 0; i < held.count && found < 0; ++i) {
        const struct berval name = {strlen(held.names[i]), held.names[i]};
        ValueRange range = {0, 0, 0};
        if (parseValueRange(name, &range) && range.plainLength == strlen(attribute) &&
            strncasecmp(held.names[i], attribute, range.plainLength) == 0) {
            found = i;
        }
    }
    char* copy =
        found < 0
            ? nullptr
            : static_cast<char*>(palloc_extended(strlen(held.names[found]) + 1, MCXT_ALLOC_NO_OOM));
    if (copy != nullptr) strcpy(copy, held.names[found]);
    for (int i = 0; i < held.count; ++i)
        ldap_memfree(held.names[i]);
    free(held.names);
    if (found >= 0 && copy == nullptr) reportOutOfMemory(fname);
    return copy;
}

// Every value of an attribute the entry holds in ranges, the further ranges asked for on the
// session; null when the entry holds no range of it.
struct berval** gatherRanges(const char* fname, LDAP* ld, LDAPMessage* entry,
                             const char* attribute) {
    char* name = rangedName(fname, ld, entry, attribute);
    if (name == nullptr) return nullptr;
    GatheredValues gathered = {0, 0, nullptr};
    struct berval** first = ldap_get_values_len(ld, entry, name);
    int firstCount = first == nullptr ? 0 : ldap_count_values_len(first);
    // The library's list is released whatever the copying meets.
    volatile bool copied = true;
    PG_TRY();
    {
        for (int i = 0; i < firstCount; ++i)
            gatherValue(&gathered, *first[i]);
    }
    PG_CATCH();
    { copied = false; }
    PG_END_TRY();
    ldap_value_free_len(first);
    if (!copied) reportOutOfMemory(fname);
    char* dn = ldap_get_dn(ld, entry);
    char* dnCopy = dn == nullptr ? nullptr : pstrdup(dn);
    ldap_memfree(dn);
    const struct berval sent = {strlen(name), name};
    followValueRange(fname, ld, dnCopy, sent, firstCount, gatherPiece, &gathered);
    return gathered.items;
}

// The values of one attribute: the library's list, to be released with ldap_value_free_len,
// or palloc'd copies when the entry holds the attribute in ranges (*gathered true).
struct berval** heldValues(const char* fname, LDAP* ld, LDAPMessage* entry, const char* attribute,
                           bool* gathered) {
    struct berval** values = ldap_get_values_len(ld, entry, attribute);
    *gathered = values == nullptr;
    if (values == nullptr) values = gatherRanges(fname, ld, entry, attribute);
    return values;
}

void releaseHeldValues(struct berval** values, bool gathered) {
    if (!gathered) ldap_value_free_len(values);
}

// The values of one attribute, each cut at its first zero byte; count 0 when the entry has
// none. The values are read as byte strings: the library's string form drops the whole
// attribute as soon as one value holds a zero byte.
StringList fetchValues(const char* fname, LDAP* ld, LDAPMessage* entry, const char* attribute) {
    StringList list = {0, nullptr};
    bool gathered = false;
    struct berval** values = heldValues(fname, ld, entry, attribute, &gathered);
    if (values == nullptr) return list;
    list.count = ldap_count_values_len(values);
    list.items = copyStrings(list.count, [values](int i) {
        return Bytes{values[i]->bv_val, strnlen(values[i]->bv_val, values[i]->bv_len)};
    });
    releaseHeldValues(values, gathered);
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

// Copies every value whole into one palloc'd block: the bytea datums, each MAXALIGNed after
// an array of their pointers. Null when memory ran out or the values exceed one allocation, so
// that the caller can release the library's list before it reports.
Datum* copyByteValues(struct berval** values, int count) {
    Size total = MAXALIGN(sizeof(Datum) * count);
    for (int i = 0; i < count; ++i) {
        Size size = byteaSize(*values[i]);
        if (size == 0) return nullptr;
        total += MAXALIGN(size);
        if (total > MaxAllocSize) return nullptr;
    }
    char* block = static_cast<char*>(palloc_extended(total, MCXT_ALLOC_NO_OOM));
    if (block == nullptr) return nullptr;
    Datum* items = reinterpret_cast<Datum*>(block);
    char* cursor = block + MAXALIGN(sizeof(Datum) * count);
    for (int i = 0; i < count; ++i) {
        fillBytea(reinterpret_cast<bytea*>(cursor), *values[i]);
        items[i] = PointerGetDatum(cursor);
        cursor += MAXALIGN(byteaSize(*values[i]));
    }
    return items;
}

}  // namespace

extern "C" {

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

// The DN is read in place from the entry, which stays held by its result: nothing of the
// library's needs releasing here.
Datum pg_ldap_get_dn(PG_FUNCTION_ARGS) {
    Target target = requireSessionAndEntry(__func__, PG_GETARG_INT64(0), PG_GETARG_INT64(1));
    struct berval dn = {0, nullptr};
    int rc = ldap_get_dn_ber(target.ld, target.message, nullptr, &dn);
    if (rc != LDAP_SUCCESS) QUENBY_REPORT(ERROR, __func__, "DN cannot be read, error=%d", rc);
    PG_RETURN_DATUM(dnText(__func__, dn));
}

Datum pg_ldap_get_attrib_bytes(PG_FUNCTION_ARGS) {
    Handle session = PG_GETARG_INT64(0);
    char* attribute = text_to_cstring(PG_GETARG_TEXT_PP(2));
    Target target = requireSessionAndEntry(__func__, session, PG_GETARG_INT64(1));
    QUENBY_REPORT(DEBUG1, __func__, "ld=%lld : Attribute %s.", static_cast<long long>(session),
                  attribute);
    bool gathered = false;
    struct berval** values = heldValues(__func__, target.ld, target.message, attribute, &gathered);
    int count = values == nullptr ? 0 : ldap_count_values_len(values);
    Datum* items = count > 0 ? copyByteValues(values, count) : nullptr;
    if (values != nullptr) releaseHeldValues(values, gathered);
    pfree(attribute);
    if (count == 0) {
        QUENBY_REPORT(WARNING, __func__, "Number of Values: %d", count);
        PG_RETURN_NULL();
    }
    if (items == nullptr) reportOutOfMemory(__func__);
    PG_RETURN_ARRAYTYPE_P(construct_array(items, count, BYTEAOID, -1, false, TYPALIGN_INT));
}

}  // extern "C"
