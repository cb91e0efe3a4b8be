import copy
import ctypes
import os
import pickle
import weakref

import pytest

import _torrelm
from _torrelm import PrefixSearch

from conftest import build, panic_exception


def test_module_attributes():
    assert _torrelm.__all__ == ["PrefixSearch"]
    assert _torrelm.__doc__ == ""
    assert not hasattr(_torrelm, "PanicException")


def test_type_attributes():
    assert PrefixSearch.__name__ == "PrefixSearch"
    assert PrefixSearch.__qualname__ == "PrefixSearch"
    assert PrefixSearch.__module__ == "builtins"
    assert PrefixSearch.__doc__ is None
    assert PrefixSearch.__base__ is object
    method = PrefixSearch.from_internal_data_v2
    assert method.__text_signature__ == (
        "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)"
    )
    assert method.__doc__ is None


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {"x": 2})])
def test_class_cannot_be_called(args, kwargs):
    with pytest.raises(TypeError) as caught:
        PrefixSearch(*args, **kwargs)
    assert str(caught.value) == "No constructor defined for PrefixSearch"


@pytest.mark.parametrize(
    "action, error",
    [
        (lambda obj: type("Sub", (PrefixSearch,), {}), TypeError),
        (lambda obj: setattr(obj, "x", 1), AttributeError),
        (lambda obj: weakref.ref(obj), TypeError),
        (lambda obj: pickle.dumps(obj), TypeError),
        (lambda obj: copy.copy(obj), TypeError),
    ],
    ids=["subclass", "setattr", "weakref", "pickle", "copy"],
)
def test_instances_refuse_extras(index, action, error):
    with pytest.raises(error):
        action(index)


def test_static_constructor_works_through_an_instance(index):
    assert type(index.from_internal_data_v2([0], [""], [None], [], [], 0)) is PrefixSearch


def test_reinitialisation_returns_the_same_module():
    library = ctypes.PyDLL(_torrelm.__file__)
    library.PyInit__torrelm.restype = ctypes.py_object
    assert library.PyInit__torrelm() is _torrelm
    assert library.PyInit__torrelm() is _torrelm


def test_second_interpreter_is_refused():
    _testcapi = pytest.importorskip("_testcapi")
    read_end, write_end = os.pipe()
    code = f"""if 1:
        import os
        try:
            import _torrelm
            outcome = "imported"
        except BaseException as error:
            outcome = type(error).__name__ + ": " + str(error)
        os.write({write_end}, outcome.encode())
    """
    try:
        assert _testcapi.run_in_subinterp(code) == 0
        os.close(write_end)
        outcome = os.read(read_end, 4096).decode()
    finally:
        os.close(read_end)
    assert outcome.startswith("ImportError: ")
    assert "sub-interpreters" in outcome


def test_panic_exception_shape(capfd):
    panic = panic_exception()
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "BaseException" in panic.__doc__
    with pytest.raises(BaseException) as caught:
        try:
            PrefixSearch.from_internal_data_v2([0, 5], ["", "a"], [None, None], [1], [], 1)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert type(caught.value) is panic
    assert caught.value.args == ("index out of bounds: the len is 1 but the index is 1",)
    report = capfd.readouterr().err
    assert "internal fault" in report
    assert "index out of bounds: the len is 1 but the index is 1" in report


def test_the_panic_class_is_created_once():
    assert panic_exception() is panic_exception()


def test_instances_are_released(index):
    ref_count = __import__("sys").getrefcount
    before = ref_count(PrefixSearch)
    objects = [build() for _ in range(100)]
    assert ref_count(PrefixSearch) == before + 100
    del objects
    assert ref_count(PrefixSearch) == before
