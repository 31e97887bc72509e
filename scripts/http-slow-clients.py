#!/usr/bin/env python3
"""Slow and idle clients against vx42b-poll's web server, on loopback.

Starts the poller on the built-in simulator with --http 127.0.0.1:0, then
  1. holds 100 idle connections and 8 that send one header byte every 4 s
     (each opened again when the server closes it) for 45 s, asking /metrics and
     /api/state every 2 s on a fresh connection: the answers' latency;
  2. opens 200 idle connections at once: how many connects fail, how many the
     server closes to make room, and /api/state's latency beside them.
Usage: scripts/http-slow-clients.py [build/tools/poll/vx42b-poll]
"""
import json
import re
import socket
import statistics
import subprocess
import sys
import threading
import time

POLL = sys.argv[1] if len(sys.argv) > 1 else "build/tools/poll/vx42b-poll"


def start():
    proc = subprocess.Popen([POLL, "--json", "--http", "127.0.0.1:0"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    for line in proc.stdout:
        m = re.search(r"http: serving http://127\.0\.0\.1:(\d+)/", json.loads(line).get("text", ""))
        if m:
            threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()
            return proc, int(m.group(1))
    raise SystemExit("the poller did not say its port")


def ask(port, path, timeout=20.0):
    """Seconds until the whole answer, or None."""
    started = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
            data = b""
            while chunk := s.recv(65536):
                data += chunk
        return time.monotonic() - started if data.startswith(b"HTTP/1.1 200") else None
    except OSError:
        return None


def slow_sender(port, stop, closed):
    request = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 1000
    while not stop.is_set():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                for byte in request:
                    s.sendall(bytes([byte]))
                    s.settimeout(4)
                    try:
                        s.recv(4096)  # the 408, or the close
                        closed[0] += 1
                        break
                    except socket.timeout:
                        pass
                    if stop.is_set():
                        break
        except OSError:
            closed[0] += 1
            time.sleep(0.1)


def idle_keeper(port, count, stop, closed):
    """Holds `count` idle connections, replacing those the server closes."""
    held, _ = idle_connections(port, count)
    while not stop.wait(0.5):
        for k, s in enumerate(held):
            if closed_by_server([s]):
                closed[0] += 1
                s.close()
                try:
                    held[k] = socket.create_connection(("127.0.0.1", port), timeout=2)
                except OSError:
                    pass
    for s in held:
        s.close()


def idle_connections(port, count):
    held, failed = [], 0
    for _ in range(count):
        try:
            held.append(socket.create_connection(("127.0.0.1", port), timeout=2))
        except OSError:
            failed += 1
    return held, failed


def closed_by_server(sockets):
    n = 0
    for s in sockets:
        s.setblocking(False)
        try:
            if s.recv(1) == b"":
                n += 1
        except BlockingIOError:
            pass
        except OSError:
            n += 1
    return n


def main():
    proc, port = start()
    try:
        stop, closed, idle_closed = threading.Event(), [0], [0]
        senders = [threading.Thread(target=slow_sender, args=(port, stop, closed), daemon=True) for _ in range(8)]
        senders.append(threading.Thread(target=idle_keeper, args=(port, 100, stop, idle_closed), daemon=True))
        for t in senders:
            t.start()
        time.sleep(5)
        latencies, failures = [], 0
        end = time.monotonic() + 45
        while time.monotonic() < end:
            for path in ("/metrics", "/api/state"):
                got = ask(port, path)
                if got is None:
                    failures += 1
                else:
                    latencies.append(got)
            time.sleep(2)
        stop.set()
        print(f"8 slow senders + 100 idle: {len(latencies)} answers, {failures} failed, "
              f"median {statistics.median(latencies) * 1000:.1f} ms, max {max(latencies) * 1000:.1f} ms; "
              f"closed by the server (and opened again): slow {closed[0]}, idle {idle_closed[0]}")
        time.sleep(1)

        held, failed = idle_connections(port, 200)
        got = ask(port, "/api/state")
        time.sleep(0.5)
        print(f"200 idle connects: {failed} failed to connect, {closed_by_server(held)} closed by the server "
              f"to make room; /api/state beside them: "
              f"{'failed' if got is None else f'{got * 1000:.1f} ms'}")
        for s in held:
            s.close()
    finally:
        proc.terminate()
        proc.wait(timeout=20)


if __name__ == "__main__":
    main()
