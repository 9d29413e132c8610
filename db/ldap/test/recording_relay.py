#!/usr/bin/env python3
"""Relays in front of an LDAP server on the loopback that record what clients put on the wire,
and two of them meddle with StartTLS the way a machine in the middle would.

    recording_relay.py <server-port> <port-file> [lifetime-seconds]

Listens on loopback ports of its own, writes "<name> <port>" lines to <port-file> once every
listener is up, and exits after the lifetime (default 900 s) or on SIGTERM. Every byte a client
sends is appended to <name>.bytes beside <port-file>; the file is created when a client
connects, so an empty one means a connection that sent nothing.

  refuse_starttls  answers StartTLS itself with protocolError (2) without passing it on, and
                   passes everything else on in clear both ways
  cut_handshake    passes StartTLS and its answer on, then only the first half of the server's
                   first TLS record, and closes both connections
  pass             passes everything on unchanged both ways
"""
import functools
import os
import socket
import sys
import threading

import loopback
from ldap_wire import (EXTENDED_RESPONSE, PROTOCOL_ERROR, is_starttls, read_exact, read_message,
                       starttls_response)


class Link:
    """One client's connection and the relay's connection to the server for it."""

    def __init__(self, client, server, record):
        self.client = client
        self.server = server
        self.record = record
        self.client_lock = threading.Lock()
        self.starttls_sent = threading.Event()

    def from_client(self, n):
        data = self.client.recv(n)
        with open(self.record, "ab") as out:
            out.write(data)
        return data

    def to_client(self, data):
        with self.client_lock:
            self.client.sendall(data)

    def to_server(self, data):
        self.server.sendall(data)

    def shut(self):
        for sock in (self.client, self.server):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def copy(read, write):
    while data := read(65536):
        write(data)


def upstream_plain(link):
    copy(link.from_client, link.to_server)


def downstream_plain(link):
    copy(link.server.recv, link.to_client)


def upstream_refusing_starttls(link):
    while True:
        message = read_message(link.from_client)
        if is_starttls(message):
            link.to_client(starttls_response(message.message_id, PROTOCOL_ERROR))
        else:
            link.to_server(message.raw)


def upstream_noting_starttls(link):
    while not link.starttls_sent.is_set():
        message = read_message(link.from_client)
        if is_starttls(message):
            link.starttls_sent.set()
        link.to_server(message.raw)
    upstream_plain(link)


def downstream_cutting_handshake(link):
    while True:
        message = read_message(link.server.recv)
        link.to_client(message.raw)
        if message.op == EXTENDED_RESPONSE and link.starttls_sent.is_set():
            break
    header = read_exact(link.server.recv, 5)
    record = header + read_exact(link.server.recv, int.from_bytes(header[3:5], "big"))
    link.to_client(record[: len(record) // 2])


MODES = {
    "refuse_starttls": (upstream_refusing_starttls, downstream_plain),
    "cut_handshake": (upstream_noting_starttls, downstream_cutting_handshake),
    "pass": (upstream_plain, downstream_plain),
}


def until_either_ends(link, direction):
    try:
        direction(link)
    except (EOFError, OSError):
        pass
    finally:
        link.shut()


def relay(client, server_port, record, mode):
    upstream, downstream = MODES[mode]
    open(record, "ab").close()
    with client:
        try:
            server = socket.create_connection(("127.0.0.1", server_port))
        except OSError:
            return
        with server:
            link = Link(client, server, record)
            up = threading.Thread(target=until_either_ends, args=(link, upstream), daemon=True)
            up.start()
            until_either_ends(link, downstream)
            up.join()


def main():
    server_port, port_file = int(sys.argv[1]), sys.argv[2]
    lifetime = float(sys.argv[3]) if len(sys.argv) > 3 else 900.0
    folder = os.path.dirname(os.path.abspath(port_file))
    listeners = {mode: loopback.listen(functools.partial(
                     relay, server_port=server_port,
                     record=os.path.join(folder, mode + ".bytes"), mode=mode))
                 for mode in MODES}
    loopback.publish_and_live(port_file, listeners, lifetime)


if __name__ == "__main__":
    main()
