// Following an attribute's values range by range.
#include "value_ranges.h"

#include <strings.h>

#include <cstring>

#include "paged_search.h"
#include "server_wait.h"

namespace quenby {
namespace {

// What one follow-up request holds of the library, reached from the catch.
struct FollowUp {
    LDAP* ld;
    int msgid;  // -1 once answered
    LDAPMessage* answer;
    BerElement* cursor;
    struct berval* values;
};

void releasePiece(FollowUp* followUp) noexcept {
    releaseMessageRead(&followUp->answer, &followUp->cursor, &followUp->values);
}

void releaseFollowUp(FollowUp* followUp) noexcept {
    releasePiece(followUp);
    if (followUp->msgid >= 0) ldap_abandon_ext(followUp->ld, followUp->msgid, nullptr, nullptr);
    followUp->msgid = -1;
}

// Whether a piece of `count` values continues a list whose next value is number `next`.
bool continues(const ValueRange& range, long count, long next) {
    if (range.low != next) return false;
    if (range.high < 0) return true;
    return range.high >= range.low && count == range.high - range.low + 1;
}

void reportInconsistentRange(const char* fname, const char* plain, const char* sent, long count,
                             long next) {
    QUENBY_REPORT_WITH(ERROR, fname, errcode(ERRCODE_PROTOCOL_VIOLATION),
                       "LDAP server fault: attribute %s answered %s with %ld values where values "
                       "%ld-* were asked for",
                       plain, sent, count, next);
}

void requireContinuation(const char* fname, const char* plain, const struct berval& sent,
                         const ValueRange& range, long count, long next) {
    if (continues(range, count, next)) return;
    reportInconsistentRange(fname, plain, pnstrdup(sent.bv_val, sent.bv_len), count, next);
}

// Asks for the values of `plain` from number `next` on.
void requestPiece(const char* fname, FollowUp* followUp, const char* dn, const char* plain,
                  long next) {
    char* attributes[] = {psprintf("%s;range=%ld-*", plain, next), nullptr};
    char filter[] = "(objectClass=*)";
    int rc = ldap_search_ext(followUp->ld, dn, LDAP_SCOPE_BASE, filter, attributes, 0, nullptr,
                             nullptr, nullptr, LDAP_NO_LIMIT, &followUp->msgid);
    pfree(attributes[0]);
    if (rc != LDAP_SUCCESS) {
        followUp->msgid = -1;
        reportSearchError(fname, rc);
    }
}

// The whole answer (one entry and the result) into followUp->answer.
void awaitPiece(const char* fname, FollowUp* followUp) {
    int type = awaitAnswer(followUp->ld, followUp->msgid, LDAP_MSG_ALL, OnInterrupt::abandonRequest,
                           &followUp->answer);
    followUp->msgid = -1;
    int code = type == -1 ? sessionErrorCode(followUp->ld)
                          : ldap_result2error(followUp->ld, followUp->answer, 0);
    if (code != LDAP_SUCCESS) {
        releasePiece(followUp);
        reportSearchError(fname, code);
    }
}

bool namesPlain(const struct berval& name, const ValueRange& range, const char* plain) {
    return range.plainLength == strlen(plain) &&
           strncasecmp(name.bv_val, plain, range.plainLength) == 0;
}

// Finds the ranged attribute `plain` in the answer: its name in *sent and its values in
// followUp->values; false when the answer has none.
bool findPiece(FollowUp* followUp, const char* plain, struct berval* sent, ValueRange* range) {
    LDAPMessage* entry = ldap_first_entry(followUp->ld, followUp->answer);
    if (entry == nullptr) return false;
    struct berval dn = {0, nullptr};
    if (ldap_get_dn_ber(followUp->ld, entry, &followUp->cursor, &dn) != LDAP_SUCCESS) return false;
    while (ldap_get_attribute_ber(followUp->ld, entry, followUp->cursor, sent, &followUp->values) ==
               LDAP_SUCCESS &&
           sent->bv_val != nullptr) {
        if (parseValueRange(*sent, range) && namesPlain(*sent, *range, plain)) return true;
        ber_memfree(followUp->values);
        followUp->values = nullptr;
    }
    return false;
}

// Reads the piece from value `next` on into the sink; the number of the value after it, or -1
// after the last piece.
long readPiece(const char* fname, FollowUp* followUp, const char* dn, const char* plain, long next,
               RangeValuesSink sink, void* context) {
    requestPiece(fname, followUp, dn, plain, next);
    awaitPiece(fname, followUp);
    struct berval sent = {0, nullptr};
    ValueRange range = {0, 0, 0};
    if (!findPiece(followUp, plain, &sent, &range)) {
        releasePiece(followUp);
        reportInconsistentRange(fname, plain, "no range", 0, next);
    }
    long count = countValues(followUp->values);
    if (!continues(range, count, next)) {
        char* shown = pnstrdup(sent.bv_val, sent.bv_len);
        releasePiece(followUp);
        reportInconsistentRange(fname, plain, shown, count, next);
    }
    sink(context, followUp->values);
    releasePiece(followUp);
    return range.high < 0 ? -1 : range.high + 1;
}

}  // namespace

void followValueRange(const char* fname, LDAP* ld, const char* dn, const struct berval& firstName,
                      long firstCount, RangeValuesSink sink, void* context) {
    ValueRange range = {0, 0, 0};
    if (!parseValueRange(firstName, &range)) return;
    char* plain = pnstrdup(firstName.bv_val, range.plainLength);
    requireContinuation(fname, plain, firstName, range, firstCount, 0);
    if (range.high < 0) return;
    // Reached through a pointer that does not change after PG_TRY, so the catch sees what the
    // reading took.
    FollowUp* followUp = static_cast<FollowUp*>(palloc0(sizeof(FollowUp)));
    followUp->ld = ld;
    followUp->msgid = -1;
    PG_TRY();
    {
        for (long next = range.high + 1; next >= 0;) {
            next = readPiece(fname, followUp, dn, plain, next, sink, context);
        }
    }
    PG_CATCH();
    {
        releaseFollowUp(followUp);
        PG_RE_THROW();
    }
    PG_END_TRY();
    pfree(followUp);
    pfree(plain);
}

}  // namespace quenby
