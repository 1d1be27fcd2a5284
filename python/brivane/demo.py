"""brivane demo: pack Python's own standard library into a cache with the
`brivane` command, then read it back as a training dataset would: a
sequential pass, and a shuffled epoch over only the .py files, each drawn
with a probability proportional to its size.

    python -m brivane.demo [--base-dir DIR] [--seed N]

Without --base-dir everything happens in a temporary directory that is
removed at the end.
"""

import argparse
import os
import shlex
import subprocess
import sys
import sysconfig
import tempfile
import time
from collections.abc import Sequence

import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.compute as pc  # type: ignore[import-untyped]

from .cli import format_bytes
from .dataset import open_dataset

# Third-party packages may live inside the standard library directory
# (virtualenv-less installs), and byte code is not source.
EXCLUDES = ("site-packages", "dist-packages", "__pycache__")


def _run_cli(*args: str) -> None:
    print(f"$ brivane {shlex.join(args)}", flush=True)
    subprocess.run([sys.executable, "-m", "brivane", *args], check=True)
    print(flush=True)


def _rate(count: float, seconds: float) -> float:
    return count / seconds if seconds > 0 else float("inf")


def run(base_dir: str, seed: int) -> None:
    stdlib = sysconfig.get_paths()["stdlib"]
    excludes = [arg for pattern in EXCLUDES for arg in ("--exclude", pattern)]
    _run_cli(
        "pack", stdlib, base_dir, "--name", "stdlib", "--compression", "lz4", "--max-shard-bytes", "16M",
        "--reuse", *excludes,
    )
    cache = os.path.join(base_dir, "stdlib")
    _run_cli("inspect", cache)
    _run_cli("verify", cache)

    print("== sequential pass over the whole cache")
    dataset = open_dataset(cache)
    started = time.perf_counter()
    count = size = 0
    for sample in dataset:
        count += 1
        size += len(sample.data)
    seconds = time.perf_counter() - started
    print(
        f"read {count} samples, {format_bytes(size)} in {seconds:.2f} s "
        f"({_rate(count, seconds):.0f} samples/s, {format_bytes(_rate(size, seconds))}/s)"
    )
    print()

    print(f"== shuffled epoch over the .py files, weighted by size (seed {seed})")
    dataset = open_dataset(cache, shuffle=True, seed=seed)
    table = dataset.metadata_table()
    keep = pc.and_(pc.equal(table["suffix"], ".py"), pc.greater(table["size"], 0))
    python_files = table.filter(keep)
    weights = pc.cast(python_files["size"], pa.float64())
    python_files = python_files.set_column(python_files.schema.get_field_index("weight"), "weight", weights)
    dataset.update_metadata_table(python_files)
    dataset.set_epoch_len(python_files.num_rows)
    print(
        f"active table: {table.num_rows} rows -> {python_files.num_rows} non-empty .py files "
        f"(pyarrow filter), weight = size in bytes"
    )

    started = time.perf_counter()
    count = size = 0
    suffixes: set[str] = set()
    distinct: set[tuple[int, int]] = set()
    for sample in dataset:
        count += 1
        size += len(sample.data)
        suffixes.add(str(sample.metadata["suffix"]))
        distinct.add((sample.cache_id, sample.sample_id))
    seconds = time.perf_counter() - started
    print(
        f"read {count} samples, {format_bytes(size)} in {seconds:.2f} s "
        f"({_rate(count, seconds):.0f} samples/s, {format_bytes(_rate(size, seconds))}/s)"
    )
    sizes = python_files["size"].to_pylist()
    uniform_mean = sum(sizes) / len(sizes)
    weighted_mean = sum(s * s for s in sizes) / sum(sizes)
    print(f"suffixes drawn: {', '.join(sorted(suffixes))}; {len(distinct)} distinct files (draws with replacement)")
    print(
        f"mean size drawn {format_bytes(size / count)}: size-weighted expectation {format_bytes(weighted_mean)}, "
        f"plain mean of the files {format_bytes(uniform_mean)}"
    )


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m brivane.demo", description="Pack the standard library, read it back.")
    parser.add_argument("--base-dir", help="keep the cache in this directory (default: a temporary one)")
    parser.add_argument("--seed", type=int, default=2024, help="seed of the shuffled epoch")
    args = parser.parse_args(argv)
    try:
        if args.base_dir is not None:
            run(args.base_dir, args.seed)
        else:
            with tempfile.TemporaryDirectory(prefix="brivane-demo-") as tmp:
                run(tmp, args.seed)
    except subprocess.CalledProcessError as error:
        return error.returncode or 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
