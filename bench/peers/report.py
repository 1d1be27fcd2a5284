"""The machine description and the markdown of bench/RESULTS.md."""

import platform
import statistics
import subprocess
import sys
from importlib import metadata
from pathlib import Path

from libs import BATCH_LOADERS, ROWS

PACKAGES = ("brivane", "mosaicml-streaming", "webdataset", "datasets", "litdata", "pyarrow", "torch", "numpy")
LSCPU_KEYS = ("Architecture", "Model name", "CPU(s)", "Thread(s) per core", "Core(s) per socket", "Socket(s)",
              "L2 cache", "L3 cache")
PHASE_TITLES = {
    "write": "write",
    "seq": "sequential",
    "shuffle": "shuffled",
    "seq-batches": "sequential, batches",
    "shuffle-batches": "shuffled, batches",
}
MiB = 1 << 20


def _run(command: list[str]) -> str:
    try:
        return subprocess.run(command, capture_output=True, text=True, check=False).stdout.strip()
    except OSError:
        return ""


def describe_machine() -> dict:
    lscpu = {}
    for line in _run(["lscpu"]).splitlines():
        key, _, value = line.partition(":")
        if key.strip() in LSCPU_KEYS:
            lscpu[key.strip()] = value.strip()
    mem_kib = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem_kib = int(line.split()[1])
    versions = {}
    for name in PACKAGES:
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            versions[name] = "not installed"
    repo = Path(__file__).resolve().parents[2]
    return {
        "lscpu": lscpu,
        "ram_gib": round(mem_kib / (1 << 20), 1),
        "kernel": platform.release(),
        "python": sys.version.split()[0],
        "versions": versions,
        "brivane_commit": _run(["git", "-C", str(repo), "rev-parse", "--short", "HEAD"]),
    }


def _median(values):
    return statistics.median(values) if values else None


class Figures:
    """Medians over the runs, per (workload, row, phase)."""

    def __init__(self, results: list[dict]) -> None:
        self.results = results

    def _entries(self, workload, row, phase):
        return [r for r in self.results if r["workload"] == workload and r["row"] == row and r["phase"] == phase]

    def get(self, workload, row, phase, key):
        return _median([r[key] for r in self._entries(workload, row, phase) if "error" not in r and key in r])

    def error(self, workload, row, phase):
        errors = [r["error"] for r in self._entries(workload, row, phase) if "error" in r]
        return errors[0] if errors else None

    def runs(self, workload, row, phase):
        return sum(1 for r in self._entries(workload, row, phase) if "error" not in r)

    def ratios(self, workload, row, phase, key, base="brivane"):
        """brivane's figure over the row's, pairing the phases of the same run."""
        ours = {r["run"]: r[key] for r in self._entries(workload, base, phase) if "error" not in r and key in r}
        theirs = {r["run"]: r[key] for r in self._entries(workload, row, phase) if "error" not in r and key in r}
        return _median([ours[run] / theirs[run] for run in ours.keys() & theirs.keys() if theirs[run]])


def _num(value, digits=2):
    if value is None:
        return "—"
    return f"{value:.{digits}f}"


def _ratio(value):
    return "—" if value is None else f"{value:.2f}×"


def _mib(kib):
    return None if kib is None else kib / 1024


def render(raw: dict) -> str:
    figures = Figures(raw["results"])
    rows_run = list(dict.fromkeys(r["row"] for r in raw["results"]))
    workloads = raw["workloads"]
    machine = raw["machine"]
    peers = [row for row in rows_run if ROWS[row][0] != "brivane"]
    out = []
    add = out.append
    add("# brivane against peer libraries\n")
    add("Produced by `bench/peers/`; regenerate with the command below (see `bench/README.md`).\n")
    add("## Command\n")
    add(f"```\n{raw['command']}\n```\n")
    add(f"Started {raw['started']}, finished {raw.get('finished', '(did not finish)')}; "
        f"{raw['runs']} run(s), every figure is the median over the runs.\n")
    add(f"`uptime` before: `{raw['load_before']}`; after: `{raw.get('load_after', '(did not finish)')}` "
        "(the benchmark itself keeps about one to three threads busy).\n")

    add("## Machine\n")
    for key, value in machine["lscpu"].items():
        add(f"- {key}: {value}")
    add(f"- RAM: {machine['ram_gib']} GiB")
    add(f"- Kernel: {machine['kernel']}")
    add(f"- Python: {machine['python']}")
    versions = ", ".join(f"{name} {version}" for name, version in machine["versions"].items())
    add(f"- Libraries: {versions}")
    if machine.get("brivane_commit"):
        add(f"- brivane built from commit {machine['brivane_commit']} (plus any uncommitted changes)")
    add("")

    add("## Workloads\n")
    for name, w in workloads.items():
        add(f"- {name}: {w['count']:,} samples of {w['size']:,} random bytes "
            f"({w['count'] * w['size'] / MiB:,.0f} MiB of payload), metadata {{label: int, score: float, split: str}}")
    add("")

    for name, w in workloads.items():
        add(f"## {name}: times (seconds) and size on disk\n")
        phases = ["write", "seq", "shuffle", "seq-batches", "shuffle-batches"]
        add("| library | " + " | ".join(PHASE_TITLES[p] for p in phases) + " | size on disk (MiB) | write MB/s |")
        add("|---|" + "---:|" * (len(phases) + 2))
        for row in rows_run:
            cells = []
            for phase in phases:
                seconds = figures.get(name, row, phase, "seconds")
                if seconds is None and figures.error(name, row, phase):
                    cells.append("failed")
                elif seconds is None:
                    cells.append("n/a" if phase.endswith("batches") else "—")
                else:
                    cells.append(_num(seconds))
            disk = figures.get(name, row, "write", "disk_bytes")
            write_s = figures.get(name, row, "write", "seconds")
            rate = None if not write_s else w["count"] * w["size"] / 1e6 / write_s
            add(f"| {row} | " + " | ".join(cells) + f" | {_num(None if disk is None else disk / MiB, 1)} | {_num(rate, 0)} |")
        add("")
        add(f"## {name}: peak memory (MiB)\n")
        add("Per phase: peak RSS of the benchmark process (VmHWM) / peak PSS of the process and all its "
            "worker processes (sampled every 0.25 s, so a peak shorter than that can be missed).\n")
        phases = ["write", "seq", "shuffle", "seq-batches", "shuffle-batches"]
        add("| library | import only | " + " | ".join(PHASE_TITLES[p] for p in phases) + " |")
        add("|---|" + "---:|" * (len(phases) + 1))
        for row in rows_run:
            cells = [f"{_num(_mib(figures.get('-', row, 'import', 'rss_kib')), 0)}"]
            for phase in phases:
                rss = figures.get(name, row, phase, "rss_kib")
                pss = figures.get(name, row, phase, "tree_pss_kib")
                cells.append("n/a" if rss is None else f"{_num(_mib(rss), 0)} / {_num(_mib(pss), 0)}")
            add(f"| {row} | " + " | ".join(cells) + " |")
        add("")

    add("## brivane's ratio to each peer\n")
    add("brivane (no compression) divided by the peer, per run, median over runs: below 1 means brivane is "
        "faster or smaller. Reads compare brivane's per-sample epoch with the peer's per-sample epoch and, in "
        "brackets, with the peer's batch loader. Memory is the phase's peak: the larger of the benchmark process's "
        "VmHWM and the sampled PSS of its process tree.\n")
    add("| workload | peer | write | size on disk | sequential [batches] | shuffled [batches] | peak memory write | peak memory seq [batches] |")
    add("|---|---|---:|---:|---:|---:|---:|---:|")
    for name in workloads:
        for peer in peers:
            def paired(phase, other_phase=None, key="seconds"):
                return _ratio(figures.ratios(name, peer, phase, key)) if other_phase is None else \
                    _ratio(_cross_ratio(figures, name, peer, phase, other_phase, key))
            add(f"| {name} | {peer} | {paired('write')} | {paired('write', key='disk_bytes')} | "
                f"{paired('seq')} [{paired('seq', 'seq-batches')}] | "
                f"{paired('shuffle')} [{paired('shuffle', 'shuffle-batches')}] | "
                f"{paired('write', key='peak_kib')} | "
                f"{paired('seq', key='peak_kib')} [{paired('seq', 'seq-batches', key='peak_kib')}] |")
    add("")

    add("## brivane against the fastest peer\n")
    add("For each figure the best peer and brivane's ratio to it (medians of each). Reads are given twice: "
        "against the best per-sample epoch of a peer, and against the best of any read mode including the "
        "batch loaders. Memory as in the table above.\n")
    add("| workload | figure | brivane | best peer, per sample | ratio | best peer, any mode | ratio |")
    add("|---|---|---:|---|---:|---|---:|")
    for name in workloads:
        for title, phases, key, scale, digits in (
            ("write (s)", ["write"], "seconds", 1, 2),
            ("sequential epoch (s)", ["seq", "seq-batches"], "seconds", 1, 2),
            ("shuffled epoch (s)", ["shuffle", "shuffle-batches"], "seconds", 1, 2),
            ("peak memory, write (MiB)", ["write"], "peak_kib", 1024, 0),
            ("peak memory, sequential (MiB)", ["seq", "seq-batches"], "peak_kib", 1024, 0),
            ("peak memory, shuffled (MiB)", ["shuffle", "shuffle-batches"], "peak_kib", 1024, 0),
        ):
            ours = figures.get(name, "brivane", phases[0], key)
            if ours is None:
                continue
            cells = [_num(ours / scale, digits)]
            for allowed in (phases[:1], phases):
                best = None
                for peer in peers:
                    for phase in allowed:
                        value = figures.get(name, peer, phase, key)
                        if value is not None and (best is None or value < best[0]):
                            best = (value, peer if phase == phases[0] else f"{peer} (batches)")
                if best is None:
                    cells += ["—", "—"]
                else:
                    cells += [f"{best[1]}: {_num(best[0] / scale, digits)}", _ratio(ours / best[0])]
            add(f"| {name} | {title} | " + " | ".join(cells) + " |")
    add("")

    failures = [r for r in raw["results"] if "error" in r]
    if failures:
        add("## Failures\n")
        for r in failures:
            add(f"- run {r['run']} {r['workload']} {r['row']} {r['phase']}: {r['error']}")
        add("")

    add(NOTES.format(batch_loaders="\n".join(f"  - {peer}: `{text}`" for peer, text in BATCH_LOADERS.items())))
    return "\n".join(out) + "\n"


def _cross_ratio(figures, workload, peer, phase, peer_phase, key):
    ours = {r["run"]: r[key] for r in figures._entries(workload, "brivane", phase) if "error" not in r}
    theirs = {r["run"]: r[key] for r in figures._entries(workload, peer, peer_phase) if "error" not in r}
    return _median([ours[run] / theirs[run] for run in ours.keys() & theirs.keys() if theirs[run]])


NOTES = """## How each library is used

Every phase runs in a fresh process (`bench/peers/child.py`); only the library calls are timed, after the
imports and after the payload pool is built. Payloads are slices of one seeded 8 MiB pool of random bytes, so they
do not compress. Reads happen right after the write, from a warm page cache. Each epoch is checked: every
sample and every payload byte must arrive, and a sequential epoch must carry the exact sum of the labels.
Every process runs with `OPENBLAS_NUM_THREADS=1`: numpy builds the pool, and its BLAS thread pool would
otherwise spin on the cores the libraries need.

- brivane: `write_cache([CacheSource("cache", ...)], dir, WriterConfig(show_progress=False))` on a
  `DatasetRuntime(2)`, default 256 MiB shards; `brivane-lz4` sets `ShardCompression("lz4", 1.0)`. Reads:
  `open_dataset(path, shuffle=..., seed=1234, num_workers=2)`, iterated sample by sample. Its shuffled epoch
  draws with replacement (weighted sampling), the peers' shuffles are permutations.
- MosaicML Streaming: `MDSWriter(out=dir, columns={{data: bytes, label: int64, score: float64, split: str}},
  compression=None)` with the default 64 MiB shard limit (MDS offers zstd, gz, bz2, snappy and brotli, not
  LZ4). Reads: `StreamingDataset(local=dir, shuffle=..., shuffle_seed=..., batch_size=64)` (local only, default
  py1e shuffle), iterated directly, and through the batch loader below.
- WebDataset: `ShardWriter(pattern, maxsize=64 MiB)` (a `TarWriter` per shard), one `.bin` and one `.json`
  member per sample (tar members are not compressed). Reads: `WebDataset(urls, shardshuffle=False).decode()`;
  shuffled: `WebDataset(urls, shardshuffle=len(urls), seed=...).shuffle(1000).decode()`, the shard shuffle plus
  the 1000-sample buffer of the library's own examples.
- Hugging Face datasets: `Dataset.from_generator(gen, features=..., cache_dir=dir)` (Arrow files, no
  compression option); reads memory-map the written Arrow file with `Dataset.from_file`, shuffled epochs use
  `Dataset.shuffle(seed=...)` (an indices mapping). It runs with pyarrow 26.0.1, the version brivane pins.
- LitData: `optimize(fn, inputs=range(n), output_dir=dir, chunk_bytes="64MB", num_workers=2)` (its
  compression is zstd only). Reads: `StreamingDataset(dir, shuffle=..., seed=...)` on the local directory,
  iterated directly, and through the batch loader below.
- Batch loaders (documented batched iteration; batch 64, two worker processes, one per core):
{batch_loaders}
- Size on disk: a tar member takes a 512-byte header and is padded to 512 bytes, so WebDataset's two
  members per 1 KiB sample take about 4.5 KiB. Hugging Face datasets memory-maps its Arrow files, so the pages
  of the file it reads count in its resident set. LitData's write time includes starting its two worker
  processes, each of which imports torch.
- Peak memory counts everything a library needs, including its imports: Streaming, WebDataset and LitData
  import torch, installed as PyPI serves it (the CUDA build; the CPU-only build is not on PyPI, and PyPI's
  torchvision, which Streaming and LitData require, does not load beside it). The "import only" column is
  that floor, measured in the first run.
"""
