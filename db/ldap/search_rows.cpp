// pg_ldap_search_rows: a search as a set of (dn, attribute, value) rows, read page by page into
// a tuplestore. A page's library objects live only while its rows are written; an ERROR at
// any point (the server's answer, a value that is no text, cancel, the tuplestore) finds them
// released by the catch around the reading.
#include "directory_text.h"
#include "handle_registry.h"
#include "paged_search.h"

extern "C" {
#include "fmgr.h"
#include "funcapi.h"
#include "catalog/pg_type.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/memutils.h"
#include "utils/tuplestore.h"

PG_FUNCTION_INFO_V1(pg_ldap_search_rows);
}

namespace {

using namespace quenby;

struct RowSink {
    Tuplestorestate* store;
    TupleDesc descriptor;
    MemoryContext perEntry;  // the text datums of one entry, reset after it
};

// The attribute names of the array as a null-terminated list; NULL elements are skipped.
char** requestedAttributes(ArrayType* names) {
    Datum* elements;
    bool* nulls;
    int count;
    deconstruct_array(names, TEXTOID, -1, false, TYPALIGN_INT, &elements, &nulls, &count);
    char** list = static_cast<char**>(palloc(sizeof(char*) * (count + 1)));
    int taken = 0;
    for (int i = 0; i < count; ++i) {
        if (!nulls[i]) list[taken++] = TextDatumGetCString(elements[i]);
    }
    list[taken] = nullptr;
    return list;
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
    struct berval name = {0, nullptr};
    while ((rc = ldap_get_attribute_ber(search->ld, entry, search->cursor, &name,
                                        &search->values)) == LDAP_SUCCESS &&
           name.bv_val != nullptr) {
        row[1] = attributeNameText(fname, name);
        for (struct berval* value = search->values; value != nullptr && value->bv_val != nullptr;
             ++value) {
            row[2] = attributeValueText(fname, name, *value);
            tuplestore_putvalues(sink->store, sink->descriptor, row, nulls);
        }
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
        fetchNextPage(fname, search);
        for (LDAPMessage* entry = ldap_first_entry(search->ld, search->page); entry != nullptr;
             entry = ldap_next_entry(search->ld, entry)) {
            CHECK_FOR_INTERRUPTS();
            writeEntry(fname, search, entry, sink);
        }
    } while (!search->lastPage);
}

}  // namespace

extern "C" {

Datum pg_ldap_search_rows(PG_FUNCTION_ARGS) {
    Handle session = PG_GETARG_INT64(0);
    char* base = text_to_cstring(PG_GETARG_TEXT_PP(1));
    char* filter = text_to_cstring(PG_GETARG_TEXT_PP(3));
    int pageSize = PG_GETARG_INT32(5);
    if (session == 0) {
        QUENBY_REPORT(ERROR, __func__, "Empty session for AD base %s, filter %s", base, filter);
    }
    LDAP* ld = requireSession(__func__, session);
    if (pageSize < 0) QUENBY_REPORT(ERROR, __func__, "Bad page size %d", pageSize);
    char** attributes = requestedAttributes(PG_GETARG_ARRAYTYPE_P(4));
    InitMaterializedSRF(fcinfo, 0);
    if (attributes[0] == nullptr) {
        QUENBY_REPORT(WARNING, __func__, "No attributes for AD base %s, filter %s", base, filter);
        return static_cast<Datum>(0);
    }
    ReturnSetInfo* result = reinterpret_cast<ReturnSetInfo*>(fcinfo->resultinfo);
    RowSink sink = {
        result->setResult, result->setDesc,
        AllocSetContextCreate(CurrentMemoryContext, "quenby_ldap rows", ALLOCSET_SMALL_SIZES)};
    // Reached through a pointer that does not change after PG_TRY, so the catch sees every
    // object the reading took.
    PagedSearch* search = static_cast<PagedSearch*>(palloc0(sizeof(PagedSearch)));
    search->ld = ld;
    search->request = SearchRequest{base, PG_GETARG_INT32(2), filter, attributes, pageSize};
    PG_TRY();
    { writeAllPages(__func__, search, &sink); }
    PG_CATCH();
    {
        releasePage(search);
        PG_RE_THROW();
    }
    PG_END_TRY();
    releasePage(search);
    MemoryContextDelete(sink.perEntry);
    return static_cast<Datum>(0);
}

}  // extern "C"
