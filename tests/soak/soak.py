#!/usr/bin/env python3
"""Mixed load on the built program for a set time, then checks of what it stored.

Started by soak.sh inside a network namespace that has only loopback. Starts tarvolin-relay,
a lossy UDP forwarder between the relay and the program, and the program with its demo site;
then, side by side: files, listings of fresh and known photo folders (cold and warm
thumbnails), blog comments through the form (directly and through the relay), relayed file
requests, idle connections, and clients that leave in the middle of a large answer. The
program's resident memory is sampled every few seconds.

At the end: the program never ended, its memory is flat after the warm-up, every comment
answered with the redirect is in its post exactly once (and no other line is there), every
access log line is a whole entry, and the settings file is whole. Writes report.txt and
rss.csv into the output folder; exits 1 when a check fails.

soak.py BUILD_DIR OUT_DIR SECONDS
"""
import os
import random
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

BUILD, OUT, SECONDS = sys.argv[1], sys.argv[2], int(sys.argv[3])
RELAY_NAME = "home.soak"
SAMPLE_EVERY = 5          # seconds between two memory samples
WARM_UP_SHARE = 0.25      # of the run, before memory must stay flat
FLAT_LIMIT_KB = 16 * 1024  # the most memory may grow after the warm-up
DROP, DUPLICATE, REORDER = 0.03, 0.03, 0.03
PHOTOS = ["sea.jpg", "road.jpg", "lake.jpg", "cloud.jpg", "stones.jpg"]

started = 0.0                    # when the load began (time.monotonic())
server_port = 0                  # the program's own port: it always closes after the answer
stop = threading.Event()
lock = threading.Lock()          # guards counts and comments
counts = {}                      # "kind ok" / "kind failed" -> number
confirmed_comments = []          # answered with the redirect: must be there exactly once
fresh_thumbnails = []            # (second, what the cache holds for it) of each new thumbnail
unconfirmed_comments = []        # no answer came: at most once


def count(kind, ok, detail=""):
    key = f"{kind} {'ok' if ok else 'failed'}"
    with lock:
        counts[key] = counts.get(key, 0) + 1
        if not ok and counts[key] <= 5:
            print(f"soak: {kind} failed {detail}", flush=True)


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fetch(port, request, timeout=30.0, source="127.0.0.1"):
    """Sends `request` on a fresh connection; (status, body, headers) once the server closes,
    or once the body holds Content-Length bytes: the relay may keep a browser's connection
    open after the answer when the program's close datagram is lost."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                  source_address=(source, 0)) as s:
        s.sendall(request.encode())
        data = bytearray()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                break  # what came so far is the answer
            if not chunk:
                break
            data += chunk
            head, found, body = bytes(data).partition(b"\r\n\r\n")
            length = re.search(rb"\r\nContent-Length: (\d+)", head)
            if found and length and len(body) >= int(length[1]) and port != server_port:
                break
    head, _, body = bytes(data).partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = dict(line.split(": ", 1) for line in lines[1:] if ": " in line)
    return lines[0], body, headers


def whole(status, body, headers, expected_status="HTTP/1.0 200 OK", trailer=b""):
    """True for the status expected and a body of Content-Length bytes, then `trailer` (a
    thumbnail has always been sent with a CR LF behind it)."""
    length = int(headers.get("Content-Length", -1))
    return status == expected_status and len(body) == length + len(trailer) and \
        body[length:] == trailer


class Forwarder(threading.Thread):
    """Passes datagrams between the program and the relay, dropping, doubling and holding back
    a share of each way's datagrams (seeded)."""

    def __init__(self, relay_port):
        super().__init__(daemon=True)
        self.relay = ("127.0.0.1", relay_port)
        self.server_side = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.server_side.bind(("127.0.0.1", 0))
        self.relay_side = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.relay_side.bind(("127.0.0.1", 0))
        self.port = self.server_side.getsockname()[1]
        self.server = None
        self.random = random.Random(20261208)
        self.held = {}
        self.done = {"passed": 0, "dropped": 0, "doubled": 0, "reordered": 0}

    def send(self, way, datagram):
        if way == "to relay":
            self.relay_side.sendto(datagram, self.relay)
        elif self.server:
            self.server_side.sendto(datagram, self.server)

    def run(self):
        while not stop.is_set():
            ready, _, _ = select.select([self.server_side, self.relay_side], [], [], 0.05)
            for sock in ready:
                datagram, sender = sock.recvfrom(4096)
                way = "to relay" if sock is self.server_side else "to server"
                if way == "to relay":
                    self.server = sender
                self.done["passed"] += 1
                if self.random.random() < DROP:
                    self.done["dropped"] += 1
                    continue
                copies = 2 if self.random.random() < DUPLICATE else 1
                self.done["doubled"] += copies - 1
                if self.random.random() < REORDER and way not in self.held:
                    self.held[way] = (datagram, copies, time.monotonic())
                    continue
                for _ in range(copies):
                    self.send(way, datagram)
                if way in self.held:
                    held, twice, _ = self.held.pop(way)
                    self.done["reordered"] += 1
                    for _ in range(twice):
                        self.send(way, held)
            for way, (held, twice, since) in list(self.held.items()):
                if time.monotonic() - since > 1.0:
                    del self.held[way]
                    for _ in range(twice):
                        self.send(way, held)


def loop(kind, work, pause):
    """Runs `work` until the end, counting its outcome; an exception counts as a failure."""
    def run():
        n = 0
        while not stop.is_set():
            n += 1
            try:
                ok, detail = work(n)
            except OSError as error:
                ok, detail = False, repr(error)
            count(kind, ok, detail)
            stop.wait(pause)
    thread = threading.Thread(target=run, daemon=True, name=kind)
    thread.start()
    return thread


def main():
    os.makedirs(OUT, exist_ok=True)
    work = tempfile.mkdtemp(prefix="tvn-soak.")
    srv, root = f"{work}/srv", f"{work}/srv/root"
    os.makedirs(root)
    global server_port
    port, relay_http, relay_udp = free_port(), free_port(), free_port(socket.SOCK_DGRAM)
    server_port = port

    relay = subprocess.Popen([f"{BUILD}/tarvolin-relay", "--bind", "127.0.0.1",
                              "--http-port", str(relay_http), "--udp-port", str(relay_udp),
                              "--name", "relay.soak"],
                             stdout=open(f"{work}/relay.out", "w"), stderr=subprocess.STDOUT)
    forwarder = Forwarder(relay_udp)
    forwarder.start()
    with open(f"{srv}/TVN.cfg", "w") as cfg:
        cfg.write("[SOFTWARE\\Tarvolin\\1.0]\n"
                  f"Port={port}\nEnable=1\nRoot={root}\nuPnPDiscovery=0\nuPnPRouter=0\n"
                  f"ServiceHost=127.0.0.1\nServicePort={forwarder.port}\nServicePeriod=2000\n"
                  f"LogFileName={srv}/tvn.log\nLogFileSize=200\nHideLog=1\n")
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_CONFIG_HOME", "XDG_STATE_HOME")}
    env.update(U3_APP_DATA_PATH=srv, U3_DEVICE_EXEC_PATH=srv, HOME=work,
               XDG_RUNTIME_DIR=work, QT_QPA_PLATFORM="offscreen", TVN_FIREWALL_BUS="none",
               TVN_RELAY_NAME=RELAY_NAME)
    program = subprocess.Popen([f"{BUILD}/tarvolin"], env=env, stdin=subprocess.DEVNULL,
                               stdout=open(f"{work}/program.out", "w"), stderr=subprocess.STDOUT)
    for _ in range(200):
        try:
            if fetch(port, "GET /demo/index.html HTTP/1.0\r\n\r\n", 2)[0].endswith("200 OK"):
                break
        except OSError:
            pass
        time.sleep(0.1)
    else:
        sys.exit("soak: the program does not answer")
    os.makedirs(f"{root}/soak")
    with open(f"{root}/soak/big.bin", "wb") as big:
        big.write(os.urandom(1 << 20) * 16)
    with open(f"{root}/soak/small.dat", "w") as small:
        small.write("small")
    album = f"{root}/demo/PhotoAlbum"
    # Relayed requests need the program's registration at the relay.
    for _ in range(100):
        try:
            if fetch(relay_http, f"GET /soak/small.dat HTTP/1.0\r\nHost: {RELAY_NAME}\r\n\r\n",
                     10)[1] == b"small":
                break
        except OSError:
            pass
        time.sleep(0.5)
    else:
        sys.exit("soak: the relay does not pass requests on")

    files = ["/demo/index.html", "/demo/AboutMe.txt", "/demo/PhotoAlbum/sea.jpg", "/styles.css",
             "/Blog/index.html", "/soak/small.dat", "/folder.gif"]

    def get_file(n):
        path = files[n % len(files)]
        status, body, headers = fetch(port, f"GET {path} HTTP/1.0\r\n\r\n")
        missing = fetch(port, f"GET /missing-{n}.html HTTP/1.0\r\n\r\n")[0]
        return whole(status, body, headers) and missing.endswith("404 Not Found"), path

    def listing(n):
        folder = "/demo/PhotoAlbum/"
        if n % 4 == 0:  # a fresh folder: cold thumbnails; the one before it goes
            fresh = f"{root}/soak/album{n}"
            os.makedirs(fresh)
            for name in PHOTOS:
                with open(f"{album}/{name}", "rb") as src, open(f"{fresh}/{name}", "wb") as dst:
                    dst.write(src.read())
            subprocess.run(["rm", "-rf", f"{root}/soak/album{n - 4}"])
            folder = f"/soak/album{n}/"
        status, body, headers = fetch(port, f"GET {folder} HTTP/1.0\r\n\r\n", 60)
        thumbs = re.findall(rb'src="(/Thumbnail__[0-9A-F]{8})"', body)
        ok = whole(status, body, headers) and len(thumbs) >= len(PHOTOS)
        for url in thumbs:
            s, b, h = fetch(port, f"GET {url.decode()} HTTP/1.0\r\n\r\n")
            ok = ok and whole(s, b, h, trailer=b"\r\n") and b.startswith(b"\xff\xd8")
            if folder.startswith("/soak/"):  # the JPEG, the paths and about 256 bytes more
                with lock:
                    fresh_thumbnails.append((time.monotonic() - started, len(b) + 2 * len(fresh) + 256))
        return ok, f"{folder} {status} {len(thumbs)} thumbnails"

    def comment(n, relayed):
        text = f"soak-{'relay' if relayed else 'direct'}-{n}-{random.getrandbits(32):08x}"
        request = f"GET /Blog/MyFirstBlog.txt?comment={text} HTTP/1.0\r\n"
        request += f"Host: {RELAY_NAME}\r\n\r\n" if relayed else "\r\n"
        try:
            status = fetch(relay_http if relayed else port, request, 40)[0]
        except OSError:
            status = ""
        with lock:
            (confirmed_comments if status.endswith("302 Redirection")
             else unconfirmed_comments).append(text)
        return status.endswith("302 Redirection"), f"status {status!r}"

    def relayed(n):
        path = ["/soak/small.dat", "/demo/AboutMe.txt", "/demo/PhotoAlbum/road.jpg"][n % 3]
        status, body, headers = fetch(relay_http,
                                      f"GET {path} HTTP/1.0\r\nHost: {RELAY_NAME}\r\n\r\n", 60)
        return whole(status, body, headers), f"{path} {status} {len(body)} bytes"

    idle = []

    def idle_connections(n):
        # Up to 100 connections from 127.0.0.2-5 that say nothing or half a head; a tenth
        # of them are replaced each round.
        for s in idle[:10]:
            s.close()
        del idle[:10]
        while len(idle) < 100:
            s = socket.create_connection(("127.0.0.1", port), timeout=5,
                                         source_address=(f"127.0.0.{2 + len(idle) % 4}", 0))
            if len(idle) % 2:
                s.sendall(b"GET /demo/index.html HTTP/1.0\r\n")
            idle.append(s)
        return True, ""

    def vanish(n):
        s = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=("127.0.0.6", 0))
        s.sendall(b"GET /soak/big.bin HTTP/1.0\r\n\r\n")
        got = s.recv(65536)
        if n % 2:  # a reset, as a browser that gives up
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        s.close()
        return got.startswith(b"HTTP/1.0 200 OK"), got[:40]

    rss = []
    global started
    started = time.monotonic()
    threads = [loop("file", get_file, 0.002), loop("file", get_file, 0.002),
               loop("listing", listing, 0.5),
               loop("comment", lambda n: comment(n, False), 0.5),
               loop("relayed comment", lambda n: comment(n, True), 2.0),
               loop("relayed file", relayed, 0.5),
               loop("idle", idle_connections, 5.0),
               loop("vanishing client", vanish, 0.2)]
    crashed = False
    while time.monotonic() - started < SECONDS:
        if program.poll() is not None:
            crashed = True
            break
        with open(f"/proc/{program.pid}/status") as status:
            fields = dict(line.split(":", 1) for line in status)
        rss.append((round(time.monotonic() - started), int(fields["VmRSS"].split()[0]),
                    len(os.listdir(f"/proc/{program.pid}/fd")), int(fields["Threads"])))
        print(f"soak: {rss[-1][0]:5d} s  RSS {rss[-1][1]:7d} kB  descriptors {rss[-1][2]:4d}  "
              f"{sum(v for k, v in counts.items() if k.endswith('ok'))} requests ok", flush=True)
        time.sleep(SAMPLE_EVERY)
    stop.set()
    for thread in threads:
        thread.join(70)
    for s in idle:
        s.close()
    duration = time.monotonic() - started

    checks = []

    def check(ok, what, detail=""):
        checks.append(f"{'ok  ' if ok else 'FAIL'} {what}{': ' + detail if detail else ''}")

    check(not crashed and program.poll() is None, "the program ran to the end")
    program.send_signal(signal.SIGTERM)
    try:
        code = program.wait(20)
    except subprocess.TimeoutExpired:
        program.kill()
        code = "killed after 20 s"
    check(code == 0, "the program ended cleanly on SIGTERM", f"exit {code}")
    relay.terminate()
    relay.wait(10)

    # The thumbnail cache keeps every new thumbnail up to its bound (64 MiB), far beyond a
    # soak: what the new thumbnails made after the warm-up hold is allowed on top.
    warm = [kb for t, kb, _, _ in rss if t >= SECONDS * WARM_UP_SHARE]
    cached_kb = sum(b for t, b in fresh_thumbnails if t >= SECONDS * WARM_UP_SHARE) // 1024
    if len(warm) >= 2:
        growth = max(warm) - warm[0]
        check(growth <= FLAT_LIMIT_KB + cached_kb, "resident memory flat after the warm-up",
              f"{warm[0]} kB at {SECONDS * WARM_UP_SHARE:.0f} s, at most {max(warm)} kB later, "
              f"{warm[-1]} kB at the end; {len(fresh_thumbnails)} new thumbnails hold "
              f"{cached_kb} kB of it (limit +{FLAT_LIMIT_KB} kB besides)")
    else:
        check(False, "enough memory samples after the warm-up")
    descriptors = [fd for t, _, fd, _ in rss if t >= SECONDS * WARM_UP_SHARE]
    if descriptors:
        check(descriptors[-1] <= descriptors[0] + 150, "descriptors do not pile up",
              f"{descriptors[0]} after the warm-up, {descriptors[-1]} at the end")

    post = open(f"{root}/Blog/MyFirstBlog.txt", encoding="utf-8", errors="replace", newline="").read()
    lines = post.split("\r\n")
    soak_lines = [line for line in lines if line.startswith("soak-")]
    twice = [c for c in confirmed_comments if lines.count(c) != 1]
    check(not twice, f"every one of {len(confirmed_comments)} confirmed comments is in the post "
          "exactly once", ", ".join(twice[:5]))
    extra = [c for c in unconfirmed_comments if lines.count(c) > 1]
    check(not extra, f"{len(unconfirmed_comments)} unanswered comments at most once",
          ", ".join(extra[:5]))
    known = set(confirmed_comments) | set(unconfirmed_comments)
    foreign = [line for line in soak_lines if line not in known]
    check(not foreign, "no cut or foreign comment lines", ", ".join(foreign[:5]))

    log = open(f"{srv}/tvn.log", encoding="latin-1", newline="").read()
    entry = re.compile(r"^(GET|HEAD|POST) /\S* (127\.0\.0\.\d{1,3}:\d{1,5})?$")
    log_lines = log.split("\n")
    bad = [line for line in log_lines[1:] if not entry.match(line)]
    check(log.startswith("\n") and not bad, f"all {len(log_lines) - 1} access log lines whole",
          " | ".join(bad[:5]))

    cfg = open(f"{srv}/TVN.cfg", newline="").read()
    cfg_lines = cfg.split("\n")
    bad_cfg = [line for line in cfg_lines[1:-1] if not re.match(r"^[^=\[][^=]*=", line)]
    check(cfg_lines[0] == "[SOFTWARE\\Tarvolin\\1.0]" and cfg.endswith("\n") and not bad_cfg
          and f"Port={port}\n" in cfg, "the settings file is whole", " | ".join(bad_cfg[:5]))

    total_ok = sum(v for k, v in counts.items() if k.endswith(" ok"))
    report = [f"soak of {duration:.0f} s ({duration / 60:.1f} min) on loopback",
              f"requests by kind: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())),
              f"load rounds that succeeded: {total_ok}; access log entries: {len(log_lines) - 1}",
              f"comments: {len(confirmed_comments)} confirmed, {len(unconfirmed_comments)} "
              f"without answer, {len(soak_lines)} in the post",
              "forwarder: " + ", ".join(f"{k} {v}" for k, v in forwarder.done.items()),
              "resident memory (s: kB): " + ", ".join(f"{t}: {kb}" for t, kb, _, _ in
                                                     rss[::max(1, len(rss) // 24)]),
              *checks]
    with open(f"{OUT}/report.txt", "w") as out:
        out.write("\n".join(report) + "\n")
    with open(f"{OUT}/rss.csv", "w") as out:
        out.write("seconds,rss_kb,descriptors,threads\n")
        out.writelines(f"{t},{kb},{fd},{th}\n" for t, kb, fd, th in rss)
    print("\n".join(report))
    subprocess.run(["rm", "-rf", work])
    sys.exit(0 if all(c.startswith("ok") for c in checks) else 1)


main()
