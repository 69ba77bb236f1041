"""Read analysis from Python: `Expression.reads` with and without host functions, the key cache it feeds,
and `union_reads` with its type and value errors."""

import threading

import pytest

from zarnu import Expression, union_reads


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
