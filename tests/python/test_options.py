"""The keyword options and the bindings of `evaluate`: every type and range error with its message, the
order in which they are checked, and the limits they set."""

import datetime

import pytest

from zarnu import Expression, ZarnuError

ONE = Expression("1")
INTEGER_KEYWORDS = ["max_depth", "max_string_length", "max_array_length", "max_result_size", "seed"]
NOW_MESSAGE = "now must be milliseconds since the epoch, a datetime or an ISO 8601 timestamp"


def builtin_exists(name):
    """Whether the core's table has the built-in function `name` (a call of an unknown name is T1006)."""
    try:
        Expression(f"${name}()").evaluate()
    except ZarnuError as error:
        return error.code != "T1006"
    return True


needs_millis = pytest.mark.skipif(not builtin_exists("millis"), reason="the core has no $millis yet")
needs_to_millis = pytest.mark.skipif(not builtin_exists("toMillis"), reason="the core has no $toMillis yet")


def fails(kind, message, **options):
    with pytest.raises(kind) as raised:
        ONE.evaluate(**options)
    assert str(raised.value) == message


class TestIntegers:
    @pytest.mark.parametrize("name", INTEGER_KEYWORDS)
    @pytest.mark.parametrize("value", [True, False, 1.0, "1", [1]])
    def test_not_an_int(self, name, value):
        fails(TypeError, f"{name} must be an int", **{name: value})

    @pytest.mark.parametrize("name", INTEGER_KEYWORDS)
    @pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
    def test_out_of_range(self, name, value):
        fails(ValueError, f"{name} must not be negative", **{name: value})

    @pytest.mark.parametrize("name", INTEGER_KEYWORDS)
    def test_accepted(self, name):
        class Big(int):
            pass

        assert ONE.evaluate(**{name: 2**64 - 1}) == 1
        assert ONE.evaluate(**{name: Big(100)}) == 1

    def test_limits_take_effect(self):
        assert Expression("((((1))))").evaluate(max_depth=5) == 1
        with pytest.raises(ZarnuError, match="^Stack overflow") as raised:
            Expression("(((((1)))))").evaluate(max_depth=5)
        assert raised.value.code == "D1011"
        assert Expression("[1..10]").evaluate(max_array_length=10) == list(range(1, 11))
        with pytest.raises(ZarnuError, match="10 items"):
            Expression("[1..11]").evaluate(max_array_length=10)
        with pytest.raises(ZarnuError, match="3 bytes"):
            Expression('"ab" & "cd"').evaluate(max_string_length=3)
        assert Expression("[1,2]").evaluate(max_result_size=5) == [1, 2]
        with pytest.raises(ZarnuError, match="size limit of 4 bytes"):
            Expression("[1,2]").evaluate(max_result_size=4)

    def test_seed_zero_is_a_seed(self):
        assert ONE.evaluate(seed=0) == 1


class TestTimeout:
    @pytest.mark.parametrize("value", [True, "1", [], 10**400, datetime.timedelta(seconds=1)])
    def test_not_a_number(self, value):
        fails(TypeError, "timeout must be a number of seconds", timeout=value)

    @pytest.mark.parametrize("value", [-1, -0.5, float("nan"), float("inf"), float("-inf"), 2**64, 2.0**64])
    def test_out_of_range(self, value):
        fails(ValueError, "timeout must be a non-negative number of seconds", timeout=value)

    def test_zero_expires_at_once(self):
        with pytest.raises(ZarnuError) as raised:
            Expression("[1, 2, 3]").evaluate(timeout=0)
        assert raised.value.code == "D1012"
        with pytest.raises(ZarnuError):
            Expression("[1, 2, 3]").evaluate(timeout=1e-12)  # rounds to no time at all

    @pytest.mark.parametrize("value", [5, 0.5, 2**64 - 2**11, 1e12, True + 1])
    def test_generous_limits_let_it_finish(self, value):
        assert Expression("[1, 2, 3]").evaluate(timeout=value) == [1, 2, 3]


class TestNow:
    @pytest.mark.parametrize("value", [True, [], {}, b"2024", object()])
    def test_wrong_types(self, value):
        fails(TypeError, NOW_MESSAGE, now=value)

    @pytest.mark.parametrize("value", [9e15, -9e15, 2**60, float("nan"), float("inf"), "yesterday", ""])
    def test_out_of_range_or_unreadable(self, value):
        fails(ValueError, NOW_MESSAGE, now=value)

    def test_accepted_forms(self):
        assert ONE.evaluate(now=1700000000000) == 1
        assert ONE.evaluate(now=-0.5) == 1
        assert ONE.evaluate(now=8.99e15) == 1
        assert ONE.evaluate(now=datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)) == 1

    def test_timestamp_failures_are_raised_as_they_are(self):
        class Broken:
            def timestamp(self):
                raise KeyError("clock")

        class Wordy:
            def timestamp(self):
                return "soon"

        class Guarded:
            @property
            def timestamp(self):
                raise PermissionError("no")

        with pytest.raises(KeyError, match="clock"):
            ONE.evaluate(now=Broken())
        with pytest.raises(TypeError):
            ONE.evaluate(now=Wordy())
        with pytest.raises(PermissionError):
            ONE.evaluate(now=Guarded())

    def test_text_that_is_not_utf8(self):
        with pytest.raises(UnicodeEncodeError):
            ONE.evaluate(now="\ud800")

    @needs_millis
    @pytest.mark.parametrize(
        "value, millis",
        [
            (1700000000000.4, 1700000000000),
            (1700000000000.5, 1700000000001),
            (-0.5, -1),
            (-2.5, -3),
            (datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc), 1704067200000),
        ],
    )
    def test_the_time_is_fixed(self, value, millis):
        assert Expression("$millis()").evaluate(now=value) == millis

    @needs_millis
    @needs_to_millis
    def test_iso_text(self):
        assert Expression("$millis()").evaluate(now="2024-01-01T00:00:00Z") == 1704067200000


class TestBindings:
    def test_not_a_dict(self):
        for value in [[], [("x", 1)], "x", 5]:
            fails(TypeError, "bindings must be a dict", bindings=value)

    def test_names_must_be_str(self):
        fails(TypeError, "the names of the bindings must be str", bindings={1: 2})
        fails(TypeError, "the names of the bindings must be str", bindings={"a": 1, None: 2})

    def test_values_are_converted_whole(self):
        fails(TypeError, "binding y cannot be converted to JSON: Object of type set is not JSON serializable",
              bindings={"x": 1, "y": {1}})

    def test_bound_values(self):
        class Scope(dict):
            pass

        expression = Expression("$a + $b.c")
        assert expression.evaluate(bindings=Scope(a=1, b={"c": 2})) == 3
        assert expression.evaluate({"a": 10}, {"a": 1, "b": {"c": 2}}) == 3
        assert Expression("$a").evaluate(bindings={}) is None


class TestOrder:
    def test_bindings_before_options(self):
        with pytest.raises(TypeError, match="bindings must be a dict"):
            ONE.evaluate(bindings=[], timeout="x")

    def test_options_in_their_order(self):
        fails(TypeError, "timeout must be a number of seconds", timeout="x", max_depth="x")
        fails(TypeError, "max_depth must be an int", max_depth="x", max_string_length=-1)
        fails(ValueError, "max_result_size must not be negative", max_result_size=-1, seed="x")
        fails(TypeError, "seed must be an int", seed="x", now=[])

    def test_none_counts_as_absent(self):
        assert ONE.evaluate(None, None, timeout=None, max_depth=None, max_string_length=None,
                            max_array_length=None, max_result_size=None, now=None, seed=None) == 1

    def test_argument_mistakes(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'depth'"):
            ONE.evaluate(depth=1)
        with pytest.raises(TypeError, match="takes at most 2 positional arguments"):
            ONE.evaluate(None, None, 5)
        with pytest.raises(TypeError, match="multiple values for argument 'input'"):
            ONE.evaluate(1, input=2)
