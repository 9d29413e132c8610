// Values of one attribute that the server hands out range by range, as Active Directory does
// past its MaxValRange: a search for "member" answers "member;range=0-1499" with the first
// 1,500 values, and each further piece is asked for with a base search of the entry for
// "member;range=1500-*", until a piece whose range ends in "*". Any reader of entries (the
// rows functions, the walk functions) streams the pieces after the first through here.
#pragma once

#include "quenby_common.h"
#include "value_range_name.h"

namespace quenby {

// Receives the values of one piece, a null-terminated list owned by the library that is valid
// during the call only.
using RangeValuesSink = void (*)(void* context, struct berval* values);

// The rest of a ranged attribute of the entry `dn`, given its first piece (the name as the
// server sent it and how many values came with it): asks the session for each further piece
// in turn and hands its values to the sink, until the server sends the last piece. A piece
// that does not continue where the values so far end (going backwards, repeating, skipping),
// that holds fewer or more values than its range says without being the last, or that is
// missing, is an ERROR naming the attribute and the range the server sent. Each wait is
// awaitAnswer's (cancel, statement_timeout, quenby_ldap.io_timeout); nothing of the library
// is held when an ERROR leaves, whether raised here or by the sink.
void followValueRange(const char* fname, LDAP* ld, const char* dn, const struct berval& firstName,
                      long firstCount, RangeValuesSink sink, void* context);

}  // namespace quenby
