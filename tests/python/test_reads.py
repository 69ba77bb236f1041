"""Read analysis from Python: `Expression.reads` with and without host functions, the key cache it feeds,
`union_reads` with its type and value errors, and every road (cut parses included) giving the same answer."""

import json
import threading

import pytest

from zarnu import Document, Expression, ZarnuError, union_reads


def host(value):
    return value


@pytest.mark.parametrize(
    "source, expected",
    [
        ("a.b", {"input": {"a": {"b": True}}, "bindings": {}}),
        ("1", {"bindings": {}}),
        ("$x.y", {"bindings": {"x": {"y": True}}}),
        ("$f(a)", {"input": True, "bindings": {"f": True}}),
    ],
)
def test_reads_without_bindings(source, expected):
    assert Expression(source).reads() == expected


def test_eval_may_read_every_binding():
    reads = Expression("$eval(s)").reads()
    assert reads["input"] is True and reads["everyBinding"] is True


def test_python_functions_read_only_their_arguments():
    expected = {"input": {"a": True}, "bindings": {"f": True}}
    assert Expression("$f(a)").reads(bindings={"f": host}) == expected
    registered = Expression("$f(a)")
    registered.register_function("f", host)
    assert registered.reads() == expected
    # A value of the same name hides the registered function: the call is unknown again.
    assert registered.reads({"f": 1})["input"] is True


def test_fields_sorted_by_bytes():
    assert list(Expression("{'x': b, 'y': a, 'z': B}").reads()["input"]) == ["B", "a", "b"]


def test_bindings_errors_are_those_of_evaluate():
    for bad in ([1], {1: 2}, {"x": object()}):
        with pytest.raises(TypeError) as from_reads:
            Expression("$x").reads(bad)
        with pytest.raises(TypeError) as from_evaluate:
            Expression("$x").evaluate(None, bad)
        assert str(from_reads.value) == str(from_evaluate.value)


def test_key_cache_made_by_racing_threads():
    expression = Expression("a.b & c")
    results = []
    work = lambda: results.append(expression.evaluate({"a": {"b": "x"}, "c": "y"}))  # noqa: E731
    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == ["xy"] * 8


def test_union():
    assert union_reads([]) == union_reads(()) == {"bindings": {}}
    united = union_reads([{"input": {"a": True}}, {"input": {"a": {"b": True}, "c": {}}}])
    assert united == {"input": {"a": True, "c": {}}, "bindings": {}}
    items = [Expression("$x.y").reads(), Expression("$x.z & $w").reads(), {"everyBinding": True}]
    united = union_reads(items)
    assert united == {"bindings": {"w": True, "x": {"y": True, "z": True}}, "everyBinding": True}


def test_union_of_something_else():
    for bad in ({}, "x", 1):
        with pytest.raises(TypeError, match="^reads must be a list$"):
            union_reads(bad)


@pytest.mark.parametrize("item", [{"input": False}, {"extra": 1}, 1, {"bindings": {"x": 2}}])
def test_union_of_invalid_items(item):
    with pytest.raises(ValueError, match="^invalid reads: "):
        union_reads([{"input": True}, item])


def test_union_nesting_limit():
    def path(innermost):
        for _ in range(101):
            innermost = {"a": innermost}
        return {"input": innermost}

    # One level beyond the limit is accepted only for a read of the whole value.
    assert union_reads([path(True)]) == {**path(True), "bindings": {}}
    with pytest.raises(ValueError, match="^invalid reads: a read nests more than 100 field names"):
        union_reads([path({})])



# Every road answers alike: Python objects, JSON text (cut parse), documents cut by the reads, audits.
def roads(source, data, **options):
    expression, text = Expression(source), json.dumps(data)
    read = expression.reads().get("input", False)
    runs = {
        "evaluate": lambda: expression.evaluate(data, **options),
        "evaluate_json": lambda: json.loads(expression.evaluate_json(text, **options) or "null"),
        "document": lambda: expression.evaluate_document(Document.from_json(text, read=read), **options),
    }
    answers = {}
    for road, run in runs.items():
        try:
            answers[road] = run()
        except ZarnuError as error:
            answers[road] = error.code
    for level in ("off", "decisions", "full"):
        audited = expression.evaluate_with_audit(data, level=level, **options)
        answers[level] = audited["error"]["code"] if audited["error"] else audited["result"]
    return answers


EVERY_ROAD = ("evaluate", "evaluate_json", "document", "off", "decisions", "full")


@pytest.mark.parametrize(
    "source, expected",
    [
        # Filtering a missing field gives nothing, not a null.
        ("items.p[0]", [1, 3]),
        ("items.p[true]", [1, 3]),
        ("$count(items.p[0])", 2),
        # An initial value undefined at run time: the first item starts, so the cut parse must keep it.
        ("$reduce(a, function($acc, $v){ $acc }, nothing)", {"n": 1, "m": 2}),
        ("$reduce(a, function($acc, $v){ $acc.m }, nothing)", 2),
    ],
)
def test_roads_agree(source, expected):
    data = {"items": [{"p": 1}, {"q": 2}, {"p": 3}], "a": [{"n": 1, "m": 2}, {"n": 3, "m": 4}]}
    assert roads(source, data) == dict.fromkeys(EVERY_ROAD, expected)


def test_roads_agree_with_an_item_limit_of_zero():
    # The field a predicate compares is a path, whose one-item sequence the limit refuses on every road; a
    # missing field makes no sequence.
    assert roads("x[id < 0]", {"x": {"id": 0}}, max_array_length=0) == dict.fromkeys(EVERY_ROAD, "U1001")
    assert roads("x[k < 0]", {"x": {"id": 0}}, max_array_length=0) == dict.fromkeys(EVERY_ROAD, None)
