"""The active sample table seen from Python: its export as Arrow IPC bytes and
its validated replacement, read and built with pyarrow as users do."""

import hashlib
import inspect
import math
import os

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.ipc
import pytest

import _brivane
from dataset_support import edit_manifest, identities, write_caches


@pytest.fixture(scope="module")
def runtime():
    return _brivane.DatasetRuntime(2)


def meta(name, i):
    return {"i": i, "label": f"{name}{i}", "score": i / 2, "flag": i % 2 == 0}


def open_dataset(runtime, paths, shuffle=False, seed=7):
    return _brivane.CachedDataset(runtime, paths, seed, 4, shuffle, False)


@pytest.fixture
def paths(runtime, tmp_path):
    """Caches a (3 samples) and b (2 samples)."""
    return write_caches(runtime, tmp_path, {"a": 3, "b": 2}, meta=meta)


@pytest.fixture
def ds(runtime, paths):
    return open_dataset(runtime, paths)


def read(ipc):
    return pa.ipc.open_file(pa.py_buffer(ipc))


def table_of(ipc):
    return read(ipc).read_all()


def ipc_file(table, **options):
    sink = pa.BufferOutputStream()
    with pa.ipc.new_file(sink, table.schema, **options) as writer:
        writer.write_table(table)
    return sink.getvalue().to_pybytes()


def rows_table(cache_ids, sample_ids, weights, weight_type=pa.float64(), **replace):
    """A replacement table with valid metadata columns, any of them swappable."""
    n = len(cache_ids)
    columns = {
        "cache_id": pa.array(cache_ids, pa.uint64()),
        "sample_id": pa.array(sample_ids, pa.uint64()),
        "flag": pa.array([True] * n),
        "i": pa.array(range(n), pa.int64()),
        "label": pa.array(["x"] * n),
        "score": pa.array([0.0] * n),
        "weight": pa.array(weights, weight_type),
    }
    columns.update(replace)
    return pa.table({k: v for k, v in columns.items() if v is not None})


class TestExport:
    def test_default_table_of_two_caches(self, ds):
        ipc = ds.metadata_ipc()
        assert type(ipc) is bytes
        reader = read(ipc)
        assert reader.schema == pa.schema([
            pa.field("cache_id", pa.uint64(), nullable=False),
            pa.field("sample_id", pa.uint64(), nullable=False),
            pa.field("flag", pa.bool_(), nullable=False),
            pa.field("i", pa.int64(), nullable=False),
            pa.field("label", pa.utf8(), nullable=False),
            pa.field("score", pa.float64(), nullable=False),
            pa.field("weight", pa.float64(), nullable=False),
        ])
        assert reader.schema.metadata is None
        assert reader.num_record_batches == 2
        first, second = (reader.get_batch(k).to_pydict() for k in range(2))
        assert first["cache_id"] == [0, 0, 0] and first["sample_id"] == [0, 1, 2]
        assert second == {
            "cache_id": [1, 1], "sample_id": [0, 1], "flag": [True, False], "i": [0, 1],
            "label": ["b0", "b1"], "score": [0.0, 0.5], "weight": [1.0, 1.0],
        }
        assert first["label"] == ["a0", "a1", "a2"]

    def test_calls_repeat_byte_for_byte_under_both_names(self, ds):
        ipc = ds.metadata_ipc()
        assert ds.metadata_ipc() == ipc
        assert ds.samples_metadata_ipc() == ipc

    def test_each_stored_batch_gives_one_output_batch(self, runtime, tmp_path):
        [path] = write_caches(runtime, tmp_path, {"c": 5}, meta=meta)
        stored_path = os.path.join(path, "metadata.arrow")
        stored = pa.ipc.open_file(stored_path).read_all()
        with pa.ipc.new_file(stored_path, stored.schema) as writer:
            for batch in stored.to_batches(max_chunksize=2)[:1] + stored.slice(2).to_batches():
                writer.write_batch(batch)
        with open(stored_path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        edit_manifest(path, lambda m: m.update(metadata_sha256=digest))

        reader = read(open_dataset(runtime, [path]).metadata_ipc())
        assert [reader.get_batch(k).column("sample_id").to_pylist() for k in range(2)] == [[0, 1], [2, 3, 4]]
        assert reader.read_all().column("i").to_pylist() == [0, 1, 2, 3, 4]

    def test_caches_without_metadata_export_identities_and_weights(self, runtime, tmp_path):
        paths = write_caches(runtime, tmp_path, {"a": 2, "b": 1}, meta=lambda name, i: {})
        table = table_of(open_dataset(runtime, paths).metadata_ipc())
        assert table.column_names == ["cache_id", "sample_id", "weight"]
        assert table.to_pydict() == {"cache_id": [0, 0, 1], "sample_id": [0, 1, 0], "weight": [1.0] * 3}

    def test_stored_replacement_survives_a_deleted_metadata_file(self, ds, paths):
        replacement = ipc_file(rows_table([1], [1], [2.5]))
        ds.update_metadata_ipc(replacement)
        os.remove(os.path.join(paths[0], "metadata.arrow"))
        assert ds.metadata_ipc() == replacement

    def test_default_export_needs_the_metadata_files(self, ds, paths):
        os.remove(os.path.join(paths[1], "metadata.arrow"))
        with pytest.raises(RuntimeError, match=r"^I/O error: "):
            ds.metadata_ipc()


class TestUpdate:
    def test_unchanged_export_round_trips(self, ds):
        ipc = ds.metadata_ipc()
        assert ds.update_metadata_ipc(ipc) is None
        assert ds.metadata_ipc() == ipc
        assert identities(ds) == [(0, 0), (0, 1), (0, 2), (1, 0), (1, 1)]

    def test_extra_nullable_columns_and_metadata_come_back_unchanged(self, ds):
        table = rows_table([0, 1], [2, 0], [1, 1]).append_column("note", pa.array([None, "n"]))
        table = table.replace_schema_metadata({"owner": "me"})
        ipc = ipc_file(table)
        ds.set_samples_metadata_ipc(ipc=ipc)
        assert ds.samples_metadata_ipc() == ipc
        assert identities(ds)[:2] == [(0, 2), (1, 0)]

    def test_int64_weights_are_taken_as_numbers(self, runtime, paths):
        ds = open_dataset(runtime, paths, shuffle=True)
        ds.update_metadata_ipc(ipc_file(rows_table([0, 1], [0, 1], [1, 10**12], pa.int64())))
        ds.set_epoch_len(200)
        drawn = identities(ds)
        assert set(drawn) <= {(0, 0), (1, 1)}
        assert drawn.count((1, 1)) >= 199

    def test_large_utf8_metadata_is_accepted(self, ds):
        ds.update_metadata_ipc(ipc_file(rows_table([0], [1], [1], label=pa.array(["x"], pa.large_utf8()))))
        assert identities(ds) == [(0, 1)] * 5

    @pytest.mark.parametrize("table, message", [
        (rows_table([0], [0], [1], label=None), "samples metadata missing 'label' column"),
        (rows_table([0], [0], [1], i=pa.array([1], pa.int32())),
         "samples metadata column 'i' must have Arrow type Int64"),
        (rows_table([0], [0], [1], weight=None), "samples metadata missing 'weight' column"),
        (rows_table([0, None], [0, 0], [1, 1]), "samples metadata column 'cache_id' contains null"),
        (rows_table([0], [0], [1], sample_id=pa.array([0.0])), "samples metadata column 'sample_id' must be an integer"),
        (rows_table([0], [0], [1], sample_id=pa.array([0], pa.int16())),
         "samples metadata column 'sample_id' must be an integer"),
        (rows_table([0], [0], [1], cache_id=pa.array([-1], pa.int64())),
         "samples metadata column 'cache_id' must be non-negative"),
        (rows_table([0], [0], ["1"], pa.utf8()), "samples metadata column 'weight' must be numeric"),
        (rows_table([0, 2], [0, 0], [1, 1]), "unknown samples metadata row identity cache_id=2 sample_id=0"),
        (rows_table([1], [2], [1]), "unknown samples metadata row identity cache_id=1 sample_id=2"),
        (rows_table([], [], []), "metadata table must include at least one sample"),
    ], ids=["missing", "int32-metadata", "no-weight", "null", "float-id", "int16-id", "negative", "text-weight",
            "unknown-cache", "unknown-sample", "empty"])
    def test_refusals(self, ds, table, message):
        with pytest.raises(ValueError) as raised:
            ds.update_metadata_ipc(ipc_file(table))
        assert str(raised.value) == message

    @pytest.mark.parametrize("bad", [0.0, -1.0, math.nan, math.inf])
    def test_bad_weight_is_named_by_its_row_over_all_batches(self, ds, bad):
        first = rows_table([0, 0, 0], [0, 1, 2], [1, 1, 1])
        second = rows_table([1, 1, 0], [0, 1, 0], [1, 1, bad])
        table = pa.concat_tables([first, second])
        assert table.column("weight").num_chunks == 2
        with pytest.raises(ValueError, match=r"^weight 5 must be positive and finite$"):
            ds.update_metadata_ipc(ipc_file(table))

    def test_only_bytes_are_taken(self, ds):
        ipc = ds.metadata_ipc()
        for wrong in (bytearray(ipc), memoryview(ipc), None):
            with pytest.raises(TypeError) as raised:
                ds.update_metadata_ipc(wrong)
            assert "while processing 'ipc'" in raised.value.__notes__

        class Subclass(bytes):
            pass

        ds.update_metadata_ipc(Subclass(ipc))

    def test_streams_and_garbage_are_arrow_errors(self, ds):
        table = rows_table([0], [0], [1])
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, table.schema) as writer:
            writer.write_table(table)
        for wrong in (sink.getvalue().to_pybytes(), b"", b"ARROW1 and nothing else"):
            with pytest.raises(RuntimeError, match=r"^Arrow error: "):
                ds.update_metadata_ipc(wrong)

    def test_failed_update_changes_nothing(self, ds):
        ds.update_metadata_ipc(ipc_file(rows_table([1, 0, 0], [1, 2, 0], [1, 1, 1])))
        ds.set_epoch_len(2)
        before = ds.metadata_ipc()
        assert identities(ds) == [(1, 1), (0, 2)]
        with pytest.raises(ValueError):
            ds.update_metadata_ipc(ipc_file(rows_table([0], [0], [-1])))
        assert ds.metadata_ipc() == before
        assert len(ds) == 2
        # The sequential cursor kept its place: the next epoch goes on from row 2.
        assert identities(ds) == [(0, 0), (1, 1)]

    def test_next_iterators_start_at_row_zero(self, ds):
        ds.set_epoch_len(3)
        assert identities(ds) == [(0, 0), (0, 1), (0, 2)]
        ds.update_metadata_ipc(ipc_file(rows_table([1, 1, 0], [1, 1, 0], [1, 1, 1])))
        assert len(ds) == 3
        assert identities(ds) == [(1, 1), (1, 1), (0, 0)]

    def test_next_shuffled_iterators_start_at_draw_zero(self, runtime, paths):
        replacement = ipc_file(rows_table([0, 0, 1, 1], [0, 2, 0, 1], [1, 2, 3, 4]))
        fresh = open_dataset(runtime, paths, shuffle=True)
        fresh.update_metadata_ipc(replacement)
        used = open_dataset(runtime, paths, shuffle=True)
        list(used)
        list(used)
        used.update_metadata_ipc(replacement)
        assert identities(used) == identities(fresh)

    def test_running_iterator_keeps_its_table(self, ds):
        running = iter(ds)
        ds.update_metadata_ipc(ipc_file(rows_table([1], [0], [1])))
        assert identities(running) == [(0, 0), (0, 1), (0, 2), (1, 0), (1, 1)]
        assert identities(ds) == [(1, 0)] * 5


def test_filtering_with_pyarrow_compute_and_installing(ds):
    table = table_of(ds.metadata_ipc())
    kept = table.filter(pc.equal(table.column("flag"), True))
    kept = kept.set_column(kept.schema.get_field_index("weight"), "weight",
                           pc.add(kept.column("score"), 1.0))
    ds.update_metadata_ipc(ipc_file(kept))
    ds.set_epoch_len(3)
    assert identities(ds) == [(0, 0), (0, 2), (1, 0)]
    items = list(ds)
    assert [m["label"] for _, m, _, _ in items] == ["a0", "a2", "b0"]
    assert table_of(ds.metadata_ipc()).column("weight").to_pylist() == [1.0, 2.0, 1.0]


def test_method_signatures_and_docstrings():
    cls = _brivane.CachedDataset
    assert cls.metadata_ipc.__doc__ == "Return Arrow IPC metadata for the current active sample table."
    assert cls.samples_metadata_ipc.__doc__ == (
        "Return Arrow IPC metadata using the compatibility native method name.")
    assert cls.set_samples_metadata_ipc.__doc__ == "Replace metadata using the compatibility native method name."
    assert "validated identities and weights" in cls.update_metadata_ipc.__doc__
    for name in ("metadata_ipc", "samples_metadata_ipc"):
        assert getattr(cls, name).__text_signature__ == "($self)"
    for name in ("update_metadata_ipc", "set_samples_metadata_ipc"):
        assert getattr(cls, name).__text_signature__ == "($self, ipc)"
        assert list(inspect.signature(getattr(cls, name)).parameters) == ["self", "ipc"]
