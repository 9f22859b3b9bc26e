import ctypes
import gc
import inspect
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import _quorvantis as q
import quorvantis

FUNCTION_SIGNATURES = {
    "analyze_flow": "()",
    "create_model": "(features, treatment, outcome, method='forest', feature_names=None)",
    "plot_model": "(model, plot='graph')",
}
CLASSES = ["Model", "InferenceResult", "ValidationResult"]


def test_module_surface():
    assert q.__all__ == ["analyze_flow", "create_model", "plot_model", *CLASSES]
    assert q.__doc__ == ""
    # The package re-exports the extension's names first, as the same objects, then its own.
    assert quorvantis.__all__[: len(q.__all__)] == q.__all__
    assert all(getattr(quorvantis, name) is getattr(q, name) for name in q.__all__)
    assert all(hasattr(quorvantis, name) for name in quorvantis.__all__)


@pytest.mark.parametrize("name,signature", FUNCTION_SIGNATURES.items())
def test_function_signatures(name, signature):
    function = getattr(q, name)
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ is None  # the documentation text is the signature alone


def test_analyze_flow():
    first, second = q.analyze_flow(), q.analyze_flow()
    assert first == second == "Rust core analysis results" and len(first) == 26
    with pytest.raises(TypeError):
        q.analyze_flow(1)


@pytest.mark.parametrize("name", CLASSES)
def test_class_properties(name, small_data):
    cls = getattr(q, name)
    assert cls.__name__ == name and cls.__bases__ == (object,)
    assert cls.__doc__ in ("", None)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    for attribute in ("__reduce__", "extra"):
        with pytest.raises(TypeError):
            setattr(cls, attribute, None)
    model = q.create_model(*small_data, method="linear")
    instance = {
        "Model": model,
        "InferenceResult": model.estimate_effects(small_data[0]),
        "ValidationResult": model.validate(),
    }[name]
    assert type(instance) is cls
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)
    with pytest.raises(AttributeError):
        instance.anything = 1


def test_internal_failure_is_base_exception():
    assert issubclass(q.InternalFailure, BaseException)
    assert not issubclass(q.InternalFailure, Exception)


def test_second_initialisation_fails():
    library = ctypes.PyDLL(q.__file__)
    library.PyInit__quorvantis.restype = ctypes.py_object
    with pytest.raises(ImportError):
        library.PyInit__quorvantis()


class Tagged(np.ndarray):
    pass


@pytest.mark.parametrize("holder", ["Model", "InferenceResult"])
def test_cycles_through_held_arrays_are_collected(small_data, holder):
    X, t, y = small_data
    if holder == "Model":
        array = X.view(Tagged)
        array.owner = q.create_model(array, t, y, method="linear")
    else:
        array = np.zeros(2).view(Tagged)
        array.owner = q._restore("InferenceResult", (1, 0.0, array, bytes(32), (), None))
    alive = weakref.ref(array)
    del array
    gc.collect()
    assert alive() is None


def test_no_second_module_in_one_process():
    code = textwrap.dedent("""
        import sys, numpy as np, _quorvantis as q, _xxsubinterpreters as interpreters
        try:
            interpreters.run_string(interpreters.create(), "import _quorvantis")
            print("subinterpreter imported")
        except interpreters.RunFailedError as error:
            print("subinterpreter", "ImportError" in str(error) and "initialised twice" in str(error))
        del sys.modules["_quorvantis"]
        try:
            import _quorvantis
            print("reimported")
        except ImportError:
            print("reimport ImportError")
        m = q.create_model(np.zeros((4, 1)), np.array([1.0, 0, 1, 0]), np.arange(4.0), method="linear")
        print("still works", m.estimate_effects(np.zeros((1, 1))).mean_effect)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.stdout.splitlines() == ["subinterpreter True", "reimport ImportError", "still works -1.0"], (
        proc.stderr[-2000:]
    )
