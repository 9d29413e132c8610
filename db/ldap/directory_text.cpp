// Directory data as SQL text.
#include "directory_text.h"

#include <cstring>

extern "C" {
#include "catalog/pg_type.h"
#include "mb/pg_wchar.h"
#include "utils/builtins.h"
#include "utils/memutils.h"
}

namespace quenby {
namespace {

Datum textOf(const struct berval& bytes) {
    return PointerGetDatum(cstring_to_text_with_len(bytes.bv_val, static_cast<int>(bytes.bv_len)));
}

}  // namespace

// Lengths past what a text can hold are refused here, before they could wrap in the int that
// the server's check takes.
bool isDatabaseText(const struct berval& bytes) noexcept {
    if (bytes.bv_len > MaxAllocSize - VARHDRSZ) return false;
    return pg_verify_mbstr(GetDatabaseEncoding(), bytes.bv_val, static_cast<int>(bytes.bv_len),
                           true);
}

Datum dnText(const char* fname, const struct berval& dn) {
    if (!isDatabaseText(dn)) {
        QUENBY_REPORT(ERROR, fname, "DN of an entry is not valid in the database encoding");
    }
    return textOf(dn);
}

Datum attributeNameText(const char* fname, const struct berval& name) {
    if (!isDatabaseText(name)) {
        QUENBY_REPORT(ERROR, fname, "Name of an attribute is not valid in the database encoding");
    }
    return textOf(name);
}

void requireValueText(const char* fname, const struct berval& name, const struct berval& value) {
    if (!isDatabaseText(value)) {
        QUENBY_REPORT(ERROR, fname, "Value of attribute %.*s is not valid in the database encoding",
                      static_cast<int>(name.bv_len), name.bv_val);
    }
}

Datum attributeValueText(const char* fname, const struct berval& name, const struct berval& value) {
    requireValueText(fname, name, value);
    return textOf(value);
}

Size byteaSize(const struct berval& bytes) noexcept {
    if (bytes.bv_len > MaxAllocSize - VARHDRSZ) return 0;
    return VARHDRSZ + bytes.bv_len;
}

void fillBytea(bytea* into, const struct berval& bytes) noexcept {
    SET_VARSIZE(into, VARHDRSZ + bytes.bv_len);
    memcpy(VARDATA(into), bytes.bv_val, bytes.bv_len);
}

bytea* byteaOf(const char* fname, const struct berval& bytes) {
    Size size = byteaSize(bytes);
    if (size == 0) reportOutOfMemory(fname);
    bytea* copy = static_cast<bytea*>(palloc(size));
    fillBytea(copy, bytes);
    return copy;
}

char** attributeList(ArrayType* names, int limit, const char* traceFname) {
    Datum* elements;
    bool* nulls;
    int count;
    deconstruct_array(names, TEXTOID, -1, false, TYPALIGN_INT, &elements, &nulls, &count);
    if (traceFname != nullptr) {
        QUENBY_REPORT(DEBUG1, traceFname, "Number of Attributes : %d.", count);
    }
    char** list = static_cast<char**>(palloc(sizeof(char*) * (count + 1)));
    int taken = 0;
    for (int i = 0; i < count && (limit < 0 || taken < limit); ++i) {
        if (nulls[i]) continue;
        text* element = DatumGetTextPP(elements[i]);
        int length = VARSIZE_ANY_EXHDR(element);
        list[taken++] = pnstrdup(VARDATA_ANY(element), length);
        if (traceFname != nullptr) {
            QUENBY_REPORT(DEBUG1, traceFname, "attr[%d] %s, len %d.", i, list[taken - 1], length);
        }
    }
    list[taken] = nullptr;
    return list;
}

}  // namespace quenby
