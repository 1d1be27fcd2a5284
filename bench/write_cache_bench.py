"""Throughput of write_cache from in-memory generators.

Cases: 1 KiB samples with three metadata fields (compression none and lz4),
and 256 KiB samples (none), on a 2-worker runtime. The large case is compared
with this machine's own SHA-256 + buffered-write rate, measured in the same run.
Finally one profiled run shows where the time goes.

    python bench/write_cache_bench.py [--small N] [--large N]
"""

import argparse
import hashlib
import json
import os
import shutil
import tempfile
import time
from types import SimpleNamespace

import pyarrow  # noqa: F401  (loads the libarrow the module links)

import _brivane


class Source:
    def __init__(self, name, count, size, distinct=64):
        self.name = name
        self.count = count
        payloads = [os.urandom(size // 2) + bytes(size - size // 2) for _ in range(distinct)]
        self.items = [(payloads[i], {"label": i, "score": i * 0.5, "split": "train"}) for i in range(distinct)]

    def __iter__(self):
        items, n = self.items, len(self.items)
        for i in range(self.count):
            yield items[i % n]


def config(algo, profile_path=None):
    settings = dict(
        max_shard_bytes=256 << 20,
        prefetch_size=64,
        shard_compression=SimpleNamespace(algo=algo, ratio=1.0),
        show_progress=False,
        validate_cache=False,
    )
    if profile_path:
        settings["profiler"] = SimpleNamespace(enabled=True, path=profile_path)
    return SimpleNamespace(**settings)


def timed_write(runtime, base, source, algo, profile_path=None):
    shutil.rmtree(base, ignore_errors=True)
    started = time.perf_counter()
    [result] = _brivane.write_cache(runtime, [source], base, config(algo, profile_path), False)
    elapsed = time.perf_counter() - started
    assert result[0] == "success", result
    return elapsed


def sha256_write_rate(directory, size, count):
    """MB/s of hashing and writing `count` buffers of `size` bytes."""
    payload = os.urandom(size)
    path = os.path.join(directory, "baseline.bin")
    started = time.perf_counter()
    digest = hashlib.sha256()
    with open(path, "wb", buffering=8192) as f:
        for _ in range(count):
            digest.update(payload)
            f.write(payload)
    digest.hexdigest()
    elapsed = time.perf_counter() - started
    os.unlink(path)
    return size * count / elapsed / 1e6


def report(label, count, size, elapsed):
    print(f"{label:<28} {count / elapsed:>12,.0f} samples/s {count * size / elapsed / 1e6:>10,.1f} MB/s"
          f"   ({count} samples in {elapsed:.3f} s)")


def best_of(repeats, run):
    return min(run() for _ in range(repeats))


def stage_breakdown(path):
    with open(path) as f:
        data = json.load(f)
    total = data["elapsed_ns"]
    print(f"  profile: elapsed {total / 1e9:.3f} s")
    for source in data["sources"]:
        for stage in sorted(source["stages"], key=lambda s: -s["total_ns"]):
            share = 100.0 * stage["total_ns"] / total if total else 0.0
            per_call = stage["total_ns"] / stage["calls"] if stage["calls"] else 0
            print(f"    {stage['name']:<18} {stage['calls']:>9} calls {stage['total_ns'] / 1e6:>10.1f} ms"
                  f" {share:>6.1f}%  {per_call:>9.0f} ns/call")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--small", type=int, default=300_000)
    parser.add_argument("--large", type=int, default=1_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    runtime = _brivane.DatasetRuntime(2)
    work = tempfile.mkdtemp(prefix="brivane_bench_")
    try:
        base = os.path.join(work, "caches")
        small = 1024
        for algo in ("none", "lz4"):
            source = Source("small", args.small, small)
            elapsed = best_of(args.repeats, lambda: timed_write(runtime, base, source, algo))
            report(f"1 KiB x3 fields, {algo}", args.small, small, elapsed)

        large = 256 * 1024
        source = Source("large", args.large, large, distinct=8)
        elapsed = best_of(args.repeats, lambda: timed_write(runtime, base, source, "none"))
        report("256 KiB, none", args.large, large, elapsed)
        written = args.large * large / elapsed / 1e6
        baseline = best_of(args.repeats, lambda: -sha256_write_rate(work, large, args.large))
        baseline = -baseline
        print(f"{'sha256 + buffered write':<28} {'':>12}            {baseline:>10,.1f} MB/s")
        print(f"large samples reach {100.0 * written / baseline:.0f}% of the sha256 + write rate")

        profile = os.path.join(work, "profile.json")
        source = Source("small", args.small, small)
        elapsed = timed_write(runtime, base, source, "none", profile)
        report("1 KiB, none, profiled", args.small, small, elapsed)
        stage_breakdown(profile)
        source = Source("large", args.large, large, distinct=8)
        elapsed = timed_write(runtime, base, source, "none", profile)
        report("256 KiB, none, profiled", args.large, large, elapsed)
        stage_breakdown(profile)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
