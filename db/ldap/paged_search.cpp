// One search, page by page.
#include "paged_search.h"

#include "server_wait.h"

namespace quenby {
namespace {

void forgetCookie(PagedSearch* search) noexcept {
    ber_memfree(search->cookie.bv_val);
    search->cookie = {0, nullptr};
}

// Sends the request for the next page, with the cookie of the page before; the message id.
int sendRequest(const char* fname, PagedSearch* search) {
    const SearchRequest& request = search->request;
    LDAPControl* paging = nullptr;
    if (request.pageSize > 0) {
        // Not critical, as ldapsearch sends it: a server without paging answers in one piece,
        // and then either gives everything or fails with its size limit.
        int rc =
            ldap_create_page_control(search->ld, request.pageSize, &search->cookie, 0, &paging);
        forgetCookie(search);
        if (rc != LDAP_SUCCESS) reportSearchError(fname, rc);
    }
    LDAPControl* controls[] = {paging, nullptr};
    int msgid = -1;
    int rc =
        ldap_search_ext(search->ld, request.base, request.scope, request.filter, request.attributes,
                        0, controls, nullptr, nullptr, LDAP_NO_LIMIT, &msgid);
    if (paging != nullptr) ldap_control_free(paging);
    if (rc != LDAP_SUCCESS) reportSearchError(fname, rc);
    return msgid;
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
    int rc =
        ldap_parse_result(search->ld, search->page, &code, nullptr, nullptr, nullptr, &controls, 0);
    if (rc != LDAP_SUCCESS) return rc;
    search->lastPage = true;
    if (code == LDAP_SUCCESS && search->request.pageSize > 0) rc = takeCookie(search, controls);
    ldap_controls_free(controls);
    return rc != LDAP_SUCCESS ? rc : code;
}

}  // namespace

void releasePage(PagedSearch* search) noexcept {
    ber_memfree(search->values);
    search->values = nullptr;
    if (search->cursor != nullptr) ber_free(search->cursor, 0);
    search->cursor = nullptr;
    ldap_msgfree(search->page);
    search->page = nullptr;
    forgetCookie(search);
}

void fetchNextPage(const char* fname, PagedSearch* search) {
    ldap_msgfree(search->page);
    search->page = nullptr;
    int msgid = sendRequest(fname, search);
    if (awaitAnswer(search->ld, msgid, OnInterrupt::abandonRequest, &search->page) == -1) {
        reportSearchError(fname, sessionErrorCode(search->ld));
    }
    int code = readOutcome(search);
    if (code != LDAP_SUCCESS) {
        releasePage(search);
        reportSearchError(fname, code);
    }
}

void reportSearchError(const char* fname, int code) {
    QUENBY_REPORT(ERROR, fname, "LDAP search error: %d (%s)", code, ldap_err2string(code));
}

}  // namespace quenby
