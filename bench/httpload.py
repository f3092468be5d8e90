#!/usr/bin/env python3
"""Small HTTP/1.0 load and timing client for bench/wait.sh and bench/hostile.sh.

Every mode talks to 127.0.0.1 only, is bounded in time and in count, and prints
one line of key=value pairs on stdout (the scripts read it). Modes:

  visitor PORT PATH   one request every --interval seconds (open loop: a slow
                      answer does not delay the next request), records the
                      latency of each; failures (timeout, error, status not 200,
                      wrong size) count as infinitely slow in the percentiles
  loop PORT PATH...   requests the paths one after the other (--par at a time)
                      until --duration or --max; --cycle starts over at the end,
                      --touch FILE... gives the files a new mtime before each
                      request (so a cache keyed by file and mtime stays cold)
  slow PORT           --conns connections that each send one byte of a request
                      head every --interval seconds, never finishing it
  bodies PORT PATH    rounds of --conns POSTs at once, each with a body of --size
                      bytes, each reading its answer
  makepng OUT W H     writes a compressible RGB PNG of W x H pixels
  maketext OUT BYTES  writes numbered lines of text
"""
import argparse
import asyncio
import math
import os
import struct
import sys
import time
import zlib

HOST = "127.0.0.1"
# The hostile loads come from another loopback address than the visitor, as they would from
# another machine: the server caps the connections of one address.
HOSTILE_SOURCE = ("127.0.0.2", 0)


def head(method, path, port, extra=""):
    return f"{method} {path} HTTP/1.0\r\nHost: {HOST}:{port}\r\n{extra}\r\n".encode()


async def fetch(port, request, timeout, body_chunks=None, source=None):
    """Sends `request` (then the body chunks), reads the answer to EOF.
    Returns (status or None, body bytes, error text or "")."""

    extra = 0  # bytes counted but not kept

    async def run():
        nonlocal extra
        reader, writer = await asyncio.open_connection(HOST, port, local_addr=source)
        try:
            writer.write(request)
            await writer.drain()
            for chunk in body_chunks or ():
                writer.write(chunk)
                await writer.drain()  # keeps our own buffer small
            data = bytearray()
            while True:
                got = await reader.read(1 << 16)
                if not got:
                    break
                # Keep the head, count the rest: an 8 MiB page need not stay in memory.
                if len(data) < 65536:
                    data += got
                else:
                    extra += len(got)
            return bytes(data)
        finally:
            writer.close()

    try:
        data = await asyncio.wait_for(run(), timeout)
    except asyncio.TimeoutError:
        return None, 0, "timeout"
    except OSError as e:
        return None, 0, type(e).__name__
    end = data.find(b"\r\n\r\n")
    line = data.split(b"\r\n", 1)[0].split()
    if len(line) < 2 or not line[1].isdigit():
        return None, len(data) + extra, "no status"
    body = (len(data) - end - 4 if end >= 0 else 0) + extra
    return int(line[1]), body, ""


def percentile(values, p):
    """Nearest-rank percentile of a sorted list; None when empty."""
    if not values:
        return None
    return values[max(0, math.ceil(p / 100 * len(values)) - 1)]


def ms(v):
    if v is None:
        return "n/a"
    return "inf" if v == math.inf else f"{v * 1000:.2f}"


async def visitor(a):
    loop = asyncio.get_running_loop()
    req = head("GET", a.path, a.port)

    async def one():
        t = time.perf_counter()
        status, size, err = await fetch(a.port, req, a.timeout)
        took = time.perf_counter() - t
        ok = status == 200 and (a.size < 0 or size == a.size)
        return took if ok else math.inf, err or (f"status {status} size {size}" if not ok else "")

    t0 = loop.time()
    tasks = []
    count = int(a.duration / a.interval)
    for i in range(count):
        delay = t0 + i * a.interval - loop.time()
        if delay > 0:
            await asyncio.sleep(delay)
        tasks.append(asyncio.create_task(one()))
    results = await asyncio.gather(*tasks)
    lat = sorted(r[0] for r in results)
    fails = [r[1] for r in results if r[0] == math.inf]
    if a.samples:
        with open(a.samples, "w") as f:
            for took, err in results:
                f.write(f"{ms(took)} {err}\n")
    reasons = {}
    for r in fails:
        reasons[r] = reasons.get(r, 0) + 1
    why = ",".join(f"{k.replace(' ', '_')}:{v}" for k, v in sorted(reasons.items())) or "-"
    print(f"n={len(lat)} fail={len(fails)} p50={ms(percentile(lat, 50))} "
          f"p99={ms(percentile(lat, 99))} max={ms(lat[-1] if lat else None)} why={why}")


async def loop_mode(a):
    paths = list(a.paths)
    if a.paths_file:
        with open(a.paths_file) as f:
            paths += [line.rstrip("\n") for line in f if line.strip()]
    if not paths:
        sys.exit("loop: no paths")
    deadline = time.monotonic() + a.duration
    state = {"next": 0, "wraps": 0, "touch": 0}
    statuses, times, total = {}, [], [0]
    base = int(time.time()) - 10**6

    def take():
        if state["next"] >= len(paths):
            if not a.cycle:
                return None
            state["next"] = 0
            state["wraps"] += 1
        p = paths[state["next"]]
        state["next"] += 1
        return p

    async def worker():
        while time.monotonic() < deadline and len(times) < a.max:
            p = take()
            if p is None:
                return
            if a.touch:
                state["touch"] += 1
                stamp = (base + state["touch"]) * 10**9
                for f in a.touch:
                    os.utime(f, ns=(stamp, stamp))
            t = time.perf_counter()
            status, size, err = await fetch(a.port, head("GET", p, a.port), a.timeout)
            times.append(time.perf_counter() - t)
            key = str(status) if status else err
            statuses[key] = statuses.get(key, 0) + 1
            total[0] += size

    await asyncio.gather(*(worker() for _ in range(a.par)))
    times.sort()
    st = ",".join(f"{k}:{v}" for k, v in sorted(statuses.items())) or "-"
    print(f"count={len(times)} statuses={st} bytes={total[0]} median={ms(percentile(times, 50))} "
          f"max={ms(times[-1] if times else None)} wraps={state['wraps']} of={len(paths)}")


async def slow(a):
    text = head("GET", a.path, a.port, "User-Agent: slow\r\n")
    deadline = time.monotonic() + a.duration
    stats = {"opened": 0, "connect_failed": 0, "answered": 0, "closed": 0, "reset": 0, "sent": 0}

    async def one(i):
        # spread the connections over the first second
        await asyncio.sleep(i / a.conns)
        try:
            reader, writer = await asyncio.wait_for(
                asyncio.open_connection(HOST, a.port, local_addr=HOSTILE_SOURCE), 10)
        except (OSError, asyncio.TimeoutError):
            stats["connect_failed"] += 1
            return
        stats["opened"] += 1
        pos = 0
        try:
            while time.monotonic() < deadline and pos < len(text):
                writer.write(text[pos:pos + 1])
                await writer.drain()
                pos += 1
                stats["sent"] += 1
                left = deadline - time.monotonic()
                try:
                    got = await asyncio.wait_for(reader.read(4096), max(0.0, min(a.interval, left)))
                except asyncio.TimeoutError:
                    continue
                # the server answered, or closed, before the head was whole
                stats["answered" if got else "closed"] += 1
                return
        except OSError:
            stats["reset"] += 1
        finally:
            writer.close()

    await asyncio.gather(*(one(i) for i in range(a.conns)))
    print(" ".join(f"{k}={v}" for k, v in stats.items()))


async def bodies(a):
    chunk = b"x" * 65536
    n_chunks, rest = divmod(a.size, len(chunk))
    chunks = [chunk] * n_chunks + ([b"x" * rest] if rest else [])
    req = head("POST", a.path, a.port, f"Content-Type: application/octet-stream\r\n"
               f"Content-Length: {a.size}\r\n")
    deadline = time.monotonic() + a.duration
    statuses, rounds = {}, 0
    while rounds < a.rounds and time.monotonic() < deadline:
        rounds += 1
        res = await asyncio.gather(*(fetch(a.port, req, a.timeout, chunks, HOSTILE_SOURCE)
                                     for _ in range(a.conns)))
        for status, _, err in res:
            key = str(status) if status else err
            statuses[key] = statuses.get(key, 0) + 1
    st = ",".join(f"{k}:{v}" for k, v in sorted(statuses.items())) or "-"
    print(f"rounds={rounds} requests={sum(statuses.values())} statuses={st}")


def makepng(out, width, height):
    """RGB, 8 bits, rows of one colour that changes every 500 rows: deflate packs
    it about 1000:1, so 30000 x 30000 pixels take about 2.7 MB."""

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    z = zlib.compressobj(9)
    parts, row, band = [], b"", -1
    for y in range(height):
        if y // 500 != band:
            band = y // 500
            row = b"\0" + bytes(((band * 7) & 255, (band * 13) & 255, (band * 29) & 255)) * width
        parts.append(z.compress(row))
    parts.append(z.flush())
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    tmp = out + ".part"
    with open(tmp, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", b"".join(parts)) +
                chunk(b"IEND", b""))
    os.replace(tmp, out)


def maketext(out, size):
    with open(out, "w") as f:
        n, written = 0, 0
        while written < size:
            n += 1
            line = f"{n:08d} the quick brown fox jumps over the lazy dog <b>&amp;</b> again\n"
            f.write(line[: size - written])
            written += len(line)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    sub = p.add_subparsers(dest="mode", required=True)
    v = sub.add_parser("visitor")
    v.add_argument("port", type=int)
    v.add_argument("path")
    v.add_argument("--interval", type=float, default=0.02)
    v.add_argument("--duration", type=float, default=20)
    v.add_argument("--timeout", type=float, default=5)
    v.add_argument("--size", type=int, default=-1, help="expected body size (-1: any)")
    v.add_argument("--samples", help="file for the latency of each request (ms)")
    lp = sub.add_parser("loop")
    lp.add_argument("port", type=int)
    lp.add_argument("paths", nargs="*")
    lp.add_argument("--paths-file")
    lp.add_argument("--duration", type=float, default=20)
    lp.add_argument("--max", type=int, default=100000)
    lp.add_argument("--par", type=int, default=1)
    lp.add_argument("--timeout", type=float, default=120)
    lp.add_argument("--cycle", action="store_true")
    lp.add_argument("--touch", nargs="*", default=[])
    s = sub.add_parser("slow")
    s.add_argument("port", type=int)
    s.add_argument("--path", default="/1k.bin")
    s.add_argument("--conns", type=int, default=300)
    s.add_argument("--interval", type=float, default=10)
    s.add_argument("--duration", type=float, default=35)
    b = sub.add_parser("bodies")
    b.add_argument("port", type=int)
    b.add_argument("path")
    b.add_argument("--conns", type=int, default=400)
    b.add_argument("--size", type=int, default=1 << 20)
    b.add_argument("--rounds", type=int, default=20)
    b.add_argument("--duration", type=float, default=20)
    b.add_argument("--timeout", type=float, default=60)
    mp = sub.add_parser("makepng")
    mp.add_argument("out")
    mp.add_argument("width", type=int)
    mp.add_argument("height", type=int)
    mt = sub.add_parser("maketext")
    mt.add_argument("out")
    mt.add_argument("size", type=int)
    a = p.parse_args()
    if a.mode == "makepng":
        return makepng(a.out, a.width, a.height)
    if a.mode == "maketext":
        return maketext(a.out, a.size)
    run = {"visitor": visitor, "loop": loop_mode, "slow": slow, "bodies": bodies}[a.mode]
    asyncio.run(run(a))


if __name__ == "__main__":
    main()
