"""validate_source_paths: the writer's duplicate-destination rule."""

import inspect
from types import SimpleNamespace

import pytest

import _brivane
from writer_support import make_config


def named(*names):
    return [SimpleNamespace(name=n) for n in names]


def test_signature_and_docstring():
    f = _brivane.validate_source_paths
    assert f.__text_signature__ == "(sources, base_cache_dir)"
    assert str(inspect.signature(f)) == "(sources, base_cache_dir)"
    assert f.__doc__ == "Share native destination validation with Python source-level process orchestration."
    assert f.__module__ == "_brivane"


@pytest.mark.parametrize(
    "names, base",
    [
        ((), "b"),
        (("a", "b", "A"), "b"),
        (("a", "./a"), "b"),  # "./a" is no plain name: skipped, not compared
    ],
)
def test_distinct_destinations_pass(names, base):
    assert _brivane.validate_source_paths(named(*names), base) is None


@pytest.mark.parametrize(
    "names, base, path",
    [
        (("a", "a/"), "base", "base/a/"),
        (("a", "b", "a/."), "base/", "base/a/."),
        (("x", "a", "a", "x"), "", "a"),
    ],
)
def test_first_repeat_is_reported(names, base, path):
    with pytest.raises(ValueError) as info:
        _brivane.validate_source_paths(named(*names), base)
    assert info.value.args == (f"duplicate generated cache path: {path}",)


def test_same_object_twice_is_a_duplicate():
    source = SimpleNamespace(name="a")
    with pytest.raises(ValueError, match="^duplicate generated cache path: d/a$"):
        _brivane.validate_source_paths([source, source], "d")


def test_bad_entries_are_skipped():
    class Interrupting:
        @property
        def name(self):
            raise KeyboardInterrupt

    entries = [SimpleNamespace(), SimpleNamespace(name=3), SimpleNamespace(name=""), SimpleNamespace(name="a/b"),
               Interrupting(), SimpleNamespace(name="a")]
    assert _brivane.validate_source_paths(entries, "d") is None


def test_file_system_is_not_consulted(tmp_path):
    (tmp_path / "a").mkdir()
    assert _brivane.validate_source_paths(named("a", "b"), str(tmp_path)) is None


def test_list_shrinking_during_the_walk_stops_it():
    entries = []

    class Shrinking:
        @property
        def name(self):
            entries.pop()  # drops the duplicate at the end
            return "a"

    entries.extend([Shrinking(), SimpleNamespace(name="b"), SimpleNamespace(name="a")])
    assert _brivane.validate_source_paths(entries, "d") is None


@pytest.mark.parametrize(
    "args, kwargs, argument",
    [
        ((tuple(named("a")), "d"), {}, "sources"),
        ((named("a"), b"d"), {}, "base_cache_dir"),
        ((), {"sources": named("a"), "base_cache_dir": None}, "base_cache_dir"),
    ],
)
def test_argument_types(args, kwargs, argument):
    with pytest.raises(TypeError) as info:
        _brivane.validate_source_paths(*args, **kwargs)
    assert f"while processing '{argument}'" in getattr(info.value, "__notes__", [])


def test_write_cache_applies_the_same_check(tmp_path):
    runtime = _brivane.DatasetRuntime(1)
    sources = [SimpleNamespace(name="a", __iter__=None), SimpleNamespace(name="a/")]
    with pytest.raises(ValueError, match=r"^duplicate generated cache path: .*/a/$"):
        _brivane.write_cache(runtime, sources, str(tmp_path), make_config(), False)
    assert list(tmp_path.iterdir()) == []
