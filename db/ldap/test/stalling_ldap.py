#!/usr/bin/env python3
"""LDAP servers that stall on purpose, for the tests of interruptible waits.

    stalling_ldap.py <port-file> [lifetime-seconds]

Listens on loopback ports of its own, writes "<name> <port>" lines to <port-file> once every
listener is up, and exits after the lifetime (default 900 s) or on SIGTERM. Each listener
misbehaves in one way:

  silent            accepts TCP and never sends a byte
  starttls_silent   answers StartTLS with success, then sends nothing
  handshake_stall   answers StartTLS, then sends half of its first TLS handshake record
  record_stall      completes StartTLS and the handshake, then answers the next request with
                    half of a TLS record
  backlog           a listener whose accept queue is full: connecting never completes
"""
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

STARTTLS_OID = b"1.3.6.1.4.1.1466.20037"


def ber_length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, value):
    return bytes([tag]) + ber_length(len(value)) + value


def read_exact(read, n):
    data = b""
    while len(data) < n:
        chunk = read(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_message(read):
    """One LDAPMessage: (message id bytes, protocol op tag)."""
    tag, first = read_exact(read, 2)
    if tag != 0x30:
        raise EOFError
    length = first
    if first & 0x80:
        length = int.from_bytes(read_exact(read, first & 0x7F), "big")
    body = read_exact(read, length)
    id_length = body[1]
    return body[2:2 + id_length], body[2 + id_length]


def response(message_id, op_tag, extra=b""):
    result = tlv(0x0A, b"\x00") + tlv(0x04, b"") + tlv(0x04, b"") + extra
    return tlv(0x30, tlv(0x02, message_id) + tlv(op_tag, result))


def accept_starttls(conn):
    message_id, op = read_message(conn.recv)
    if op != 0x77:
        raise EOFError
    conn.sendall(response(message_id, 0x78, tlv(0x8A, STARTTLS_OID)))


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
    message_id, op = read_message(tls.read)
    tls.tls.write(response(message_id, op + 1))
    record = tls.outgoing.read()
    conn.sendall(record[: len(record) // 2])
    hold(conn)


def handle(serve, conn, context):
    with conn:
        try:
            serve(conn, context)
        except (EOFError, OSError, ssl.SSLError):
            pass


def listen(serve, context):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def accept_forever():
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=handle, args=(serve, conn, context), daemon=True).start()

    threading.Thread(target=accept_forever, daemon=True).start()
    return listener


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
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    with tempfile.TemporaryDirectory() as folder:
        context = tls_context(folder)
        listeners = {
            "silent": listen(serve_silent, context),
            "starttls_silent": listen(serve_starttls_silent, context),
            "handshake_stall": listen(serve_handshake_stall, context),
            "record_stall": listen(serve_record_stall, context),
        }
        backlog, _fillers = full_backlog()
        listeners["backlog"] = backlog
        lines = "".join(f"{name} {sock.getsockname()[1]}\n" for name, sock in listeners.items())
        with open(port_file + ".tmp", "w") as out:
            out.write(lines)
        os.rename(port_file + ".tmp", port_file)
        time.sleep(lifetime)


if __name__ == "__main__":
    main()
