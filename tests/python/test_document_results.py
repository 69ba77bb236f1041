"""Results of `evaluate_document`, which are written out without the interpreter and made into Python objects
after: the same objects as the other roads give, every str in its narrowest width, the size limit and the
time limit still applied, and the same results from many threads at once."""

import json
import threading

import pytest

from zarnu import Document, Expression, ZarnuError

# Strings of every width a str can have, alone and mixed, with the boundaries of each UTF-8 length.
TEXTS = ["", "abc", "\x00\x7f", "é", "ÿx", "\x80", "Ā", "€", "\uffff", "😀", "\U0010ffff", "a😀b€é",
         "\u07ff\u0800\uffff\U00010000", "€" * 300 + "x", "INV-0000001"]
VALUES = {
    "texts": TEXTS,
    "scalars": [None, True, False, 0, -1, 2**53, 1e21, 1.5, -0.25, 1e-7, "s"],
    "nested": {"a": [1, [2, [3, {"b": "é", "c": []}]], {}], "d": {"e": {"f": "😀"}}, "g": ""},
    "records": [{"number": f"N-{i}", "total": i * 1.5, "tags": ["x", "ÿ"][: i % 3]} for i in range(3000)],
}


@pytest.mark.parametrize("name", VALUES)
def test_results_are_those_of_the_other_roads(name):
    value = VALUES[name]
    expected = Expression("$").evaluate(value)
    for document in (Document(value), Document.from_json(json.dumps(value))):
        got = Expression("$").evaluate_document(document)
        assert got == expected == json.loads(Expression("$").evaluate_json(json.dumps(value)))
        assert json.dumps(got) == json.dumps(expected)  # dict order and number types too


def test_lone_surrogates_come_out_as_the_other_roads_give_them():
    # The core holds a lone surrogate in UTF-8 form; the flat result keeps it a character of its own.
    value = {"s": "a\ud800b", "t": ["\udfff", "x\udbff\udc00y"]}
    expected = Expression("$").evaluate(value)
    got = Expression("$").evaluate_document(Document(value))
    assert got == expected
    assert [len(s) for s in got["t"]] == [len(s) for s in expected["t"]]


def test_every_str_is_made_in_its_narrowest_form():
    # A str made wider than its widest character compares unequal to the same text made by Python.
    got = Expression("$").evaluate_document(Document(TEXTS))
    assert got == TEXTS
    assert [s.isascii() for s in got] == [s.isascii() for s in TEXTS]
    assert {s: i for i, s in enumerate(got)} == {s: i for i, s in enumerate(TEXTS)}
    assert [len(s) for s in got] == [len(s) for s in TEXTS]
    # Keys too, and strings the evaluation made rather than took from the document.
    made = Expression('{"é" & k: v & "€", "k": $uppercase(k)}').evaluate_document(Document({"k": "ÿ", "v": "😀"}))
    assert made == {"éÿ": "😀€", "k": "Ÿ"}


@pytest.mark.parametrize("source, text", [('["abc", 0.5, {"k": 0.25}]', '["abc",0.5,{"k":0.25}]'),
                                          ("[[\"é\", 1.5]]", '[["é",1.5]]'), ("$", "[1,2,3]")])
def test_the_size_limit_cuts_the_result_at_its_exact_length(source, text):
    # Fractions are charged a bound first, then their exact length when that bound does not fit: the
    # second walk's result is the one made.
    document = Document([1, 2, 3])
    expected = Expression(source).evaluate(json.loads("[1,2,3]"))
    limit = len(text.encode())
    assert Expression(source).evaluate_document(document, max_result_size=limit) == expected
    with pytest.raises(ZarnuError, match=f"exceed the size limit of {limit - 1} bytes"):
        Expression(source).evaluate_document(document, max_result_size=limit - 1)


def test_the_time_limit_stops_the_writing_of_a_long_result():
    # Once this thread has its copy of the document, evaluating `$` takes no time; writing two million
    # items out does.
    document = Document(list(range(2_000_000)))
    assert Expression("$count($)").evaluate_document(document) == 2_000_000
    with pytest.raises(ZarnuError) as raised:
        Expression("$").evaluate_document(document, timeout=0.002)
    assert raised.value.code == "D1012"


def test_threads_get_the_same_results():
    expression = Expression("records[total > 1000].[number, tags]")
    document = Document({"records": VALUES["records"]})
    expected = Expression("records[total > 1000].[number, tags]").evaluate({"records": VALUES["records"]})
    failures = []

    def run():
        for _ in range(20):
            got = expression.evaluate_document(document)
            if got != expected:
                failures.append(got)

    threads = [threading.Thread(target=run) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert expected and not failures


def test_an_evaluation_run_by_a_finalizer_while_a_result_is_made_keeps_both_results():
    # Making the result's lists and dicts runs the collector at once here, and with it the finalizer,
    # which evaluates against another document on the same thread while the first result is being made.
    import gc
    inner = Document({"x": ["é", {"y": "€"}] * 50})
    seen = []

    class Cycle:
        def __init__(self):
            self.me = self

        def __del__(self):
            seen.append(Expression("x").evaluate_document(inner))

    value = {"a": [{"k": str(i), "v": [i, "ÿ" * (i % 5)]} for i in range(300)]}
    document = Document(value)
    expected = Expression("a").evaluate(value)
    threshold = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1)
    try:
        for _ in range(20):
            Cycle()
            got = Expression("a").evaluate_document(document)
            assert got == expected
    finally:
        gc.set_threshold(*threshold)
    assert seen and all(one == inner_value for one in seen for inner_value in [["é", {"y": "€"}] * 50])


# The strings of a document come out as one str object per document string, shared by every call and every
# thread; strings the evaluation made are new each time.
SHARED = {"k": ["abc", "é", "€", "😀", "\U0010ffff", "", "abc", "x" * 300], "m": {"ÿ": "ünï", "o": "😀b"}}
SHARED_QUERY = '[k, m.*, $keys(m), $uppercase(k[1]), k[0] & "!"]'


def shared_documents():
    text = json.dumps(SHARED)
    return [Document(SHARED), Document.from_json(text),
            Document.from_json(text, read=Expression(SHARED_QUERY).reads()["input"])]


@pytest.mark.parametrize("which", range(3))
def test_document_strings_are_the_same_objects_in_every_call_and_thread(which):
    # Made here, so that this thread converted a text document first; the other thread's copy must number
    # the strings the same way, or the shared objects would be the wrong strings.
    document = shared_documents()[which]
    expression = Expression(SHARED_QUERY)
    expected = expression.evaluate(json.loads(json.dumps(SHARED)))
    results = []
    thread = threading.Thread(target=lambda: results.extend(expression.evaluate_document(document) for _ in range(2)))
    thread.start()
    thread.join()
    results.append(expression.evaluate_document(document))
    assert all(result == expected for result in results)
    assert json.dumps(results[0]) == json.dumps(expected)
    for result in results[1:]:
        for got, first in zip(result[:10], results[0][:10]):
            assert got is first and type(got) is str
        # Made by the evaluation: equal, not shared.
        assert result[-2:] == results[0][-2:] and result[-1] is not results[0][-1]


def test_threads_racing_to_make_a_document_string_all_get_the_one_stored():
    document = Document({"s": [f"text-{i}-é" for i in range(2000)]})
    barrier = threading.Barrier(8)
    results = []

    def run():
        barrier.wait()
        results.append(Expression("s").evaluate_document(document))

    threads = [threading.Thread(target=run) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 8 and results[0] == [f"text-{i}-é" for i in range(2000)]
    assert all(got is first for result in results[1:] for got, first in zip(result, results[0]))


def test_a_dead_documents_strings_go_with_it_and_its_copies_never_name_them():
    import sys
    document = Document.from_json('{"s": ["a fresh string", "another one"]}')
    kept = Expression("s[0]").evaluate_document(document)
    held = sys.getrefcount(kept)
    # Another thread keeps its copy of the document past the document's end.
    go, done = threading.Event(), threading.Event()
    later = []

    def other():
        Expression("s").evaluate_document(document)
        done.set()
        go.wait()
        later.append(Expression("s").evaluate_document(replacement))

    thread = threading.Thread(target=other)
    thread.start()
    done.wait()
    del document
    dropped = sys.getrefcount(kept)
    replacement = Document.from_json('{"s": ["new", "strings", "here"]}')
    go.set()
    thread.join()
    assert dropped == held - 1
    assert later == [["new", "strings", "here"]]
    assert Expression("s").evaluate_document(replacement) == ["new", "strings", "here"]


def test_a_str_subclass_never_comes_out():
    class Text(str):
        pass

    document = Document({"a": Text("é"), "b": [Text("x")]})
    for _ in range(2):
        got = Expression("[a, b]").evaluate_document(document)
        assert got == ["é", "x"] and [type(s) for s in got] == [str, str]
