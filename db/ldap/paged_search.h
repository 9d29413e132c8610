// One search read page by page with the simple paged results control (RFC 2696), or as one
// plain search, one message at a time as the server's answer arrives: the library never holds
// more than the message being read. Everything of the library that the search holds is kept
// in PagedSearch, so that releaseSearch frees it whatever ends the search, an ERROR included.
#pragma once

#include "quenby_common.h"

namespace quenby {

struct SearchRequest {
    const char* base;
    int scope;
    const char* filter;
    char** attributes;  // null-terminated
    int pageSize;       // 0: one plain search
};

struct PagedSearch {
    LDAP* ld;
    SearchRequest request;
    int msgid;                     // the request of the page being read, -1 when none
    bool lastPage;                 // the page being read is the last one
    long entriesInPage;            // entries of the page being read so far
    LDAPMessage* message;          // the message being read: an entry or the page's result
    struct berval cookie;          // the server's cookie, asking for the page after this one
    struct berval previousCookie;  // the cookie the page being read was asked with
    BerElement* cursor;            // the attribute cursor of the entry being read
    struct berval* values;         // the values of the attribute being read
};

// Releases a message being read, with the attribute cursor over it and the values of the
// attribute being read; each is null afterwards.
void releaseMessageRead(LDAPMessage** message, BerElement** cursor,
                        struct berval** values) noexcept;

// Releases everything the search holds; a request still answering is read to its end when
// awaitEnd (briefly, and only so far), else abandoned. Any time, any number of times.
void releaseSearch(PagedSearch* search, bool awaitEnd) noexcept;

// Requests the next page (the first on a fresh PagedSearch).
void requestNextPage(const char* fname, PagedSearch* search);

// The page's next entry as it arrives, waiting interruptibly; null once the page has ended.
// A result code other than success, and a page without entries that asks again with the
// cookie it was asked with, are ERRORs raised with nothing held.
LDAPMessage* nextEntry(const char* fname, PagedSearch* search);

// The ERROR of a failed search: "LDAP search error: <code> (<text>)".
void reportSearchError(const char* fname, int code);

}  // namespace quenby
