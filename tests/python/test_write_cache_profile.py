"""The profiling report of write_cache."""

import json
import os
import struct
from types import SimpleNamespace

import pytest

import _brivane
from writer_support import Source, make_config, read_cache, samples

STAGES = ["compression", "disk_write", "finish_index", "finish_manifest", "finish_metadata", "ingress_wait",
          "metadata_validate", "publish", "python_extract", "python_next", "record_encode", "shard_flush"]


@pytest.fixture(scope="module")
def runtime():
    return _brivane.DatasetRuntime(2)


def profiled(path, **overrides):
    return make_config(profiler=SimpleNamespace(enabled=True, path=str(path)), **overrides)


def stages_of(report, name):
    [entry] = [s for s in report["sources"] if s["source_name"] == name]
    return {stage["name"]: stage for stage in entry["stages"]}


def test_report_shape_and_counts(runtime, tmp_path):
    report_path = tmp_path / "profile" / "report.json"
    report_path.parent.mkdir()
    report_path.write_text("x" * 100000)  # replaced, not appended to
    b_items, a_items = samples(7, size=33), samples(3, size=5)
    sources = [Source("b", b_items), Source("a", a_items)]
    results = _brivane.write_cache(runtime, sources, str(tmp_path / "out"), profiled(report_path), False)
    assert [r[0] for r in results] == ["success", "success"]

    text = report_path.read_text()
    report = json.loads(text)
    assert not text.endswith("\n")
    assert text == json.dumps(report, indent=2)
    assert list(report) == ["format_version", "elapsed_ns", "sources"]
    assert report["format_version"] == 1
    assert isinstance(report["elapsed_ns"], int) and report["elapsed_ns"] > 0
    assert [s["source_name"] for s in report["sources"]] == ["a", "b"]
    for entry in report["sources"]:
        assert list(entry) == ["source_name", "stages"]
        assert [s["name"] for s in entry["stages"]] == STAGES
        assert all(list(s) == ["name", "calls", "total_ns", "bytes"] for s in entry["stages"])

    for name, items in (("b", b_items), ("a", a_items)):
        stages = stages_of(report, name)
        n = len(items)
        data_bytes = sum(len(d) for d, _ in items)
        manifest, _ = read_cache(tmp_path / "out" / name)
        record_bytes = sum(s["byte_len"] for s in manifest["shards"])
        expected = {
            "python_next": (n + 1, 0), "python_extract": (n, data_bytes), "ingress_wait": (n, 0),
            "metadata_validate": (n, 0), "compression": (n, data_bytes), "record_encode": (n, record_bytes),
            "disk_write": (n, record_bytes), "shard_flush": (1, 0), "finish_metadata": (1, 0),
            "finish_index": (1, 0), "finish_manifest": (1, 0), "publish": (1, 0),
        }
        assert {k: (v["calls"], v["bytes"]) for k, v in stages.items()} == expected


def test_failed_source_has_no_finish_or_publish(runtime, tmp_path):
    report_path = tmp_path / "r.json"

    def failing():
        yield from samples(2)
        raise ValueError("x")

    _brivane.write_cache(runtime, [Source("f", failing)], str(tmp_path / "out"), profiled(report_path), False)
    stages = stages_of(json.loads(report_path.read_text()), "f")
    assert stages["python_next"]["calls"] == 3
    assert "publish" not in stages and "shard_flush" not in stages


def test_report_is_written_when_the_call_fails(runtime, tmp_path):
    report_path = tmp_path / "r.json"
    with pytest.raises(ValueError, match="duplicate generated cache path"):
        _brivane.write_cache(runtime, [Source("a", []), Source("a", [])], str(tmp_path), profiled(report_path), False)
    assert json.loads(report_path.read_text())["sources"] == []

    def interrupted():
        yield from samples(4)
        raise KeyboardInterrupt

    report_path.unlink()
    with pytest.raises(KeyboardInterrupt):
        _brivane.write_cache(runtime, [Source("k", interrupted)], str(tmp_path), profiled(report_path), False)
    assert stages_of(json.loads(report_path.read_text()), "k")["python_extract"]["calls"] == 4


def test_no_report_when_the_configuration_fails(runtime, tmp_path):
    report_path = tmp_path / "r.json"
    with pytest.raises(ValueError):
        _brivane.write_cache(runtime, [], str(tmp_path), profiled(report_path, prefetch_size=0), False)
    assert not report_path.exists()


def test_empty_list_still_reports(runtime, tmp_path):
    report_path = tmp_path / "r.json"
    assert _brivane.write_cache(runtime, [], str(tmp_path), profiled(report_path), False) == []
    assert json.loads(report_path.read_text())["sources"] == []


def test_single_mode_report(runtime, tmp_path):
    report_path = tmp_path / "r.json"
    _brivane.write_cache(runtime, Source("s", samples(5)), str(tmp_path / "out"), profiled(report_path), False)
    stages = stages_of(json.loads(report_path.read_text()), "s")
    assert [name for name in stages] == STAGES
    assert stages["ingress_wait"]["calls"] == 5


@pytest.mark.parametrize("where", ["directory", "device"])
def test_report_failure_is_raised_after_the_caches_are_written(runtime, tmp_path, where):
    if where == "directory":
        path = tmp_path / "taken"
        path.mkdir()
        expected = "^I/O error: "
    else:
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        path = "/dev/full"  # accepts the file, refuses the bytes at the final flush
        expected = r"^I/O error: No space left on device \(os error 28\)$"
    with pytest.raises(RuntimeError, match=expected):
        _brivane.write_cache(runtime, [Source("a", samples(2))], str(tmp_path / "out"), profiled(path), False)
    read_cache(tmp_path / "out" / "a")
