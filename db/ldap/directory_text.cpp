// Directory data as SQL text.
#include "directory_text.h"

extern "C" {
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

Datum attributeValueText(const char* fname, const struct berval& name, const struct berval& value) {
    if (!isDatabaseText(value)) {
        QUENBY_REPORT(ERROR, fname, "Value of attribute %.*s is not valid in the database encoding",
                      static_cast<int>(name.bv_len), name.bv_val);
    }
    return textOf(value);
}

}  // namespace quenby
