"""Soak test of one SecurityEngine shared by several threads.

    python benchmarks/bench_soak_secret.py [--threads 8] [--calls 5000]

Each thread encrypts `--calls` texts on the same engine at once; afterwards
every token is decrypted with that engine and the ones that no longer give
their text back are counted as lost (there must be none). For comparison the
same number of encryptions runs on one thread on a fresh engine, and the
ratio of the two throughputs is printed. Resident memory (/proc/self/statm)
is read before and after. Prints a table and writes
benchmarks/results/soak_secret.json.
"""

import argparse
import gc
import json
import os
import platform
import sys
import threading
import time
from pathlib import Path

from zorvane_road_objects.secret import SecurityEngine

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE // 1024


def encrypt_all(engine, threads, calls):
    """Tokens per thread, made by `threads` threads at once; and the seconds taken."""
    made = [[] for _ in range(threads)]
    start = threading.Barrier(threads + 1)

    def work(k):
        start.wait()
        out = made[k]
        for i in range(calls):
            out.append(engine.encrypt_sensitive_data(f"thread {k} record {i}"))

    workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for t in workers:
        t.start()
    t0 = time.perf_counter()
    start.wait()
    for t in workers:
        t.join()
    return made, time.perf_counter() - t0


def check_all(engine, made):
    """Tokens that no longer decrypt to their text; and the seconds taken."""
    t0 = time.perf_counter()
    lost = sum(engine.decrypt_sensitive_data(token) != f"thread {k} record {i}"
               for k, tokens in enumerate(made) for i, token in enumerate(tokens))
    return lost, time.perf_counter() - t0


def run(threads, calls):
    engine = SecurityEngine()
    made, enc_s = encrypt_all(engine, threads, calls)
    lost, dec_s = check_all(engine, made)
    total = threads * calls
    return {
        "threads": threads,
        "encryptions": total,
        "rotations": total // 1000,
        "lost_tokens": lost,
        "encrypt_s": round(enc_s, 3),
        "encrypt_per_s": round(total / enc_s),
        "decrypt_all_s": round(dec_s, 3),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--calls", type=int, default=5000, help="encryptions per thread")
    parser.add_argument("--out", type=Path,
                        default=Path(__file__).resolve().parent / "results" / "soak_secret.json")
    args = parser.parse_args()

    gc.collect()
    rss_before = rss_kib()
    shared = run(args.threads, args.calls)
    single = run(1, args.threads * args.calls)
    gc.collect()
    rss_after = rss_kib()

    head = f"{'run':22} {'encryptions':>11} {'lost':>5} {'encrypt s':>10} {'enc/s':>8} {'decrypt all s':>14}"
    print(head)
    print("-" * len(head))
    for name, r in ((f"{args.threads} threads, one engine", shared), ("1 thread", single)):
        print(f"{name:22} {r['encryptions']:>11} {r['lost_tokens']:>5} {r['encrypt_s']:>10} "
              f"{r['encrypt_per_s']:>8} {r['decrypt_all_s']:>14}")
    ratio = shared["encrypt_per_s"] / single["encrypt_per_s"]
    print(f"throughput {args.threads} threads / 1 thread: {ratio:.2f}")
    print(f"RSS {rss_before} -> {rss_after} KiB ({rss_after - rss_before:+d} KiB, after the tokens are dropped)")

    report = {
        "benchmark": "soak_secret",
        "python": sys.version.split()[0],
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "shared_engine": shared,
        "single_thread": single,
        "throughput_ratio": round(ratio, 3),
        "rss_kib_before": rss_before,
        "rss_kib_after": rss_after,
        "rss_kib_delta": rss_after - rss_before,
    }
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    print(f"written: {args.out}")
    if shared["lost_tokens"] or single["lost_tokens"]:
        raise SystemExit("tokens were lost")


if __name__ == "__main__":
    main()
