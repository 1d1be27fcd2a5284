"""PyDatasetIterator: the items it yields, its failures and its lifetime."""

import gc
import threading

import pytest

import _brivane
from _brivane import CachedDataset, DatasetRuntime

from dataset_support import corrupt_record, identities, sample_data, write_caches


def dataset(runtime, paths, prefetch_size=4, shuffle=False, seed=0):
    return CachedDataset(runtime, paths, seed, prefetch_size, shuffle, False)


# Repeated short strings (which the iterator hands out again as one str), a
# change back and forth, non-ASCII text and long strings.
TAGS = ["train", "train", "val", "train", "t\u00e9", "t\u00e9", "x" * 40, "x" * 40 + "y", ""]


def test_items_are_exact_four_tuples(tmp_path):
    runtime = DatasetRuntime(2)
    meta = lambda name, i: {"b": i % 2 == 0, "a": 7, "score": i / 4, "tag": TAGS[i], "n": -(2**63)}
    (path,) = write_caches(runtime, tmp_path, {"a": len(TAGS)}, meta=meta)
    items = list(dataset(runtime, [path]))
    assert len(items) == len(TAGS)
    for i, item in enumerate(items):
        assert type(item) is tuple and len(item) == 4
        data, metadata, cache_id, sample_id = item
        assert type(data) is bytes and data == sample_data("a", i)
        assert type(metadata) is dict
        assert list(metadata) == ["a", "b", "n", "score", "tag"]  # schema order
        assert metadata == {"a": 7, "b": i % 2 == 0, "n": -(2**63), "score": i / 4, "tag": TAGS[i]}
        assert [type(v) for v in metadata.values()] == [int, bool, int, float, str]
        assert (type(cache_id), type(sample_id)) == (int, int) and (cache_id, sample_id) == (0, i)


def test_large_and_lz4_samples_round_trip(tmp_path):
    runtime = DatasetRuntime(2)
    big = bytes(range(256)) * 4096
    from writer_support import Source, make_config

    sources = [Source("big", [(big, {"k": 0}), (b"", {"k": 1}), (big[::-1], {"k": 2})])]
    _brivane.write_cache(runtime, sources, str(tmp_path), make_config(algo="lz4"), False)
    items = list(dataset(runtime, [str(tmp_path / "big")]))
    assert [data for data, *_ in items] == [big, b"", big[::-1]]


def test_iterator_type_is_hidden_and_made_only_by_iter(tmp_path):
    runtime = DatasetRuntime(1)
    ds = dataset(runtime, write_caches(runtime, tmp_path, {"a": 2}))
    it = iter(ds)
    assert type(it).__name__ == "PyDatasetIterator"
    assert not hasattr(_brivane, "PyDatasetIterator")
    assert iter(it) is it
    with pytest.raises(TypeError):
        type(it)()
    assert type(iter(ds)) is type(it)
    assert len(list(it)) == len(ds) == 2


@pytest.mark.parametrize("workers, prefetch_size", [(1, 1), (2, 4)])
def test_failed_read_raises_once_then_the_iterator_ends(tmp_path, workers, prefetch_size):
    runtime = DatasetRuntime(workers)
    (path,) = write_caches(runtime, tmp_path, {"a": 10})
    corrupt_record(path, 5)
    it = iter(dataset(runtime, [path], prefetch_size=prefetch_size))
    seen = []
    with pytest.raises(ValueError) as raised:
        for item in it:
            seen.append(item[3])
    assert raised.value.args == ("metadata record length overflowed",)
    # With one read at a time everything before the bad sample comes out first;
    # with more, its failure may overtake them.
    if prefetch_size == 1:
        assert seen == list(range(5))
    else:
        assert seen == list(range(len(seen))) and len(seen) <= 5
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


def test_discarded_iterators_leave_the_pool_usable(tmp_path):
    runtime = DatasetRuntime(2)
    (path,) = write_caches(runtime, tmp_path, {"a": 300})
    ds = dataset(runtime, [path], prefetch_size=8)
    for _ in range(20):
        it = iter(ds)
        next(it)
        del it  # reads still in flight are cancelled, not waited for
    untouched = iter(ds)
    del untouched
    gc.collect()
    assert identities(ds) == [(0, i) for i in range(300)]


def test_dataset_may_go_while_its_iterator_runs(tmp_path):
    runtime = DatasetRuntime(2)
    (path,) = write_caches(runtime, tmp_path, {"a": 50})
    ds = dataset(runtime, [path])
    it = iter(ds)
    first = next(it)
    del ds, runtime
    gc.collect()
    assert identities([first] + list(it)) == [(0, i) for i in range(50)]


def test_one_worker_serves_many_iterators(tmp_path):
    runtime = DatasetRuntime(1)
    paths = write_caches(runtime, tmp_path, {"a": 20, "b": 13})
    expected = [(0, i) for i in range(20)] + [(1, i) for i in range(13)]
    ds = dataset(runtime, paths, prefetch_size=16)
    iterators = [iter(ds) for _ in range(25)]
    got = [[] for _ in iterators]
    for _ in range(len(expected)):
        for k, it in enumerate(iterators):
            got[k].append(next(it)[2:])
    assert got == [expected] * len(iterators)

    # Python threads iterating at once over the same single worker.
    results = [None] * 4

    def consume(k):
        results[k] = identities(dataset(runtime, paths, prefetch_size=3))

    threads = [threading.Thread(target=consume, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4


def test_shared_iterator_across_threads_yields_each_item_once(tmp_path):
    runtime = DatasetRuntime(2)
    (path,) = write_caches(runtime, tmp_path, {"a": 400})
    it = iter(dataset(runtime, [path]))
    seen = [[] for _ in range(3)]

    def consume(k):
        for item in it:
            seen[k].append(item[3])

    threads = [threading.Thread(target=consume, args=(k,)) for k in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(sum(seen, [])) == list(range(400))
    for part in seen:
        assert part == sorted(part)
