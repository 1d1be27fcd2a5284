"""Runs every library through the same workloads and writes bench/RESULTS.md.

Each (run, workload, library, phase) is a fresh process started by
child.py, so import costs and peak memory belong to that phase alone. While a
phase runs, a sampler adds up the proportional set size (PSS) of the process
and all its descendants, which counts the worker processes some peers start
without counting their shared libraries twice.

    python harness.py [--runs N] [--scale F] [--workloads W1,W2] [--rows ...]
    python harness.py --render-only      # re-render RESULTS.md from the last raw results
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from libs import BATCH_LOADERS, ROWS  # noqa: E402
from report import describe_machine, render  # noqa: E402
from workloads import WORKLOADS  # noqa: E402

READ_PHASES = ("seq", "shuffle")
BATCH_PHASES = ("seq-batches", "shuffle-batches")
SAMPLE_SECONDS = 0.25  # one smaps_rollup read costs a few ms with torch mapped


def descendants(pid: int) -> list[int]:
    pids, stack = [], [pid]
    while stack:
        current = stack.pop()
        pids.append(current)
        try:
            for task in os.listdir(f"/proc/{current}/task"):
                with open(f"/proc/{current}/task/{task}/children") as f:
                    stack.extend(int(child) for child in f.read().split())
        except OSError:  # the process ended while we looked
            continue
    return pids


def tree_pss_kib(pid: int) -> int:
    total = 0
    for p in descendants(pid):
        try:
            with open(f"/proc/{p}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
                        break
        except OSError:
            continue
    return total


class TreeSampler(threading.Thread):
    def __init__(self, pid: int) -> None:
        super().__init__(daemon=True)
        self.pid = pid
        self.peak_kib = 0
        self.done = threading.Event()

    def run(self) -> None:
        while not self.done.wait(SAMPLE_SECONDS):
            self.peak_kib = max(self.peak_kib, tree_pss_kib(self.pid))


def run_phase(row: str, workload: str, scale: float, phase: str, out_dir: Path, log_dir: Path, timeout: float):
    library, variant = ROWS[row]
    result_path = log_dir / f"{workload}-{row}-{phase}.json"
    result_path.unlink(missing_ok=True)
    log_path = log_dir / f"{workload}-{row}-{phase}.log"
    command = [sys.executable, str(HERE / "child.py"), library, variant, workload, str(scale), phase, str(out_dir),
               str(result_path)]
    # Write-back of the previous phase's files must not land in this one.
    os.sync()
    # The peers' lock and scratch files go to the work directory, not /tmp.
    env = dict(os.environ, TMPDIR=str(log_dir.parent / "tmp"))
    with open(log_path, "w") as log:
        proc = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, cwd=str(out_dir.parent), env=env)
        sampler = TreeSampler(proc.pid)
        sampler.start()
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            code = "timeout"
        sampler.done.set()
        sampler.join()
    if code != 0 or not result_path.exists():
        tail = log_path.read_text(errors="replace").strip().splitlines()[-3:]
        return {"phase": phase, "error": f"exit {code}: " + " | ".join(tail)}
    result = json.loads(result_path.read_text())
    result["tree_pss_kib"] = sampler.peak_kib
    # The process's own peak is exact, the tree's is sampled: the larger one
    # is the phase's memory figure.
    result["peak_kib"] = max(result["rss_kib"], sampler.peak_kib)
    return result


def disk_bytes(path: Path) -> int:
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())


def check(result: dict, workload, phase: str) -> None:
    tally = result.get("tally")
    if tally is None:
        return
    if tally["samples"] != workload.count or tally["payload_bytes"] != workload.payload_bytes:
        result["error"] = f"read {tally['samples']} samples / {tally['payload_bytes']} bytes"
    elif phase.startswith("seq") and tally["label_sum"] != workload.label_sum:
        result["error"] = f"sequential epoch label sum {tally['label_sum']} != {workload.label_sum}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of each workload's sample count")
    parser.add_argument("--workloads", default="W1,W2")
    parser.add_argument("--rows", default=",".join(ROWS), help="libraries (and variants) to run")
    parser.add_argument("--no-batches", action="store_true", help="skip the peers' batch-loader epochs")
    parser.add_argument("--work-dir", type=Path, default=HERE / "work")
    parser.add_argument("--output", type=Path, default=HERE.parent / "RESULTS.md")
    parser.add_argument("--timeout", type=float, default=900.0, help="seconds one phase may take")
    parser.add_argument("--render-only", action="store_true")
    args = parser.parse_args()

    raw_path = args.work_dir / "raw.json"
    if args.render_only:
        args.output.write_text(render(json.loads(raw_path.read_text())))
        print(f"wrote {args.output}")
        return

    rows = args.rows.split(",")
    workloads = args.workloads.split(",")
    args.work_dir.mkdir(parents=True, exist_ok=True)
    log_dir = args.work_dir / "logs"
    log_dir.mkdir(exist_ok=True)
    (args.work_dir / "tmp").mkdir(exist_ok=True)
    load_before = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    raw = {
        "command": " ".join(["bash bench/peers/run.sh", *sys.argv[1:]]),
        "scale": args.scale,
        "runs": args.runs,
        "started": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
        "load_before": load_before,
        "workloads": {w: vars(WORKLOADS[w].scaled(args.scale)) for w in workloads},
        "machine": describe_machine(),
        "results": [],
    }

    def record(**entry):
        raw["results"].append(entry)
        raw_path.write_text(json.dumps(raw, indent=1))
        err = entry.get("error")
        shown = f"{entry['seconds']:.3f}s" if "seconds" in entry else ""
        print(f"run {entry['run']} {entry['workload']} {entry['row']:<12} {entry['phase']:<16} {shown}"
              f"{'  ERROR ' + err if err else ''}", flush=True)

    for run in range(1, args.runs + 1):
        # The import floor barely varies: measured in the first run only.
        for row in rows if run == 1 else ():
            scratch = args.work_dir / "import"
            scratch.mkdir(exist_ok=True)
            result = run_phase(row, workloads[0], args.scale, "import", scratch, log_dir, args.timeout)
            record(run=run, workload="-", row=row, **result)
        for name in workloads:
            workload = WORKLOADS[name].scaled(args.scale)
            for row in rows:
                out_dir = args.work_dir / name / row
                shutil.rmtree(out_dir, ignore_errors=True)
                out_dir.parent.mkdir(parents=True, exist_ok=True)
                result = run_phase(row, name, args.scale, "write", out_dir, log_dir, args.timeout)
                if "error" not in result:
                    result["disk_bytes"] = disk_bytes(out_dir)
                record(run=run, workload=name, row=row, **result)
                if "error" in result:
                    continue
                phases = READ_PHASES
                if not args.no_batches and ROWS[row][0] in BATCH_LOADERS:
                    phases += BATCH_PHASES
                for phase in phases:
                    result = run_phase(row, name, args.scale, phase, out_dir, log_dir, args.timeout)
                    check(result, workload, phase)
                    record(run=run, workload=name, row=row, **result)
                shutil.rmtree(out_dir, ignore_errors=True)
    raw["load_after"] = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    raw["finished"] = time.strftime("%Y-%m-%d %H:%M:%S %Z")
    raw_path.write_text(json.dumps(raw, indent=1))
    args.output.write_text(render(raw))
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
