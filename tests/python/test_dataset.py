"""CachedDataset: construction, epoch length and the order of its epochs."""

import inspect
import json
import os

import pytest

from _brivane import CachedDataset, DatasetRuntime

from dataset_support import edit_manifest, empty_out, identities, sample_data, write_caches

VECTORS = os.path.join(os.path.dirname(__file__), "..", "vectors", "sampling.json")


@pytest.fixture(scope="module")
def runtime():
    return DatasetRuntime(2)


def dataset(runtime, paths, seed=0, prefetch_size=4, shuffle=False, validate_cache=False):
    return CachedDataset(runtime, paths, seed, prefetch_size, shuffle, validate_cache)


# ---- construction -----------------------------------------------------------


def test_construction_refusals_in_their_order(runtime, tmp_path):
    good, float_i, empty = write_caches(
        runtime, tmp_path, {"good": 2, "float_i": 2, "empty": 1},
        meta=lambda name, i: {"i": 0.5 if name == "float_i" else i},
    )
    empty_out(empty)
    missing = str(tmp_path / "missing")
    cases = [
        # The argument checks come before any cache is looked at.
        (([], 0), "CachedDataset requires at least one cache path"),
        (([missing], 0), "prefetch_size must be greater than zero"),
        (([good, missing], 1), f"missing manifest: {missing}/manifest.json"),
        (([good, float_i], 1), "all caches must share the same metadata schema"),
        (([empty, empty], 1), "dataset contains no physical samples"),
    ]
    for (paths, prefetch_size), message in cases:
        with pytest.raises(ValueError) as raised:
            dataset(runtime, paths, prefetch_size=prefetch_size)
        assert raised.value.args == (message,)


def test_schema_fields_in_another_order_are_refused(runtime, tmp_path):
    first, second = write_caches(
        runtime, tmp_path, {"first": 1, "second": 1}, meta=lambda name, i: {"a": 1, "b": "x"}
    )
    edit_manifest(second, lambda m: m["metadata_schema"].reverse())
    with pytest.raises(ValueError, match="^all caches must share the same metadata schema$"):
        dataset(runtime, [first, second])


def test_more_paths_than_workers_keep_path_order(tmp_path):
    one_worker = DatasetRuntime(1)
    sizes = {f"c{k}": 8 - k for k in range(8)}
    paths = write_caches(one_worker, tmp_path, sizes)
    for runtime in (one_worker, DatasetRuntime(3)):
        ds = dataset(runtime, paths)
        assert len(ds) == sum(sizes.values())
        items = list(ds)
        expected = [(sample_data(name, i), k, i) for k, (name, n) in enumerate(sizes.items()) for i in range(n)]
        assert [(data, cache_id, sample_id) for data, _, cache_id, sample_id in items] == expected


def test_same_path_twice_and_an_empty_cache_in_the_middle(runtime, tmp_path):
    a, empty, b = write_caches(runtime, tmp_path, {"a": 2, "empty": 1, "b": 2})
    empty_out(empty)
    ds = dataset(runtime, [a, empty, b, a])
    assert len(ds) == 6
    assert identities(ds) == [(0, 0), (0, 1), (2, 0), (2, 1), (3, 0), (3, 1)]


def test_validated_caches_open_and_read(runtime, tmp_path):
    paths = write_caches(runtime, tmp_path, {"a": 3, "b": 4})
    ds = dataset(runtime, paths, validate_cache=True)
    assert len(ds) == 7
    assert [data for data, *_ in ds] == [sample_data("a", i) for i in range(3)] + [
        sample_data("b", i) for i in range(4)
    ]


def test_runtime_may_go_before_the_dataset(tmp_path):
    runtime = DatasetRuntime(2)
    paths = write_caches(runtime, tmp_path, {"a": 3})
    ds = dataset(runtime, paths)
    del runtime
    assert identities(ds) == [(0, 0), (0, 1), (0, 2)]


def test_arguments_are_converted_with_their_names(runtime, tmp_path):
    (path,) = write_caches(runtime, tmp_path, {"a": 1})
    ds = CachedDataset(runtime=runtime, paths=(path,), seed=2**64 - 1, prefetch_size=True, shuffle=False,
                       validate_cache=False)
    assert len(ds) == 1
    cases = [
        (dict(paths=path), TypeError, "paths"),
        (dict(runtime=object()), TypeError, "runtime"),
        (dict(shuffle=1), TypeError, "shuffle"),
        (dict(seed=2**64), OverflowError, "seed"),
        (dict(prefetch_size=-1), OverflowError, "prefetch_size"),
    ]
    for override, error, name in cases:
        args = dict(runtime=runtime, paths=[path], seed=0, prefetch_size=1, shuffle=False, validate_cache=False)
        args.update(override)
        with pytest.raises(error) as raised:
            CachedDataset(**args)
        assert f"while processing '{name}'" in getattr(raised.value, "__notes__", [])


def test_signatures_and_method_table():
    assert str(inspect.signature(CachedDataset)) == "(runtime, paths, seed, prefetch_size, shuffle, validate_cache)"
    methods = [name for name, value in vars(CachedDataset).items() if callable(value) and not name.startswith("__")]
    assert methods == ["metadata_ipc", "samples_metadata_ipc", "update_metadata_ipc", "set_samples_metadata_ipc",
                       "set_epoch_len"]
    assert str(inspect.signature(CachedDataset.set_epoch_len)) == "(self, /, epoch_len)"
    assert CachedDataset.set_epoch_len.__doc__ == "Set the finite number of samples emitted by future iterators."


# ---- epoch length -----------------------------------------------------------


def test_epoch_length(runtime, tmp_path):
    paths = write_caches(runtime, tmp_path, {"a": 3, "b": 4})
    ds = dataset(runtime, paths)
    assert len(ds) == 7
    before = iter(ds)
    assert ds.set_epoch_len(epoch_len=2) is None
    assert len(ds) == 2
    assert len(list(before)) == 7  # an existing iterator keeps its length
    assert len(list(ds)) == 2
    with pytest.raises(ValueError) as raised:
        ds.set_epoch_len(0)
    assert raised.value.args == ("epoch_len must be at least 1",)
    assert len(ds) == 2

    ds.set_epoch_len(2**63 - 1)
    assert len(ds) == 2**63 - 1
    for too_long in (2**63, 2**64 - 1):
        ds.set_epoch_len(too_long)
        with pytest.raises(OverflowError) as raised:
            len(ds)
        assert raised.value.args == ()
    with pytest.raises(OverflowError):
        ds.set_epoch_len(2**64)


def test_single_item_epoch(tmp_path):
    runtime = DatasetRuntime(4)
    paths = write_caches(runtime, tmp_path, {"a": 5})
    ds = dataset(runtime, paths, prefetch_size=64)
    ds.set_epoch_len(1)
    it = iter(ds)
    assert identities([next(it)]) == [(0, 0)]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


# ---- sampling order -----------------------------------------------------------


@pytest.mark.parametrize(
    "population, epoch, expected",
    [
        (5, 3, [[0, 1, 2], [3, 4, 0], [1, 2, 3]]),
        (2, 5, [[0, 1, 0, 1, 0], [1, 0, 1, 0, 1]]),
    ],
)
def test_sequential_epochs_continue_cyclically(runtime, tmp_path, population, epoch, expected):
    paths = write_caches(runtime, tmp_path, {"a": population})
    ds = dataset(runtime, paths)
    ds.set_epoch_len(epoch)
    # An abandoned iterator moves the next start just as a finished one.
    assert [[sample for _, sample in identities(iter(ds))] for _ in expected] == expected
    abandoned = iter(ds)
    next(abandoned)
    fresh = dataset(runtime, paths)
    fresh.set_epoch_len(epoch)
    for _ in range(len(expected) + 1):
        iter(fresh)
    assert identities(ds) == identities(fresh)


def uniform_vectors(population):
    with open(VECTORS) as f:
        cases = json.load(f)["uniform"]
    by_seed = {}
    for case in cases:
        if case["population"] == population and case["draw"] <= 1000:
            by_seed.setdefault(case["seed"], {})[case["draw"]] = case["index"]
    return by_seed


def test_shuffled_epochs_follow_the_seeded_draws(runtime, tmp_path):
    # Caches of 3 and 4 samples: physical index p is (0, p) below 3, else (1, p - 3).
    paths = write_caches(runtime, tmp_path, {"a": 3, "b": 4})
    vectors = uniform_vectors(7)
    assert vectors and all(1000 in draws for draws in vectors.values())
    for seed, draws in vectors.items():
        ds = dataset(runtime, paths, seed=seed, shuffle=True)
        ds.set_epoch_len(501)
        # The second epoch continues at draw 501, so draw 1000 is its item 499.
        physical = [c * 3 + s for c, s in identities(ds) + identities(ds)]
        for draw, index in draws.items():
            assert physical[draw] == index, (seed, draw)


def test_shuffled_order_does_not_depend_on_workers_or_prefetch(tmp_path):
    paths = write_caches(DatasetRuntime(1), tmp_path, {"a": 5, "b": 6})
    runs = []
    for workers, prefetch_size in [(1, 1), (3, 2), (2, 64)]:
        ds = dataset(DatasetRuntime(workers), paths, seed=12345, prefetch_size=prefetch_size, shuffle=True)
        ds.set_epoch_len(40)
        runs.append([identities(ds) for _ in range(3)])
    assert runs[0] == runs[1] == runs[2]
    assert runs[0][0] != runs[0][1]  # the second epoch is no replay of the first


def test_shuffled_draw_offset_overflow(runtime, tmp_path):
    paths = write_caches(runtime, tmp_path, {"a": 2})
    ds = dataset(runtime, paths, shuffle=True)
    ds.set_epoch_len(2**64 - 1)
    first = iter(ds)
    assert len(identities([next(first), next(first)])) == 2
    with pytest.raises(ValueError) as raised:
        iter(ds)
    assert raised.value.args == ("shuffled draw offset overflowed u64",)
