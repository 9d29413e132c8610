// quenby_ldap_fdw's handler: a foreign table is one search of its server, read entry by entry
// as the pages arrive, one row per entry. The scan takes its connection at its first row (the
// one an earlier scan of the server by the same role left, else a new one with the server's
// definition and the current user's mapping), and holds one entry at a time (the per-entry
// context is reset for each row), so memory does not grow with the directory.
//
// Whatever ends the scan, an ERROR included, the reset callback of the scan's memory context
// releases the search and closes the connection: the executor's contexts go on every path.
#include <strings.h>

#include <cstring>

#include "column_values.h"
#include "directory_text.h"
#include "foreign_table_options.h"
#include "paged_search.h"
#include "pushdown_filter.h"
#include "server_wait.h"
#include "settings.h"
#include "table_connections.h"
#include "value_ranges.h"

extern "C" {
#include "access/htup_details.h"
#include "access/sysattr.h"
#include "access/table.h"
#include "catalog/pg_type.h"
#include "commands/explain.h"
#include "foreign/fdwapi.h"
#include "nodes/makefuncs.h"
#include "optimizer/optimizer.h"
#include "optimizer/pathnode.h"
#include "optimizer/planmain.h"
#include "optimizer/restrictinfo.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/memutils.h"
#include "utils/rel.h"

PG_FUNCTION_INFO_V1(quenby_ldap_fdw_handler);
}

namespace quenby {
namespace {

constexpr const char* fname = "quenby_ldap_fdw";
constexpr double assumedEntries = 1000;
constexpr Cost connectCost = 100;

bool isDnAttribute(const char* attribute) {
    return strcasecmp(attribute, "dn") == 0;
}

// ---------------------------------------------------------------------------------------------
// Planning.

PushableColumns pushableColumnsOf(Oid relid, Index rti) {
    Relation relation = table_open(relid, NoLock);
    TupleDesc descriptor = RelationGetDescr(relation);
    PushableColumns columns = {
        rti, descriptor->natts,
        static_cast<const char**>(palloc0(sizeof(char*) * descriptor->natts)),
        static_cast<bool*>(palloc0(sizeof(bool) * descriptor->natts))};
    for (int i = 0; i < descriptor->natts; ++i) {
        Form_pg_attribute column = TupleDescAttr(descriptor, i);
        if (column->attisdropped) continue;
        const char* attribute = attributeOfColumn(relid, i + 1, NameStr(column->attname));
        if (isDnAttribute(attribute) || !isAttributeDescription(attribute)) continue;
        columns.attribute[i] = attribute;
        columns.isPlainText[i] = column->atttypid == TEXTOID || column->atttypid == VARCHAROID;
    }
    table_close(relation, NoLock);
    return columns;
}

void getRelSize(PlannerInfo* root, RelOptInfo* baserel, Oid relid) {
    List* clauses = NIL;
    ListCell* cell;
    foreach (cell, baserel->baserestrictinfo) {
        clauses = lappend(clauses, lfirst_node(RestrictInfo, cell)->clause);
    }
    const char* pushed = pushableItems(clauses, pushableColumnsOf(relid, baserel->relid));
    baserel->fdw_private = const_cast<char*>(pushed);
    baserel->rows =
        clamp_row_est(assumedEntries * clauselist_selectivity(root, baserel->baserestrictinfo, 0,
                                                              JOIN_INNER, nullptr));
}

// The server sends only the entries the pushed items keep; PostgreSQL filters the rest.
void getPaths(PlannerInfo* root, RelOptInfo* baserel, Oid) {
    const bool pushes = static_cast<const char*>(baserel->fdw_private)[0] != '\0';
    const double sent = pushes ? baserel->rows : assumedEntries;
    const Cost total =
        connectCost + sent * (cpu_tuple_cost * 10) + assumedEntries * cpu_operator_cost;
    add_path(baserel, reinterpret_cast<Path*>(
                          create_foreignscan_path(root, baserel, nullptr, baserel->rows,
                                                  connectCost, total, NIL, nullptr, nullptr, NIL)));
}

// The columns the query reads: its output and its conditions.
List* columnsRead(RelOptInfo* baserel) {
    Bitmapset* used = nullptr;
    pull_varattnos(reinterpret_cast<Node*>(baserel->reltarget->exprs), baserel->relid, &used);
    ListCell* cell;
    foreach (cell, baserel->baserestrictinfo) {
        pull_varattnos(reinterpret_cast<Node*>(lfirst_node(RestrictInfo, cell)->clause),
                       baserel->relid, &used);
    }
    List* attnums = NIL;
    for (int member = -1; (member = bms_next_member(used, member)) >= 0;) {
        const int attnum = member + FirstLowInvalidHeapAttributeNumber;
        if (attnum == 0) return list_make1_int(0);  // the whole row
        if (attnum > 0) attnums = lappend_int(attnums, attnum);
    }
    return attnums;
}

// Every condition stays in the plan's own quals: the server's matching is not SQL's.
ForeignScan* getPlan(PlannerInfo*, RelOptInfo* baserel, Oid, ForeignPath*, List* tlist,
                     List* scanClauses, Plan* outerPlan) {
    List* privateData =
        list_make2(makeString(static_cast<char*>(baserel->fdw_private)), columnsRead(baserel));
    return make_foreignscan(tlist, extract_actual_clauses(scanClauses, false), baserel->relid, NIL,
                            privateData, NIL, NIL, outerPlan);
}

// ---------------------------------------------------------------------------------------------
// Execution.

struct ScanColumn {
    int index;              // in the tuple
    const char* attribute;  // null for the DN
    ColumnConversion conversion;
    long count;  // values of the entry so far
    Datum first;
    ArrayBuildState* values;  // of an array column
};

struct TableScan {
    TableSearch table;
    const char* filter;
    ScanColumn* columns;
    int columnCount;
    char** attributes;  // asked for, null-terminated
    LDAP* ld;
    PagedSearch* search;
    bool waitsBegun;
    bool searchEnded;  // the search was read to its end: the connection can serve another
    MemoryContext perEntry;
    Datum dnText;    // of the entry being read
    const char* dn;  // the same, for messages and range requests
};

// Runs when the scan's context goes, whichever way the statement ends. Nothing is waited for.
void releaseScan(void* arg) {
    auto* scan = static_cast<TableScan*>(arg);
    if (scan->search != nullptr) releaseSearch(scan->search, false);
    scan->search = nullptr;
    if (scan->waitsBegun) endSearchWaits();
    scan->waitsBegun = false;
    if (scan->ld != nullptr) dropTableConnection(scan->ld);
    scan->ld = nullptr;
}

bool readsWholeRow(List* attnums) {
    return list_length(attnums) == 1 && linitial_int(attnums) == 0;
}

void prepareColumns(TableScan* scan, Relation relation, List* attnums) {
    TupleDesc descriptor = RelationGetDescr(relation);
    const Oid relid = RelationGetRelid(relation);
    const bool all = readsWholeRow(attnums);
    scan->columns = static_cast<ScanColumn*>(palloc0(sizeof(ScanColumn) * descriptor->natts));
    scan->attributes = static_cast<char**>(palloc0(sizeof(char*) * (descriptor->natts + 2)));
    int asked = 0;
    for (int i = 0; i < descriptor->natts; ++i) {
        Form_pg_attribute column = TupleDescAttr(descriptor, i);
        if (column->attisdropped || (!all && !list_member_int(attnums, i + 1))) continue;
        ScanColumn* scanColumn = &scan->columns[scan->columnCount++];
        scanColumn->index = i;
        const char* attribute = attributeOfColumn(relid, i + 1, NameStr(column->attname));
        scanColumn->attribute = isDnAttribute(attribute) ? nullptr : attribute;
        prepareConversion(column->atttypid, column->atttypmod, &scanColumn->conversion);
        if (scanColumn->attribute != nullptr) {
            scan->attributes[asked++] = const_cast<char*>(attribute);
        }
    }
    // No attribute at all: "1.1" asks for the entries' names alone.
    if (asked == 0) scan->attributes[asked++] = const_cast<char*>(LDAP_NO_ATTRS);
}

void beginScan(ForeignScanState* node, int) {
    auto* plan = reinterpret_cast<ForeignScan*>(node->ss.ps.plan);
    MemoryContext scanContext =
        AllocSetContextCreate(CurrentMemoryContext, "quenby_ldap_fdw scan", ALLOCSET_SMALL_SIZES);
    MemoryContext caller = MemoryContextSwitchTo(scanContext);
    auto* scan = static_cast<TableScan*>(palloc0(sizeof(TableScan)));
    Relation relation = node->ss.ss_currentRelation;
    scan->table = tableSearchOf(RelationGetRelid(relation));
    const char* pushed = strVal(linitial(plan->fdw_private));
    scan->filter = scanFilter(scan->table.filter, pushdownConditions ? pushed : "");
    prepareColumns(scan, relation, static_cast<List*>(lsecond(plan->fdw_private)));
    scan->perEntry =
        AllocSetContextCreate(scanContext, "quenby_ldap_fdw entry", ALLOCSET_DEFAULT_SIZES);
    auto* callback = static_cast<MemoryContextCallback*>(palloc0(sizeof(MemoryContextCallback)));
    callback->func = releaseScan;
    callback->arg = scan;
    MemoryContextRegisterResetCallback(scanContext, callback);
    MemoryContextSwitchTo(caller);
    node->fdw_state = scan;
}

// Connects, on the first row, and asks for the first page.
void startSearch(TableScan* scan) {
    if (scan->ld == nullptr) {
        scan->ld = takeTableConnection(fname, scan->table.serverId, scan->table.serverName);
    }
    scan->searchEnded = false;
    auto* search = static_cast<PagedSearch*>(
        MemoryContextAllocZero(GetMemoryChunkContext(scan), sizeof(PagedSearch)));
    search->ld = scan->ld;
    search->msgid = -1;
    search->request = SearchRequest{scan->table.base, scan->table.scope, scan->filter,
                                    scan->attributes, scan->table.pageSize};
    scan->search = search;
    MemoryContext caller = MemoryContextSwitchTo(GetMemoryChunkContext(scan));
    beginSearchWaits(scan->ld);
    MemoryContextSwitchTo(caller);
    scan->waitsBegun = true;
    requestNextPage(fname, search);
}

// The values of one piece of an attribute, for each column showing it.
struct AttributeValues {
    TableScan* scan;
    struct berval plainName;
};

bool shows(const ScanColumn& column, const struct berval& name) {
    return column.attribute != nullptr && strlen(column.attribute) == name.bv_len &&
           strncasecmp(column.attribute, name.bv_val, name.bv_len) == 0;
}

void addValues(void* context, struct berval* values) {
    auto* piece = static_cast<AttributeValues*>(context);
    TableScan* scan = piece->scan;
    for (int c = 0; c < scan->columnCount; ++c) {
        ScanColumn& column = scan->columns[c];
        if (!shows(column, piece->plainName)) continue;
        const ValueOrigin origin = {fname, scan->dn, column.attribute};
        for (struct berval* value = values; value != nullptr && value->bv_val != nullptr; ++value) {
            const Datum datum = convertValue(column.conversion, *value, origin);
            if (column.conversion.isArray) {
                column.values = accumArrayResult(column.values, datum, false,
                                                 column.conversion.elementType, scan->perEntry);
            } else if (column.count == 0) {
                column.first = datum;
            }
            ++column.count;
        }
    }
}

bool anyColumnShows(const TableScan* scan, const struct berval& name) {
    for (int c = 0; c < scan->columnCount; ++c) {
        if (shows(scan->columns[c], name)) return true;
    }
    return false;
}

// The attribute being read, every further range of it included.
void readAttribute(TableScan* scan, const struct berval& sentName) {
    PagedSearch* search = scan->search;
    AttributeValues piece = {scan, sentName};
    ValueRange range = {0, 0, 0};
    const bool ranged = parseValueRange(sentName, &range);
    if (ranged) piece.plainName.bv_len = range.plainLength;
    if (!anyColumnShows(scan, piece.plainName)) return;
    addValues(&piece, search->values);
    if (ranged) {
        followValueRange(fname, scan->ld, scan->dn, sentName, countValues(search->values),
                         addValues, &piece);
    }
}

Datum columnDatum(const TableScan* scan, const ScanColumn& column, bool* isNull) {
    *isNull = column.attribute != nullptr && column.count == 0;
    if (column.attribute == nullptr) {
        return scan->dnText;
    }
    if (*isNull) return static_cast<Datum>(0);
    if (column.conversion.isArray) return makeArrayResult(column.values, scan->perEntry);
    if (column.count > 1) {
        QUENBY_REPORT_WITH(ERROR, fname,
                           (errcode(ERRCODE_FDW_INVALID_DATA_TYPE),
                            errhint("Declare the column as an array to take every value.")),
                           "attribute \"%s\" of entry \"%s\" has %ld values", column.attribute,
                           scan->dn, column.count);
    }
    return column.first;
}

void readEntry(TableScan* scan, LDAPMessage* entry, TupleTableSlot* slot) {
    PagedSearch* search = scan->search;
    struct berval dn = {0, nullptr};
    int rc = ldap_get_dn_ber(scan->ld, entry, &search->cursor, &dn);
    if (rc != LDAP_SUCCESS) reportSearchError(fname, rc);
    scan->dnText = dnText(fname, dn);
    scan->dn = text_to_cstring(DatumGetTextPP(scan->dnText));
    for (int c = 0; c < scan->columnCount; ++c) {
        scan->columns[c].count = 0;
        scan->columns[c].values = nullptr;
    }
    struct berval name = {0, nullptr};
    while ((rc = ldap_get_attribute_ber(scan->ld, entry, search->cursor, &name, &search->values)) ==
               LDAP_SUCCESS &&
           name.bv_val != nullptr) {
        readAttribute(scan, name);
        ber_memfree(search->values);
        search->values = nullptr;
    }
    ber_free(search->cursor, 0);
    search->cursor = nullptr;
    if (rc != LDAP_SUCCESS) reportSearchError(fname, rc);
    for (int c = 0; c < scan->columnCount; ++c) {
        const ScanColumn& column = scan->columns[c];
        slot->tts_values[column.index] = columnDatum(scan, column, &slot->tts_isnull[column.index]);
    }
}

// The next entry of the search, across pages; null after the last.
LDAPMessage* nextEntryOfSearch(PagedSearch* search) {
    for (;;) {
        LDAPMessage* entry = nextEntry(fname, search);
        if (entry != nullptr || search->lastPage) return entry;
        requestNextPage(fname, search);
    }
}

TupleTableSlot* iterateScan(ForeignScanState* node) {
    auto* scan = static_cast<TableScan*>(node->fdw_state);
    TupleTableSlot* slot = node->ss.ss_ScanTupleSlot;
    ExecClearTuple(slot);
    MemoryContextReset(scan->perEntry);
    if (scan->search == nullptr) startSearch(scan);
    LDAPMessage* entry = nextEntryOfSearch(scan->search);
    if (entry == nullptr) {
        scan->searchEnded = true;
        return slot;
    }
    MemoryContext caller = MemoryContextSwitchTo(scan->perEntry);
    memset(slot->tts_isnull, true, sizeof(bool) * slot->tts_tupleDescriptor->natts);
    readEntry(scan, entry, slot);
    MemoryContextSwitchTo(caller);
    return ExecStoreVirtualTuple(slot);
}

// The next row starts the search again, on the same connection.
void rescanScan(ForeignScanState* node) {
    auto* scan = static_cast<TableScan*>(node->fdw_state);
    if (scan->search == nullptr) return;
    releaseSearch(scan->search, true);
    scan->search = nullptr;
}

void endScan(ForeignScanState* node) {
    auto* scan = static_cast<TableScan*>(node->fdw_state);
    if (scan == nullptr) return;
    LDAP* ld = scan->ld;
    if (scan->search != nullptr) releaseSearch(scan->search, false);
    scan->search = nullptr;
    if (scan->waitsBegun) endSearchWaits();
    scan->waitsBegun = false;
    scan->ld = nullptr;
    // A search left unfinished (LIMIT) may still be answering on the connection.
    if (ld != nullptr && scan->searchEnded) keepTableConnection(ld);
    if (ld != nullptr && !scan->searchEnded) dropTableConnection(ld);
    MemoryContextDelete(GetMemoryChunkContext(scan));
    node->fdw_state = nullptr;
}

void explainScan(ForeignScanState* node, ExplainState* es) {
    if (!es->verbose) return;
    const auto* scan = static_cast<const TableScan*>(node->fdw_state);
    ExplainPropertyText("LDAP filter", scan->filter, es);
}

}  // namespace
}  // namespace quenby

extern "C" Datum quenby_ldap_fdw_handler(PG_FUNCTION_ARGS) {
    using namespace quenby;
    FdwRoutine* routine = makeNode(FdwRoutine);
    routine->GetForeignRelSize = getRelSize;
    routine->GetForeignPaths = getPaths;
    routine->GetForeignPlan = getPlan;
    routine->BeginForeignScan = beginScan;
    routine->IterateForeignScan = iterateScan;
    routine->ReScanForeignScan = rescanScan;
    routine->EndForeignScan = endScan;
    routine->ExplainForeignScan = explainScan;
    PG_RETURN_POINTER(routine);
}
