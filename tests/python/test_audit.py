"""Audited evaluation from Python: the shape of the result, levels and capture limits with their errors,
evaluation errors reported rather than raised, hashes, timestamps and spans counted in characters."""

import datetime
import json
import sys
import time

import pytest

from zarnu import Expression, ZarnuError

ITEMS = {"items": [{"n": "a", "p": 5}, {"n": "b", "p": 20}, {"n": "c", "p": 1}]}
FILTER = Expression("items[p > 3].n")


def nodes_of(audited):
    pending = [audited["audit"]["root"]]
    while pending:
        node = pending.pop()
        yield node
        pending.extend(node.get("children", []))


def fnv1a(text):
    value = 0xCBF29CE484222325
    for byte in text.encode():
        value = ((value ^ byte) * 0x100000001B3) % 2**64
    return f"{value:016x}"


def test_result_and_header():
    audited = FILTER.evaluate_with_audit(ITEMS)
    assert list(audited) == ["result", "error", "audit", "explanation", "explanation_text"]
    assert audited["result"] == ["a", "b"] and audited["error"] is None
    header = audited["audit"]["header"]
    assert header["result"] == ["a", "b"] and header["level"] == "decisions"
    assert header["expressionHash"] == fnv1a("items[p > 3].n")
    assert audited["explanation_text"].startswith('result: ["a","b"]\n')
    assert Expression("x").evaluate_with_audit()["audit"]["header"]["inputHash"] == "cbf29ce484222325"


@pytest.mark.parametrize(
    "number, text",
    [(1.0, "1.0"), (-0.0, "-0.0"), (1e21, "1e21"), (1.5e-7, "1.5e-7"), (2.5e-5, "0.000025"),
     (1e15, "1000000000000000.0"), (1.25e16, "1.25e16"), (0.1 + 0.2, "0.30000000000000004"), (52.03, "52.03"),
     (999999999999999.9, "999999999999999.9"), (1.5e-5, "0.000015"), (3e-6, "3e-6"), (5e-324, "5e-324")],
)
def test_input_hash_of_compact_text(number, text):
    value = {"b": [1, -2, "é\n", number], "a": {"x": None, "y": True}}
    expected = fnv1a(f'{{"b":[1,-2,"é\\n",{text}],"a":{{"x":null,"y":true}}}}')
    assert Expression("1").evaluate_with_audit(value)["audit"]["header"]["inputHash"] == expected


def test_input_hash_of_escaped_strings():
    # Escapes at every place of an eight-byte block and in the bytes after the last block.
    specials = ['"', "\\", "\n", "\x01", "\x1f", "\x7f", "é", "\u2028"]
    strings = [("abcdefghij"[:at] + c + "klmnopq")[:length] for c in specials for at in range(10) for length in (5, 9, 18)]
    text = json.dumps(strings, ensure_ascii=False, separators=(",", ":"))
    assert Expression("1").evaluate_with_audit(strings, level="off")["audit"]["header"]["inputHash"] == fnv1a(text)


class Key(str):
    pass


class Twice(dict):
    """A dict whose own iteration gives one key twice."""

    def __iter__(self):
        return iter(["a", "b", "a"])


@pytest.mark.parametrize(
    "value, text",
    [
        # Lone surrogates become U+FFFD: a key may repeat, keeping its first place and its last value.
        ({"\ud800": [1], "a": {"\udc00": 2, "z": [3.5], "\ufffd": {"k": None}}, "\ufffd": 4},
         '{"\ufffd":4,"a":{"\ufffd":{"k":null},"z":[3.5]}}'),
        ({Key("k"): {"x": [1, {Key("y"): 2}]}, "m": (2**70, 3)}, '{"k":{"x":[1,{"y":2}]},"m":[1.1805916207174113e21,3]}'),
        # The hashed text is that of the converted input, which has each key once.
        ({"t": Twice(a=1, b=[2])}, '{"t":{"a":1,"b":[2]}}'),
    ],
)
def test_input_hash_of_converted_keys(value, text):
    audited = Expression("1").evaluate_with_audit(value, level="off")
    assert audited["audit"]["header"]["inputHash"] == fnv1a(text)


def test_timestamp_is_the_evaluations_now():
    now = datetime.datetime(2026, 1, 31, 12, 0, tzinfo=datetime.timezone.utc)
    audited = Expression("$millis()").evaluate_with_audit(now=now)
    assert audited["audit"]["header"]["timestamp"] == "2026-01-31T12:00:00.000Z"
    audited = Expression("$millis()").evaluate_with_audit()
    stamp = datetime.datetime.fromisoformat(audited["audit"]["header"]["timestamp"].replace("Z", "+00:00"))
    assert stamp.timestamp() * 1000 == audited["result"]


def test_spans_count_characters():
    root = Expression("'é😀' & x").evaluate_with_audit({"x": "y"}, level="full")["audit"]["root"]
    assert root["span"] == {"start": 0, "end": 8}
    assert root["children"][1]["span"] == {"start": 7, "end": 8}


def test_evaluation_errors_are_reported():
    audited = Expression("  $error('boom')").evaluate_with_audit()
    error = audited["error"]
    assert list(error) == ["code", "message", "position", "start", "end", "token", "value"]
    assert audited["result"] is None
    assert audited["audit"]["header"]["error"] == {"code": "D3137", "message": "boom"}
    with pytest.raises(ZarnuError) as raised:
        Expression("  $error('boom')").evaluate()
    assert (error["start"], error["end"]) == (raised.value.start, raised.value.end)

    too_large = Expression("$string(a)").evaluate_with_audit({"a": list(range(10))}, max_result_size=3)
    assert too_large["result"] is None and too_large["error"]["code"] == "U1001"
    header = too_large["audit"]["header"]
    assert header["error"]["code"] == "U1001" and "result" not in header

    def fail():
        raise KeyError("k")

    assert Expression("$f()").evaluate_with_audit(bindings={"f": fail})["error"]["code"]


def test_levels():
    off = FILTER.evaluate_with_audit(ITEMS, level="off")["audit"]
    assert "root" not in off and off["nodeCount"] == 0
    decisions = FILTER.evaluate_with_audit(ITEMS, level=None)["audit"]
    full = FILTER.evaluate_with_audit(ITEMS, level="full")["audit"]
    assert 0 < decisions["nodeCount"] < full["nodeCount"]
    for level in ["Full", ""]:
        with pytest.raises(ValueError, match='^level must be "off", "decisions" or "full"$'):
            FILTER.evaluate_with_audit(level=level)


@pytest.mark.parametrize(
    "limits, kind, message",
    [
        ({"max_items": True}, TypeError, "limit max_items must be an int"),
        ({"max_items": -1}, ValueError, "limit max_items must not be negative"),
        ({"max_items": 2**64}, ValueError, "limit max_items must not be negative"),
        ({"bogus": 1}, ValueError, "unknown capture limit 'bogus'"),
        ({"bogus": "1"}, TypeError, "limit bogus must be an int"),
        ({1: 1}, TypeError, "the names of the limits must be str"),
    ],
)
def test_bad_limits(limits, kind, message):
    with pytest.raises(kind) as raised:
        FILTER.evaluate_with_audit(limits=limits)
    assert str(raised.value) == message


def test_order_of_checks():
    with pytest.raises(TypeError, match="level"):
        FILTER.evaluate_with_audit(object(), level=1)
    with pytest.raises(TypeError, match="limits"):
        FILTER.evaluate_with_audit(object(), limits=[])
    with pytest.raises(TypeError, match="input"):
        FILTER.evaluate_with_audit(object(), level="x")
    with pytest.raises(ValueError, match="level"):
        FILTER.evaluate_with_audit(level="x", limits={"bogus": 1})
    with pytest.raises(ValueError, match="capture limit"):
        FILTER.evaluate_with_audit(limits={"bogus": 1}, bindings=[1])
    with pytest.raises(TypeError, match="bindings"):
        FILTER.evaluate_with_audit(bindings=[1], timeout="x")


def test_limits_apply():
    limits = {"max_string": 3}
    audited = Expression("$").evaluate_with_audit({"s": "abcdef"}, level="full", limits=limits)
    output = audited["audit"]["root"]["output"]
    assert output["s"].startswith("abc") and len(output["s"]) < 6
    full = FILTER.evaluate_with_audit(ITEMS, level="full", limits={"max_nodes": 3})["audit"]
    assert full["nodeCount"] == 3 and full["truncated"] is True


def test_time_limit_holds_while_the_audit_is_written():
    # The evaluation's last step ends past the limit; writing the large result and audit must not go on.
    def slow(value):
        time.sleep(0.5)
        return value

    started = time.monotonic()
    audited = Expression("$slow([1..20000])").evaluate_with_audit(bindings={"slow": slow}, timeout=0.2, level="full")
    assert time.monotonic() - started < 5
    assert audited["result"] is None and audited["error"]["code"] == "D1012"
    assert audited["audit"]["header"]["error"]["code"] == "D1012"
    assert audited["explanation_text"].startswith("result: error D1012")


def test_nodes_do_not_share_containers():
    # The nodes of each item's predicate share the item's capture in the tree; their dicts are their own.
    doc = {"items": [{"n": "a", "p": 5, "d": {"k": [1, 2]}}, {"n": "b", "p": 1, "d": {"k": [3]}}]}
    audited = Expression("items[p > 3].n").evaluate_with_audit(doc, level="full")
    nodes, pending = [], [audited["audit"]["root"]]
    while pending:
        node = pending.pop()
        nodes.append(node)
        pending.extend(node.get("children", []))
    inputs = [node["input"] for node in nodes if node.get("input") == doc["items"][0]]
    assert len(inputs) >= 4
    inputs[0]["d"]["k"].append(99)
    inputs[0]["n"] = "changed"
    assert all(other == doc["items"][0] for other in inputs[1:])
    assert doc["items"][0]["d"]["k"] == [1, 2]
    containers = [
        id(x) for node in nodes for x in (node.get("input"), node.get("output"), node["span"]) if isinstance(x, (dict, list))
    ]
    assert len(containers) == len(set(containers))


def test_captured_strings_of_the_input():
    # Exact strs of the input are captured as they are; the rest become plain strs of their text, and a
    # string cut by the limits keeps only its start.
    class Tagged(str):
        pass

    long_text = "l" * 30 + "é"
    text = "ünï" + str(len(long_text))
    doc = {"a": text, "t": Tagged("tag"), "s": "a\ud800b", "long": long_text}
    before = sys.getrefcount(text)
    full = Expression("[a, t, s, long, a]").evaluate_with_audit(doc, level="full", limits={"max_string": 20})
    output = full["audit"]["root"]["output"]
    assert output[:3] == [text, "tag", "a\ufffdb"] and output[4] == text
    assert output[3].startswith("l" * 20) and "é" not in output[3]
    strings = [s for node in nodes_of(full) for s in node.get("output", []) if isinstance(s, str)]
    assert strings and all(type(s) is str for s in strings)
    # The audit holds what it captured alone: the input may go, and once the audit goes, nothing is held.
    del doc
    assert output[0] == text
    del full, output, strings
    assert sys.getrefcount(text) == before - 1


def test_copies_of_nested_captures_are_whole_and_their_own():
    # Captures met again are copies of the ones written first: lists and dicts at every depth, each in its
    # place, none shared with another node or with the input.
    doc = {"rows": [[{"a": [1, {"b": 2}]}, "s", [3, [4, {}]]], {"c": [[5], []], "d": None}]}
    audited = Expression("[rows, rows.c, rows]").evaluate_with_audit(doc, level="full", limits={"max_depth": 9})
    nodes = list(nodes_of(audited))
    inputs = [node["input"] for node in nodes if node.get("input") == doc]
    rows = [node["output"] for node in nodes if node.get("output") == doc["rows"]]
    assert len(inputs) >= 4 and len(rows) >= 2
    found = [x for node in nodes for x in (node.get("input"), node.get("output")) if isinstance(x, (dict, list))]
    pending = list(found)
    while pending:
        value = pending.pop()
        inner = value.values() if isinstance(value, dict) else value
        nested = [x for x in inner if isinstance(x, (dict, list))]
        found.extend(nested)
        pending.extend(nested)
    assert len(set(map(id, found))) == len(found)
    rows[0][0][2][1].append("changed")
    inputs[0]["rows"][1]["c"][0].append("changed")
    assert rows[1] == doc["rows"] and all(other == doc for other in inputs[1:])
    assert doc["rows"][0][2][1] == [4, {}] and doc["rows"][1]["c"][0] == [5]
