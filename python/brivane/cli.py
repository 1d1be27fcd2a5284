"""The `brivane` command: pack directories into caches, inspect, verify and
peek into them.

Exit codes: 0 success, 1 the operation failed (a cache could not be written,
read or verified), 2 bad command-line input, 130 interrupted.
"""

import argparse
import fnmatch
import json
import os
import sys
import time
from collections.abc import Iterator, Sequence

import _brivane

from ._runtime import default_num_workers, make_runtime
from .config import ShardCompression, WriterConfig, stderr_is_terminal
from .dataset import open_dataset
from .manifest import CacheInfo, read_cache_info
from .sources import CacheInput, CacheSource, check_source_name
from .writer import write_cache

__all__ = ["main", "walk_files", "format_bytes"]

PROG = "brivane"


class CliError(Exception):
    def __init__(self, message: str, code: int = 1) -> None:
        super().__init__(message)
        self.code = code


def format_bytes(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(count) < 1024 or unit == "TiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def _rate(amount: float, seconds: float) -> float:
    return amount / seconds if seconds > 0 else float("inf")


def parse_size(text: str) -> int:
    """A byte count, optionally with a binary suffix: 4096, 64K, 256M, 1G."""
    units = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
    value = text.strip().upper().removesuffix("IB").removesuffix("B")
    suffix = value[-1:] if value[-1:] in units else ""
    try:
        number = int(value[: len(value) - len(suffix)]) * units[suffix]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (examples: 4096, 64K, 256M, 1G)") from None
    if number <= 0:
        raise argparse.ArgumentTypeError(f"size must be greater than zero: {text!r}")
    return number


def _count(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if number < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    return number


def _workers(text: str) -> int:
    number = _count(text)
    if number == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return number


def walk_files(root: str, exclude: Sequence[str] = ()) -> Iterator[tuple[str, str]]:
    """(path, path relative to root) of every regular file under root, in
    sorted order. Symbolic links are not followed. A file or directory whose
    name or relative path matches an `exclude` glob is skipped."""

    def excluded(name: str, rel: str) -> bool:
        return any(fnmatch.fnmatchcase(name, p) or fnmatch.fnmatchcase(rel, p) for p in exclude)

    def walk(directory: str, prefix: str) -> Iterator[tuple[str, str]]:
        with os.scandir(directory) as scan:
            entries = sorted(scan, key=lambda e: e.name)
        for entry in entries:
            rel = prefix + entry.name
            if excluded(entry.name, rel):
                continue
            if entry.is_dir(follow_symlinks=False):
                yield from walk(entry.path, rel + "/")
            elif entry.is_file(follow_symlinks=False):
                yield entry.path, rel

    return walk(root, "")


def _display(path_text: str) -> str:
    # Metadata strings must be valid UTF-8; keep undecodable name bytes visible.
    return os.fsencode(path_text).decode("utf-8", "backslashreplace")


class _FileSource:
    """Every regular file under a directory, one sample per file."""

    def __init__(self, root: str, exclude: Sequence[str]) -> None:
        self.root = root
        self.exclude = exclude
        self.files = 0
        self.bytes = 0

    def __iter__(self) -> Iterator[CacheInput]:
        for path, rel in walk_files(self.root, self.exclude):
            with open(path, "rb") as f:
                data = f.read()
            self.files += 1
            self.bytes += len(data)
            yield CacheInput(data, {"path": _display(rel), "size": len(data), "suffix": _display(os.path.splitext(rel)[1])})


def cmd_pack(args: argparse.Namespace) -> int:
    src = args.src_dir
    if not os.path.isdir(src):
        raise CliError(f"not a directory: {src}", 2)
    name = args.name if args.name is not None else os.path.basename(os.path.abspath(src))
    try:
        check_source_name(name)
    except ValueError as error:
        raise CliError(f"{error} (choose one with --name)", 2) from None
    config = WriterConfig(
        max_shard_bytes=args.max_shard_bytes,
        shard_compression=ShardCompression(args.compression),
        show_progress=args.progress,
    )
    files = _FileSource(src, args.exclude)
    started = time.perf_counter()
    [result] = write_cache(
        [CacheSource(name, files)],
        args.base_dir,
        config,
        runtime=make_runtime(args.workers),
        reuse_existing=args.reuse,
    )
    seconds = time.perf_counter() - started
    if not result.ok:
        if files.files == 0 and "no samples" in result.detail:
            raise CliError(f"no regular files to pack under {src}")
        raise CliError(result.detail)
    info = read_cache_info(result.detail)
    print(
        f"packed {info.sample_count} files ({format_bytes(info.data_bytes)}) from {src} into {result.detail} "
        f"in {seconds:.2f} s ({format_bytes(_rate(info.data_bytes, seconds))}/s, "
        f"{_rate(info.sample_count, seconds):.0f} files/s); "
        f"{len(info.shards)} shard(s), {format_bytes(info.stored_bytes)} stored"
    )
    return 0


def _describe(info: CacheInfo) -> list[tuple[str, str]]:
    algos = sorted({(s.algo, s.ratio) for s in info.shards})
    compression = ", ".join(f"{algo} (ratio {ratio})" for algo, ratio in algos) or "-"
    ratio = f" ({info.data_bytes / info.stored_bytes:.2f}x)" if info.stored_bytes else ""
    rows = [
        ("cache", info.path),
        ("source", info.source_name),
        ("format", str(info.format_version)),
        ("samples", str(info.sample_count)),
        ("schema", ", ".join(f"{f.name}: {f.kind}" for f in info.schema) or "(no metadata)"),
        ("compression", compression),
        ("data", f"{format_bytes(info.data_bytes)} raw, {format_bytes(info.stored_bytes)} stored{ratio}"),
    ]
    for name in ("index.bin", "metadata.arrow"):
        size = info.file_size(name)
        rows.append((name, "missing" if size is None else format_bytes(size)))
    rows.append(("shards", str(len(info.shards))))
    return rows


def cmd_inspect(args: argparse.Namespace) -> int:
    info = read_cache_info(args.cache)
    for key, value in _describe(info):
        print(f"{key:<15}{value}")
    for shard in info.shards:
        print(
            f"  {shard.name}  {format_bytes(shard.byte_len):>10} stored  "
            f"{format_bytes(shard.uncompressed_byte_len):>10} raw  sha256 {shard.sha256[:16]}"
        )
    return 0


def _verify_one(runtime: _brivane.DatasetRuntime, path: str) -> str:
    started = time.perf_counter()
    dataset = open_dataset(path, validate=True, runtime=runtime)
    expected = len(dataset)
    count = size = 0
    for data, _, _, _ in dataset:
        count += 1
        size += len(data)
    if count != expected:
        raise ValueError(f"read {count} samples, expected {expected}")
    seconds = time.perf_counter() - started
    return f"{count} samples, {format_bytes(size)} verified in {seconds:.2f} s"


def cmd_verify(args: argparse.Namespace) -> int:
    runtime = make_runtime(args.workers)
    failures = 0
    for path in args.caches:
        try:
            summary = _verify_one(runtime, path)
        except (ValueError, RuntimeError, OSError) as error:
            failures += 1
            print(f"FAIL {path}: {error}", flush=True)
        else:
            print(f"ok   {path}: {summary}", flush=True)
    if failures:
        print(f"{PROG} verify: {failures} of {len(args.caches)} cache(s) failed", file=sys.stderr)
        return 1
    return 0


def cmd_head(args: argparse.Namespace) -> int:
    dataset = open_dataset(args.cache, prefetch_size=16, num_workers=2)
    count = min(args.n, len(dataset))
    print(f"{'sample_id':>9}  {'bytes':>10}  metadata")
    if count == 0:
        return 0
    dataset.set_epoch_len(count)
    for sample in dataset:
        meta = json.dumps(sample.metadata, ensure_ascii=False)
        print(f"{sample.sample_id:>9}  {len(sample.data):>10}  {meta}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Write, inspect and verify brivane sample caches."
    )
    from . import __version__

    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    pack = commands.add_parser(
        "pack",
        help="write every regular file under a directory into one cache",
        description="Write every regular file under SRC_DIR as one sample of the cache BASE_DIR/NAME, "
        "with metadata path (relative, '/'-separated), size (bytes) and suffix.",
    )
    pack.add_argument("src_dir", metavar="SRC_DIR")
    pack.add_argument("base_dir", metavar="BASE_DIR")
    pack.add_argument("--name", help="cache name (default: the name of SRC_DIR)")
    pack.add_argument("--compression", choices=("lz4", "none"), default="none", help="payload compression (default: none)")
    pack.add_argument(
        "--max-shard-bytes", type=parse_size, default=WriterConfig.max_shard_bytes, metavar="SIZE",
        help="shard file size limit, e.g. 64M (default: 256M)",
    )
    pack.add_argument(
        "--exclude", action="append", default=[], metavar="GLOB",
        help="skip files and directories whose name or relative path matches GLOB (repeatable)",
    )
    pack.add_argument("--reuse", action="store_true", help="keep an existing cache of the same name instead of failing")
    pack.add_argument("--workers", type=_workers, default=None, metavar="N", help="runtime threads (default: CPUs)")
    pack.add_argument(
        "--progress", action=argparse.BooleanOptionalAction, default=None,
        help="draw progress on stderr (default: when stderr is a terminal)",
    )
    pack.set_defaults(run=cmd_pack)

    inspect = commands.add_parser("inspect", help="show what a cache holds (from its manifest)")
    inspect.add_argument("cache", metavar="CACHE")
    inspect.set_defaults(run=cmd_inspect)

    verify = commands.add_parser(
        "verify", help="re-hash every file of caches and read every sample",
        description="Validate each CACHE completely: digests of every file, then every sample read back. "
        "Prints one line per cache; exits 1 if any cache fails.",
    )
    verify.add_argument("caches", nargs="+", metavar="CACHE")
    verify.add_argument("--workers", type=_workers, default=None, metavar="N", help="runtime threads (default: CPUs)")
    verify.set_defaults(run=cmd_verify)

    head = commands.add_parser("head", help="print the first samples of a cache")
    head.add_argument("cache", metavar="CACHE")
    head.add_argument("-n", type=_count, default=10, metavar="N", help="number of samples (default: 10)")
    head.set_defaults(run=cmd_head)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "progress", False) is None:
        args.progress = stderr_is_terminal()
    if getattr(args, "workers", 0) is None:
        args.workers = default_num_workers()
    try:
        return int(args.run(args))
    except CliError as error:
        print(f"{PROG} {args.command}: error: {error}", file=sys.stderr)
        return error.code
    except BrokenPipeError:
        # The reader of our output went away (`brivane head ... | head -1`).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (ValueError, RuntimeError, OSError) as error:
        print(f"{PROG} {args.command}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG} {args.command}: interrupted", file=sys.stderr)
        return 130
