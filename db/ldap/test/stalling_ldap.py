#!/usr/bin/env python3
"""LDAP servers that stall on purpose, for the tests of interruptible waits.

    stalling_ldap.py <port-file> [lifetime-seconds] [max-val-range]

Listens on loopback ports of its own, writes "<name> <port>" lines to <port-file> once every
listener is up, and exits after the lifetime (default 900 s) or on SIGTERM. Each listener
misbehaves in one way:

  silent            accepts TCP and never sends a byte
  starttls_silent   answers StartTLS with success, then sends nothing
  handshake_stall   answers StartTLS, then sends half of its first TLS handshake record
  record_stall      completes StartTLS and the handshake, then answers the next request with
                    half of a TLS record
  backlog           a listener whose accept queue is full: connecting never completes

and some answer, but never usefully (every bind succeeds):

  page_forever      answers every search at once with no entry and a paged-results control
                    carrying a new non-empty cookie: a paged search never ends
  page_same_cookie  the same with the same cookie every time
  flood             answers any search with 1,000,000 entries in one answer, whatever the page
                    size (cn=e<N>,dc=flood with cn: e<N>), paged or not
  no_starttls       refuses StartTLS with protocolError (2) and records every byte clients send
                    in no_starttls.bytes beside <port-file>

and some answer any search with one group, cn=big,dc=ranged (cn: big, and 350 member values
uid=m<NNN>,ou=people,dc=ranged), handing out member as Active Directory does past its
MaxValRange (default 100): member;range=0-99, asked again for member;range=100-* gives
member;range=100-199, and so on to member;range=300-* with the last 50:

  unranged          every value at once under the plain name, for comparison
  ranged            ranges as Active Directory does
  range_backwards   answers each follow-up with a range starting half a piece before the one
                    asked for
  range_repeat      answers each follow-up with the piece before the one asked for
  range_skip        answers each follow-up with the piece after the one asked for
  range_endless     never ends a range in "*": the last piece is member;range=300-399
  range_silent      answers the first search and never a follow-up
"""
import functools
import itertools
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import time

import loopback
from ldap_wire import (ABANDON_REQUEST, BIND_REQUEST, BIND_RESPONSE, EXTENDED_REQUEST,
                       PROTOCOL_ERROR, SEARCH_DONE, SEARCH_REQUEST, UNBIND_REQUEST,
                       UNWILLING_TO_PERFORM, is_paged, is_starttls, paged_control, read_message,
                       requested_attributes, response, search_entry, search_entry_with,
                       starttls_response)

FLOOD_ENTRIES = 1_000_000
# Entries per sendall: about 0.8 MB.
FLOOD_CHUNK = 16384
# The answers to requests these servers do not serve, by request tag (RFC 4511).
REFUSED_OPS = {0x66: 0x67, 0x68: 0x69, 0x4A: 0x6B, 0x6C: 0x6D, 0x6E: 0x6F}

def accept_starttls(conn):
    message = read_message(conn.recv)
    if not is_starttls(message):
        raise EOFError
    conn.sendall(starttls_response(message.message_id))


def hold(conn):
    """Keeps the connection open, reading and dropping, until the client goes away."""
    while conn.recv(65536):
        pass


class Tls:
    """A server-side TLS session over a socket we write by hand, so records can be cut."""

    def __init__(self, context, conn):
        self.conn = conn
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)

    def feed(self):
        data = self.conn.recv(65536)
        if not data:
            raise EOFError
        self.incoming.write(data)

    def handshake(self, cut_first_flight=False):
        self.feed()
        while True:
            try:
                self.tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                flight = self.outgoing.read()
                if cut_first_flight:
                    self.conn.sendall(flight[: len(flight) // 2])
                    return False
                self.conn.sendall(flight)
                self.feed()
        self.conn.sendall(self.outgoing.read())
        return True

    def read(self, n):
        while True:
            try:
                data = self.tls.read(n)
                if data:
                    return data
            except ssl.SSLWantReadError:
                pass
            self.feed()


def serve_silent(conn, context):
    hold(conn)


def serve_starttls_silent(conn, context):
    accept_starttls(conn)
    hold(conn)


def serve_handshake_stall(conn, context):
    accept_starttls(conn)
    Tls(context, conn).handshake(cut_first_flight=True)
    hold(conn)


def serve_record_stall(conn, context):
    accept_starttls(conn)
    tls = Tls(context, conn)
    tls.handshake()
    message = read_message(tls.read)
    tls.tls.write(response(message.message_id, message.op + 1))
    record = tls.outgoing.read()
    conn.sendall(record[: len(record) // 2])
    hold(conn)


def answer_requests(read, send, on_search):
    """Serves a connection in clear until the client unbinds or goes: binds succeed, StartTLS
    and every other extended operation get protocolError, searches go to on_search."""
    while True:
        message = read_message(read)
        if message.op == UNBIND_REQUEST:
            return
        if message.op == BIND_REQUEST:
            send(response(message.message_id, BIND_RESPONSE))
        elif message.op == SEARCH_REQUEST:
            on_search(message, send)
        elif is_starttls(message):
            send(starttls_response(message.message_id, PROTOCOL_ERROR))
        elif message.op == EXTENDED_REQUEST:
            send(response(message.message_id, message.op + 1, PROTOCOL_ERROR))
        elif message.op in REFUSED_OPS:
            send(response(message.message_id, REFUSED_OPS[message.op], UNWILLING_TO_PERFORM))
        elif message.op != ABANDON_REQUEST:
            raise EOFError


def empty_pages(cookies):
    def on_search(message, send):
        send(response(message.message_id, SEARCH_DONE, controls=paged_control(next(cookies))))
    return on_search


def serve_page_forever(conn, context):
    cookies = (b"page-%d" % n for n in itertools.count(1))
    answer_requests(conn.recv, conn.sendall, empty_pages(cookies))


def serve_page_same_cookie(conn, context):
    answer_requests(conn.recv, conn.sendall, empty_pages(itertools.repeat(b"same-cookie")))


def flood_chunks(message_id):
    """The entries of the flood as bytes, FLOOD_CHUNK entries at a time. Every entry has the
    same length, so each is a template with the number written in twice."""
    digits = b"#######"
    entry = search_entry(message_id, b"cn=e" + digits + b",dc=flood", b"cn", b"e" + digits)
    template = entry.replace(b"%", b"%%").replace(digits, b"%07d")
    for first in range(0, FLOOD_ENTRIES, FLOOD_CHUNK):
        last = min(first + FLOOD_CHUNK, FLOOD_ENTRIES)
        yield b"".join(template % (n, n) for n in range(first, last))


def flood(message, send):
    for chunk in flood_chunks(message.message_id):
        send(chunk)
    controls = paged_control(b"") if is_paged(message) else b""
    send(response(message.message_id, SEARCH_DONE, controls=controls))


def serve_flood(conn, context):
    answer_requests(conn.recv, conn.sendall, flood)


def no_entries(message, send):
    send(response(message.message_id, SEARCH_DONE))


def serve_no_starttls(record, conn, context):
    def read(n):
        data = conn.recv(n)
        with open(record, "ab") as out:
            out.write(data)
        return data
    answer_requests(read, conn.sendall, no_entries)


GROUP_DN = b"cn=big,dc=ranged"
MEMBERS = [b"uid=m%03d,ou=people,dc=ranged" % n for n in range(350)]
# How a faulty peer shifts the first value of a follow-up piece, in pieces of MaxValRange.
RANGE_SHIFTS = {"range_backwards": -0.5, "range_repeat": -1, "range_skip": 1}


def asked_low(name):
    """The first value a request for member asks for: 0 for plain member, L for member;range=L-*."""
    plain, _, option = name.lower().partition(b";range=")
    if plain != b"member":
        return None
    return int(option.split(b"-")[0]) if option else 0


def member_piece(low, max_range, mode):
    """The member attribute (name, values) of the piece from value `low` on."""
    if mode == "unranged":
        return b"member", MEMBERS
    if low > 0:
        low += int(RANGE_SHIFTS.get(mode, 0) * max_range)
    high = low + max_range - 1
    if high >= len(MEMBERS) - 1 and mode != "range_endless":
        return b"member;range=%d-*" % low, MEMBERS[low:]
    return b"member;range=%d-%d" % (low, high), MEMBERS[low:high + 1]


def ranged_group(max_range, mode):
    def on_search(message, send):
        attributes = [(b"cn", [b"big"])]
        for name in requested_attributes(message):
            low = asked_low(name)
            if low is not None and low > 0 and mode == "range_silent":
                return
            if low is not None:
                attributes.append(member_piece(low, max_range, mode))
        controls = paged_control(b"") if is_paged(message) else b""
        send(search_entry_with(message.message_id, GROUP_DN, attributes)
             + response(message.message_id, SEARCH_DONE, controls=controls))
    return on_search


def serve_ranged(max_range, mode, conn, context):
    answer_requests(conn.recv, conn.sendall, ranged_group(max_range, mode))


def listen(serve, context):
    def on_connection(conn):
        with conn:
            try:
                serve(conn, context)
            except (EOFError, OSError, ssl.SSLError):
                pass
    return loopback.listen(on_connection)


def full_backlog():
    """A listener that never accepts, with its accept queue filled by our own connections."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    for _ in range(4):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(listener.getsockname())
        fillers.append(filler)
    time.sleep(0.2)
    return listener, fillers


def tls_context(folder):
    key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                    "/CN=stalling test server", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def main():
    port_file = sys.argv[1]
    lifetime = float(sys.argv[2]) if len(sys.argv) > 2 else 900.0
    max_range = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    record = os.path.join(os.path.dirname(os.path.abspath(port_file)), "no_starttls.bytes")
    with tempfile.TemporaryDirectory() as folder:
        context = tls_context(folder)
        listeners = {
            "silent": listen(serve_silent, context),
            "starttls_silent": listen(serve_starttls_silent, context),
            "handshake_stall": listen(serve_handshake_stall, context),
            "record_stall": listen(serve_record_stall, context),
            "page_forever": listen(serve_page_forever, context),
            "page_same_cookie": listen(serve_page_same_cookie, context),
            "flood": listen(serve_flood, context),
            "no_starttls": listen(functools.partial(serve_no_starttls, record), context),
        }
        for mode in ("unranged", "ranged", "range_backwards", "range_repeat", "range_skip",
                     "range_endless", "range_silent"):
            listeners[mode] = listen(functools.partial(serve_ranged, max_range, mode), context)
        backlog, _fillers = full_backlog()
        listeners["backlog"] = backlog
        loopback.publish_and_live(port_file, listeners, lifetime)


if __name__ == "__main__":
    main()
