"""The input of `evaluate` is read lazily: only what the expression reaches is converted, and what cannot
be read ends the evaluation with U1004 instead of raising from the middle of it."""

import sys

import pytest

from support import depth, nested
from zarnu import Expression, ZarnuError


class Counted(int):
    """An int too big for 64 bits whose conversion (through __float__) is counted."""

    conversions = 0

    def __float__(self):
        Counted.conversions += 1
        return 1.5


def unreadable(expression, data):
    with pytest.raises(ZarnuError) as raised:
        Expression(expression).evaluate(data)
    error = raised.value
    assert error.code == "U1004"
    prefix = "The input could not be read: "
    assert str(error).startswith(prefix)
    return str(error)[len(prefix):]


class TestOnlyWhatIsReached:
    def test_no_input(self):
        for source in ["$", "a.b", "$$", "*", "**"]:
            assert Expression(source).evaluate() is None
            assert Expression(source).evaluate(None) is None

    def test_one_field_of_a_large_dict(self):
        data = {f"k{i}": {i} for i in range(100000)}  # a set cannot be converted
        data["wanted"] = [1, 2]
        assert Expression("wanted").evaluate(data) == [1, 2]
        assert unreadable("$", data) == "Object of type set is not JSON serializable"

    def test_conversions_are_counted(self):
        big = 2**70
        data = {f"k{i}": Counted(big) for i in range(1000)}
        Counted.conversions = 0
        assert Expression("k5").evaluate(data) == 1.5
        assert Counted.conversions == 1
        Counted.conversions = 0
        assert Expression("k5 + k6 + k5").evaluate(data) == 4.5
        assert Counted.conversions == 3

    def test_containers_below_are_not_read(self):
        data = [[1], [{2}], {"x": {3}}]
        assert Expression("$[0]").evaluate(data) == [1]
        assert Expression("$[2].y").evaluate(data) is None
        assert unreadable("$[1]", data) == "Object of type set is not JSON serializable"
        # Taking one item reads the whole list.
        rows = {"rows": [{"x": 1}, {"x": [2]}, 3]}
        for source, result in [("rows[1].x", [2]), ("rows[-1]", 3), ("rows[-3].x", 1), ("rows[3]", None)]:
            assert Expression(source).evaluate(rows) == result, source
            assert unreadable(source, {"rows": rows["rows"] + [{4}]}) == "Object of type set is not JSON serializable"
            assert unreadable(source, {"rows": rows["rows"] + [10**400]}).startswith("OverflowError: ")

    def test_paths_over_records(self):
        records = {"rows": [{"id": i, "tags": ["a", "b"], "bad": {i}} for i in range(100)]}
        assert Expression("rows[id > 97].tags").evaluate(records) == ["a", "b", "a", "b"]

    def test_plain_paths_through_lists_of_records(self):
        # Lists of records and scalars only, and the same with a nested list (which reads them otherwise).
        for extra, more in [([], []), ([[{"p": [{"v": 7}]}]], [7])]:
            rows = [{"p": [{"v": 1, "bad": {1}}, {"v": [2, [3]]}, 4, None, {"w": 5}]}, {"p": {"v": 6}}, {"p": []},
                    "x", 2**40] + extra
            data = {"rows": rows}
            assert Expression("rows.p.v").evaluate(data) == [1, 2, [3], 6] + more
            assert Expression("rows.p.w").evaluate(data) == 5
            assert unreadable("rows.p.bad", data) == "Object of type set is not JSON serializable"
        shared = {"v": [1]}
        assert Expression("rows.v").evaluate({"rows": [shared, shared]}) == [1, 1]
        data = {"rows": [{"p": [{"v": 1}, {}, {}]}]}
        assert Expression("rows.p.v").evaluate(data, max_array_length=2) == 1
        data = {"rows": [{"p": [{"v": 1}, {}]}, {"p": [{}]}]}
        with pytest.raises(ZarnuError, match="2 items"):
            Expression("rows.p.v").evaluate(data, max_array_length=2)
        with pytest.raises(ZarnuError, match="0 items"):
            Expression("rows.p.v").evaluate(data, max_array_length=0)

    def test_a_member_read_again_is_the_same_container_where_identity_shows(self):
        data = {"a": {"b": [{"x": 1}, {"x": 2}]}}
        for source in ["a in [a]", "a.b[1] in a.b", "($y := a.b; $y[0] in a.b)", '$eval("a.b[0] in a.b")',
                       "(a.b ~> |$|{}|)[0] in a.b or a.b[0] in a.b"]:
            assert Expression(source).evaluate(data) is True, source
        assert Expression("[a.b[0], a.b[1].x, a.b.x]").evaluate(data) == [{"x": 1}, 2, 1, 2]


class TestShapes:
    def test_containers_of_every_kind(self):
        class Table(dict):
            pass

        class Row(list):
            pass

        data = Table(a=Row([1, (2, 3)]), b=({"c": None},))
        assert Expression("$").evaluate(data) == {"a": [1, [2, 3]], "b": [{"c": None}]}
        assert Expression("a[1]").evaluate(data) == [2, 3]
        assert Expression("b.c").evaluate(data) is None
        assert Expression("$").evaluate((1, 2)) == [1, 2]

    def test_scalars(self):
        data = {"big": 2**53 + 1, "nan": float("nan"), "t": True, "s": "é\ud800", "n": None}
        assert Expression("big").evaluate(data) == 2**53
        assert Expression("nan = null").evaluate(data) is True
        assert Expression("t = true").evaluate(data) is True
        assert Expression("s").evaluate(data) == "é\ufffd"
        assert Expression("n = null").evaluate(data) is True

    def test_scalar_input(self):
        assert Expression("$").evaluate(5) == 5
        assert Expression("$ & 'x'").evaluate("a") == "ax"
        assert Expression("$").evaluate(False) is False

    def test_array_input_is_the_context(self):
        assert Expression("$").evaluate([1, 2]) == [1, 2]
        assert Expression("$[1]").evaluate([1, 2]) == 2
        assert Expression("x").evaluate([{"x": 1}, {"x": 2}]) == [1, 2]


    def test_a_position_in_a_path(self):
        data = {"a": [[{"b": 1}, {"b": 3}], {"b": 2}], "c": [{"b": 4}, 7]}
        for source, result in [("a[0].b", [1, 3]), ("a[-1].b", 2), ("a[1.9].b", 2), ("a[5].b", None),
                               ("c[0].b", 4), ("c[1].b", None), ("c[-3].b", None), ("x[0].b", None)]:
            assert Expression(source).evaluate(data) == result, source

    def test_strings_handed_out_as_read(self):
        class Name(str):
            pass

        text = "".join(["zü", "rich"])  # made at run time: not shared with any constant
        data = {"plain": text, "sub": Name("x"), "lone": "a\ud800", "rows": [{"s": text}, {"s": "b"}]}
        # A str read unchanged is the result's str itself; wherever a string is made, it is a new plain str.
        assert Expression("plain").evaluate(data) is text
        assert Expression("rows.s").evaluate(data)[0] is text
        assert Expression('{"k": plain}').evaluate(data)["k"] is text
        assert type(Expression("sub").evaluate(data)) is str
        assert Expression("lone").evaluate(data) == "a\ufffd"
        made = Expression("plain & ''").evaluate(data)
        assert made == text and made is not text
        # The strs the evaluation took are given back once it is over.
        before = sys.getrefcount(text)
        for _ in range(50):
            Expression('[plain, rows.s, $string(plain)]').evaluate(data)
        assert sys.getrefcount(text) == before

class TestFailures:
    def test_cycles(self):
        data = {"a": 1, "inner": {"b": 2}}
        data["self"] = data
        data["inner"]["up"] = data
        assert Expression("a").evaluate(data) == 1
        assert Expression("inner.b").evaluate(data) == 2
        assert unreadable("self", data) == "Circular reference detected"
        assert unreadable("inner.up", data) == "Circular reference detected"
        assert unreadable("$", data) == "Circular reference detected"

    def test_cycles_through_lists_of_records(self):
        row = {"x": 1}
        data = {"rows": [row, 2]}
        row["self"], row["up"], row["list"] = row, data, data["rows"]
        assert Expression("rows.x").evaluate(data) == 1
        for source in ["rows.self", "rows.up", "rows.list", "rows.up.rows.x"]:
            assert unreadable(source, data) == "Circular reference detected", source
        data["rows"].append(data)  # a list holding its own parent fails whole, whichever member is read
        for source in ["rows.x", "rows[0]", "rows[1]"]:
            assert unreadable(source, data) == "Circular reference detected", source

    def test_repeats_are_not_cycles(self):
        shared = [1]
        data = {"a": shared, "b": shared, "c": {"d": shared}}
        assert Expression("$").evaluate(data) == {"a": [1], "b": [1], "c": {"d": [1]}}

    def test_cycles_and_repeats_deep_down(self):
        def chain(depth, bottom):
            top = node = {"n": 0}
            for i in range(1, depth):
                node["next"] = {"n": i, "meta": meta}
                node = node["next"]
            node["next"] = bottom
            return top, node

        meta = {"kind": ["m"]}  # met at every depth, never its own ancestor
        # The same deep chain twice, once shifted down by a few levels: repeats, not cycles.
        tail, _ = chain(60, None)
        data = {"a": tail, "b": [[[{"next": tail}]]]}
        assert Expression("$count(**.kind)").evaluate(data) == 2 * 59
        for depth in (5, 40):
            top, bottom = chain(depth, None)
            assert Expression("$count(**.n)").evaluate(top) == depth
            bottom["next"] = top
            assert unreadable("**.n", top) == "Circular reference detected"
            middle = top
            for _ in range(depth // 2):
                middle = middle["next"]
            bottom["next"] = [middle]
            assert unreadable("$count(**.n)", top) == "Circular reference detected"
            bottom["next"] = [[meta]]
            assert Expression("$count(**.kind)").evaluate(top) == depth

    def test_non_str_keys_fail_only_a_whole_read(self):
        data = {1: "one", "x": 2}
        assert Expression("x").evaluate(data) == 2
        assert unreadable("$", data) == "keys must be str, not int"

    def test_int_beyond_doubles(self):
        assert unreadable("x", {"x": 10**400}).startswith("OverflowError: ")

    def test_failing_dict_lookup(self):
        class Clash(str):
            armed = False

            def __hash__(self):
                return hash("a")

            def __eq__(self, other):
                if Clash.armed:
                    raise ValueError("boom")
                return str.__eq__(self, other)

        data = {Clash("z"): 1, "a": 2}
        Clash.armed = True
        assert unreadable("a", data) == "ValueError: boom"

    def test_python_code_changing_the_input_while_it_is_read(self):
        data = {}

        class Clears(int):
            def __float__(self):
                data.clear()
                return 0.5

        data.update(a=Clears(2**70), b=[1, 2], c="x")
        assert Expression("$").evaluate(data) == {"a": 0.5, "b": [1, 2], "c": "x"}
        items = [Clears(2**70), 1, 2]
        data = items  # the list read is cleared by its first item
        assert Expression("$").evaluate(items) == [0.5, 1, 2]

    def test_a_filter_reads_records_in_order_up_to_its_error(self):
        Counted.conversions = 0
        for rows, code in [([{"v": "x"}, {"v": Counted(2**70)}], "T2009"), ([{"v": {"w": 2}}, {"v": b"x"}], "T2010"),
                           ([{"v": 2}, 3, {}, {"v": None}, {"v": Counted(2**70)}], "T2010")]:
            with pytest.raises(ZarnuError) as raised:
                Expression("rows[v > 1]").evaluate({"rows": rows})
            assert raised.value.code == code
        assert Counted.conversions == 0
        rows = [{"v": 2, "i": 1}, {"v": b"x"}, {"v": 3, "i": {2}}]
        assert unreadable("rows[v > 1].i", {"rows": rows}) == "Object of type bytes is not JSON serializable"
        rows = [{"v": 2, "i": 1}, {"v": Counted(2**70), "i": 2}, {"v": 1.0, "i": 3}, {"v": 7}]
        assert Expression("rows[v > 1].i").evaluate({"rows": rows}) == [1, 2]
        assert Counted.conversions == 1

    def test_the_top_level_is_read_at_the_start(self):
        assert unreadable("1", {1, 2}) == "Object of type set is not JSON serializable"
        assert unreadable("1", 10**400).startswith("OverflowError: ")

    def test_first_failure_wins(self):
        assert unreadable("[a, b]", {"a": {1}, "b": b"x"}) == "Object of type set is not JSON serializable"
        # A list is read whole before anything is looked up in its items.
        assert unreadable("rows.v", {"rows": [{"v": b"x"}, {1}]}) == "Object of type set is not JSON serializable"
        assert unreadable("rows.v", {"rows": [{"v": b"x"}, 10**400]}).startswith("OverflowError: ")
        data = {"rows": [{"p": [{"v": b"x"}]}, {"p": [{"v": {1}}]}]}
        assert unreadable("rows.p.v", data) == "Object of type bytes is not JSON serializable"


class TestDepth:
    def test_deep_input_is_read_level_by_level(self):
        assert depth(Expression("$").evaluate(nested(1000))) == 1000
        data = {"leaf": True}
        for _ in range(900):
            data = {"n": data, "unreadable": {1}}
        assert Expression("n." * 900 + "leaf").evaluate(data) is True

    def test_result_nesting_limit(self):
        with pytest.raises(ZarnuError) as raised:
            Expression("$").evaluate(nested(1001))
        assert raised.value.code == "U1001"
