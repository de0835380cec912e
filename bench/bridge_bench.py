#!/usr/bin/env python3
"""Throughput of vornex-port: lookups through one process, messages between
two, and an 8 MiB payload end to end. Prints one line per figure."""
import base64
import os
import subprocess
import sys
import threading
import time

tool = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "build", "bin", "vornex-port")
tag = str(os.getpid())


def start(*names):
    p = subprocess.Popen([tool, "listen", *names], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    p.stdout.readline()  # ready
    return p


def feed(p, data):
    t = threading.Thread(target=lambda: (p.stdin.write(data), p.stdin.flush()))
    t.start()
    return t


def count_lines(p, n):
    """Reads until n lines have arrived."""
    seen = 0
    while seen < n:
        chunk = p.stdout.read1(1 << 16)
        if not chunk:
            raise RuntimeError("output ended early")
        seen += chunk.count(b"\n")


def drain(p):
    t = threading.Thread(target=lambda: [None for _ in iter(lambda: p.stdout.read1(1 << 16), b"")], daemon=True)
    t.start()


def answers_per_second(p, line, n):
    """Pipes n copies of one command line through p and times the n answers."""
    t0 = time.perf_counter()
    w = feed(p, line * n)
    count_lines(p, n)
    dt = time.perf_counter() - t0
    w.join()
    return n / dt


def lookups(n=200000):
    a = start("bench.a." + tag)
    rate = answers_per_second(a, b'{"cmd":"lookup","target":"bench.a.%s","id":1}\n' % tag.encode(), n)
    a.kill()
    return rate


def messages(n=50000):
    a = start("bench.m." + tag)
    b = start("bench.n." + tag)
    drain(a)
    rate = answers_per_second(b, b'{"cmd":"send","target":"bench.m.%s","data":"aGVsbG8="}\n' % tag.encode(), n)
    for p in (a, b):
        p.kill()
    return rate


def payload(size=8 << 20, rounds=10):
    a = start("bench.p." + tag)
    b = start("bench.q." + tag)
    line = b'{"cmd":"send","target":"bench.p.%s","data":"%s"}\n' % (tag.encode(), base64.b64encode(os.urandom(size)))
    best = None
    for _ in range(rounds):
        t0 = time.perf_counter()
        w = feed(b, line)
        a.stdout.readline()
        dt = time.perf_counter() - t0
        b.stdout.readline()
        w.join()
        best = dt if best is None else min(best, dt)
    for p in (a, b):
        p.kill()
    return size / best / 1e6


print(f"lookups per second through one process: {lookups():,.0f}")
print(f"messages per second between two processes: {messages():,.0f}")
print(f"8 MiB payload end to end: {payload():,.0f} MB/s")
