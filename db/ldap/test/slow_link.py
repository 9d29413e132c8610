#!/usr/bin/env python3
"""A slow link to a server on the loopback: every chunk a client sends is held back for a
while before it is passed on, so that each request of a conversation costs at least that long.

    slow_link.py <server-port> <delay-seconds> <port-file>

Listens on a free loopback port and writes it to <port-file> once it listens; appends a line
to <port-file>.requests for every chunk it passes on to the server. Ends when <port-file> is
removed (with the sandbox folder that holds it).
"""
import asyncio
import os
import sys


async def relay(reader, writer, delay=0.0, on_chunk=None):
    try:
        while data := await reader.read(65536):
            if delay:
                await asyncio.sleep(delay)
            writer.write(data)
            await writer.drain()
            if on_chunk:
                on_chunk()
    except ConnectionError:
        pass
    finally:
        writer.close()


async def main(server_port, delay, port_file):
    def count_request():
        with open(port_file + ".requests", "a") as requests:
            requests.write("request\n")

    async def connect(client_reader, client_writer):
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", server_port)
        await asyncio.gather(relay(client_reader, server_writer, delay, count_request),
                             relay(server_reader, client_writer))

    server = await asyncio.start_server(connect, "127.0.0.1", 0)
    with open(port_file + ".new", "w") as port:
        port.write(str(server.sockets[0].getsockname()[1]))
    os.rename(port_file + ".new", port_file)
    while os.path.exists(port_file):
        await asyncio.sleep(0.5)


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]))
