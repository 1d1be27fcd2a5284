"""Many Python threads share datasets and one runtime for a bounded time:
they create iterators, read part of an epoch and drop them, while others
replace the active table, export it and change the epoch length. Nothing
may deadlock or crash, and every delivered item must be the sample its ids
name.

The load runs in a child process, so a deadlock (the module keeps the
interpreter lock while it waits) shows up as a timeout here instead of a
hung test run; the child dumps every thread's stack before it is killed."""

import faulthandler
import json
import os
import random
import subprocess
import sys
import threading
import time

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.ipc

import _brivane

from dataset_support import sample_data, write_caches

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = {"red": 40, "green": 25, "blue": 7}
RUN_SECONDS = 8
CHILD_TIMEOUT = 120
READERS = 8


def ipc_bytes(table):
    sink = pa.BufferOutputStream()
    with pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)
    return sink.getvalue().to_pybytes()


def replacement_tables(exported, rng, count=4):
    """Valid replacements of an exported table: random subsets of its rows
    in random order with new weights, metadata columns untouched."""
    table = pa.ipc.open_file(pa.BufferReader(exported)).read_all()
    tables = []
    for _ in range(count):
        rows = rng.sample(range(table.num_rows), rng.randint(1, table.num_rows))
        subset = table.take(rows)
        weights = pa.array([rng.uniform(0.1, 5.0) for _ in rows], pa.float64())
        subset = subset.set_column(subset.schema.get_field_index("weight"), "weight", weights)
        tables.append(ipc_bytes(subset))
    return tables


class Stress:
    def __init__(self, base, seconds):
        self.rng = random.Random(7)
        self.runtime = _brivane.DatasetRuntime(3)
        paths = dict(zip(SIZES, write_caches(self.runtime, base, SIZES)))
        # (dataset, names of its caches by cache_id)
        layouts = [["red", "green", "blue"], ["blue", "red"], ["green"]]
        self.datasets = []
        for k, names in enumerate(layouts):
            for shuffle in (False, True):
                dataset = _brivane.CachedDataset(self.runtime, [paths[n] for n in names], k, 1 + k * 3, shuffle,
                                                 False)
                tables = replacement_tables(dataset.metadata_ipc(), self.rng)
                self.datasets.append((dataset, names, tables, dataset.metadata_ipc()))
        self.deadline = time.monotonic() + seconds
        self.lock = threading.Lock()
        self.counts = {"items": 0, "iterators": 0, "updates": 0, "exports": 0, "epoch_lens": 0}
        self.failures = []

    def count(self, key, n=1):
        with self.lock:
            self.counts[key] += n

    def check(self, item, names):
        data, meta, cache_id, sample_id = item
        name = names[cache_id]
        assert 0 <= sample_id < SIZES[name], item
        assert data == sample_data(name, sample_id), item
        assert meta == {"i": sample_id, "name": name}, item

    def reader(self, seed):
        rng = random.Random(seed)
        while time.monotonic() < self.deadline:
            dataset, names, _, _ = rng.choice(self.datasets)
            iterator = iter(dataset)
            self.count("iterators")
            taken = 0
            for item in iterator:
                self.check(item, names)
                taken += 1
                if taken >= rng.randint(0, 60):
                    break
            self.count("items", taken)
            del iterator

    def shared_reader(self, iterator, names):
        # Several threads pulling from one iterator at once.
        for item in iterator:
            self.check(item, names)
            self.count("items")
            if time.monotonic() > self.deadline:
                break

    def mutator(self, seed):
        rng = random.Random(seed)
        while time.monotonic() < self.deadline:
            dataset, _, tables, full = rng.choice(self.datasets)
            action = rng.randrange(4)
            if action == 0:
                dataset.update_metadata_ipc(rng.choice(tables))
                self.count("updates")
            elif action == 1:
                dataset.update_metadata_ipc(full)
                self.count("updates")
            elif action == 2:
                dataset.metadata_ipc()
                self.count("exports")
            else:
                dataset.set_epoch_len(rng.randint(1, 120))
                self.count("epoch_lens")
            time.sleep(rng.uniform(0, 0.002))

    def guarded(self, fn, *args):
        try:
            fn(*args)
        except BaseException as e:  # reported by the parent, not lost in a thread
            with self.lock:
                self.failures.append(f"{fn.__name__}: {type(e).__name__}: {e}")

    def run(self):
        dataset, names, _, _ = self.datasets[0]
        dataset.set_epoch_len(10 ** 9)
        shared = iter(dataset)
        threads = [threading.Thread(target=self.guarded, args=(self.reader, i)) for i in range(READERS)]
        threads += [threading.Thread(target=self.guarded, args=(self.mutator, 100 + i)) for i in range(2)]
        threads += [threading.Thread(target=self.guarded, args=(self.shared_reader, shared, names)) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return {"failures": self.failures, **self.counts}


def stress_main(base, seconds):
    # Stacks of every thread if the parent is about to give up on us.
    faulthandler.dump_traceback_later(CHILD_TIMEOUT - 10, exit=True)
    print(json.dumps(Stress(base, seconds).run()))


def test_threads_share_datasets_without_deadlock_or_wrong_items(tmp_path):
    code = (f"import sys; sys.path.insert(0, {HERE!r}); import test_stress as t; "
            f"t.stress_main({str(tmp_path)!r}, {RUN_SECONDS})")
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired as e:
        raise AssertionError(f"stress run did not finish (deadlock?):\n{e.stderr}") from None
    assert done.returncode == 0, done.stderr
    summary = json.loads(done.stdout.strip().splitlines()[-1])
    assert summary["failures"] == []
    # The run did real work on every side.
    assert summary["items"] > 0 and summary["iterators"] > 0
    assert summary["updates"] > 0 and summary["epoch_lens"] > 0
    print("stress:", summary)
