"""The language cases of tests/cases/*.jsonl, run through Python: inputs given as Python objects (read
lazily), bindings converted whole, results compared as Python objects."""

import json
import math
import re
from pathlib import Path

import pytest

from zarnu import Expression, ZarnuError

CASES = Path(__file__).resolve().parents[1] / "cases"


def load():
    for path in sorted(CASES.glob("*.jsonl")):
        for number, line in enumerate(path.read_text().splitlines(), 1):
            if line.strip() and not line.startswith("#"):
                yield pytest.param(json.loads(line), id=f"{path.stem}:{number}")


def options_of(case):
    options = dict(case.get("options", {}))
    if "timeout_ms" in options:
        options["timeout"] = options.pop("timeout_ms") / 1000
    return options


def same(result, expected):
    """Equal as JSON values: numbers by value, whatever their Python type."""
    if isinstance(expected, bool) or expected is None:
        return result is expected
    if isinstance(expected, (int, float)):
        return (not isinstance(result, bool) and isinstance(result, (int, float))
                and (result == expected or (math.isnan(result) and math.isnan(expected))))
    if isinstance(expected, list):
        return isinstance(result, list) and len(result) == len(expected) and all(map(same, result, expected))
    if isinstance(expected, dict):
        return (isinstance(result, dict) and list(result) == list(expected)
                and all(same(result[key], expected[key]) for key in expected))
    return result == expected


def missing_functions(case):
    """The functions a case names that the core does not have: the C++ runner registers some for its cases
    alone (a transform calls $clone; a call of a bare name is checked against the functions' names)."""
    expression = case["expr"]
    local = {name for name in re.findall(r"\$(\w+)", expression)
             if re.search(rf"\${name}\s*:=|function\s*\([^)]*\${name}\b", expression)}
    names = set(re.findall(r"\$(\w+)", expression)) - local - set(case.get("bindings") or {})
    names |= set(re.findall(r"(?<![$\w])([a-z]\w*)\s*\(", expression)) - {"function"}
    if "|" in expression:
        names.add("clone")
    missing = []
    for name in sorted(names):
        try:
            Expression(f"${name}()").evaluate()
        except ZarnuError as error:
            if error.code == "T1006":
                missing.append(name)
    return missing


@pytest.mark.parametrize("case", list(load()))
def test_case(case):
    try:
        run(case)
    except (AssertionError, ZarnuError):
        if missing := missing_functions(case):
            pytest.skip("needs the test functions " + ", ".join(missing))
        raise


def run(case):
    options = options_of(case)
    if options.pop("cancelled", False):
        pytest.skip("evaluations started from Python cannot be cancelled")
    arguments = dict(bindings=case.get("bindings"), **options)
    if "error" in case:
        with pytest.raises(ZarnuError) as raised:
            Expression(case["expr"]).evaluate(case.get("input"), **arguments)
        error = raised.value
        assert error.code == case["error"]
        if "token" in case:
            assert error.token == case["token"]
        if "message" in case:
            assert str(error) == case["message"]
        return
    result = Expression(case["expr"]).evaluate(case.get("input"), **arguments)
    # The module gives None for both undefined and null.
    expected = case.get("result")
    assert same(result, expected), f"{result!r} != {expected!r}"
