"""Python data into the language and results back out: the whole conversion (bindings) and the number,
text and key rules both ways."""

import collections

import pytest

from support import depth, nested
from zarnu import Document, Expression

IDENTITY = Expression("$x")


def through_binding(value):
    """The value converted whole (as a binding) and built back into Python objects."""
    return IDENTITY.evaluate(bindings={"x": value})


def binding_failure(value, kind):
    with pytest.raises(kind) as raised:
        through_binding(value)
    prefix = "binding x cannot be converted to JSON: "
    message = str(raised.value)
    assert message.startswith(prefix), message
    return message[len(prefix):]


class TestScalars:
    def test_bool_is_not_an_int(self):
        assert through_binding(True) is True
        assert through_binding([False, 1, 0]) == [False, 1, 0]
        assert type(through_binding([False, 1])[1]) is int

    @pytest.mark.parametrize(
        "given, expected",
        [
            (2**63, 9223372036854775808),  # past 64 bits signed: a double, exact
            (-(2**63), -(2**63)),
            (2**64 - 1, 2**64),  # the nearest double
            (2**53 + 1, 2**53),
            (-5, -5),
        ],
    )
    def test_big_integers_become_doubles(self, given, expected):
        assert through_binding(given) == expected

    def test_integer_beyond_doubles_fails(self):
        reason = binding_failure(10**400, TypeError)
        assert reason.startswith("OverflowError: ")

    def test_int_and_float_subclasses(self):
        class Count(int):
            pass

        class Ratio(float):
            pass

        assert through_binding([Count(7), Ratio(0.5), Count(2**70)]) == [7, 0.5, 2**70]

    def test_non_finite_floats_become_null(self):
        nan, inf = float("nan"), float("inf")
        assert through_binding([nan, inf, -inf]) == [None, None, None]
        assert through_binding({"a": nan, "b": [inf]}) == {"a": None, "b": [None]}

    def test_surrogates(self):
        assert through_binding("\ud83d\ude00") == "\U0001f600"
        assert through_binding("a\ud800b") == "a\ufffdb"
        assert through_binding("\udc00\ud800") == "\ufffd\ufffd"

    def test_str_subclass(self):
        class Name(str):
            pass

        assert through_binding(Name("x")) == "x"

    def test_keys_that_become_equal_keep_the_first_place_and_the_last_value(self):
        class Name(str):
            pass

        assert through_binding({"x\ud800": 1, "y": 2, "x\udc00": 3}) == {"x\ufffd": 3, "y": 2}
        many = {Name(f"k{i}"): i for i in range(20)}
        many.update({f"k{i}\ud800": -i for i in range(0, 20, 5)})
        many.update({f"k{i}\udc00": i * 10 for i in range(0, 20, 5)})
        out = through_binding(many)
        assert list(out.items()) == [(f"k{i}", i) for i in range(20)] + [
            (f"k{i}\ufffd", i * 10) for i in range(0, 20, 5)
        ]


class TestContainers:
    def test_sequences_become_lists(self):
        Point = collections.namedtuple("Point", "x y")

        class Items(list):
            pass

        assert through_binding((1, (2,), Point(3, 4), Items([5]))) == [1, [2], [3, 4], [5]]

    def test_dict_subclass_keeps_its_iteration_order(self):
        # Moving a key changes an OrderedDict's iteration order, not the order its storage keeps.
        ordered = collections.OrderedDict([("a", 1), ("b", 2), ("c", 3)])
        ordered.move_to_end("a")
        expected = ["b", "c", "a"]
        keys = Expression("$keys(x)")
        assert list(through_binding(ordered)) == expected
        assert keys.evaluate({"x": ordered}) == expected
        assert keys.evaluate_document(Document({"x": ordered})) == expected
        assert keys.evaluate_with_audit({"x": ordered})["result"] == expected
        assert Expression("$keys($)").evaluate(ordered) == expected

    @pytest.mark.parametrize(
        "value, name",
        [({1, 2}, "set"), (b"x", "bytes"), (object(), "object"), (1j, "complex")],
    )
    def test_unknown_types_fail(self, value, name):
        assert binding_failure([value], TypeError) == f"Object of type {name} is not JSON serializable"

    def test_keys_must_be_str(self):
        assert binding_failure({1: 2}, TypeError) == "keys must be str, not int"
        assert binding_failure({"a": {None: 2}}, TypeError) == "keys must be str, not NoneType"

    def test_first_failure_in_order_is_reported(self):
        assert binding_failure([1, {2: 3}, {4}], TypeError) == "keys must be str, not int"

    def test_cycles_fail_but_repeats_do_not(self):
        loop = [1]
        loop.append(loop)
        assert binding_failure(loop, ValueError) == "Circular reference detected"
        shared = []
        assert through_binding([shared, shared, {"a": shared}]) == [[], [], {"a": []}]

    def test_nesting_limit(self):
        deep = nested(1000)
        assert depth(through_binding(deep)) == 1000
        assert binding_failure([deep], ValueError) == "it is nested more than 1000 levels deep"

    def test_keys_made_equal_by_replacement_keep_first_place(self):
        result = through_binding({"\ud800": 1, "b": 2, "\udc00": 3})
        assert list(result.items()) == [("\ufffd", 3), ("b", 2)]
        assert list(through_binding({"\ufffd": 1, "\ud800": 2}).items()) == [("\ufffd", 2)]

    def test_str_subclass_keys_with_equal_text(self):
        class Key(str):
            def __hash__(self):
                return id(self)

            def __eq__(self, other):
                return self is other

        result = through_binding({Key("k"): 1, "z": 2, Key("k"): 3})
        assert list(result.items()) == [("k", 3), ("z", 2)]


class TestResults:
    @pytest.mark.parametrize(
        "expression, expected, kind",
        [
            ("3.0", 3, int),
            ("2.5", 2.5, float),
            ("-0.0", 0, int),
            ("1e21", 1e21, float),
            ("999999999999999868928", 999999999999999868928, int),
            ("9.2e18", 9200000000000000000, int),
            ("9.3e18", 9300000000000000000, int),
            ("-9.3e18", -9300000000000000000, int),
            ("0.1 + 0.2", 0.30000000000000004, float),
        ],
    )
    def test_number_rule(self, expression, expected, kind):
        result = Expression(expression).evaluate()
        assert result == expected
        assert type(result) is kind

    def test_object_order_and_members_left_out(self):
        result = Expression('{"b": 1, "a": 2, "f": function() {1}, "u": nothing}').evaluate()
        assert list(result.items()) == [("b", 1), ("a", 2)]

    def test_keys_are_shared_within_a_result(self):
        records = [{"id": i} for i in range(10000)]
        result = Expression('$.{"id": id}').evaluate(records)
        assert len(result) == 10000
        assert len({id(key) for record in result for key in record}) == 1

    def test_undefined_and_null_are_none(self):
        assert Expression("nothing").evaluate({}) is None
        assert Expression("null").evaluate({}) is None
        assert Expression("[null]").evaluate() == [None]


def test_text_survives_both_ways():
    text = "ça 😀 \u0000 \U0010ffff"
    assert through_binding(text) == text
    assert Expression("$").evaluate(text) == text
    assert Expression('"\\ud83d\\ude00"').evaluate() == "\U0001f600"
