import inspect

import numpy as np
import pytest

import _quorvantis as q

LINEAR_REPORT = """\
+----------------------------+----------------+
| Metric                     | Value          |
+----------------------------+----------------+
| Average Treatment Effect   |         3.0000 |
| Number of Observations     |              4 |
+----------------------------+----------------+

[Feature Importance]
age                 : 0.0000
income              : 0.0000
Feature 2           : 0.0000

[Interpretation]
The treatment has a POSITIVE average effect of 3.0000.
"""


@pytest.fixture
def linear_model():
    t = np.array([1.0, 0.0, 1.0, 0.0])
    y = np.array([3.0, 1.0, 5.0, 1.0])
    return q.create_model(np.zeros((4, 3)), t, y, method="linear", feature_names=["age", "income"])


@pytest.fixture
def result(linear_model):
    return linear_model.estimate_effects(np.zeros((4, 3)))


def test_report_is_summary_repr_and_str(result):
    assert result.summary() == LINEAR_REPORT
    assert repr(result) == LINEAR_REPORT and str(result) == LINEAR_REPORT
    assert result.summary() is not result.summary()


def test_result_values(result):
    assert result.mean_effect == 3.0
    assert result.predictions.dtype == np.float64 and list(result.predictions) == [3.0] * 4
    assert result.confidence_intervals == [(3.0 + (-0.1), 3.0 + 0.1)] * 4
    assert all(type(pair) is tuple for pair in result.confidence_intervals)
    assert result.feature_importance == [0.0, 0.0, 0.0]


def test_getter_ownership(result):
    assert result.predictions is result.predictions
    assert result.feature_importance is not result.feature_importance
    assert result.confidence_intervals is not result.confidence_intervals
    result.feature_importance.append(9.0)
    result.confidence_intervals.append((1.0, 2.0))
    assert len(result.feature_importance) == 3 and len(result.confidence_intervals) == 4
    result.predictions[0] = 99.0
    assert result.predictions[0] == 99.0 and result.predictions.shape == (4,)


@pytest.mark.parametrize(
    "attribute", ["mean_effect", "predictions", "confidence_intervals", "feature_importance"]
)
def test_properties_are_read_only(result, attribute):
    with pytest.raises(AttributeError):
        setattr(result, attribute, 1.0)


def test_feature_names_not_exposed(result):
    with pytest.raises(AttributeError):
        result.feature_names  # noqa: B018 - the access itself must raise


def test_predictions_are_owned_by_each_result(linear_model):
    x = np.zeros((4, 3))
    first, second = linear_model.estimate_effects(x), linear_model.estimate_effects(x=x)
    assert first is not second and first.predictions is not second.predictions
    assert not np.shares_memory(first.predictions, x)
    first.predictions[:] = 7.0
    assert list(second.predictions) == [3.0] * 4 and not x.any()


def test_result_outlives_model_and_arrays():
    X, t, y = np.zeros((4, 2)), np.array([1.0, 0, 1, 0]), np.array([3.0, 1, 5, 1])
    model = q.create_model(X, t, y, method="linear")
    result = model.estimate_effects(X)
    del model, X, t, y
    assert result.mean_effect == 3.0 and "3.0000" in result.summary()


def test_estimate_effects_arguments(linear_model):
    for call in (
        lambda: linear_model.estimate_effects(),
        lambda: linear_model.estimate_effects(np.zeros((1, 3)), np.zeros((1, 3))),
        lambda: linear_model.estimate_effects(y=np.zeros((1, 3))),
    ):
        with pytest.raises(TypeError):
            call()
    for bad in (np.zeros(3), [[0.0, 0.0]], np.zeros((2, 3), np.int64)):
        with pytest.raises(TypeError, match="^argument 'x': expected a float64 numpy.ndarray"):
            linear_model.estimate_effects(bad)


def test_linear_prediction_on_no_rows(linear_model):
    result = linear_model.estimate_effects(np.zeros((0, 5)))
    assert result.predictions.shape == (0,) and result.confidence_intervals == []
    assert result.feature_importance == [0.0] * 5 and result.mean_effect == 3.0


def test_results_carry_model_names_whatever_their_number(linear_model):
    wide = linear_model.estimate_effects(np.zeros((1, 4))).summary()
    assert "age " in wide and "Feature 3 " in wide
    unnamed = (
        q.create_model(np.zeros((2, 2)), np.array([1.0, 0]), np.array([1.0, 0]), method="linear")
        .estimate_effects(np.zeros((1, 2)))
        .summary()
    )
    assert "Feature 0           : 0.0000" in unnamed


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"n_folds": 10},
        {"n_folds": True},
        {"n_folds": np.int64(3)},
        {"is_time_series": True},
        {"n_folds": 0, "is_time_series": False},
    ],
)
def test_linear_validation(linear_model, kwargs):
    v = linear_model.validate(**kwargs)
    assert v.message == "Validation not implemented for this model type yet."
    assert v.is_robust is True
    assert v.message is not v.message


@pytest.mark.parametrize(
    "kwargs,error,name",
    [
        ({"n_folds": 2.0}, TypeError, "n_folds"),
        ({"n_folds": None}, TypeError, "n_folds"),
        ({"n_folds": "5"}, TypeError, "n_folds"),
        ({"n_folds": -1}, OverflowError, None),
        ({"n_folds": 2**64}, OverflowError, None),
        ({"is_time_series": 1}, TypeError, "is_time_series"),
        ({"is_time_series": None}, TypeError, "is_time_series"),
        ({"is_time_series": np.True_}, TypeError, "is_time_series"),
    ],
)
def test_validation_argument_errors(linear_model, kwargs, error, name):
    with pytest.raises(error) as info:
        linear_model.validate(**kwargs)
    if name:
        assert str(info.value).startswith(f"argument '{name}': ")


METHOD_ORDER = {
    "Model": [
        "to_visual_tag",
        "show",
        "preview",
        "to_html",
        "estimate_effects",
        "validate",
        "plot_importance",
        "plot_effects",
    ],
    "InferenceResult": ["to_visual_tag", "to_dict", "show", "preview", "to_html", "summary"],
}


@pytest.mark.parametrize("cls", METHOD_ORDER)
def test_method_order_and_signatures(cls):
    methods = [n for n, v in vars(getattr(q, cls)).items() if callable(v) and not n.startswith("_")]
    assert methods == METHOD_ORDER[cls]
    default = '"graph"' if cls == "Model" else '"importance"'
    for name in methods:
        sig = str(inspect.signature(getattr(getattr(q, cls), name)))
        if name in ("to_visual_tag", "to_dict", "show", "preview", "to_html"):
            assert sig == f"(self, /, plot_type={default.replace(chr(34), chr(39))})"


def test_notebook_html_shows_report_and_chart(result):
    html = result._repr_html_()
    assert "<td>Average Treatment Effect</td><td>3.0000</td>" in html
    assert "<td>Number of Observations</td><td>4</td>" in html
    assert "<td>age</td><td>0.0000</td>" in html and "<td>Feature 2</td>" in html
    assert "POSITIVE average effect of 3.0000." in html
    assert '<div id="causal-plot-' in html and '"visual_type": "feature_importance"' in html
    assert repr(result) == LINEAR_REPORT
