"""Reading caches: a typed dataset over the native reader and its active
sample table."""

import os
from collections.abc import Iterable, Iterator
from typing import NamedTuple

import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.ipc  # type: ignore[import-untyped]

import _brivane

from ._runtime import make_runtime
from ._typing import Metadata, StrPath

__all__ = ["Sample", "Dataset", "open_dataset", "table_to_ipc", "ipc_to_table"]


class Sample(NamedTuple):
    """One sample read back: its payload, its metadata and where it lives
    (`cache_id` is the position of its cache in the dataset's paths,
    `sample_id` its position within that cache)."""

    data: bytes
    metadata: Metadata
    cache_id: int
    sample_id: int


def table_to_ipc(table: pa.Table | pa.RecordBatch) -> bytes:
    """Serialises a table as Arrow IPC file bytes, the form the dataset takes."""
    sink = pa.BufferOutputStream()
    with pa.ipc.new_file(sink, table.schema) as writer:
        writer.write(table)
    data: bytes = sink.getvalue().to_pybytes()
    return data


def ipc_to_table(ipc: bytes) -> pa.Table:
    """Reads Arrow IPC file bytes (such as `Dataset.metadata_ipc()`) as a table."""
    return pa.ipc.open_file(pa.py_buffer(ipc)).read_all()


def cache_paths(paths: StrPath | Iterable[StrPath]) -> tuple[str, ...]:
    """One path or a collection of them, as the str paths the reader takes."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    elif isinstance(paths, bytes) or not isinstance(paths, Iterable):
        raise TypeError(f"paths must be a path or an iterable of paths, got {type(paths).__name__}")
    result = []
    for path in paths:
        text = os.fspath(path)
        result.append(os.fsdecode(text) if isinstance(text, bytes) else text)
    return tuple(result)


class Dataset:
    """Caches that share one metadata schema, read as one population.

    Iterating yields one epoch of `Sample`s: sequential walks continue where
    the previous epoch stopped; shuffled epochs draw with replacement from a
    seeded, reproducible generator, weighted by the active table's `weight`
    column. `len()` is the epoch length, which `set_epoch_len` changes.

    The active table (`cache_id`, `sample_id`, the metadata columns, `weight`)
    says which samples are drawn with which weight: read it with
    `metadata_table()`, filter or re-weight it with pyarrow and install it
    with `update_metadata_table()`.
    """

    def __init__(
        self,
        native: _brivane.CachedDataset,
        paths: tuple[str, ...],
        *,
        seed: int,
        shuffle: bool,
        prefetch_size: int,
        runtime: _brivane.DatasetRuntime,
    ) -> None:
        self._native = native
        self.paths = paths
        self.seed = seed
        self.shuffle = shuffle
        self.prefetch_size = prefetch_size
        self.runtime = runtime

    @property
    def native(self) -> _brivane.CachedDataset:
        """The underlying `_brivane.CachedDataset`."""
        return self._native

    def __iter__(self) -> Iterator[Sample]:
        return map(Sample._make, iter(self._native))

    def __len__(self) -> int:
        return len(self._native)

    def set_epoch_len(self, epoch_len: int) -> None:
        """Sets how many samples later epochs yield (running ones keep theirs)."""
        self._native.set_epoch_len(epoch_len)

    def metadata_ipc(self) -> bytes:
        return self._native.metadata_ipc()

    def update_metadata_ipc(self, ipc: bytes) -> None:
        self._native.update_metadata_ipc(ipc)

    def metadata_table(self) -> pa.Table:
        """The active sample table."""
        return ipc_to_table(self._native.metadata_ipc())

    def update_metadata_table(self, table: pa.Table | pa.RecordBatch) -> None:
        """Replaces the active sample table after checking that every row names
        a real sample and has a positive finite weight. Rows may repeat or be
        left out; later epochs start from the new table's beginning."""
        self._native.update_metadata_ipc(table_to_ipc(table))

    def __repr__(self) -> str:
        mode = "shuffled" if self.shuffle else "sequential"
        return f"<brivane.Dataset {len(self.paths)} cache(s), {mode}, epoch_len={len(self)}>"


def open_dataset(
    paths: StrPath | Iterable[StrPath],
    *,
    seed: int = 0,
    shuffle: bool = False,
    prefetch_size: int = 64,
    validate: bool = False,
    num_workers: int | None = None,
    runtime: _brivane.DatasetRuntime | None = None,
) -> Dataset:
    """Opens one cache or several caches with the same metadata schema.

    `validate` re-hashes every file of every cache before returning.
    `prefetch_size` bounds how many samples are read ahead (also bounded by
    the worker count). Reads run on `runtime`, or on a new runtime of
    `num_workers` threads (default: one per available CPU).
    """
    if runtime is not None and num_workers is not None:
        raise ValueError("pass either runtime or num_workers, not both")
    path_list = cache_paths(paths)
    if runtime is None:
        runtime = make_runtime(num_workers)
    native = _brivane.CachedDataset(runtime, list(path_list), seed, prefetch_size, shuffle, validate)
    return Dataset(native, path_list, seed=seed, shuffle=shuffle, prefetch_size=prefetch_size, runtime=runtime)
