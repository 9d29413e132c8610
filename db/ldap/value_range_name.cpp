// Reading the range option of an attribute name.
#include "value_range_name.h"

#include <strings.h>

#include <climits>
#include <cstring>

namespace quenby {
namespace {

// Reads a decimal number at *at, before end; false when there is none or it overflows.
bool parseNumber(const char** at, const char* end, long* number) {
    const char* cursor = *at;
    long value = 0;
    for (; cursor < end && *cursor >= '0' && *cursor <= '9'; ++cursor) {
        if (value > (LONG_MAX - 9) / 10) return false;
        value = value * 10 + (*cursor - '0');
    }
    if (cursor == *at) return false;
    *at = cursor;
    *number = value;
    return true;
}

}  // namespace

long countValues(const struct berval* values) noexcept {
    long count = 0;
    while (values != nullptr && values[count].bv_val != nullptr)
        ++count;
    return count;
}

bool parseValueRange(const struct berval& name, ValueRange* range) noexcept {
    static const char option[] = ";range=";
    const size_t optionLength = sizeof option - 1;
    const char* begin = name.bv_val;
    const char* end = begin + name.bv_len;
    const char* last = static_cast<const char*>(memrchr(begin, ';', name.bv_len));
    if (last == nullptr || static_cast<size_t>(end - last) < optionLength ||
        strncasecmp(last, option, optionLength) != 0) {
        return false;
    }
    ValueRange parsed = {static_cast<size_t>(last - begin), 0, -1};
    const char* at = last + optionLength;
    if (!parseNumber(&at, end, &parsed.low) || at == end || *at++ != '-') return false;
    bool toTheEnd = end - at == 1 && *at == '*';
    if (!toTheEnd && (!parseNumber(&at, end, &parsed.high) || at != end)) return false;
    *range = parsed;
    return true;
}

}  // namespace quenby
