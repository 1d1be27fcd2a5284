import _brivane
import brivane


def test_module_imports():
    assert _brivane.__name__ == "_brivane"
    assert brivane is not None
