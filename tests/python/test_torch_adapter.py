"""brivane.torch: the epoch split over distributed ranks and DataLoader worker
processes."""

import collections
import pickle

import pyarrow.compute as pc
import pytest

import brivane

torch_data = pytest.importorskip("torch.utils.data")
from brivane.torch import CacheIterableDataset, derive_seed, split_range  # noqa: E402

SIZES = {"a": 13, "b": 24}


@pytest.fixture(scope="module")
def caches(tmp_path_factory):
    base = tmp_path_factory.mktemp("torch_caches")
    sources = [
        brivane.CacheSource(name, [(f"{name}{i}".encode(), {"i": i, "big": i >= 20}) for i in range(count)])
        for name, count in SIZES.items()
    ]
    results = brivane.write_cache(sources, base, brivane.WriterConfig(show_progress=False))
    return [r.path for r in brivane.check_results(results)]


def load(dataset, workers=2, **options):
    loader = torch_data.DataLoader(dataset, batch_size=None, num_workers=workers, **options)
    return [(s.cache_id, s.sample_id) for s in loader]


ALL = [(0, i) for i in range(13)] + [(1, i) for i in range(24)]


def test_split_range_cuts_contiguous_balanced_pieces():
    for total, parts in [(37, 4), (3, 5), (0, 2), (8, 8)]:
        pieces = [split_range(total, parts, i) for i in range(parts)]
        assert pieces[0][0] == 0 and pieces[-1][1] == total
        assert all(a[1] == b[0] for a, b in zip(pieces, pieces[1:]))
        assert max(b - a for a, b in pieces) - min(b - a for a, b in pieces) <= 1


def test_sequential_epoch_yields_every_sample_once_across_ranks_and_workers(caches):
    # Two ranks of two DataLoader worker processes each, every epoch.
    seen = []
    for rank in range(2):
        dataset = CacheIterableDataset(caches, rank=rank, world_size=2)
        assert len(dataset) == [19, 18][rank]
        rank_ids = load(dataset)
        assert len(rank_ids) == len(dataset)
        assert sorted(load(dataset)) == sorted(rank_ids)  # and again next epoch
        seen += rank_ids
    assert sorted(seen) == ALL


def test_more_workers_than_samples_leaves_some_workers_idle(caches):
    dataset = CacheIterableDataset(caches[0], select=lambda t: t.slice(0, 3), rank=1, world_size=2)
    assert len(dataset) == 1
    assert load(dataset, workers=2) == [(0, 2)]


def test_select_filters_the_table_before_it_is_split(caches):
    def only_big(table):
        return table.filter(table["big"])

    dataset = CacheIterableDataset(caches, select=only_big)
    assert len(dataset) == 4
    big = [(1, 20), (1, 21), (1, 22), (1, 23)]
    assert [(s.cache_id, s.sample_id) for s in dataset] == big  # in this process first
    assert sorted(load(dataset)) == big  # then in forked workers, each with its own runtime


def test_shuffled_epochs_are_reproducible_and_follow_set_epoch(caches):
    def heavy_on_seven(table):
        weights = pc.if_else(pc.equal(table["i"], 7), 1000.0, 1.0)
        return table.set_column(table.schema.get_field_index("weight"), "weight", weights)

    dataset = CacheIterableDataset(caches, shuffle=True, seed=11, epoch_len=101, select=heavy_on_seven)
    assert len(dataset) == 101
    first = load(dataset)
    assert len(first) == 101
    assert load(dataset) == first  # same epoch, same draws
    dataset.set_epoch(1)
    second = load(dataset)
    assert len(second) == 101 and second != first
    counts = collections.Counter(first)
    assert counts[(0, 7)] + counts[(1, 7)] > 80  # the weights are honoured

    # Each (rank, worker) pair draws from its own seed: different streams.
    assert len({derive_seed(11, 0, rank, worker) for rank in range(2) for worker in range(2)}) == 4
    halves = [load(CacheIterableDataset(caches, shuffle=True, seed=11, epoch_len=40, rank=r, world_size=2)) for r in (0, 1)]
    assert [len(h) for h in halves] == [20, 20] and halves[0] != halves[1]


def test_persistent_workers_move_on_to_the_next_epoch(caches):
    dataset = CacheIterableDataset(caches, shuffle=True, seed=3, epoch_len=30)
    loader = torch_data.DataLoader(dataset, batch_size=None, num_workers=2, persistent_workers=True)
    epochs = [[(s.cache_id, s.sample_id) for s in loader] for _ in range(2)]
    dataset.set_epoch(1)
    assert epochs[0] == load(CacheIterableDataset(caches, shuffle=True, seed=3, epoch_len=30))
    assert epochs[1] == load(dataset)


def payload(sample):
    return sample.data


def test_a_used_dataset_pickles_without_its_native_state(caches):
    dataset = CacheIterableDataset(caches, transform=payload)
    in_process = list(dataset)  # builds the runtime in this process
    assert in_process[:2] == [b"a0", b"a1"] and len(in_process) == 37
    clone = pickle.loads(pickle.dumps(dataset))
    assert list(clone) == in_process


@pytest.mark.parametrize(
    "options, message",
    [
        (dict(epoch_len=5), "epoch_len applies to shuffled datasets"),
        (dict(shuffle=True, epoch_len=0), "epoch_len must be a positive int"),
        (dict(rank=2, world_size=2), "need 0 <= rank < world_size"),
        (dict(rank=0), "give both rank and world_size"),
        (dict(threads_per_worker=0), "threads_per_worker must be a positive int"),
    ],
)
def test_bad_options_fail_at_construction(caches, options, message):
    with pytest.raises(ValueError, match=message):
        CacheIterableDataset(caches, **options)
