#!/usr/bin/env python3
"""Figures of the bench host's HTTP server against the built-in simulator: API latency, page
weight, memory per event-stream client, and round spacing with 50 event-stream clients.
usage: http_figures.py KELVRA_HOST"""
import http.client
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import time


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))


def get(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request("GET", path)
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return response.status, body


def round_gaps(port, seconds):
    """Seconds between completed rounds, from the event stream, over `seconds`."""
    stream = socket.create_connection(("127.0.0.1", port), timeout=10)
    stream.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: x\r\n\r\n")
    stamps, text, end = [], b"", time.time() + seconds
    stream.settimeout(1)
    while time.time() < end:
        try:
            text += stream.recv(65536)
        except socket.timeout:
            continue
        while b"\n\n" in text:
            event, text = text.split(b"\n\n", 1)
            if event.startswith(b"event: round"):
                stamps.append(time.time())
    stream.close()
    return [b - a for a, b in zip(stamps, stamps[1:])]


def main():
    host = sys.argv[1]
    work = tempfile.mkdtemp(prefix="kelvra-http-figures-")
    run = subprocess.Popen([host, "run", "--http", "127.0.0.1:0", "--db", f"{work}/h.db",
                            "--duration", "300"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True)
    port = None
    while port is None:
        line = run.stdout.readline()
        found = re.search(r"dashboard on http://127.0.0.1:(\d+)/", line)
        port = int(found.group(1)) if found else None
    time.sleep(5)

    for path in ["/api/v1/devices", "/api/v1/devices/power1/record", "/metrics",
                 "/api/v1/history/series?device=power1&field=dc.out_v",
                 "/api/v1/history/events?limit=100"]:
        times = []
        for _ in range(200):
            start = time.perf_counter()
            status, _ = get(port, path)
            times.append((time.perf_counter() - start) * 1000)
            assert status == 200, (path, status)
        times.sort()
        print(f"latency {path}: median {statistics.median(times):.2f} ms, "
              f"p99 {times[int(len(times) * 0.99) - 1]:.2f} ms (200 requests, one at a time)")

    weight = 0
    files = ["/", "/dashboard.js", "/plots.js", "/dashboard.css", "/uPlot.iife.min.js", "/uPlot.min.css"]
    for path in files:
        weight += len(get(port, path)[1])
    print(f"page weight: {weight} bytes over {len(files)} files, uncompressed")

    quiet = round_gaps(port, 20)
    before = rss_kib(run.pid)
    clients = []
    for _ in range(50):
        client = socket.create_connection(("127.0.0.1", port), timeout=10)
        client.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: x\r\n\r\n")
        clients.append(client)
    time.sleep(3)
    after = rss_kib(run.pid)
    print(f"resident set: {before} KiB before, {after} KiB with 50 event-stream clients: "
          f"{(after - before) / 50:.1f} KiB per client")
    # The 50 clients read their streams in a thread-free loop below; rounds are timed meanwhile.
    for client in clients:
        client.setblocking(False)
    loaded, end = [], time.time() + 20
    stream = socket.create_connection(("127.0.0.1", port), timeout=10)
    stream.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: x\r\n\r\n")
    stream.setblocking(False)
    text, stamps = b"", []
    while time.time() < end:
        for client in clients:
            try:
                client.recv(65536)
            except BlockingIOError:
                pass
        try:
            text += stream.recv(65536)
        except BlockingIOError:
            time.sleep(0.01)
        while b"\n\n" in text:
            event, text = text.split(b"\n\n", 1)
            if event.startswith(b"event: round"):
                stamps.append(time.time())
    loaded = [b - a for a, b in zip(stamps, stamps[1:])]
    for name, gaps in (("no stream clients", quiet), ("50 stream clients", loaded)):
        print(f"round spacing, {name}: mean {statistics.mean(gaps):.3f} s, "
              f"max {max(gaps):.3f} s over {len(gaps)} rounds")
    status, body = get(port, "/metrics")
    print([line for line in body.decode().splitlines() if line.startswith("kelvra_timeouts_total")])
    for client in clients:
        client.close()
    run.terminate()
    run.wait()


if __name__ == "__main__":
    main()
