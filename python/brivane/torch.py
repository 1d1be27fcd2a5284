"""PyTorch adapter: brivane caches as an IterableDataset for DataLoader.

Each DataLoader worker process (or the main process when num_workers=0)
opens its own runtime and dataset on first use, so no native thread ever
crosses a fork. Every epoch is split between the distributed ranks and,
within a rank, between the DataLoader workers:

* sequential (shuffle=False): the active table is cut into contiguous,
  non-overlapping slices, one per (rank, worker); every sample of the epoch
  is yielded exactly once overall, in cache order within each slice.
* shuffled (shuffle=True): the epoch's draws are shared out between the
  (rank, worker) pairs; each pair draws its share with replacement, weighted
  by the table's `weight` column, from its own seed derived from
  (seed, epoch, rank, worker), so an epoch is reproducible for the same
  world size and number of workers.

Call `set_epoch(n)` before each epoch, as with DistributedSampler. Workers
that persist across epochs (persistent_workers=True) do not see later
`set_epoch` calls; they move on to the next epoch by themselves each time
they are iterated.
"""

import hashlib
import os
import struct
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TypeVar, overload

import pyarrow as pa  # type: ignore[import-untyped]
import torch.distributed
import torch.utils.data

import _brivane

from ._typing import StrPath
from .dataset import Sample, cache_paths, ipc_to_table, table_to_ipc
from .manifest import read_cache_info

__all__ = ["CacheIterableDataset", "derive_seed", "split_range"]

T = TypeVar("T")

# Native objects built before a fork belong to the parent's threads: a child
# never uses them and never drops them either (their teardown could wait on
# locks that threads which do not exist in the child held at fork time).
_INHERITED: list[object] = []


def split_range(total: int, parts: int, index: int) -> tuple[int, int]:
    """[start, stop) of part `index` when `total` items are cut into `parts`
    contiguous pieces whose sizes differ by at most one."""
    base, extra = divmod(total, parts)
    start = index * base + min(index, extra)
    return start, start + base + (1 if index < extra else 0)


def derive_seed(seed: int, epoch: int, rank: int, worker: int) -> int:
    """A 64-bit seed for one (epoch, rank, worker), stable across processes
    and Python versions."""
    digest = hashlib.blake2b(struct.pack("<4Q", seed, epoch, rank, worker), digest_size=8).digest()
    return int.from_bytes(digest, "little")


def _default_table(paths: tuple[str, ...]) -> pa.Table:
    # The active table a fresh dataset starts from, read without a runtime so
    # that len() in the main process starts no native thread.
    tables = []
    for cache_id, path in enumerate(paths):
        with pa.OSFile(os.path.join(path, "metadata.arrow")) as f:
            meta = pa.ipc.open_file(f).read_all()
        n = meta.num_rows
        columns = [pa.array([cache_id] * n, pa.uint64()), pa.array(range(n), pa.uint64())]
        columns += meta.columns
        columns.append(pa.array([1.0] * n, pa.float64()))
        tables.append(pa.table(columns, names=["cache_id", "sample_id", *meta.column_names, "weight"]))
    return pa.concat_tables(tables)


class _ProcessState:
    """The runtime and datasets of one process."""

    def __init__(self, owner: "CacheIterableDataset[Any]") -> None:
        self.pid = os.getpid()
        self.runtime = _brivane.DatasetRuntime(owner.threads_per_worker)
        self.base = _brivane.CachedDataset(
            self.runtime, list(owner.paths), owner.seed, owner.prefetch_size, False, owner.validate
        )
        ipc = self.base.metadata_ipc()
        self.selected = owner.select is not None
        if owner.select is not None:
            table = owner.select(ipc_to_table(ipc))
            if not isinstance(table, pa.Table):
                raise TypeError(f"select must return a pyarrow.Table, got {type(table).__name__}")
            ipc = table_to_ipc(table)
            self.rows = table.num_rows
        else:
            self.rows = len(self.base)
        if self.rows == 0:
            raise ValueError("select() left no rows in the active table")
        self.table_ipc = ipc
        self.installed: tuple[int, int] | None = None

    def sequential(self, start: int, stop: int) -> _brivane.CachedDataset:
        # The slice is fixed for the life of a worker: install it once.
        if self.installed != (start, stop):
            table = ipc_to_table(self.table_ipc).slice(start, stop - start)
            self.base.update_metadata_ipc(table_to_ipc(table))
            self.base.set_epoch_len(stop - start)
            self.installed = (start, stop)
        return self.base

    def shuffled(self, owner: "CacheIterableDataset[Any]", seed: int, count: int) -> _brivane.CachedDataset:
        dataset = _brivane.CachedDataset(self.runtime, list(owner.paths), seed, owner.prefetch_size, True, False)
        if self.selected:
            dataset.update_metadata_ipc(self.table_ipc)
        dataset.set_epoch_len(count)
        return dataset


class CacheIterableDataset(torch.utils.data.IterableDataset[T]):
    """brivane caches as a PyTorch IterableDataset (see the module docstring).

    paths: one cache directory or several sharing a metadata schema.
    shuffle, seed: sequential epochs, or seeded weighted draws.
    epoch_len: draws per epoch over all ranks and workers (shuffled only;
        default: the number of rows of the active table).
    select: optional function from the active table (pyarrow.Table with
        cache_id, sample_id, the metadata columns and weight) to the table to
        use instead: filter rows, change weights. It runs once in every worker
        and must give the same result everywhere.
    transform: optional function applied to every `Sample` in the worker.
    prefetch_size, threads_per_worker: read-ahead depth and native threads of
        each worker process.
    validate: re-hash every cache file once per worker process.
    rank, world_size: default to torch.distributed's when it is initialised
        at construction, else 0 and 1.
    """

    @overload
    def __init__(
        self: "CacheIterableDataset[Sample]",
        paths: StrPath | Iterable[StrPath],
        *,
        shuffle: bool = ...,
        seed: int = ...,
        epoch_len: int | None = ...,
        select: Callable[[pa.Table], pa.Table] | None = ...,
        transform: None = ...,
        prefetch_size: int = ...,
        threads_per_worker: int = ...,
        validate: bool = ...,
        rank: int | None = ...,
        world_size: int | None = ...,
    ) -> None: ...

    @overload
    def __init__(
        self: "CacheIterableDataset[T]",
        paths: StrPath | Iterable[StrPath],
        *,
        shuffle: bool = ...,
        seed: int = ...,
        epoch_len: int | None = ...,
        select: Callable[[pa.Table], pa.Table] | None = ...,
        transform: Callable[[Sample], T],
        prefetch_size: int = ...,
        threads_per_worker: int = ...,
        validate: bool = ...,
        rank: int | None = ...,
        world_size: int | None = ...,
    ) -> None: ...

    def __init__(
        self,
        paths: StrPath | Iterable[StrPath],
        *,
        shuffle: bool = False,
        seed: int = 0,
        epoch_len: int | None = None,
        select: Callable[[pa.Table], pa.Table] | None = None,
        transform: Callable[[Sample], Any] | None = None,
        prefetch_size: int = 64,
        threads_per_worker: int = 2,
        validate: bool = False,
        rank: int | None = None,
        world_size: int | None = None,
    ) -> None:
        super().__init__()
        self.paths = cache_paths(paths)
        if not self.paths:
            raise ValueError("paths must name at least one cache")
        if not isinstance(shuffle, bool):
            raise TypeError(f"shuffle must be a bool, got {type(shuffle).__name__}")
        if not isinstance(seed, int) or not 0 <= seed < 1 << 64:
            raise ValueError(f"seed must be an int in [0, 2**64), got {seed!r}")
        if epoch_len is not None:
            if not shuffle:
                raise ValueError("epoch_len applies to shuffled datasets; a sequential epoch is the whole table")
            if not isinstance(epoch_len, int) or epoch_len <= 0:
                raise ValueError(f"epoch_len must be a positive int, got {epoch_len!r}")
        for name, value in (("prefetch_size", prefetch_size), ("threads_per_worker", threads_per_worker)):
            if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
                raise ValueError(f"{name} must be a positive int, got {value!r}")
        if (rank is None) != (world_size is None):
            raise ValueError("give both rank and world_size, or neither")
        if rank is None or world_size is None:
            if torch.distributed.is_available() and torch.distributed.is_initialized():
                rank, world_size = torch.distributed.get_rank(), torch.distributed.get_world_size()
            else:
                rank, world_size = 0, 1
        if world_size <= 0 or not 0 <= rank < world_size:
            raise ValueError(f"need 0 <= rank < world_size, got rank={rank} world_size={world_size}")
        self.shuffle = shuffle
        self.seed = seed
        self.epoch_len = epoch_len
        self.select = select
        self.transform = transform
        self.prefetch_size = prefetch_size
        self.threads_per_worker = threads_per_worker
        self.validate = validate
        self.rank = rank
        self.world_size = world_size
        self._epoch = 0
        self._iterations = 0  # epochs this copy iterated since the last set_epoch
        self._state: _ProcessState | None = None
        self._rows: int | None = None

    def set_epoch(self, epoch: int) -> None:
        """Chooses the epoch the next iteration yields (shuffled draws depend on it)."""
        if not isinstance(epoch, int) or not 0 <= epoch < 1 << 64:
            raise ValueError(f"epoch must be an int in [0, 2**64), got {epoch!r}")
        self._epoch = epoch
        self._iterations = 0

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state["_state"] = None  # native objects stay in their process
        return state

    def _process_state(self) -> _ProcessState:
        state = self._state
        if state is not None and state.pid != os.getpid():
            _INHERITED.append(state)
            state = None
        if state is None:
            state = self._state = _ProcessState(self)
            self._rows = state.rows
        return state

    def _table_rows(self) -> int:
        if self._rows is None:
            if self.select is None:
                self._rows = sum(read_cache_info(path).sample_count for path in self.paths)
            else:
                self._rows = self.select(_default_table(self.paths)).num_rows
        return self._rows

    def _epoch_total(self) -> int:
        if self.shuffle and self.epoch_len is not None:
            return self.epoch_len
        return self._table_rows()

    def __len__(self) -> int:
        """Samples this rank yields per epoch, over all its DataLoader workers."""
        start, stop = split_range(self._epoch_total(), self.world_size, self.rank)
        return stop - start

    def __iter__(self) -> Iterator[T]:
        state = self._process_state()
        info = torch.utils.data.get_worker_info()
        worker, workers = (info.id, info.num_workers) if info is not None else (0, 1)
        epoch = self._epoch + self._iterations
        self._iterations += 1
        total = self.epoch_len if self.shuffle and self.epoch_len is not None else state.rows
        rank_start, rank_stop = split_range(total, self.world_size, self.rank)
        start, stop = split_range(rank_stop - rank_start, workers, worker)
        if start == stop:
            return iter(())
        if self.shuffle:
            seed = derive_seed(self.seed, epoch, self.rank, worker)
            dataset = state.shuffled(self, seed, stop - start)
        else:
            dataset = state.sequential(rank_start + start, rank_start + stop)
        samples = map(Sample._make, iter(dataset))
        if self.transform is None:
            return samples  # type: ignore[return-value]
        return map(self.transform, samples)

    def __repr__(self) -> str:
        mode = "shuffled" if self.shuffle else "sequential"
        return (
            f"CacheIterableDataset({len(self.paths)} cache(s), {mode}, seed={self.seed}, "
            f"rank={self.rank}/{self.world_size})"
        )
