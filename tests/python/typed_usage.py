"""Typical uses of the package, checked with `mypy --strict` against its stubs (by test_packaging.py)."""

from datetime import datetime, timezone

import zarnu


def totals(orders: list[dict[str, object]]) -> float:
    expression = zarnu.Expression("$sum(orders.(price * quantity))")
    result = expression.evaluate({"orders": orders}, timeout=1.5, max_depth=100, seed=7)
    return float(result) if result is not None else 0.0


def first_name(text: str) -> str | None:
    expression = zarnu.Expression("name")
    read = expression.reads().get("input", True)
    document = zarnu.Document.from_json(text, read=read)
    name = expression.evaluate_document(document, now=datetime(2024, 1, 1, tzinfo=timezone.utc))
    as_json: str | None = expression.evaluate_json(text, {"x": 1}, now="2024-01-01T00:00:00Z")
    return str(name) if as_json is not None else None


def audited(source: str) -> str:
    outcome = zarnu.Expression(source).evaluate_with_audit(None, level="full", limits={"max_items": 3})
    error = outcome["error"]
    if error is not None:
        return f"{error['code']} at {error['position']}: {error['message']}"
    return outcome["explanation_text"]


def with_host_function() -> object:
    def twice(f: zarnu.Function) -> object:
        return [f(), f()] if f.arity == 0 else None

    expression = zarnu.Expression("$twice(function() { 1 })")
    expression.register_function("twice", twice, "<f:a>")
    return expression.evaluate(bindings={"scale": 2}, now=1700000000000)


def explain(source: str) -> tuple[str, int | None, str | None]:
    try:
        zarnu.Expression(source)
    except zarnu.ZarnuError as error:
        return error.code, error.position, error.token
    return "", None, None


def common_reads(sources: list[str]) -> dict[str, object]:
    return zarnu.union_reads([zarnu.Expression(s).reads() for s in sources])


VERSION: str = zarnu.__version__
