// pg_ldap_search_rows and pg_ldap_search_bytes: a search as a set of (dn, attribute, value)
// rows, values as text or as bytea. Each entry is taken from the connection as it arrives and
// its rows are stored before the next is read, so the backend holds one entry and the
// tuplestore (which spills to disk past work_mem), whatever the server sends. An ERROR at any
// point (the server's answer, a value that is no text, cancel, the tuplestore) finds the
// library's objects released by the catch around the reading.
#include "directory_text.h"
#include "handle_registry.h"
#include "paged_search.h"
#include "server_wait.h"
#include "value_ranges.h"

extern "C" {
#include "fmgr.h"
#include "funcapi.h"
#include "catalog/pg_type.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/memutils.h"
#include "utils/tuplestore.h"

PG_FUNCTION_INFO_V1(pg_ldap_search_rows);
PG_FUNCTION_INFO_V1(pg_ldap_search_bytes);
}

namespace {

using namespace quenby;

// A value of the named attribute as the datum of the value column.
using ValueDatum = Datum (*)(const char* fname, const struct berval& name,
                             const struct berval& value);

Datum valueBytes(const char* fname, const struct berval&, const struct berval& value) {
    return PointerGetDatum(byteaOf(fname, value));
}

struct RowSink {
    Tuplestorestate* store;
    TupleDesc descriptor;
    MemoryContext perEntry;  // the datums of one entry, reset after it
    ValueDatum valueDatum;
};

// The rows of one list of values of the attribute named in row[1].
struct ValueRows {
    const char* fname;
    RowSink* sink;
    Datum* row;
    bool* nulls;
    struct berval name;  // the attribute's plain name
};

void writeValues(void* context, struct berval* values) {
    auto* rows = static_cast<ValueRows*>(context);
    RowSink* sink = rows->sink;
    for (struct berval* value = values; value != nullptr && value->bv_val != nullptr; ++value) {
        rows->row[2] = sink->valueDatum(rows->fname, rows->name, *value);
        tuplestore_putvalues(sink->store, sink->descriptor, rows->row, rows->nulls);
        // The row holds a copy: an attribute of many values, ranged ones above all, keeps
        // none of them here.
        pfree(DatumGetPointer(rows->row[2]));
    }
}

// The rows of the attribute being read, under its plain name, the values of every further
// range included.
void writeAttribute(ValueRows* rows, PagedSearch* search, const struct berval& dn) {
    struct berval sent = rows->name;
    ValueRange range = {0, 0, 0};
    bool ranged = parseValueRange(sent, &range);
    if (ranged) rows->name.bv_len = range.plainLength;
    rows->row[1] = attributeNameText(rows->fname, rows->name);
    writeValues(rows, search->values);
    if (!ranged) return;
    followValueRange(rows->fname, search->ld, pnstrdup(dn.bv_val, dn.bv_len), sent,
                     countValues(search->values), writeValues, rows);
}

// One row per value of each attribute of the entry, in the order the server sent them.
void writeEntry(const char* fname, PagedSearch* search, LDAPMessage* entry, RowSink* sink) {
    Datum row[3];
    bool nulls[3] = {false, false, false};
    struct berval dn = {0, nullptr};
    int rc = ldap_get_dn_ber(search->ld, entry, &search->cursor, &dn);
    if (rc != LDAP_SUCCESS) reportSearchError(fname, rc);
    MemoryContext caller = MemoryContextSwitchTo(sink->perEntry);
    row[0] = dnText(fname, dn);
    ValueRows rows = {fname, sink, row, nulls, {0, nullptr}};
    while ((rc = ldap_get_attribute_ber(search->ld, entry, search->cursor, &rows.name,
                                        &search->values)) == LDAP_SUCCESS &&
           rows.name.bv_val != nullptr) {
        writeAttribute(&rows, search, dn);
        ber_memfree(search->values);
        search->values = nullptr;
    }
    MemoryContextSwitchTo(caller);
    MemoryContextReset(sink->perEntry);
    ber_free(search->cursor, 0);
    search->cursor = nullptr;
    if (rc != LDAP_SUCCESS) reportSearchError(fname, rc);
}

void writeAllPages(const char* fname, PagedSearch* search, RowSink* sink) {
    do {
        requestNextPage(fname, search);
        for (LDAPMessage* entry; (entry = nextEntry(fname, search)) != nullptr;) {
            writeEntry(fname, search, entry, sink);
        }
    } while (!search->lastPage);
}

// The search of both functions, into the tuplestore of the call.
Datum searchAsRows(const char* fname, FunctionCallInfo fcinfo, ValueDatum valueDatum) {
    Handle session = PG_GETARG_INT64(0);
    char* base = text_to_cstring(PG_GETARG_TEXT_PP(1));
    char* filter = text_to_cstring(PG_GETARG_TEXT_PP(3));
    int pageSize = PG_GETARG_INT32(5);
    if (session == 0) {
        QUENBY_REPORT(ERROR, fname, "Empty session for AD base %s, filter %s", base, filter);
    }
    LDAP* ld = requireSession(fname, session);
    if (pageSize < 0) QUENBY_REPORT(ERROR, fname, "Bad page size %d", pageSize);
    char** attributes = attributeList(PG_GETARG_ARRAYTYPE_P(4), -1, nullptr);
    InitMaterializedSRF(fcinfo, 0);
    if (attributes[0] == nullptr) {
        QUENBY_REPORT(WARNING, fname, "No attributes for AD base %s, filter %s", base, filter);
        return static_cast<Datum>(0);
    }
    ReturnSetInfo* result = reinterpret_cast<ReturnSetInfo*>(fcinfo->resultinfo);
    RowSink sink = {
        result->setResult, result->setDesc,
        AllocSetContextCreate(CurrentMemoryContext, "quenby_ldap rows", ALLOCSET_SMALL_SIZES),
        valueDatum};
    // Reached through a pointer that does not change after PG_TRY, so the catch sees every
    // object the reading took.
    PagedSearch* search = static_cast<PagedSearch*>(palloc0(sizeof(PagedSearch)));
    search->ld = ld;
    search->msgid = -1;
    search->request = SearchRequest{base, PG_GETARG_INT32(2), filter, attributes, pageSize};
    beginSearchWaits(ld);
    PG_TRY();
    { writeAllPages(fname, search, &sink); }
    PG_CATCH();
    {
        // After a cancel or statement_timeout nothing more is waited for.
        releaseSearch(search, geterrcode() != ERRCODE_QUERY_CANCELED);
        endSearchWaits();
        PG_RE_THROW();
    }
    PG_END_TRY();
    releaseSearch(search, false);
    endSearchWaits();
    MemoryContextDelete(sink.perEntry);
    return static_cast<Datum>(0);
}

}  // namespace

extern "C" {

Datum pg_ldap_search_rows(PG_FUNCTION_ARGS) {
    return searchAsRows(__func__, fcinfo, attributeValueText);
}

Datum pg_ldap_search_bytes(PG_FUNCTION_ARGS) {
    return searchAsRows(__func__, fcinfo, valueBytes);
}

}  // extern "C"
