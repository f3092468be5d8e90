#!/usr/bin/env python3
"""A TCP proxy on loopback that gives every connection a network's round trip.

delay_proxy.py LISTEN_PORT TARGET_PORT RTT_MS

A new connection waits one round trip before its bytes flow (the TCP handshake), and every
piece of data reaches the other side half a round trip after it was sent, in order. Loopback
has no netem in this namespace, so this stands in for a phone's network.
"""
import asyncio
import sys
import time

LISTEN, TARGET, RTT = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]) / 1000.0


async def pump(reader, writer, half):
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                try:
                    writer.write_eof()
                except (OSError, RuntimeError):
                    pass
                return
            writer.write(data)
            await writer.drain()

    task = asyncio.create_task(deliver())
    try:
        while True:
            data = await reader.read(65536)
            queue.put_nowait((time.monotonic() + half, data or None))
            if not data:
                break
        await task
    except (ConnectionError, OSError):
        task.cancel()


async def handle(client_reader, client_writer):
    await asyncio.sleep(RTT)  # SYN, SYN-ACK
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", TARGET)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pump(client_reader, server_writer, RTT / 2),
                         pump(server_reader, client_writer, RTT / 2),
                         return_exceptions=True)
    for w in (client_writer, server_writer):
        w.close()


async def main():
    server = await asyncio.start_server(handle, "127.0.0.1", LISTEN, backlog=512)
    async with server:
        await server.serve_forever()


asyncio.run(main())
