// Directory values as the datums of a foreign table's columns: text, bytea, integers, boolean,
// timestamptz (generalized time or Active Directory's file time) and any other type by its
// input function; an array column takes every value, a plain column at most one.
#pragma once

#include "quenby_common.h"

extern "C" {
#include "fmgr.h"
}

namespace quenby {

enum class ValueKind { text, bytes, int2, int4, int8, boolean, timestamp, byInput };

// How one column is filled; fixed for a scan.
struct ColumnConversion {
    ValueKind kind;
    bool isArray;
    Oid elementType;
    int16 elementLength;
    bool elementByValue;
    char elementAlign;
    FmgrInfo input;  // for byInput
    Oid inputParameter;
    int32 typmod;
};

// The conversion for a column of the type; ERROR for types no value could convert to.
void prepareConversion(Oid columnType, int32 typmod, ColumnConversion* conversion);

// Where a value comes from, for the ERROR of a value that does not convert.
struct ValueOrigin {
    const char* fname;
    const char* dn;
    const char* attribute;
};

// One value as a datum of the column's element type, in the current memory context.
Datum convertValue(const ColumnConversion& conversion, const struct berval& value,
                   const ValueOrigin& origin);

}  // namespace quenby
