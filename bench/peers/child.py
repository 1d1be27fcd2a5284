"""Runs one phase of one library on one workload in a fresh process and
writes what it measured as JSON: the seconds the library call took, the
tally of a read, and this process's peak resident set (ru_maxrss, i.e. VmHWM).

    python child.py LIBRARY VARIANT WORKLOAD SCALE PHASE OUT_DIR RESULT_JSON

PHASE is import (load the library only), write, seq, shuffle, seq-batches or
shuffle-batches.
"""

import json
import resource
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from libs import load  # noqa: E402
from workloads import WORKLOADS  # noqa: E402

SEED = 1234


def peak_rss_kib() -> int:
    # The same figure as VmHWM in /proc/self/status.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux


def main() -> None:
    library, variant, workload_name, scale, phase, out_dir, result_path = sys.argv[1:]
    workload = WORKLOADS[workload_name].scaled(float(scale))
    out = Path(out_dir)
    lib = load(library)
    if phase == "write":
        workload.data(0)  # build the payload pool before the clock starts
    shuffle = phase.startswith("shuffle")
    result = {"phase": phase}
    started = time.perf_counter()
    if phase == "import":
        tally = None
    elif phase == "write":
        out.mkdir(parents=True, exist_ok=True)
        lib.write(out, workload, variant)
        tally = None
    elif phase in ("seq", "shuffle"):
        tally = lib.read(out, workload, shuffle, SEED)
    else:
        tally = lib.read_batches(out, workload, shuffle, SEED)
    result["seconds"] = time.perf_counter() - started
    # Some readers hand back NumPy integers.
    result["tally"] = None if tally is None else {k: int(v) for k, v in tally._asdict().items()}
    result["rss_kib"] = peak_rss_kib()
    Path(result_path).write_text(json.dumps(result))


if __name__ == "__main__":
    main()
