#!/usr/bin/env python3
"""Floods tarvolin-relay the way one hostile client can, and tells whether a fresh browser
and fresh servers are still served, with the relay's peak memory.

  browsers-one   800 TCP connections from 127.0.0.1 that each send one byte and hold on
  browsers-many  800 such connections from 25 addresses (32 each)
  trickle        the 800 of browsers-one sending one more byte every 10 s: how many the relay
                 still holds after 40 s
  names          4090 registrations of different names from one address and port within about
                 a second, then 10 servers from 10 other addresses each register one name

Runs itself inside a private network namespace with only loopback.
Usage: bench/relay_flood.py [RELAY_BIN] (default build/tarvolin-relay)
"""
import os
import select
import socket
import struct
import subprocess
import sys
import time

HTTP_PORT = 18081
UDP_PORT = 11212


def enter_namespace():
    if os.environ.get("RELAY_FLOOD_NS") == "1":
        return
    os.environ["RELAY_FLOOD_NS"] = "1"
    script = os.path.abspath(__file__)
    args = " ".join([sys.executable, script] + sys.argv[1:])
    os.execvp("unshare", ["unshare", "-n", "--", "bash", "-c", "ip link set lo up && exec " + args])


def status_kb(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


def start_relay(binary):
    relay = subprocess.Popen(
        [binary, "--bind", "127.0.0.1", "--http-port", str(HTTP_PORT), "--udp-port", str(UDP_PORT),
         "--name", "relay.example"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=1).close()
            return relay
        except OSError:
            time.sleep(0.02)
    raise SystemExit("the relay does not listen")


def fresh_browser(source="127.0.0.200"):
    """True when a browser from `source` gets the relay's own answer within 5 s."""
    try:
        s = socket.socket()
        s.settimeout(5)
        s.bind((source, 0))
        s.connect(("127.0.0.1", HTTP_PORT))
        s.sendall(b"GET /zadizo/request.php?time=60&max=1&prec=1&lon=0&lat=0 HTTP/1.0\r\n"
                  b"Host: relay.example\r\n\r\n")
        answer = s.recv(64)
        s.close()
        return answer.startswith(b"HTTP/1.0 200 ")
    except OSError:
        return False


def fresh_server_and_request(name, source="127.0.1.50"):
    """(registration answered, a browser's request for `name` reached the server) for a new
    server on `source`."""
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind((source, 0))
    server.settimeout(2)
    server.sendto(registration(name), ("127.0.0.1", UDP_PORT))
    try:
        answered = server.recv(64)[:1] == b"\x0c"
    except OSError:
        answered = False
    reached = False
    try:
        browser = socket.socket()
        browser.settimeout(5)
        browser.bind(("127.0.0.201", 0))
        browser.connect(("127.0.0.1", HTTP_PORT))
        browser.sendall(b"GET / HTTP/1.0\r\nHost: " + name.encode() + b"\r\n\r\n")
        server.settimeout(5)
        reached = server.recv(2048)[:1] == b"\x01"
        browser.close()
    except OSError:
        pass
    server.close()
    return answered, reached


def flood_browsers(addresses, per_address):
    held = []
    for a in addresses:
        for _ in range(per_address):
            s = socket.socket()
            s.setblocking(False)
            s.bind((a, 0))
            try:
                s.connect(("127.0.0.1", HTTP_PORT))
            except BlockingIOError:
                pass
            held.append(s)
    # Every connection made (a SYN the full listen queue dropped is sent again after 1 s, 3 s)
    # before the probes, or a probe could slip in ahead of part of the flood.
    waiting = list(held)
    deadline = time.monotonic() + 15
    while waiting and time.monotonic() < deadline:
        _, ready, _ = select.select([], waiting[:500], [], 0.5)
        waiting = [s for s in waiting if s not in ready]
    time.sleep(1)
    send_each(held, b"G")
    time.sleep(1)
    return held


def send_each(held, byte):
    """Sends `byte` on each of `held` that the relay has not closed."""
    for s in held:
        try:
            s.send(byte)
        except OSError:
            pass


def still_open(held):
    """How many of `held` the relay has not closed."""
    count = 0
    for s in held:
        try:
            s.recv(4096)  # an end, or the relay's answer before its end
        except BlockingIOError:
            count += 1
        except OSError:
            pass
    return count


def registration(name):
    return struct.pack("<BxxxiIHH", 8, 0, 0, 0, 0) + name.encode() + b"\0"


def run_browsers(binary, label, addresses, per_address, trickle):
    relay = start_relay(binary)
    base = status_kb(relay.pid, "VmRSS")
    held = flood_browsers(addresses, per_address)
    served = fresh_browser()
    answered, reached = fresh_server_and_request("fresh.example")
    print(f"{label}: {len(held)} connections; fresh browser served: {served}; fresh server "
          f"answered: {answered}, its request reached it: {reached}; "
          f"relay RSS idle {base} kB, peak {status_kb(relay.pid, 'VmHWM')} kB")
    if trickle:
        for _ in range(4):
            time.sleep(10)
            send_each(held, b"E")
        print(f"  after 40 s of one byte every 10 s: {still_open(held)} still held by the "
              f"relay; fresh browser served: {fresh_browser()}")
    for s in held:
        s.close()
    relay.kill()
    relay.wait()


def run_names(binary):
    relay = start_relay(binary)
    base = status_kb(relay.pid, "VmRSS")
    flood = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    flood.bind(("127.0.0.1", 0))
    flood.setblocking(False)
    start = time.monotonic()
    replies = 0
    for i in range(4090):
        flood.sendto(registration(f"n{i}.flood.example"), ("127.0.0.1", UDP_PORT))
        if i % 64 == 63:
            time.sleep(0.01)  # the relay reads 64 datagrams a wake-up; keep the queue short
            while True:
                try:
                    flood.recv(64)
                    replies += 1
                except BlockingIOError:
                    break
    spent = time.monotonic() - start
    time.sleep(0.5)
    while True:
        try:
            flood.recv(64)
            replies += 1
        except BlockingIOError:
            break
    answered = 0
    for k in range(10):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((f"127.0.1.{k + 1}", 0))
        s.settimeout(2)
        s.sendto(registration(f"fresh{k}.example"), ("127.0.0.1", UDP_PORT))
        try:
            answered += s.recv(64)[:1] == b"\x0c"
        except OSError:
            pass
        s.close()
    served = fresh_browser()
    _, reached = fresh_server_and_request("late.example", "127.0.1.20")
    print(f"names: 4090 sent in {spent:.2f} s, {replies} answered; fresh servers answered: "
          f"{answered} of 10, a request for one more reached it: {reached}; fresh browser served: "
          f"{served}; relay RSS idle {base} kB, peak {status_kb(relay.pid, 'VmHWM')} kB")
    relay.kill()
    relay.wait()


def main():
    enter_namespace()
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/tarvolin-relay"
    import resource
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
    run_browsers(binary, "browsers-one", ["127.0.0.1"], 800, trickle=True)
    run_browsers(binary, "browsers-many", [f"127.0.2.{i + 1}" for i in range(25)], 32,
                 trickle=False)
    run_names(binary)


if __name__ == "__main__":
    main()
