import gc
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import _quorvantis as q

ARGS = ["features", "treatment", "outcome"]


class RaisingLen:
    def __len__(self):
        raise RuntimeError("len boom")

    def __getitem__(self, i):
        raise RuntimeError("getitem boom")


class RaisingIter(list):
    def __iter__(self):
        raise ValueError("iter boom")


def _swapped(a):
    return a.astype(a.dtype.newbyteorder())


def good_args(n=8, p=2):
    rng = np.random.default_rng(0)
    return [rng.normal(size=(n, p)), (np.arange(n) % 2).astype(float), rng.normal(size=n)]


# (value, dimensions it is refused for, what the reason must say it got)
BAD_VALUES = [
    ([[1.0, 2.0]], (1, 2), "got list"),
    ((1.0, 2.0), (1, 2), "got tuple"),
    (None, (1, 2), "got NoneType"),
    (3.0, (1, 2), "got float"),
    (np.float64(1.0), (1, 2), "got numpy.float64"),
    (RaisingLen(), (1, 2), "RaisingLen"),
    (np.zeros((4, 2), np.int64), (2,), "of dtype int64"),
    (np.zeros((4, 2), np.float32), (2,), "of dtype float32"),
    (np.zeros((4, 2), np.complex128), (2,), "of dtype complex128"),
    (_swapped(np.zeros((4, 2))), (2,), "of dtype >f8"),
    (np.zeros(4, np.int64), (1,), "of dtype int64"),
    (_swapped(np.zeros(4)), (1,), "of dtype >f8"),
    (np.zeros(()), (1, 2), "with 0 dimensions"),
    (np.zeros((2, 2, 2)), (1, 2), "with 3 dimensions"),
    (np.zeros(4), (2,), "with 1 dimension"),
    (np.zeros((4, 1)), (1,), "with 2 dimensions"),
    (np.array(["a", "b"]), (1,), "numpy.ndarray"),
    (np.zeros(4, dtype="datetime64[s]"), (1,), "numpy.ndarray"),
]


@pytest.mark.parametrize("position", range(3))
@pytest.mark.parametrize("value,refused_for,got", BAD_VALUES)
def test_bad_arrays_name_the_argument(position, value, refused_for, got):
    ndim = 2 if position == 0 else 1
    if ndim not in refused_for:
        return
    args = good_args()
    args[position] = value
    with pytest.raises(TypeError) as info:
        q.create_model(*args)
    text = str(info.value)
    noun = "dimensions" if ndim == 2 else "dimension"
    assert text.startswith(
        f"argument '{ARGS[position]}': expected a float64 numpy.ndarray with {ndim} {noun}, got "
    )
    assert got in text


def test_first_bad_argument_in_declaration_order_wins():
    with pytest.raises(TypeError, match="^argument 'treatment'"):
        q.create_model(np.zeros((2, 2)), [1.0], None, method=None)
    with pytest.raises(TypeError, match="^argument 'method'"):
        q.create_model(*good_args(), method=None, feature_names=5)
    with pytest.raises(TypeError, match="^argument 'features'"):
        q.create_model(None, *good_args()[1:], feature_names=RaisingIter(["a"]))


@pytest.mark.parametrize("method", ["Forest", " forest", "", "LINEAR", "forest ", "forêt"])
def test_unknown_method(method):
    with pytest.raises(ValueError) as info:
        q.create_model(*good_args(), method=method)
    assert str(info.value) == f"Unknown method: {method}. Supported methods are 'forest', 'linear'"


def test_unknown_method_beats_data_errors():
    with pytest.raises(ValueError, match="^Unknown method: x\\."):
        q.create_model(np.zeros((0, 3)), np.zeros(0), np.zeros(0), method="x")


@pytest.mark.parametrize(
    "names,accepted",
    [
        (None, True),
        (("a", "b"), True),
        (["a"], True),
        (["a", "b", "c"], True),
        ([], True),
        (np.array(["a", "b"]), True),
        (["a", 1], "got int at index 1"),
        ([b"a"], "got bytes at index 0"),
        (b"ab", "got int at index 0"),
        ({"a": 1}, "got dict"),
        ({"a"}, "got set"),
        (5, "got int"),
        (RaisingLen(), "RuntimeError: getitem boom"),
        (RaisingIter(["a"]), "ValueError: iter boom"),
    ],
)
def test_feature_names_conversion(names, accepted):
    if accepted is True:
        q.create_model(*good_args(), method="linear", feature_names=names)
        return
    with pytest.raises(TypeError) as info:
        q.create_model(*good_args(), method="linear", feature_names=names)
    assert str(info.value).startswith("argument 'feature_names': ")
    assert accepted in str(info.value)


def test_single_str_is_never_split():
    with pytest.raises(TypeError) as info:
        q.create_model(*good_args(), feature_names="age")
    assert str(info.value) == "argument 'feature_names': Can't extract `str` to `Vec`"


def test_binding_errors():
    X, t, y = good_args()
    for call in (
        lambda: q.create_model(X, t),
        lambda: q.create_model(X, t, y, "linear", None, 1),
        lambda: q.create_model(X, t, y, colour="red"),
        lambda: q.create_model(X, t, y, features=X),
    ):
        with pytest.raises(TypeError):
            call()
    model = q.create_model(features=X, treatment=t, outcome=y, method="linear", feature_names=None)
    assert isinstance(model, q.Model)


LINEAR_CASES = [
    ([1, 0, 1, 0], [3, 1, 5, 1], 3.0),
    ([0.7, 0.5], [4, 1], 3.0),
    ([1, np.nan], [4, 1], 3.0),
    ([1, 1], [4, 1], 0.0),
    ([], [], 0.0),
    ([1, 0], [4, 1, 100], 3.0),
]


@pytest.mark.parametrize("t,y,effect", LINEAR_CASES)
def test_linear_effect(t, y, effect):
    model = q.create_model(np.zeros((len(t), 2)), np.array(t, float), np.array(y, float), method="linear")
    result = model.estimate_effects(np.zeros((3, 2)))
    assert result.mean_effect == effect
    assert list(result.predictions) == [effect] * 3


def test_linear_nan_outcome_gives_nan():
    model = q.create_model(np.zeros((2, 1)), np.array([1.0, 0.0]), np.array([np.nan, 1.0]), method="linear")
    assert np.isnan(model.estimate_effects(np.zeros((2, 1))).mean_effect)


def _layouts(base):
    """The same values in every memory layout the binding must read in place."""
    raw = np.zeros(base.nbytes + 1, np.uint8)
    unaligned = raw[1:].view(np.float64).reshape(base.shape)
    unaligned[...] = base
    readonly = base.copy()
    readonly.flags.writeable = False
    wide = np.zeros((base.shape[0] * 3,) + base.shape[1:])
    wide[::3] = base
    reversed_ = base[::-1].copy()[::-1]
    layouts = {
        "unaligned": unaligned,
        "readonly": readonly,
        "strided": wide[::3],
        "negative": reversed_,
        "fortran": np.asfortranarray(base),
    }
    for name, array in layouts.items():
        assert np.array_equal(array, base, equal_nan=True), name
    return layouts


@pytest.mark.parametrize("layout", ["unaligned", "readonly", "strided", "negative", "fortran"])
def test_vectors_read_in_place_in_any_layout(layout):
    t = np.array([1, 0, 1, 0, 1, 0], float)
    y = np.array([3, 1, 5, 1, 7, -2], float)
    expected = (
        q.create_model(np.zeros((6, 1)), t, y, method="linear").estimate_effects(np.zeros((1, 1))).mean_effect
    )
    t2, y2 = _layouts(t)[layout], _layouts(y)[layout]
    x2 = _layouts(np.zeros((6, 2)))[layout]
    model = q.create_model(x2, t2, y2, method="linear")
    assert model.estimate_effects(x2).mean_effect == expected
    assert model.estimate_effects(x2).predictions.shape == (6,)


def test_outcome_shorter_than_treatment_is_refused():
    with pytest.raises(ValueError) as info:
        q.create_model(np.zeros((4, 1)), np.zeros(4), np.zeros(3), method="linear")
    assert "outcome has 3 entries" in str(info.value) and "treatment has 4" in str(info.value)


def test_model_keeps_its_arrays_alive():
    X, t, y = good_args()
    refs = [weakref.ref(a) for a in (X, t, y)]
    model = q.create_model(X, t, y, method="linear")
    del X, t, y
    gc.collect()
    assert all(r() is not None for r in refs)
    del model
    gc.collect()
    assert all(r() is None for r in refs)


def fit_in_child(setup, names="None"):
    """create_model on large arrays after `setup`; the freed memory of a resize goes back
    to the system, so reading it crashed the child."""
    code = (
        textwrap.dedent("""
        import numpy as np, _quorvantis as q
        rng = np.random.default_rng(0)
        X = rng.random((100_000, 3)); t = (np.arange(100_000) % 2) * 1.0; y = X[:, 0] + t
    """)
        + textwrap.dedent(setup)
        + textwrap.dedent(f"""
        try:
            m = q.create_model(X, t, y, feature_names={names})
            print("fitted", m.estimate_effects(X).predictions.size)
        except (TypeError, ValueError) as error:
            print(type(error).__name__, error)
    """)
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return proc.stdout


# (array resized while feature_names is iterated, new shape, what create_model must answer)
RESIZED = [
    ("X", (50_000, 3), "fitted 50000"),
    ("X", (200_000, 3), "ValueError treatment has 100000 entries but features has 200000 rows"),
    ("X", (0, 3), "ValueError Empty data"),
    ("t", (10,), "ValueError treatment has 10 entries but features has 100000 rows"),
    ("y", (10,), "ValueError outcome has 10 entries but features has 100000 rows"),
]


@pytest.mark.parametrize("which,shape,answer", RESIZED)
def test_arrays_resized_by_feature_names_are_read_as_they_are_now(which, shape, answer):
    out = fit_in_child(
        f"""
        class Names(list):
            def __iter__(self):
                {which}.resize({shape!r}, refcheck=False)
                return super().__iter__()
    """,
        names='Names(["a", "b", "c"])',
    )
    assert out.startswith(answer), out


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ exports from Python since 3.12")
def test_arrays_exporting_their_buffer_from_python_are_refused():
    out = fit_in_child("""
        class Exporter(np.ndarray):
            def __buffer__(self, flags):
                X.resize((10, 3), refcheck=False)
                return memoryview(self.view(np.ndarray))
        t = t.view(Exporter)
    """)
    assert out.startswith(
        "TypeError argument 'treatment': expected a float64 numpy.ndarray "
        "with 1 dimension, got __main__.Exporter"
    ), out
