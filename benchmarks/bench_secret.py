"""Throughput and memory figures of the security toolkit `secret`.

    python benchmarks/bench_secret.py [--calls 100000]

Prints a table and writes benchmarks/results/secret.json. Memory is read from
/proc/self/statm (resident set) together with the collector's object count and
the interpreter's allocated block count, before and after the encrypt/decrypt
loop; a sample every tenth of the loop shows whether the curve is flat.
"""

import argparse
import array
import gc
import json
import os
import platform
import sys
import time
from pathlib import Path

from cryptography.fernet import Fernet

from zorvane_road_objects.secret import KeyVault, SecurityEngine, TokenEngine

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


FIELDS = ("calls", "rss_kib", "gc_objects", "allocated_blocks")


def memory_point(store, row, calls):
    """Writes one sample into the preallocated array `store` (no allocation kept)."""
    gc.collect()
    base = row * len(FIELDS)
    store[base] = calls
    store[base + 1] = rss_bytes() // 1024
    store[base + 2] = len(gc.get_objects())
    store[base + 3] = sys.getallocatedblocks()


def rate(fn, n):
    """Calls per second and microseconds per call of fn(i) over n calls."""
    start = time.perf_counter()
    for i in range(n):
        fn(i)
    elapsed = time.perf_counter() - start
    return {"calls": n, "per_second": round(n / elapsed), "us_per_call": round(elapsed / n * 1e6, 2)}


def throughput(n):
    engine, reader = SecurityEngine(), SecurityEngine()  # the reader never rotates
    text = "road object record 0123456789 " * 2  # 60 characters
    token = reader.encrypt_sensitive_data(text)
    results = {
        "SecurityEngine()": rate(lambda i: SecurityEngine(), max(n // 100, 10)),
        "encrypt_sensitive_data (60 chars)": rate(lambda i: engine.encrypt_sensitive_data(text), n),
        "decrypt_sensitive_data (current key)": rate(lambda i: reader.decrypt_sensitive_data(token), n),
        "decrypt_sensitive_data (not a token)": rate(lambda i: reader.decrypt_sensitive_data(b"x"), n),
    }
    # After rotations: a token of the first key and a foreign token try every key.
    rotated = SecurityEngine()
    first = rotated.encrypt_sensitive_data(text)
    for _ in range(9999):
        rotated.encrypt_sensitive_data("x")
    foreign = Fernet(Fernet.generate_key()).encrypt(b"\x01\x00\x00\x00x")
    results["decrypt, oldest of 11 keys"] = rate(lambda i: rotated.decrypt_sensitive_data(first),
                                                 max(n // 10, 10))
    results["decrypt, foreign token, 11 keys"] = rate(
        lambda i: rotated.decrypt_sensitive_data(foreign), max(n // 10, 10))
    tokens = TokenEngine()
    results["generate_auth_token"] = rate(lambda i: tokens.generate_auth_token("driver-17", "pw"), n)
    results["generate_auth_token (escaped name)"] = rate(
        lambda i: tokens.generate_auth_token('dri"ver\n17', "pw"), n)
    results["validate_auth_token"] = rate(lambda i: tokens.validate_auth_token("a.b.c"), n)
    vault = KeyVault()

    def refused(i):
        try:
            vault.retrieve_secret("k")
        except ValueError:
            pass

    results["retrieve_secret (refused)"] = rate(refused, n)
    return results


def memory(calls):
    engine = SecurityEngine()
    for i in range(2000):  # warm-up: caches, free lists, first rotations
        assert engine.decrypt_sensitive_data(engine.encrypt_sensitive_data(f"warm {i}")) == f"warm {i}"
    step = max(calls // 10, 1)
    rows = calls // step + 1
    store = array.array("q", bytes(8 * len(FIELDS) * rows))
    memory_point(store, 0, 0)
    for i in range(1, calls + 1):
        token = engine.encrypt_sensitive_data(f"record {i}")
        if engine.decrypt_sensitive_data(token) != f"record {i}":
            raise AssertionError(f"round trip failed at call {i}")
        if i % step == 0:
            memory_point(store, i // step, i)
    samples = [dict(zip(FIELDS, store[r * len(FIELDS):(r + 1) * len(FIELDS)])) for r in range(rows)]
    before, after = samples[0], samples[-1]
    return {
        "calls": calls,
        "note": "each call is one encrypt_sensitive_data and one decrypt_sensitive_data; "
                "the engine keeps 32 bytes per rotation (one rotation per 1000 calls)",
        "rss_kib_before": before["rss_kib"],
        "rss_kib_after": after["rss_kib"],
        "rss_kib_delta": after["rss_kib"] - before["rss_kib"],
        "gc_objects_delta": after["gc_objects"] - before["gc_objects"],
        "allocated_blocks_delta": after["allocated_blocks"] - before["allocated_blocks"],
        "samples": samples,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000,
                        help="encrypt/decrypt pairs in the memory loop (default 100000)")
    parser.add_argument("--rate-calls", type=int, default=20_000,
                        help="calls per throughput figure (default 20000)")
    parser.add_argument("--out", type=Path,
                        default=Path(__file__).resolve().parent / "results" / "secret.json")
    args = parser.parse_args()

    speeds = throughput(args.rate_calls)
    mem = memory(args.calls)

    print(f"{'operation':42} {'calls/s':>10} {'us/call':>9}")
    for name, r in speeds.items():
        print(f"{name:42} {r['per_second']:>10} {r['us_per_call']:>9}")
    print()
    print(f"memory over {mem['calls']} encrypt+decrypt calls:")
    print(f"{'calls':>8} {'RSS KiB':>9} {'gc objects':>11} {'blocks':>9}")
    for s in mem["samples"]:
        print(f"{s['calls']:>8} {s['rss_kib']:>9} {s['gc_objects']:>11} {s['allocated_blocks']:>9}")
    print(f"RSS {mem['rss_kib_before']} -> {mem['rss_kib_after']} KiB "
          f"({mem['rss_kib_delta']:+d} KiB), gc objects {mem['gc_objects_delta']:+d}, "
          f"allocated blocks {mem['allocated_blocks_delta']:+d}")

    args.out.parent.mkdir(parents=True, exist_ok=True)
    report = {
        "python": sys.version.split()[0],
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "throughput": speeds,
        "memory": mem,
    }
    args.out.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    print(f"written: {args.out}")


if __name__ == "__main__":
    main()
