"""Read throughput of `for item in dataset` with a warm page cache.

Cases, all on a 2-worker runtime: 100-byte samples with three metadata
fields read sequentially and shuffled, and 1 MiB samples read sequentially.
Every case runs one warm-up epoch (which also fills the page cache) and then
reports the best of a few timed epochs.

    python bench/read_bench.py [--small N] [--large N] [--repeat R] [--prefetch P]
"""

import argparse
import shutil
import tempfile
import time
from types import SimpleNamespace

import pyarrow  # noqa: F401  (loads the libarrow the module links)

import _brivane


class Source:
    def __init__(self, name, count, size):
        self.name = name
        self.count = count
        self.size = size

    def __iter__(self):
        block = bytes(range(256)) * (self.size // 256 + 1)
        for i in range(self.count):
            start = i % 251
            yield block[start:start + self.size], {"label": i, "score": i * 0.5, "split": "train"}


def write(runtime, base, name, count, size):
    config = SimpleNamespace(
        max_shard_bytes=256 << 20,
        prefetch_size=64,
        shard_compression=SimpleNamespace(algo="none", ratio=1.0),
        show_progress=False,
        validate_cache=False,
    )
    [result] = _brivane.write_cache(runtime, [Source(name, count, size)], base, config, False)
    assert result[0] == "success", result
    return result[2]


def epoch_seconds(dataset):
    started = time.perf_counter()
    n = 0
    for item in dataset:
        n += 1
    elapsed = time.perf_counter() - started
    assert n == len(dataset)
    return elapsed


def run_case(label, runtime, path, shuffle, prefetch, repeat, sample_bytes):
    dataset = _brivane.CachedDataset(runtime, [path], 7, prefetch, shuffle, False)
    n = len(dataset)
    epoch_seconds(dataset)  # warm-up
    best = min(epoch_seconds(dataset) for _ in range(repeat))
    rate = n / best
    print(f"{label:<28} {n:>9} samples  {best:7.3f} s  {rate:>12,.0f} samples/s  "
          f"{rate * sample_bytes / 1e9:6.2f} GB/s")
    return rate


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--small", type=int, default=1_000_000)
    parser.add_argument("--large", type=int, default=1024)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--prefetch", type=int, default=64)
    args = parser.parse_args()

    runtime = _brivane.DatasetRuntime(2)
    base = tempfile.mkdtemp(prefix="brivane_read_bench_")
    try:
        small = write(runtime, base, "small", args.small, 100)
        large = write(runtime, base, "large", args.large, 1 << 20)
        print(f"2 workers, prefetch_size {args.prefetch}, best of {args.repeat}")
        seq = run_case("small sequential", runtime, small, False, args.prefetch, args.repeat, 100)
        shuf = run_case("small shuffled", runtime, small, True, args.prefetch, args.repeat, 100)
        run_case("1 MiB sequential", runtime, large, False, args.prefetch, args.repeat, 1 << 20)
        print(f"shuffled / sequential: {shuf / seq:.2f}")
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
