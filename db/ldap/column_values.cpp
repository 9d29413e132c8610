// Conversions of directory values.
#include "column_values.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "directory_text.h"

extern "C" {
#include "catalog/pg_type.h"
#include "datatype/timestamp.h"
#include "fmgr.h"
#include "utils/builtins.h"
#include "utils/datetime.h"
#include "utils/lsyscache.h"
#include "utils/timestamp.h"
}

namespace quenby {
namespace {

[[noreturn]] void refuseValue(const ValueOrigin& origin, const char* expected) {
    QUENBY_REPORT_WITH(ERROR, origin.fname,
                       (errcode(ERRCODE_FDW_INVALID_DATA_TYPE), errhint("Expected %s.", expected)),
                       "value of attribute \"%s\" of entry \"%s\" does not convert",
                       origin.attribute, origin.dn);
    pg_unreachable();
}

ValueKind kindOf(Oid type) {
    switch (type) {
        case TEXTOID:
        case VARCHAROID:
            return ValueKind::text;
        case BYTEAOID:
            return ValueKind::bytes;
        case INT2OID:
            return ValueKind::int2;
        case INT4OID:
            return ValueKind::int4;
        case INT8OID:
            return ValueKind::int8;
        case BOOLOID:
            return ValueKind::boolean;
        case TIMESTAMPTZOID:
            return ValueKind::timestamp;
        default:
            return ValueKind::byInput;
    }
}

// The digits of `length` bytes as a number; false for anything but digits.
bool digitsOf(const char* bytes, size_t length, int64* number) {
    int64 value = 0;
    if (length == 0) return false;
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] < '0' || bytes[i] > '9') return false;
        if (value > (PG_INT64_MAX - 9) / 10) return false;
        value = value * 10 + (bytes[i] - '0');
    }
    *number = value;
    return true;
}

// An optional '-' and digits (the directory's INTEGER syntax), within [low, high].
bool integerOf(const struct berval& value, int64 low, int64 high, int64* number) {
    const bool negative = value.bv_len > 0 && value.bv_val[0] == '-';
    int64 magnitude = 0;
    if (!digitsOf(value.bv_val + negative, value.bv_len - negative, &magnitude)) return false;
    *number = negative ? -magnitude : magnitude;
    return *number >= low && *number <= high;
}

Datum integerDatum(ValueKind kind, const struct berval& value, const ValueOrigin& origin) {
    static const struct {
        ValueKind kind;
        int64 low;
        int64 high;
        const char* expected;
    } ranges[] = {{ValueKind::int2, PG_INT16_MIN, PG_INT16_MAX, "an integer of smallint's range"},
                  {ValueKind::int4, PG_INT32_MIN, PG_INT32_MAX, "an integer of integer's range"},
                  {ValueKind::int8, PG_INT64_MIN + 1, PG_INT64_MAX, "an integer"}};
    for (const auto& range : ranges) {
        if (range.kind != kind) continue;
        int64 number = 0;
        if (!integerOf(value, range.low, range.high, &number)) refuseValue(origin, range.expected);
        return kind == ValueKind::int2   ? Int16GetDatum(static_cast<int16>(number))
               : kind == ValueKind::int4 ? Int32GetDatum(static_cast<int32>(number))
                                         : Int64GetDatum(number);
    }
    pg_unreachable();
}

bool equalsText(const struct berval& value, const char* text) {
    return value.bv_len == strlen(text) && memcmp(value.bv_val, text, value.bv_len) == 0;
}

// The directory's Boolean syntax is TRUE or FALSE, in capitals.
Datum booleanDatum(const struct berval& value, const ValueOrigin& origin) {
    if (equalsText(value, "TRUE")) return BoolGetDatum(true);
    if (equalsText(value, "FALSE")) return BoolGetDatum(false);
    refuseValue(origin, "TRUE or FALSE");
}

// Active Directory's file times count 100 ns from 1601-01-01 UTC; 0 and the largest value
// mean "never" (accountExpires), read as -infinity and infinity.
bool fileTimeOf(const struct berval& value, TimestampTz* timestamp) {
    constexpr int64 unixEpochInFileTimeSeconds = INT64CONST(11644473600);
    constexpr int64 postgresEpochInUnixSeconds =
        static_cast<int64>(POSTGRES_EPOCH_JDATE - UNIX_EPOCH_JDATE) * SECS_PER_DAY;
    if (equalsText(value, "9223372036854775807")) {
        TIMESTAMP_NOEND(*timestamp);
        return true;
    }
    int64 ticks = 0;
    if (!digitsOf(value.bv_val, value.bv_len, &ticks)) return false;
    if (ticks == 0) {
        TIMESTAMP_NOBEGIN(*timestamp);
        return true;
    }
    *timestamp =
        ticks / 10 - (unixEpochInFileTimeSeconds + postgresEpochInUnixSeconds) * USECS_PER_SEC;
    return true;
}

// Reads `count` digits at *at as a number.
bool fieldOf(const char** at, const char* end, int count, int* field) {
    if (end - *at < count) return false;
    int64 number = 0;
    if (!digitsOf(*at, count, &number)) return false;
    *at += count;
    *field = static_cast<int>(number);
    return true;
}

// Microseconds of a fraction ".f" or ",f" of a second at *at, if there is one.
bool fractionOf(const char** at, const char* end, fsec_t* fraction) {
    *fraction = 0;
    if (*at == end || (**at != '.' && **at != ',')) return true;
    ++*at;
    int scale = 100000;
    const char* first = *at;
    for (; *at < end && **at >= '0' && **at <= '9'; ++*at) {
        *fraction += (**at - '0') * scale;
        scale /= 10;
    }
    return *at > first;
}

// 'Z', or an offset +hh[mm] / -hh[mm]: the seconds to add to reach UTC.
bool zoneOf(const char** at, const char* end, int* secondsEast) {
    *secondsEast = 0;
    if (end - *at == 1 && **at == 'Z') return true;
    if (*at == end || (**at != '+' && **at != '-')) return false;
    const int sign = **at == '+' ? 1 : -1;
    ++*at;
    int hours = 0;
    int minutes = 0;
    if (!fieldOf(at, end, 2, &hours) || hours > 23) return false;
    if (*at != end && (!fieldOf(at, end, 2, &minutes) || minutes > 59)) return false;
    *secondsEast = sign * (hours * SECS_PER_HOUR + minutes * SECS_PER_MINUTE);
    return *at == end;
}

// Generalized time with seconds, as Active Directory writes it: YYYYMMDDHHMMSS.0Z.
bool generalizedTimeOf(const struct berval& value, TimestampTz* timestamp) {
    const char* at = value.bv_val;
    const char* end = at + value.bv_len;
    struct pg_tm tm = {};
    fsec_t fraction = 0;
    int secondsEast = 0;
    if (!fieldOf(&at, end, 4, &tm.tm_year) || !fieldOf(&at, end, 2, &tm.tm_mon) ||
        !fieldOf(&at, end, 2, &tm.tm_mday) || !fieldOf(&at, end, 2, &tm.tm_hour) ||
        !fieldOf(&at, end, 2, &tm.tm_min) || !fieldOf(&at, end, 2, &tm.tm_sec) ||
        !fractionOf(&at, end, &fraction) || !zoneOf(&at, end, &secondsEast)) {
        return false;
    }
    if (tm.tm_mon < 1 || tm.tm_mon > MONTHS_PER_YEAR || tm.tm_mday < 1 ||
        tm.tm_mday > day_tab[isleap(tm.tm_year)][tm.tm_mon - 1] || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 59) {
        return false;
    }
    // tm2timestamp takes the zone as seconds west of UTC.
    int secondsWest = -secondsEast;
    return tm2timestamp(&tm, fraction, &secondsWest, timestamp) == 0;
}

Datum timestampDatum(const struct berval& value, const ValueOrigin& origin) {
    TimestampTz timestamp = 0;
    if (!generalizedTimeOf(value, &timestamp) && !fileTimeOf(value, &timestamp)) {
        refuseValue(origin, "generalized time such as 20240131235959.0Z, or a file time");
    }
    return TimestampTzGetDatum(timestamp);
}

Datum textDatum(const struct berval& value, const ValueOrigin& origin) {
    if (!isDatabaseText(value)) refuseValue(origin, "text of the database encoding");
    return PointerGetDatum(cstring_to_text_with_len(value.bv_val, static_cast<int>(value.bv_len)));
}

// The type's input function; its refusal of the value (a data exception) is reported as the
// value's, naming the entry and the attribute, with the type's own words as the detail.
Datum inputDatum(const ColumnConversion& conversion, const struct berval& value,
                 const ValueOrigin& origin) {
    if (!isDatabaseText(value)) refuseValue(origin, "text of the database encoding");
    char* text = pnstrdup(value.bv_val, value.bv_len);
    MemoryContext context = CurrentMemoryContext;
    volatile Datum datum = 0;
    PG_TRY();
    {
        datum = InputFunctionCall(const_cast<FmgrInfo*>(&conversion.input), text,
                                  conversion.inputParameter, conversion.typmod);
    }
    PG_CATCH();
    {
        MemoryContextSwitchTo(context);
        ErrorData* error = CopyErrorData();
        if (ERRCODE_TO_CATEGORY(error->sqlerrcode) != ERRCODE_DATA_EXCEPTION) PG_RE_THROW();
        FlushErrorState();
        QUENBY_REPORT_WITH(ERROR, origin.fname,
                           (errcode(error->sqlerrcode), errdetail("%s", error->message)),
                           "value of attribute \"%s\" of entry \"%s\" does not convert",
                           origin.attribute, origin.dn);
    }
    PG_END_TRY();
    return datum;
}

}  // namespace

void prepareConversion(Oid columnType, int32 typmod, ColumnConversion* conversion) {
    const Oid elementType = get_element_type(columnType);
    conversion->isArray = OidIsValid(elementType);
    conversion->elementType = conversion->isArray ? elementType : columnType;
    conversion->typmod = typmod;
    conversion->kind = kindOf(conversion->elementType);
    get_typlenbyvalalign(conversion->elementType, &conversion->elementLength,
                         &conversion->elementByValue, &conversion->elementAlign);
    if (conversion->kind != ValueKind::byInput) return;
    Oid inputFunction = InvalidOid;
    getTypeInputInfo(conversion->elementType, &inputFunction, &conversion->inputParameter);
    fmgr_info(inputFunction, &conversion->input);
}

Datum convertValue(const ColumnConversion& conversion, const struct berval& value,
                   const ValueOrigin& origin) {
    switch (conversion.kind) {
        case ValueKind::text:
            return textDatum(value, origin);
        case ValueKind::bytes:
            return PointerGetDatum(byteaOf(origin.fname, value));
        case ValueKind::int2:
        case ValueKind::int4:
        case ValueKind::int8:
            return integerDatum(conversion.kind, value, origin);
        case ValueKind::boolean:
            return booleanDatum(value, origin);
        case ValueKind::timestamp:
            return timestampDatum(value, origin);
        case ValueKind::byInput:
            return inputDatum(conversion, value, origin);
    }
    pg_unreachable();
}

}  // namespace quenby
