import importlib.util
import sys

import _brivane

PUBLIC_ORDER = ["write_cache", "validate_source_paths", "DatasetRuntime", "CachedDataset"]


def public_names(module):
    return [name for name in vars(module) if not name.startswith("__")]


def fresh_module_object():
    """A second module object built from the same extension."""
    spec = importlib.util.find_spec("_brivane")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_namespace_holds_only_the_public_names_in_order():
    names = public_names(_brivane)
    assert "DatasetRuntime" in names
    assert set(names) <= set(PUBLIC_ORDER)
    assert names == [name for name in PUBLIC_ORDER if name in names]
    assert not hasattr(_brivane, "InternalFault")
    assert not hasattr(_brivane, "PyDatasetIterator")


def test_module_has_empty_docstring():
    assert _brivane.__doc__ == ""


def test_internal_fault_is_a_direct_base_exception():
    from _brivane_internal import InternalFault

    assert InternalFault.__mro__ == (InternalFault, BaseException, object)
    assert InternalFault.__module__ == "_brivane"
    assert InternalFault.__qualname__ == "InternalFault"
    assert not issubclass(InternalFault, Exception)
    doc = InternalFault.__doc__
    assert "fails unrecoverably" in doc
    assert "SystemExit" in doc and "BaseException" in doc


def test_every_module_object_gets_its_own_types_but_one_internal_fault():
    fault = sys.modules["_brivane_internal"].InternalFault
    other = fresh_module_object()
    assert public_names(other) == public_names(_brivane)
    assert other.DatasetRuntime is not _brivane.DatasetRuntime
    assert sys.modules["_brivane_internal"].InternalFault is fault
    assert isinstance(other.DatasetRuntime(1), other.DatasetRuntime)
