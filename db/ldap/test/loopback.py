"""The life of the test peers: listeners on the loopback, each connection in a thread of its
own, "<name> <port>" lines published once all listen, and an end after a lifetime or SIGTERM."""
import os
import signal
import socket
import sys
import threading
import time


def listen(on_connection):
    """A loopback listener on a free port; every connection goes to on_connection(conn) in a
    thread of its own."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def accept_forever():
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=on_connection, args=(conn,), daemon=True).start()

    threading.Thread(target=accept_forever, daemon=True).start()
    return listener


def publish_and_live(port_file, listeners, lifetime):
    """Writes the port file in one step, so a reader never sees half of it, then lives for
    lifetime seconds unless SIGTERM ends it first (as an exit of the main thread, so that the
    caller's temporary folders go too)."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    lines = "".join(f"{name} {sock.getsockname()[1]}\n" for name, sock in listeners.items())
    with open(port_file + ".tmp", "w") as out:
        out.write(lines)
    os.rename(port_file + ".tmp", port_file)
    time.sleep(lifetime)
