import gc
import inspect
import re

import pytest

from _brivane import DatasetRuntime

NOTE = "while processing 'num_workers'"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


FULL_NAME = "brivane-worker-"


def worker_threads(thread_names):
    """{thread id: index} of the pool's worker threads alive now.

    The OS keeps 15 bytes of a thread name, so a worker may show a shortened
    "brivane-worker-" prefix before its index.
    """
    workers = {}
    for tid, name in thread_names().items():
        match = re.fullmatch(r"(brivane-\D*)(\d+)", name)
        if match and FULL_NAME.startswith(match.group(1)):
            workers[tid] = int(match.group(2))
    return workers


@pytest.mark.parametrize(
    "value, error",
    [
        (-1, OverflowError),
        (-(2**70), OverflowError),
        (2**64, OverflowError),
        (Index(-3), OverflowError),
        (2.0, TypeError),
        ("1", TypeError),
        (None, TypeError),
    ],
)
def test_refused_worker_counts_carry_the_argument_note(value, error):
    with pytest.raises(error) as info:
        DatasetRuntime(value)
    assert type(info.value) is error
    assert info.value.__notes__ == [NOTE]


@pytest.mark.parametrize("value", [True, 1, Index(2)])
def test_integer_like_worker_counts_are_accepted(value):
    assert isinstance(DatasetRuntime(value), DatasetRuntime)


def test_zero_workers_is_a_value_error_with_exactly_the_message():
    with pytest.raises(ValueError) as info:
        DatasetRuntime(0)
    assert info.value.args == ("num_workers must be greater than zero",)
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1, 2), {}),
        ((1,), {"num_workers": 1}),
        ((), {"workers": 1}),
        ((), {"num_workers": 1, "extra": 2}),
    ],
)
def test_wrong_call_shapes_are_type_errors(args, kwargs):
    with pytest.raises(TypeError):
        DatasetRuntime(*args, **kwargs)


def test_a_pool_too_large_to_start_is_a_worker_failure():
    with pytest.raises(RuntimeError) as info:
        DatasetRuntime(2**64 - 1)
    assert info.value.args == ("runtime worker failed",)


def test_num_workers_may_be_passed_by_keyword():
    assert isinstance(DatasetRuntime(num_workers=1), DatasetRuntime)


def test_class_surface():
    assert DatasetRuntime.__doc__ == ""
    assert DatasetRuntime.__text_signature__ == "(num_workers)"
    assert str(inspect.signature(DatasetRuntime)) == "(num_workers)"
    assert DatasetRuntime.__mro__ == (DatasetRuntime, object)
    assert DatasetRuntime.__module__ == "_brivane"
    assert "__init__" not in vars(DatasetRuntime)
    assert [name for name in dir(DatasetRuntime(1)) if not name.startswith("__")] == []


def test_workers_are_named_by_index_and_end_after_the_runtime_is_gone(thread_names, wait_until):
    before = set(worker_threads(thread_names))
    runtime = DatasetRuntime(3)
    started = {tid: i for tid, i in worker_threads(thread_names).items() if tid not in before}
    assert sorted(started.values()) == [0, 1, 2]
    names = thread_names()
    assert len({names[tid][: -len(str(i))] for tid, i in started.items()}) == 1

    del runtime
    assert wait_until(lambda: not set(started) & set(thread_names()))


class Subclass(DatasetRuntime):
    pass


class WithNew(DatasetRuntime):
    def __new__(cls, count, label):
        self = super().__new__(cls, count)
        self.label = label
        return self


def test_subclasses_construct_and_release_their_pool(thread_names, wait_until):
    before = set(worker_threads(thread_names))
    plain = Subclass(2)
    labelled = WithNew(1, "x")
    assert isinstance(plain, DatasetRuntime) and labelled.label == "x"
    started = set(worker_threads(thread_names)) - before
    assert len(started) == 3

    del plain, labelled
    gc.collect()
    assert wait_until(lambda: not started & set(thread_names()))


def test_many_runtimes_leave_no_threads_behind(thread_names, wait_until):
    baseline = len(thread_names())
    for _ in range(20):
        DatasetRuntime(2)
    assert wait_until(lambda: len(thread_names()) <= baseline)
