"""Generated inputs: every failure is a clean Python exception, every success is consistent."""

import json
import math
import os
import tempfile
import webbrowser

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _quorvantis as q

settings.register_profile("quorvantis", derandomize=True, deadline=None, max_examples=150,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
                          phases=[p for p in Phase if p is not Phase.explain])
# QUORVANTIS_HYPOTHESIS=hunt: random, many more examples, for bug hunting outside CI.
settings.register_profile("hunt", parent=settings.get_profile("quorvantis"), derandomize=False,
                          max_examples=1000)
settings.load_profile(os.environ.get("QUORVANTIS_HYPOTHESIS", "quorvantis"))
EXAMPLES = settings().max_examples

ALLOWED = (TypeError, ValueError, RuntimeError, OverflowError, MemoryError, KeyboardInterrupt)
F64 = np.dtype(np.float64)



def mostly(good, bad):
    """`good` three times in four: a flat one_of would pick among all leaves of `bad`."""
    return st.integers(0, 3).flatmap(lambda k: bad if k == 0 else good)


SURROGATES = st.text(st.characters(categories=["Cs"]), min_size=1, max_size=3)
NASTY = st.sampled_from(['"', "'", "\\", "\\u0000", "\x00\x1f\x7f", "</script>", "</ScRiPt><!--",
                         "\U0001F600\U00010348", "\u2028\u2029", "{{}}", ""])
LONG = st.builds(lambda s, k: s * k, st.text(min_size=1, max_size=3), st.integers(1000, 50000))
TEXT = st.one_of(st.text(), NASTY, LONG, st.builds(str.__add__, st.text(max_size=3), SURROGATES))
NON_TEXT = st.one_of(st.none(), st.integers(), st.floats(), st.binary(max_size=4),
                     st.lists(st.text(max_size=2), max_size=2), st.just({"a"}))
KNOWN_PLOTS = st.sampled_from(["graph", "importance", "effect_dist"])
PLOT_TYPES = mostly(KNOWN_PLOTS, st.one_of(TEXT, NON_TEXT))

ANY_DTYPE = st.one_of(
    st.just(F64), hnp.floating_dtypes(endianness="?"), hnp.integer_dtypes(endianness="?"),
    hnp.boolean_dtypes(), hnp.complex_number_dtypes(endianness="?"), st.just(np.dtype(object)),
    hnp.unicode_string_dtypes(max_len=3), hnp.datetime64_dtypes(endianness="?"))


def relayout(draw, a):
    """The same dtype in another memory layout: strided, reversed, unaligned, read-only..."""
    kind = draw(st.sampled_from(["plain", "step", "negative", "unaligned", "readonly", "fortran",
                                 "zero_stride", "swapped"]))
    if kind == "step" and a.ndim:
        k = draw(st.sampled_from([2, 7, 4099]))
        big = np.zeros((a.shape[0] * k,) + a.shape[1:], a.dtype)
        big[::k] = a
        a = big[::k]
        if a.ndim == 2:
            wide = np.zeros((a.shape[0], a.shape[1] * k), a.dtype)
            wide[:, ::k] = a
            a = wide[:, ::k]
    elif kind == "negative" and a.ndim:
        flip = (slice(None, None, -1),) * a.ndim
        a = a[flip].copy()[flip]
    elif kind == "unaligned" and a.dtype != object:
        raw = np.zeros(a.nbytes + 1, np.uint8)[1:].view(a.dtype).reshape(a.shape)
        raw[...] = a
        a = raw
    elif kind == "readonly":
        a = a.copy()
        a.flags.writeable = False
    elif kind == "fortran":
        a = np.asfortranarray(a)
    elif kind == "zero_stride" and a.ndim and a.shape[0]:
        a = np.broadcast_to(a[:1], a.shape)
    elif kind == "swapped":
        a = a.astype(a.dtype.newbyteorder())
    return a


@st.composite
def column(draw, shape, binary=False, finite=True):
    """A float64 array with usable values; sometimes NaN or an infinity lands anywhere."""
    values = st.sampled_from([0.0, 1.0]) if binary else st.floats(-1e6, 1e6)
    a = draw(hnp.arrays(F64, shape, elements=values))
    if not finite and a.size:
        a.flat[draw(st.integers(0, a.size - 1))] = draw(st.sampled_from([np.nan, np.inf, -np.inf]))
    return a


@st.composite
def any_array(draw, shape):
    dtype = draw(ANY_DTYPE)
    if dtype == object:
        elements = st.one_of(st.floats(), st.text(max_size=2), st.none())
    else:
        elements = None
    shape = draw(st.one_of(st.just(shape), hnp.array_shapes(min_dims=0, max_dims=3, min_side=0,
                                                            max_side=4)))
    return draw(hnp.arrays(dtype, shape, elements=elements))


@st.composite
def argument(draw, shape, binary=False):
    choice = draw(st.integers(0, 19))
    if choice < 16:
        a = draw(column(shape, binary=binary))
    elif choice < 18:
        a = draw(column(shape, binary=binary, finite=False))
    elif choice < 19:
        a = draw(any_array(shape))
    else:
        return draw(st.one_of(NON_TEXT, st.lists(st.floats(), max_size=3)))
    return relayout(draw, a)


def refused(a, ndim):
    return not (type(a) is np.ndarray and a.dtype == F64 and a.dtype.isnative and a.ndim == ndim)


def check_error(error):
    event(f"raised {type(error).__name__}")
    assert isinstance(error, ALLOWED), repr(error)
    assert str(error), repr(error)


def expected_type_error(args):
    """Name of the first argument that is of the wrong kind, or None."""
    for name, value, ndim in args:
        if ndim is not None and refused(value, ndim):
            return name
    return None


def no_nan(value):
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: no_nan(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [no_nan(v) for v in value]
    return value


def unfence(tag):
    head, _, rest = tag.partition("\n")
    body, _, tail = rest.rpartition("\n")
    assert head == "```json:causal-plot" and tail == "```", tag[:80]
    return json.loads(body)


def check_rendering(target, plot_type):
    """Rendering either refuses the plot type cleanly or agrees with itself."""
    try:
        tag = target.to_visual_tag(plot_type)
    except BaseException as error:  # noqa: BLE001 - checked below
        check_error(error)
        if not isinstance(plot_type, str):
            assert type(error) is TypeError and str(error).startswith("argument 'plot_type': ")
        else:
            assert isinstance(error, UnicodeEncodeError)
        return
    as_json = unfence(tag)
    event(f"rendered {as_json['visual_type']}")
    if isinstance(target, q.InferenceResult):
        assert no_nan(target.to_dict(plot_type)) == as_json
    else:
        assert q.plot_model(target, plot_type) == as_json
    html = target.to_html(plot_type).lower()
    assert html.count("</script") == 1 and html.count("<script") == 1 and "<!--" not in html


HEADER = ["+----------------------------+----------------+",
          "| Metric                     | Value          |",
          "+----------------------------+----------------+",
          "| Average Treatment Effect   | "]


def check_result(result, rows, names):
    assert result.predictions.shape == (rows,) and result.predictions.dtype == F64
    assert len(result.confidence_intervals) == rows
    text = result.summary()
    assert text.endswith("\n") and text == repr(result)
    lines = text.split("\n")
    assert lines[:3] == HEADER[:3] and lines[3].startswith(HEADER[3])
    if names is not None:
        assert result.to_dict("importance")["data"]["labels"] == list(names)


@st.composite
def names_for(draw, p):
    good = st.one_of(st.none(), st.lists(st.one_of(NASTY, st.text(), LONG), min_size=p, max_size=p),
                     st.lists(st.text(), max_size=p + 2).map(tuple))
    return draw(mostly(good, st.one_of(st.lists(st.one_of(TEXT, NON_TEXT), max_size=3),
                                       NON_TEXT, TEXT)))


def names_error(names):
    """The exception type a feature-name value must raise, or None."""
    if names is None:
        return None
    if isinstance(names, str) or not isinstance(names, (list, tuple, bytes)):
        return TypeError
    for item in names:
        if not isinstance(item, str):
            return TypeError
        try:
            item.encode()
        except UnicodeEncodeError:
            return UnicodeEncodeError
    return None


@settings(max_examples=EXAMPLES * 10)
@given(st.data())
def test_create_model(data):
    n, p = data.draw(st.integers(0, 30)), data.draw(st.integers(0, 4))
    X = data.draw(argument((n, p)))
    t = data.draw(argument(max(0, n + data.draw(st.sampled_from([0, 0, 0, -1, 2]))), binary=True))
    y = data.draw(argument(n))
    method = data.draw(mostly(st.sampled_from(["forest", "linear"]), st.one_of(TEXT, NON_TEXT)))
    names = data.draw(names_for(p))
    plot_type = data.draw(PLOT_TYPES)
    before = [a.tobytes() for a in (X, t, y) if isinstance(a, np.ndarray)]
    error = model = None
    try:
        model = q.create_model(X, t, y, method=method, feature_names=names)
    except BaseException as caught:  # noqa: BLE001 - checked below
        check_error(caught)
        error = caught
    wrong = expected_type_error([("features", X, 2), ("treatment", t, 1), ("outcome", y, 1)])
    if wrong is None and not isinstance(method, str):
        wrong = "method"
    if wrong is not None:
        assert type(error) is TypeError and str(error).startswith(f"argument '{wrong}': ")
        return
    try:
        method.encode()
    except UnicodeEncodeError:
        assert isinstance(error, UnicodeEncodeError)
        return
    if names_error(names) is not None:
        assert isinstance(error, names_error(names))
        if names_error(names) is TypeError:
            assert str(error).startswith("argument 'feature_names': ")
        return
    if method == "linear":
        should_fit = y.size >= t.size
    elif method == "forest":
        rows, cols = X.shape
        enough = rows >= 1 and cols >= 1 and t.size >= rows and y.size >= rows
        finite = all(np.isfinite(a).all() for a in (X, t, y))
        should_fit = enough and finite and bool(np.isin(t, (0.0, 1.0)).all())
        if enough and finite and not should_fit and np.all(np.minimum(abs(t), abs(t - 1)) < 1e-15):
            return  # within the binary tolerance: either outcome is fine
    else:
        should_fit = False
    if not should_fit:
        assert model is None and type(error) is ValueError, (method, X.shape, t, y)
        return
    assert model is not None, error
    event(f"fitted {method}")
    assert [a.tobytes() for a in (X, t, y)] == before
    result = model.estimate_effects(X)
    check_result(result, X.shape[0], names)
    check_rendering(result, plot_type)
    check_rendering(model, plot_type)


@pytest.fixture(scope="module")
def models():
    rng = np.random.default_rng(3)
    X = rng.random((60, 3))
    t = (np.arange(60) % 2).astype(float)
    y = X[:, 0] + t + rng.normal(scale=0.1, size=60)
    return {"forest": q.create_model(X, t, y, feature_names=["a", "</script>"]),
            "linear": q.create_model(X, t, y, method="linear")}


@settings(max_examples=EXAMPLES * 3)
@given(st.data(), st.sampled_from(["forest", "linear"]))
def test_estimate_effects(models, data, kind):
    x = data.draw(argument((data.draw(st.integers(0, 40)), data.draw(st.integers(0, 5)))))
    before = x.tobytes() if isinstance(x, np.ndarray) else None
    try:
        result = models[kind].estimate_effects(x)
    except BaseException as error:  # noqa: BLE001 - checked below
        check_error(error)
        if refused(x, 2):
            assert type(error) is TypeError and str(error).startswith("argument 'x': ")
        else:
            assert kind == "forest" and type(error) is ValueError
            assert x.shape[0] == 0 or x.shape[1] < 3
        return
    assert not refused(x, 2) and x.tobytes() == before
    check_result(result, x.shape[0], None)
    if kind == "linear":
        assert result.feature_importance == [0.0] * x.shape[1]
    check_rendering(result, data.draw(PLOT_TYPES))


@given(st.lists(st.sampled_from([0.0, 1.0]), min_size=1, max_size=20).map(np.array),
       st.data())
def test_summary_and_dict_with_any_effect(t, data):
    y = data.draw(hnp.arrays(F64, t.size, elements=st.floats()))
    result = q.create_model(np.zeros((t.size, 1)), t, y, method="linear").estimate_effects(
        np.zeros((data.draw(st.integers(0, 5)), 2)))
    if result.predictions.size:
        result.predictions[:] = data.draw(hnp.arrays(F64, result.predictions.size))
    check_result(result, result.predictions.size, None)
    check_rendering(result, data.draw(PLOT_TYPES))


FOLDS = mostly(st.integers(0, 12), st.one_of(st.integers(), NON_TEXT))


@settings(max_examples=EXAMPLES // 2)
@given(st.sampled_from(["forest", "linear"]), FOLDS,
       mostly(st.booleans(), NON_TEXT))
def test_validate_arguments(models, kind, n_folds, is_time_series):
    try:
        v = models[kind].validate(n_folds=n_folds, is_time_series=is_time_series)
    except BaseException as error:  # noqa: BLE001 - checked below
        check_error(error)
        if not isinstance(n_folds, int):
            assert type(error) is TypeError and str(error).startswith("argument 'n_folds': ")
        elif not 0 <= n_folds < 2**64:
            assert type(error) is OverflowError
        else:
            assert type(error) is TypeError and str(error).startswith("argument 'is_time_series': ")
        return
    assert isinstance(n_folds, int) and 0 <= n_folds < 2**64 and isinstance(is_time_series, bool)
    event(f"validated {kind}")
    assert v.message in ("Validation not implemented for this model type yet.",) or (
        v.message.startswith("Causal structure looks robust. Placebo effect (")
        and v.message.endswith(f"Verified using {int(n_folds)} folds.")) or (
        v.message.startswith("Warning: Causal structure may NOT be robust. Placebo effect ("))


@pytest.fixture(scope="module", autouse=True)
def no_browser(tmp_path_factory):
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(webbrowser, "open", lambda url: False)
        patch.setattr(tempfile, "tempdir", str(tmp_path_factory.mktemp("previews")))
        yield


CALLS = ["create_model", "plot_model", "analyze_flow", "estimate_effects", "validate", "show",
         "preview", "to_html", "to_visual_tag", "plot_effects", "plot_importance", "to_dict",
         "summary", "r.show", "r.preview", "r.to_html", "r.to_visual_tag"]
ANYTHING = st.one_of(TEXT, NON_TEXT, st.builds(lambda: np.zeros((2, 3))), any_array((2, 3)))


@given(st.sampled_from(CALLS), st.lists(ANYTHING, max_size=3),
       st.dictionaries(st.sampled_from(["plot_type", "x", "plot", "model", "n_folds", "features",
                                        "feature_names", "colour"]), ANYTHING, max_size=2))
def test_any_call_fails_cleanly(models, name, args, kwargs):
    model = models["forest"]
    result = model.estimate_effects(np.zeros((3, 3)))
    target = result if name.startswith("r.") or name in ("to_dict", "summary") else model
    function = getattr(q, name, None) or getattr(target, name.removeprefix("r."))
    try:
        function(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - checked below
        check_error(error)
