"""write_cache: list and single modes, destinations, failures and interrupts."""

import inspect
import os
import pathlib
import signal
from types import SimpleNamespace

import pytest

import _brivane
from writer_support import Source, make_config, read_cache, samples


@pytest.fixture(scope="module")
def runtime():
    return _brivane.DatasetRuntime(2)


@pytest.fixture
def base(tmp_path):
    return tmp_path / "caches"


def write(runtime, sources, base, config=None, reuse=False):
    return _brivane.write_cache(runtime, sources, str(base), config or make_config(), reuse)


def test_signature():
    assert _brivane.write_cache.__text_signature__ == "(runtime, sources, base_cache_dir, writer_config, reuse_existing)"
    assert list(inspect.signature(_brivane.write_cache).parameters) == [
        "runtime", "sources", "base_cache_dir", "writer_config", "reuse_existing"]


class TestModes:
    def test_list_mode_writes_every_source_in_order(self, runtime, base):
        a, b = samples(30), samples(5, size=100, meta={"s": "x"})
        results = write(runtime, [Source("a", a), Source("b", b)], base)
        assert results == [("success", "a", str(base / "a")), ("success", "b", str(base / "b"))]
        assert all(type(r) is tuple for r in results)
        for name, expected in (("a", a), ("b", b)):
            manifest, got = read_cache(base / name)
            assert manifest["source_name"] == name
            assert got == expected
        assert os.listdir(base / "tmp") == []

    def test_single_mode_takes_the_object_as_one_source(self, runtime, base):
        assert write(runtime, Source("one", samples(3)), base) == [("success", "one", str(base / "one"))]
        assert read_cache(base / "one")[1] == samples(3)

    def test_empty_list_gives_empty_results(self, runtime, base):
        assert write(runtime, [], base) == []
        assert not base.exists()

    def test_tuple_is_one_source_without_a_name(self, runtime, base):
        [result] = write(runtime, (Source("a", samples(1)),), base)
        assert result[:2] == ("error", "source[0]")
        assert result[2].startswith("Python error: AttributeError: ")

    def test_list_subclass_is_a_list(self, runtime, base):
        class Sources(list):
            pass

        assert write(runtime, Sources([Source("a", samples(1))]), base)[0][0] == "success"

    def test_names_are_used_unchanged(self, runtime, base):
        results = write(runtime, [Source("a/", samples(1)), Source("b/.", samples(1))], base)
        assert results == [("success", "a/", str(base) + "/a/"), ("success", "b/.", str(base) + "/b/.")]
        assert read_cache(base / "a")[0]["source_name"] == "a/"

    def test_unusable_entries_fail_by_position_and_the_rest_is_written(self, runtime, base):
        entries = [SimpleNamespace(), Source("", []), Source("x/y", []), SimpleNamespace(name=5), Source("ok", samples(2))]
        results = write(runtime, entries, base)
        assert [r[:2] for r in results] == [("error", f"source[{i}]") for i in range(4)] + [("success", "ok")]
        assert results[1][2] == "CacheSource.name must not be empty"
        assert results[2][2] == "CacheSource.name must be a plain path segment"
        assert results[3][2] == "Python error: TypeError: 'int' object is not an instance of 'str'"

    def test_base_dir_is_created(self, runtime, tmp_path):
        base = tmp_path / "a" / "b" / "c"
        assert write(runtime, [Source("s", samples(1))], base)[0][0] == "success"
        assert sorted(os.listdir(base)) == ["s", "tmp"]

    def test_empty_source_fails(self, runtime, base):
        assert write(runtime, [Source("e", [])], base) == [("error", "e", "cache source yielded no samples")]
        assert os.listdir(base / "tmp") == []
        assert write(runtime, Source("e", []), base) == [("error", "e", "cache source yielded no samples")]


class TestDestinations:
    def test_existing_destination_is_refused_untouched(self, runtime, base):
        (base / "a").mkdir(parents=True)
        (base / "a" / "keep").write_text("x")
        for sources in ([Source("a", samples(1))], Source("a", samples(1))):
            assert write(runtime, sources, base) == [("error", "a", f"cache path already exists: {base / 'a'}")]
        assert os.listdir(base) == ["a"]  # not even the staging parent
        assert os.listdir(base / "a") == ["keep"]

    def test_reuse_without_validation_trusts_whatever_is_there(self, runtime, base):
        base.mkdir()
        (base / "a").write_text("not a cache")
        pulled = []
        source = Source("a", lambda: pulled.append(1) or iter(samples(1)))
        assert write(runtime, [source], base, reuse=True) == [("success", "a", str(base / "a"))]
        assert write(runtime, source, base, reuse=True) == [("success", "a", str(base / "a"))]
        assert pulled == []
        assert (base / "a").read_text() == "not a cache"

    def test_reuse_with_validation_checks_the_cache(self, runtime, base):
        assert write(runtime, [Source("a", samples(4))], base)[0][0] == "success"
        config = make_config(validate_cache=True)
        before = {p: p.stat().st_mtime_ns for p in (base / "a").rglob("*")}
        assert write(runtime, [Source("a", samples(9))], base, config, reuse=True) == [("success", "a", str(base / "a"))]
        assert {p: p.stat().st_mtime_ns for p in (base / "a").rglob("*")} == before

        index = base / "a" / "index.bin"
        data = bytearray(index.read_bytes())
        data[0] ^= 1
        index.write_bytes(bytes(data))
        [result] = write(runtime, Source("a", samples(9)), base, config, reuse=True)
        assert result == ("error", "a", f"checksum mismatch for {index}")
        assert index.read_bytes() == bytes(data)

    def test_reuse_without_destination_writes_anew(self, runtime, base):
        assert write(runtime, [Source("a", samples(2))], base, make_config(validate_cache=True), reuse=True)[0][0] == "success"
        assert read_cache(base / "a")[1] == samples(2)

    def test_stale_staging_is_replaced(self, runtime, base):
        stale = base / "tmp" / "a" / "shards"
        stale.mkdir(parents=True)
        (stale / "000009.bin").write_bytes(b"junk")
        (base / "tmp" / "other").mkdir()
        assert write(runtime, [Source("a", samples(2))], base)[0][0] == "success"
        read_cache(base / "a")
        assert os.listdir(base / "tmp") == ["other"]

    def test_source_named_tmp_never_succeeds(self, runtime, base):
        # No staging parent yet: the whole cache is staged in tmp/tmp, then the
        # rename onto the non-empty staging parent fails.
        [result] = write(runtime, Source("tmp", samples(2)), base)
        assert result[:2] == ("error", "tmp")
        assert result[2].startswith("I/O error: ")
        assert os.listdir(base / "tmp") == []
        [result] = write(runtime, [Source("tmp", samples(2))], base)
        assert result == ("error", "tmp", f"cache path already exists: {base / 'tmp'}")

    @pytest.mark.skipif(os.geteuid() == 0, reason="root ignores directory permissions")
    def test_unremovable_staging_is_reported_per_mode(self, runtime, base):
        def failing():
            yield from samples(2)
            os.chmod(base / "tmp", 0o500)
            raise ValueError("boom")

        try:
            [listed] = write(runtime, [Source("a", failing)], base)
            os.chmod(base / "tmp", 0o700)
            [single] = write(runtime, Source("b", failing), base)
        finally:
            os.chmod(base / "tmp", 0o700)
        assert listed[2].startswith("Python error: ValueError: boom; cleanup failed: I/O error: ")
        assert single[2].startswith("I/O error: ")


class TestSourceFailures:
    def failing_after(self, n, exc):
        def generate():
            yield from samples(n)
            raise exc

        return generate

    def test_iterator_error_fails_its_source_only(self, runtime, base):
        sources = [Source("a", self.failing_after(10, ValueError("bad row"))), Source("b", samples(3))]
        results = write(runtime, sources, base)
        assert results == [("error", "a", "Python error: ValueError: bad row"), ("success", "b", str(base / "b"))]
        assert os.listdir(base / "tmp") == []
        assert not (base / "a").exists()
        [single] = write(runtime, Source("c", self.failing_after(10, ValueError("bad row"))), base)
        assert single == ("error", "c", "Python error: ValueError: bad row")
        assert os.listdir(base / "tmp") == []

    def test_iter_failure(self, runtime, base):
        class NotIterable:
            name = "n"

        results = write(runtime, [NotIterable(), Source("b", samples(1))], base)
        assert results[0] == ("error", "n", "Python error: TypeError: 'NotIterable' object is not iterable")
        assert results[1][0] == "success"

    def test_schema_violation_fails_the_source_and_later_samples_are_still_pulled(self, runtime, base):
        pulled = []

        def generate():
            for i, item in enumerate([(b"a", {"k": 1}), (b"b", {"k": 1, "j": 2}), (b"c", {"k": 1})]):
                pulled.append(i)
                yield item

        for sources in ([Source("a", generate), Source("b", samples(1))], Source("a", generate)):
            pulled.clear()
            results = write(runtime, sources, base)
            assert results[0] == ("error", "a", "metadata keys must be identical for every sample")
            assert os.listdir(base / "tmp") == []
        assert results == [("error", "a", "metadata keys must be identical for every sample")]

    def test_first_failure_wins(self, runtime, base):
        def generate():
            yield b"a", {"k": 1}
            yield b"b", {"k": "text"}
            raise ValueError("later")

        [result] = write(runtime, [Source("a", generate)], base, make_config(prefetch_size=1))
        assert result == ("error", "a", "metadata field 'k' expected int, got string")

    def test_conversion_failure_fails_the_source(self, runtime, base):
        results = write(runtime, [Source("a", [(b"x", {}), [b"y", {}]]), Source("b", samples(1))], base)
        assert results[0] == ("error", "a", "CacheSource must yield CacheInput tuples")
        assert results[1][0] == "success"


class TestCallEnding:
    def interrupting(self, exc, after=3):
        def generate():
            yield from samples(after)
            raise exc

        return generate

    @pytest.mark.parametrize("exc, kind, text", [
        (KeyboardInterrupt("stop"), KeyboardInterrupt, "KeyboardInterrupt: stop"),
        (KeyboardInterrupt(), KeyboardInterrupt, "KeyboardInterrupt: "),
        (SystemExit(3), SystemExit, "SystemExit: 3"),
    ])
    def test_interrupt_in_list_mode(self, runtime, base, exc, kind, text):
        sources = [Source("a", samples(5)), Source("b", self.interrupting(exc)), Source("c", samples(1))]
        with pytest.raises(kind) as info:
            write(runtime, sources, base)
        assert info.value.args == (text,)
        read_cache(base / "a")  # handed over completely before the interrupt: published
        assert not (base / "b").exists() and not (base / "c").exists()
        assert os.listdir(base / "tmp") == []

    def test_interrupt_in_single_mode(self, runtime, base):
        with pytest.raises(KeyboardInterrupt):
            write(runtime, Source("a", self.interrupting(KeyboardInterrupt())), base)
        assert os.listdir(base / "tmp") == []
        assert not (base / "a").exists()

    def test_interrupt_from_a_name_getter(self, runtime, base):
        class Named:
            @property
            def name(self):
                raise KeyboardInterrupt("in name")

        with pytest.raises(KeyboardInterrupt, match="^KeyboardInterrupt: in name$"):
            write(runtime, [Source("a", samples(1)), Named()], base)
        read_cache(base / "a")
        with pytest.raises(KeyboardInterrupt):
            write(runtime, Named(), base)

    def test_signal_handlers_run_between_samples(self, runtime, base):
        # A list iterator runs no Python code, so only the writer's own checks
        # can run the handler.
        items = samples(400_000, size=8)
        fired = []

        def handler(signum, frame):
            fired.append(signum)
            raise KeyboardInterrupt("alarm")

        previous = signal.signal(signal.SIGALRM, handler)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            with pytest.raises(KeyboardInterrupt, match="^KeyboardInterrupt: alarm$"):
                write(runtime, [Source("big", items)], base)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        assert fired == [signal.SIGALRM]
        assert os.listdir(base / "tmp") == []

    def test_dict_changing_during_conversion_is_an_internal_fault(self, runtime, base):
        from _brivane_internal import InternalFault

        metadata = {}

        class Sneaky:
            def __index__(self):
                metadata["added"] = 1
                return 1

        metadata["a"] = Sneaky()
        with pytest.raises(InternalFault, match="^dictionary changed size during iteration$"):
            write(runtime, [Source("a", [(b"x", metadata)])], base)
        assert os.listdir(base / "tmp") == []

    def test_entries_removed_during_the_walk_fail_the_call(self, runtime, base):
        sources = []

        def shrink():
            sources.pop()
            yield from samples(1)

        sources.extend([Source("a", shrink), Source("b", samples(1))])
        with pytest.raises(RuntimeError) as info:
            write(runtime, sources, base)
        assert info.value.args == ("runtime worker failed",)

    def test_entries_appended_during_the_walk_are_ignored(self, runtime, base):
        sources = []

        def grow():
            sources.append(Source("late", samples(1)))
            yield from samples(1)

        sources.append(Source("a", grow))
        assert write(runtime, sources, base) == [("success", "a", str(base / "a"))]
        assert not (base / "late").exists()


@pytest.mark.parametrize("position, value, argument", [
    (0, object(), "runtime"),
    (2, pathlib.Path("x"), "base_cache_dir"),
    (4, 1, "reuse_existing"),
])
def test_argument_errors(runtime, tmp_path, position, value, argument):
    args = [runtime, [], str(tmp_path), make_config(), False]
    args[position] = value
    with pytest.raises(TypeError) as info:
        _brivane.write_cache(*args)
    assert f"while processing '{argument}'" in info.value.__notes__


def test_keyword_arguments(runtime, tmp_path):
    assert _brivane.write_cache(reuse_existing=False, writer_config=make_config(), base_cache_dir=str(tmp_path),
                                sources=[], runtime=runtime) == []
    with pytest.raises(TypeError):
        _brivane.write_cache(runtime, [], str(tmp_path), make_config())
