// One search, page by page, message by message.
#include "paged_search.h"

#include <cstring>

#include "server_wait.h"

namespace quenby {
namespace {

void forget(struct berval* cookie) noexcept {
    ber_memfree(cookie->bv_val);
    *cookie = {0, nullptr};
}

void releaseMessage(PagedSearch* search) noexcept {
    releaseMessageRead(&search->message, &search->cursor, &search->values);
}

// Takes the cookie from the server's paged results control. A server that sent none has
// answered the whole search.
int takeCookie(PagedSearch* search, LDAPControl** controls) {
    LDAPControl* control = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr);
    if (control == nullptr) return LDAP_SUCCESS;
    ber_int_t estimate = 0;
    int rc = ldap_parse_pageresponse_control(search->ld, control, &estimate, &search->cookie);
    if (rc == LDAP_SUCCESS) search->lastPage = search->cookie.bv_len == 0;
    return rc;
}

// The page's result code (or the library's, when the answer cannot be read), and the cookie
// for the next page.
int readOutcome(PagedSearch* search) {
    int code = LDAP_SUCCESS;
    LDAPControl** controls = nullptr;
    int rc = ldap_parse_result(search->ld, search->message, &code, nullptr, nullptr, nullptr,
                               &controls, 0);
    if (rc != LDAP_SUCCESS) return rc;
    search->lastPage = true;
    if (code == LDAP_SUCCESS && search->request.pageSize > 0) rc = takeCookie(search, controls);
    ldap_controls_free(controls);
    return rc != LDAP_SUCCESS ? rc : code;
}

// A server that answers a page with no entries and asks again with the same cookie would be
// asked for ever.
bool pagingStuck(const PagedSearch* search) {
    return !search->lastPage && search->entriesInPage == 0 &&
           search->cookie.bv_len == search->previousCookie.bv_len &&
           memcmp(search->cookie.bv_val, search->previousCookie.bv_val, search->cookie.bv_len) == 0;
}

// Ends the page with its result message.
void endPage(const char* fname, PagedSearch* search) {
    search->msgid = -1;
    int code = readOutcome(search);
    if (code != LDAP_SUCCESS) {
        releaseSearch(search, false);
        reportSearchError(fname, code);
    }
    if (pagingStuck(search)) {
        releaseSearch(search, false);
        QUENBY_REPORT(ERROR, fname,
                      "LDAP server fault: a page without entries asks for the next page with the "
                      "same cookie again");
    }
    releaseMessage(search);
}

// At most this many messages of a page left behind are read and dropped, waiting at most this
// many ticks of 100 ms for each, before the request is abandoned instead.
constexpr int maxDrainedMessages = 1000;
constexpr int maxIdleTicks = 10;

// Reads and drops the rest of a page left behind by an ERROR while its entries were read, so
// that the server has finished the request before the next one on the connection: slapd keeps
// one paging state per connection, and a request still running there when the next paged
// search starts overwrites that search's state (its next page then gets protocolError). Only
// a flood, a stalled server or an interrupt (awaitEnd false: nothing is waited for) leaves the
// request to an abandon.
void dropRestOfPage(PagedSearch* search, bool awaitEnd) noexcept {
    int idle = 0;
    for (int drained = 0; search->msgid >= 0 && drained < maxDrainedMessages;) {
        struct timeval wait = {0, awaitEnd ? 100 * 1000 : 0};
        LDAPMessage* message = nullptr;
        int type = ldap_result(search->ld, search->msgid, LDAP_MSG_ONE, &wait, &message);
        if (message != nullptr) ldap_msgfree(message);
        if (type < 0 || (type == 0 && (!awaitEnd || ++idle >= maxIdleTicks))) break;
        if (type == 0) continue;
        ++drained;
        if (type == LDAP_RES_SEARCH_RESULT) search->msgid = -1;
    }
    if (search->msgid >= 0) ldap_abandon_ext(search->ld, search->msgid, nullptr, nullptr);
    search->msgid = -1;
}

}  // namespace

void releaseMessageRead(LDAPMessage** message, BerElement** cursor,
                        struct berval** values) noexcept {
    ber_memfree(*values);
    *values = nullptr;
    if (*cursor != nullptr) ber_free(*cursor, 0);
    *cursor = nullptr;
    ldap_msgfree(*message);
    *message = nullptr;
}

void releaseSearch(PagedSearch* search, bool awaitEnd) noexcept {
    releaseMessage(search);
    dropRestOfPage(search, awaitEnd);
    forget(&search->cookie);
    forget(&search->previousCookie);
}

void requestNextPage(const char* fname, PagedSearch* search) {
    const SearchRequest& request = search->request;
    forget(&search->previousCookie);
    search->previousCookie = search->cookie;
    search->cookie = {0, nullptr};
    search->entriesInPage = 0;
    LDAPControl* paging = nullptr;
    if (request.pageSize > 0) {
        // Not critical, as ldapsearch sends it: a server without paging answers in one piece,
        // and then either gives everything or fails with its size limit.
        int rc = ldap_create_page_control(search->ld, request.pageSize, &search->previousCookie, 0,
                                          &paging);
        if (rc != LDAP_SUCCESS) reportSearchError(fname, rc);
    }
    LDAPControl* controls[] = {paging, nullptr};
    int rc =
        ldap_search_ext(search->ld, request.base, request.scope, request.filter, request.attributes,
                        0, controls, nullptr, nullptr, LDAP_NO_LIMIT, &search->msgid);
    if (paging != nullptr) ldap_control_free(paging);
    if (rc != LDAP_SUCCESS) {
        search->msgid = -1;
        reportSearchError(fname, rc);
    }
}

LDAPMessage* nextEntry(const char* fname, PagedSearch* search) {
    while (search->msgid >= 0) {
        releaseMessage(search);
        int type = awaitAnswer(search->ld, search->msgid, LDAP_MSG_ONE, OnInterrupt::abandonRequest,
                               &search->message);
        if (type == -1) {
            search->msgid = -1;
            reportSearchError(fname, sessionErrorCode(search->ld));
        }
        if (type == LDAP_RES_SEARCH_ENTRY) {
            ++search->entriesInPage;
            return search->message;
        }
        if (type == LDAP_RES_SEARCH_RESULT) endPage(fname, search);
        // Continuation references and intermediate messages are not followed.
    }
    return nullptr;
}

void reportSearchError(const char* fname, int code) {
    QUENBY_REPORT(ERROR, fname, "LDAP search error: %d (%s)", code, ldap_err2string(code));
}

}  // namespace quenby
