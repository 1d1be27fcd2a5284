"""How a pulled (data, metadata) item becomes a stored sample."""

import array
import json
import math

import numpy as np
import pytest

import _brivane
from writer_support import Source, make_config, read_cache


@pytest.fixture(scope="module")
def runtime():
    return _brivane.DatasetRuntime(2)


def write_one(runtime, base, item):
    [result] = _brivane.write_cache(runtime, Source("s", [item]), str(base), make_config(), False)
    return result


class BytesWithIndex(bytes):
    def __index__(self):
        return 2


class Count:
    def __index__(self):
        return 4


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"abc", b"abc"),
        (b"", b""),
        (bytearray(b"xyz"), b"xyz"),
        (memoryview(b"xy"), b"xy"),
        (memoryview(b"abcdef")[::2], b"ace"),
        (array.array("H", [1, 258]), array.array("H", [1, 258]).tobytes()),
        (np.arange(4, dtype=np.uint16), np.arange(4, dtype=np.uint16).tobytes()),
        (np.arange(12, dtype=np.uint8).reshape(3, 4).T, np.arange(12, dtype=np.uint8).reshape(3, 4).T.tobytes()),
        (3, b"\0\0\0"),
        (0, b""),
        (Count(), b"\0" * 4),
        ([1, 2], b"\x01\x02"),
        (iter([255]), b"\xff"),
        (BytesWithIndex(b"zzz"), b"\0\0"),  # bytearray() asks for an index first
    ],
)
def test_data_is_converted_as_bytearray_would(runtime, tmp_path, data, expected):
    assert bytes(bytearray(data if not hasattr(data, "__next__") else [255])) == expected
    result = write_one(runtime, tmp_path, (data, {}))
    assert result[0] == "success", result
    [(stored, meta)] = read_cache(tmp_path / "s")[1]
    assert stored == expected and meta == {}


@pytest.mark.parametrize("data", ["abc", None, -1, [256], 1.5, object()])
def test_data_that_bytearray_refuses(runtime, tmp_path, data):
    assert write_one(runtime, tmp_path, (data, {})) == ("error", "s", "data must be bytes-like")


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floatable:
    def __float__(self):
        return 0.25


class BadIndex:
    def __index__(self):
        raise ValueError("no")

    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "value, kind, stored",
    [
        (True, "bool", True),
        (np.True_, "bool", True),
        (np.False_, "bool", False),
        (1, "int", 1),
        (-(2**63), "int", -(2**63)),
        (2**63 - 1, "int", 2**63 - 1),
        (2**63, "float", 9223372036854775808.0),
        (-(2**64), "float", -18446744073709551616.0),
        (np.int64(-5), "int", -5),
        (np.uint64(2**64 - 1), "float", 18446744073709551615.0),
        (Indexable(7), "int", 7),
        (1.5, "float", 1.5),
        (np.float32(0.5), "float", 0.5),
        (Floatable(), "float", 0.25),
        (BadIndex(), "float", 2.5),
        ("x", "string", "x"),
        ("", "string", ""),
        ("é\"\\\n", "string", "é\"\\\n"),
    ],
)
def test_metadata_values(runtime, tmp_path, value, kind, stored):
    result = write_one(runtime, tmp_path, (b"d", {"a": value}))
    assert result[0] == "success", result
    manifest, [(_, meta)] = read_cache(tmp_path / "s")
    assert manifest["metadata_schema"] == [{"name": "a", "kind": kind}]
    assert meta == {"a": stored} and type(meta["a"]) is type(stored)


@pytest.mark.parametrize("value", [None, b"x", [1], {}, 2**2000, "\ud800", object()])
def test_metadata_values_of_other_types(runtime, tmp_path, value):
    assert write_one(runtime, tmp_path, (b"d", {"a": value})) == (
        "error", "s", "metadata values must be bool, int, float, or str")


@pytest.mark.parametrize(
    "item, message",
    [
        ([b"d", {}], "CacheSource must yield CacheInput tuples"),
        (b"d", "CacheSource must yield CacheInput tuples"),
        ((b"d",), "CacheInput must contain data and metadata"),
        ((b"d", {}, 1), "CacheInput must contain data and metadata"),
        ((b"d", [("a", 1)]), "metadata must be a dict"),
        ((b"d", None), "metadata must be a dict"),
        ((b"d", {1: "x"}), "metadata keys must be strings"),
        (("abc", {1: "x"}), "data must be bytes-like"),  # data is checked first
        ((b"d", {"a": None, 1: "x"}), "metadata values must be bool, int, float, or str"),
    ],
)
def test_item_shape(runtime, tmp_path, item, message):
    assert write_one(runtime, tmp_path, item) == ("error", "s", message)


def test_unencodable_key_is_a_python_error(runtime, tmp_path):
    status, _, detail = write_one(runtime, tmp_path, (b"d", {"\udc80": 1}))
    assert status == "error"
    assert detail.startswith("Python error: UnicodeEncodeError: ")


def test_tuple_and_dict_subclasses_are_accepted(runtime, tmp_path):
    class Item(tuple):
        pass

    class Meta(dict):
        pass

    class Key(str):
        pass

    assert write_one(runtime, tmp_path, Item((b"d", Meta({Key("k"): 1}))))[0] == "success"
    assert read_cache(tmp_path / "s")[1] == [(b"d", {"k": 1})]


def test_dict_order_does_not_matter(runtime, tmp_path):
    items = [(b"1", {"b": 1, "a": "x", "c": 0.5}), (b"2", {"c": 1.5, "b": 2, "a": "y"})]
    assert _brivane.write_cache(runtime, [Source("s", items)], str(tmp_path), make_config(), False)[0][0] == "success"
    manifest, stored = read_cache(tmp_path / "s")
    assert [f["name"] for f in manifest["metadata_schema"]] == ["a", "b", "c"]
    assert stored == [(b"1", {"a": "x", "b": 1, "c": 0.5}), (b"2", {"a": "y", "b": 2, "c": 1.5})]


def test_keys_changing_during_the_walk_are_an_internal_fault(runtime, tmp_path):
    from _brivane_internal import InternalFault

    metadata = {}

    class Swap:
        def __index__(self):
            # Same size, but the walk now meets one entry more than it began with.
            del metadata["a"]
            metadata["c"] = 3
            return 1

    metadata.update(a=Swap(), b=2)
    with pytest.raises(InternalFault) as info:
        write_one(runtime, tmp_path, (b"d", metadata))
    assert info.value.args == ("dictionary keys changed during iteration",)


def test_value_conversion_dropping_its_own_entry_is_safe(runtime, tmp_path):
    from _brivane_internal import InternalFault

    metadata = {}

    class Dropper:
        def __index__(self):
            metadata.clear()
            return 1

    metadata["a"] = Dropper()
    with pytest.raises(InternalFault, match="^dictionary changed size during iteration$"):
        write_one(runtime, tmp_path, (b"d", metadata))


def test_floats_round_trip_exactly(runtime, tmp_path):
    values = [0.1, 1e16, 1.5e-7, -0.0, 5e-324, 1.7976931348623157e308, 123456789.123]
    items = [(b"", {"f": v}) for v in values]
    assert _brivane.write_cache(runtime, Source("s", items), str(tmp_path), make_config(), False)[0][0] == "success"
    stored = [meta["f"] for _, meta in read_cache(tmp_path / "s")[1]]
    assert [v.hex() for v in stored] == [v.hex() for v in values]
    assert math.copysign(1, stored[3]) == -1


class Interrupting:
    def __index__(self):
        raise KeyboardInterrupt("in index")


def interrupting_data():
    yield 1
    raise KeyboardInterrupt("in data")


@pytest.mark.parametrize("item, text", [
    ((interrupting_data(), {}), "KeyboardInterrupt: in data"),
    ((b"d", {"a": Interrupting()}), "KeyboardInterrupt: in index"),
])
def test_interrupt_during_conversion_is_not_lost(runtime, tmp_path, item, text):
    with pytest.raises(KeyboardInterrupt) as info:
        _brivane.write_cache(runtime, [Source("s", [item]), Source("t", [(b"x", {})])], str(tmp_path), make_config(),
                             False)
    assert info.value.args == (text,)
    assert not (tmp_path / "t").exists()
    assert list((tmp_path / "tmp").iterdir()) == []
