import copy
import pickle

import numpy as np
import pytest

import _quorvantis as q

COPIES = {
    "pickle": lambda o: pickle.loads(pickle.dumps(o, protocol=pickle.HIGHEST_PROTOCOL)),
    "pickle0": lambda o: pickle.loads(pickle.dumps(o, protocol=0)),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


@pytest.fixture(params=["forest", "linear"])
def model(request, small_data):
    X, t, y = small_data
    return q.create_model(X, t, y, method=request.param, feature_names=["a", "b", "c"])


def state(obj):
    return obj.__reduce__()[1][1]


def same_result(a, b):
    assert np.array_equal(a.predictions.view(np.uint64), b.predictions.view(np.uint64))
    assert np.float64(a.mean_effect).view(np.uint64) == np.float64(b.mean_effect).view(np.uint64)
    assert a.confidence_intervals == b.confidence_intervals
    assert a.feature_importance == b.feature_importance
    assert a.summary() == b.summary()
    assert a.to_dict() == b.to_dict()


@pytest.mark.parametrize("how", COPIES)
def test_copies_behave_exactly_like_the_original(model, small_data, how):
    clone = COPIES[how](model)
    assert type(clone) is q.Model and clone is not model
    assert state(clone)[1] == state(model)[1]  # same estimator bytes
    for x in (small_data[0], np.random.default_rng(3).normal(size=(500, 3))):
        same_result(clone.estimate_effects(x), model.estimate_effects(x))
    assert q.plot_model(clone, "importance") == q.plot_model(model, "importance")
    result, check = model.estimate_effects(small_data[0]), clone.validate()  # training arrays came along
    same_result(COPIES[how](result), result)
    check_copy = COPIES[how](check)
    assert (check_copy.is_robust, check_copy.message) == (check.is_robust, check.message)


def test_shallow_copy_shares_arrays_deep_copy_does_not(model, small_data):
    shallow, deep = state(copy.copy(model))[3:], state(copy.deepcopy(model))[3:]
    for original, s, d in zip(small_data, shallow, deep, strict=True):
        assert s is original and d is not original and np.array_equal(d, original)
    result = model.estimate_effects(small_data[0])
    assert copy.copy(result).predictions is result.predictions
    assert copy.deepcopy(result).predictions is not result.predictions


def test_restore_is_private_and_constructors_stay_closed():
    assert q._restore.__module__ == "_quorvantis" and "_restore" not in q.__all__
    for cls in (q.Model, q.InferenceResult, q.ValidationResult):
        with pytest.raises(TypeError):
            cls()
    with pytest.raises(TypeError):
        q._restore(3, ())


# (class, state item replaced or None for the whole state, replacement, error)
TAMPERED = [
    ("Model", None, [1], TypeError),
    ("Model", None, (1, b""), ValueError),
    ("Model", 0, "1", TypeError),
    ("Model", 0, 2, ValueError),
    ("Model", 1, "bytes", TypeError),
    ("Model", 2, ("a", 1), TypeError),
    ("Model", 3, np.zeros(3), TypeError),
    ("Model", 4, np.zeros(3, dtype=np.int64), TypeError),
    ("InferenceResult", 1, "0.5", TypeError),
    ("InferenceResult", 2, np.zeros((3, 2)), TypeError),
    ("InferenceResult", 3, b"\0" * 15, ValueError),
    ("InferenceResult", 4, ("x",), TypeError),
    ("ValidationResult", 1, 1, TypeError),
    ("ValidationResult", 2, b"msg", TypeError),
    ("Nope", None, (), ValueError),
]


@pytest.mark.parametrize("kind,index,bad,exc", TAMPERED)
def test_tampered_state_raises(model, small_data, kind, index, bad, exc):
    good = {
        "InferenceResult": model.estimate_effects(small_data[0]),
        "ValidationResult": model.validate(),
    }.get(kind, model)
    items = list(state(good))
    if index is not None:
        items[index] = bad
    with pytest.raises(exc):
        q._restore(kind, bad if index is None else tuple(items))


def test_fuzzed_estimator_bytes_raise_value_error(small_data):
    X, t, y = small_data
    for method in ("forest", "linear"):
        s = state(q.create_model(X, t, y, method=method))
        good = s[1]
        rng = np.random.default_rng(99)
        cases = [good[:k] for k in range(len(good))]
        for _ in range(1500):
            b = bytearray(good)
            b[rng.integers(len(b))] ^= 1 << int(rng.integers(8))
            cases.append(bytes(b))
        cases += [rng.bytes(int(rng.integers(0, 300))) for _ in range(300)]
        cases += [good[:8] + rng.bytes(int(rng.integers(0, 300))) for _ in range(300)]
        for bad in cases:
            with pytest.raises(ValueError, match="^invalid serialised model: "):
                q._restore("Model", (1, bad) + s[2:])
        assert type(q._restore("Model", s)) is q.Model
