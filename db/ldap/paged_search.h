// One search read page by page with the simple paged results control (RFC 2696), or as one
// plain search. Everything of the library that the page being read holds is kept in
// PagedSearch, so that releasePage frees it whatever ends the search, an ERROR included.
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
    bool lastPage;          // the page held is the last one
    LDAPMessage* page;      // the answer to the current request: entries and the result
    struct berval cookie;   // the server's cookie, asking for the page after this one
    BerElement* cursor;     // the attribute cursor of the entry being read
    struct berval* values;  // the values of the attribute being read (in the page's memory)
};

// Releases the page and its cookie, and the cursor and values of an entry being read; any
// time, any number of times.
void releasePage(PagedSearch* search) noexcept;

// Requests the next page (the first on a fresh PagedSearch) and waits for it, interruptibly;
// on return `page` holds its entries. The page before is released first. A result code other
// than success is an ERROR naming the code and its text, raised with nothing held.
void fetchNextPage(const char* fname, PagedSearch* search);

// The ERROR of a failed search: "LDAP search error: <code> (<text>)".
void reportSearchError(const char* fname, int code);

}  // namespace quenby
