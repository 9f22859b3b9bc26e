"""The arrays a model or result keeps: changed in place, narrower than the forest, or dropped."""

import ctypes
import pickle

import numpy as np
import pytest

import _quorvantis as q

NARROW = "Missing feature data: feature index 1 out of bounds"
EMPTY = "Empty data: training or inference data cannot be empty"
STALE = "the model's stored training arrays no longer fit the model: "
MODEL_CALLS = {
    "show": lambda m: m.show(),
    "plot_effects": lambda m: m.plot_effects(),
    "plot_importance": lambda m: m.plot_importance(),
    "to_html": lambda m: m.to_html(),
    "to_visual_tag": lambda m: m.to_visual_tag("effect_dist"),
    "preview": lambda m: m.preview(),
    "plot_model": lambda m: q.plot_model(m, "importance"),
    "validate": lambda m: m.validate(),
}


def data(n=200, p=3):
    rng = np.random.default_rng(8)
    X = rng.random((n, p))
    t = (np.arange(n) % 2).astype(float)
    return X, t, X[:, 0] + t * (1 + 2 * (X[:, 1] > 0.5))


@pytest.fixture(scope="module")
def estimator():
    X, t, y = data()
    return q.create_model(X, t, y).__reduce__()[1][1][1]


def restored(estimator, features):
    _, t, y = data()
    return q._restore("Model", (1, estimator, None, features, t, y))


@pytest.mark.parametrize(
    "features,message",
    [
        (data()[0][:, :1], NARROW),
        (data()[0][:0], EMPTY),
    ],
    ids=["narrow", "empty"],
)
@pytest.mark.parametrize("call", MODEL_CALLS)
def test_unusable_stored_features_raise_the_prediction_error(estimator, features, message, call):
    with pytest.raises(ValueError) as info:
        MODEL_CALLS[call](restored(estimator, features))
    assert str(info.value) == (STALE if call == "validate" else "") + message


EXPECTED = "expected a float64 numpy.ndarray with {} dimension{}, now a numpy.ndarray "
CHANGES = [  # (stored array, in-place change, what the error says it is now)
    ("features", lambda a: setattr(a, "shape", (a.size,)), "with 1 dimension"),
    ("features", lambda a: setattr(a, "dtype", np.int64), "of dtype int64"),
    ("treatment", lambda a: setattr(a, "shape", (2, a.size // 2)), "with 2 dimensions"),
    ("outcome", lambda a: setattr(a, "dtype", np.uint8), "of dtype uint8"),
]
CALLS = {
    "validate": lambda m: m.validate(),
    "show": lambda m: m.show(),
    "plot_model": lambda m: q.plot_model(m),
}


# Only validate reads the treatment and outcome.
@pytest.mark.parametrize(
    "which,change,now,call",
    [
        pytest.param(*change, call, id=f"{change[0]} {change[2]}-{call}")
        for change in CHANGES
        for call in CALLS
        if change[0] == "features" or call == "validate"
    ],
)
def test_stored_arrays_changed_in_place_are_named_as_such(which, change, now, call):
    arrays = dict(zip(["features", "treatment", "outcome"], data(), strict=True))
    model = q.create_model(*arrays.values())
    change(arrays[which])
    with pytest.raises(TypeError) as info:
        CALLS[call](model)
    verb = "were" if which == "features" else "was"
    ndim = 2 if which == "features" else 1
    assert str(info.value) == (
        f"the model's training {which} {verb} changed after create_model: "
        + EXPECTED.format(ndim, "s" if ndim == 2 else "")
        + now
    )


def test_result_predictions_changed_in_place_are_named_as_such():
    result = q.create_model(*data(), method="linear").estimate_effects(np.zeros((4, 3)))
    result.predictions.shape = (2, 2)
    with pytest.raises(TypeError) as info:
        result.to_dict("effect_dist")
    assert str(info.value) == (
        "the result's predictions were changed after estimate_effects: "
        + EXPECTED.format(1, "")
        + "with 2 dimensions"
    )


def tp_clear(obj):
    """What the collector does to an object in a cycle; a finaliser may still reach it after."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    slot = get_slot(type(obj), 51)  # Py_tp_clear
    assert slot, f"{type(obj).__name__} has no tp_clear"
    assert ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)(slot)(obj) == 0


def test_methods_of_cleared_objects_raise_runtime_error():
    X, t, y = data()
    model = q.create_model(X, t, y)
    result = model.estimate_effects(X)
    tp_clear(model)
    tp_clear(result)
    calls = [
        model.validate,
        model.show,
        model.to_html,
        lambda: q.plot_model(model),
        lambda: pickle.dumps(model),
        lambda: result.predictions,
        result.summary,
        lambda: repr(result),
        result.to_dict,
        result._repr_html_,
        lambda: pickle.dumps(result),
    ]
    for call in calls:
        with pytest.raises(RuntimeError, match="released by the garbage collector"):
            call()
    assert model.estimate_effects(X).predictions.shape == (200,)  # the estimator itself stays
