"""The scikit-learn parameter protocol, shared by the package's estimators without depending on it."""

from __future__ import annotations

import inspect
from typing import Any


class ParamsMixin:
    """``get_params``, ``set_params`` and a repr of the parameters that differ from their defaults.

    Parameters named in ``_NESTED`` may hold estimators of their own, whose parameters
    appear as ``<name>__<parameter>``.
    """

    _NESTED: tuple[str, ...] = ()

    @classmethod
    def _param_names(cls) -> list[str]:
        signature = inspect.signature(cls.__init__)
        return [
            p.name
            for p in signature.parameters.values()
            if p.name != "self" and p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)
        ]

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """Parameters of this estimator, as given to the constructor.

        Parameters
        ----------
        deep : bool, default=True
            Also list the parameters of nested estimators as ``<name>__<parameter>``.

        Returns
        -------
        dict
            Parameter names mapped to their values.
        """
        params = {name: getattr(self, name) for name in self._param_names()}
        if deep:
            for name in self._NESTED:
                model = params[name]
                if model is not None and not isinstance(model, type) and hasattr(model, "get_params"):
                    params.update((f"{name}__{k}", v) for k, v in model.get_params(deep=True).items())
        return params

    def set_params(self, **params: Any) -> Any:
        """Set parameters; as in the constructor, values are checked at ``fit``.

        Parameters
        ----------
        **params
            Constructor parameters (or ``<name>__<parameter>`` of a nested estimator)
            and their new values.

        Returns
        -------
        self

        Raises
        ------
        ValueError
            For a name that is not a parameter; the parameters are then unchanged.
        """
        valid = self._param_names()
        nested: dict[str, dict[str, Any]] = {}
        for name in list(params):
            head, sep, rest = name.partition("__")
            if sep and head in self._NESTED and hasattr(params.get(head, getattr(self, head)), "set_params"):
                nested.setdefault(head, {})[rest] = params.pop(name)
        for name in params:
            if name not in valid:
                raise ValueError(
                    f"invalid parameter {name!r} for {type(self).__name__}; "
                    f"valid parameters are {', '.join(valid)}"
                )
        for name, value in params.items():
            setattr(self, name, value)
        for head, sub in nested.items():
            getattr(self, head).set_params(**sub)
        return self

    def __repr__(self) -> str:
        defaults = {p.name: p.default for p in inspect.signature(type(self).__init__).parameters.values()}
        shown = []
        for name, value in self.get_params(deep=False).items():
            default = defaults.get(name, inspect.Parameter.empty)
            try:
                same = value is default or (type(value) is type(default) and bool(value == default))
            except (TypeError, ValueError):
                same = False
            if not same:
                shown.append(f"{name}={value!r}")
        return f"{type(self).__name__}({', '.join(shown)})"
