"""Simple queries run straight over Python objects: random documents and queries give exactly what the general
evaluation gives (values, types, key order, errors), long runs still give other threads their turns and stop
on Ctrl-C, and what the input holds is handed out as it is only where that is equal."""

import functools
import math
import operator
import os
import random
import signal
import pytest

import zarnu
from support import turns_between_marks

NAMES = ["a", "b", "c", "naïve"]


def general(source):
    """The expression compiled with the direct plan switched off (read when an expression is made)."""
    os.environ["ZARNU_DIRECT"] = "0"
    try:
        return zarnu.Expression(source)
    finally:
        del os.environ["ZARNU_DIRECT"]


class Sub(dict):
    pass


class Opaque:
    pass


SCALARS = [None, True, False, 0, 1, -3, 7, 2**53, 2**53 + 1, -(2**53) - 3, 2**63, 2**70, 0.5, 2.0, -0.0, 31.5,
           1e300, float("nan"), float("inf"), "", "x", "b", "abc", "Zürich", "東京", "😀", "\ud800", "a\udfffb"]


def document(rng, depth=0):
    """A random value: mostly dicts and lists of the fields queries name, with every kind of scalar."""
    roll = rng.random()
    if depth < 4 and roll < 0.4:
        return {rng.choice(NAMES): document(rng, depth + 1) for _ in range(rng.randint(0, 4))}
    if depth < 4 and roll < 0.6:
        return [document(rng, depth + 1) for _ in range(rng.choice([0, 1, 1, 2, 3, 5]))]
    if roll < 0.62:
        return rng.choice([(1, 2), Sub(a=1), Opaque(), [[1, 2], [3]]])
    return rng.choice(SCALARS)


LITERALS = ["0", "1", "7", "2.5", "-3", "31", '"x"', '"b"', '"Zürich"', '"😀"', '""']
OPS = ["=", "!=", "<", "<=", ">", ">="]


def step(rng):
    name = rng.choice(NAMES)
    text = name if name.isascii() else f"`{name}`"
    for _ in range(rng.choice([0, 0, 0, 1, 1, 2])):
        if rng.random() < 0.4:
            text += f"[{rng.choice(['0', '1', '-1', '-2', '0.5', '5'])}]"
        else:
            field, op, literal = rng.choice(NAMES[:3]), rng.choice(OPS), rng.choice(LITERALS)
            text += f"[{literal} {op} {field}]" if rng.random() < 0.2 else f"[{field} {op} {literal}]"
    return text


def path(rng, most=4):
    return ".".join(step(rng) for _ in range(rng.randint(1, most)))


def query(rng):
    text = path(rng)
    if rng.random() < 0.3:
        pairs = ", ".join(f'"k{i}": {path(rng, 2)}' for i in range(rng.randint(1, 3)))
        text += ".{" + pairs + "}"
    return text


def outcome(expression, data):
    try:
        return "value", expression.evaluate(data)
    except zarnu.ZarnuError as error:
        return "error", (error.code, str(error))


def same(x, y):
    """Equal and of the same types all the way down, dict keys in the same order."""
    if type(x) is not type(y):
        return False
    if isinstance(x, dict):
        return list(x) == list(y) and all(same(x[k], y[k]) for k in x)
    if isinstance(x, list):
        return len(x) == len(y) and all(same(a, b) for a, b in zip(x, y))
    if isinstance(x, float) and math.isnan(x):
        return math.isnan(y)
    return x == y and (not isinstance(x, float) or math.copysign(1, x) == math.copysign(1, y))


FIXED = [
    "a", "a.b", "a.b.c", "a[0]", "a[-1].b", "a.b[0]", "a[b > 1].c", "a[b = \"x\"]", "a[1 < b].c",
    'a.{"k": b}', 'a.{"k": b, "l": c[0]}', 'a.b.{"k": c.a}', "a[0][0]", "a[b > 1][0].c", "`naïve`.a",
]


@pytest.mark.parametrize("seed", range(40))
def test_random_queries_give_what_the_general_evaluation_gives(seed):
    rng = random.Random(seed)
    sources = FIXED + [query(rng) for _ in range(60)]
    pairs = [(zarnu.Expression(s), general(s), s) for s in sources]
    for _ in range(40):
        data = {rng.choice(NAMES): document(rng, 1) for _ in range(rng.randint(1, 4))}
        if rng.random() < 0.3:
            # A list given as the input: the first step looks its field up in every item at once.
            data = list(data.values()) + [document(rng, 1) for _ in range(rng.randint(0, 3))]
        for direct, slow, source in pairs:
            got, expected = outcome(direct, data), outcome(slow, data)
            assert got[0] == expected[0] and same(got[1], expected[1]), (source, data, got, expected)


def test_records_give_what_the_general_evaluation_gives():
    # Lists of records with every field present, absent, null, a list of one or of none.
    rng = random.Random(5)
    records = []
    for i in range(300):
        record = {"id": i, "price": rng.choice([i + 0.25, i, float(i), None, "12", [i], [], True])}
        if rng.random() < 0.8:
            record["tags"] = rng.choice([["x"], [], "x", ["x", "y"], [{"n": 1}], None])
        if rng.random() < 0.5:
            record["stock"] = [{"city": rng.choice(["Zürich", "東京", "Oslo"]), "count": j} for j in range(i % 3)]
        records.append(record)
    sources = ["items.price", "items[price > 30].id", "items[price = 7]", "items.tags", "items.tags[0]",
               'items.{"id": id, "city": stock[0].city, "tags": tags}', "items[id >= 150].stock.city",
               'items[stock.count > 1].id', "items[0].tags", "items[-1].stock"]
    inputs = [{"items": records}, {"items": records[:1]}, {"items": records[7:8]}, {"items": []}]
    # Over a list given as the input, the first step's predicates judge the values of every item at once.
    rows = ["price", "tags", "tags[0]", "id[0]", "stock.city", "stock[0].city", 'stock[city = "Oslo"].count',
            'stock.{"c": city, "n": count}', "price[0]", "tags[-1]"]
    for source in sources + rows:
        for data in inputs + [records, records[:1], records[7:8], []]:
            got = outcome(zarnu.Expression(source), data)
            expected = outcome(general(source), data)
            assert got[0] == expected[0] and same(got[1], expected[1]), (source, got, expected)


def test_the_input_is_handed_out_only_where_that_is_equal():
    price, name, big = 12.75, "naïve", 2**53 + 1
    data = {"a": [{"p": price, "n": name, "i": 7, "f": 4.0, "b": big, "t": True}]}
    expression = zarnu.Expression('a.{"p": p, "n": n, "i": i, "f": f, "b": b, "t": t}')
    got = expression.evaluate(data)
    assert got["p"] is price and got["n"] is name and got["t"] is True
    assert got["f"] == 4 and type(got["f"]) is int
    assert got["b"] == float(big) and type(got["b"]) is int


def test_a_container_met_again_on_its_own_path_fails_as_on_the_general_road():
    member = {"a": {}}
    member["a"]["b"] = member
    item = {"a": [{"b": 1}]}
    item["a"].append(item)
    for data, sources in [(member, ["a.b.a.c", "a.b[0].c", 'a.{"k": b.a.c}']), (item, ["a.b", "a[0].b"])]:
        for source in sources:
            got, expected = outcome(zarnu.Expression(source), data), outcome(general(source), data)
            assert got[0] == expected[0] == "error" and got[1] == expected[1], source


def test_limits_given_hold_on_a_simple_query():
    data = {"a": [{"b": i} for i in range(10)]}
    for options in [{"max_array_length": 3}, {"max_result_size": 5}, {"timeout": 1e-12}]:
        with pytest.raises(zarnu.ZarnuError) as raised:
            zarnu.Expression("a.b").evaluate(data, **options)
        with pytest.raises(zarnu.ZarnuError) as expected:
            general("a.b").evaluate(data, **options)
        assert raised.value.code == expected.value.code


def long_input():
    return {"a": [{"b": i + 0.5} for i in range(1_500_000)]}


def test_other_threads_run_while_a_long_query_works():
    data = long_input()
    expression = zarnu.Expression("a.b")
    results, turns = turns_between_marks(lambda marks: list(map(operator.methodcaller("__call__"), [
        functools.partial(marks.append, 1), functools.partial(expression.evaluate, data),
        functools.partial(marks.append, 2)])))
    assert results[1][7] is data["a"][7]["b"]  # the direct plan ran
    assert turns > 0


def test_ctrl_c_stops_a_long_query():
    data = long_input()
    expression = zarnu.Expression("a.b")
    marks = []
    seen = []

    def handler(*_):
        seen.append(list(marks))
        if marks != [1]:
            # Not inside the evaluation yet: later.
            signal.setitimer(signal.ITIMER_REAL, 0.005)
            return
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    steps = [functools.partial(marks.append, 1), functools.partial(expression.evaluate, data),
             functools.partial(marks.append, 2)]
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        with pytest.raises(KeyboardInterrupt):
            list(map(operator.methodcaller("__call__"), steps))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # The handler ran inside the evaluation, which then stopped.
    assert seen[-1] == [1] and marks == [1]
