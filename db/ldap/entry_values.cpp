// An entry's name and its values as bytes: pg_ldap_get_dn and pg_ldap_get_attrib_bytes.
#include <cstring>

#include "directory_text.h"
#include "handle_registry.h"

extern "C" {
#include "fmgr.h"
#include "catalog/pg_type.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/memutils.h"

PG_FUNCTION_INFO_V1(pg_ldap_get_dn);
PG_FUNCTION_INFO_V1(pg_ldap_get_attrib_bytes);
}

namespace {

using namespace quenby;

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
    struct berval** values = ldap_get_values_len(target.ld, target.message, attribute);
    int count = values == nullptr ? 0 : ldap_count_values_len(values);
    Datum* items = count > 0 ? copyByteValues(values, count) : nullptr;
    ldap_value_free_len(values);
    pfree(attribute);
    if (count == 0) {
        QUENBY_REPORT(WARNING, __func__, "Number of Values: %d", count);
        PG_RETURN_NULL();
    }
    if (items == nullptr) reportOutOfMemory(__func__);
    PG_RETURN_ARRAYTYPE_P(construct_array(items, count, BYTEAOID, -1, false, TYPALIGN_INT));
}

}  // extern "C"
