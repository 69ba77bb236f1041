"""Evaluation against JSON text (`evaluate_json`) and against documents converted once (`Document`,
`evaluate_document`): results as text, JSON syntax errors, fields skipped while parsing, and documents
shared between threads."""

import gc
import inspect
import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from support import WORKER_SCRIPT
from zarnu import Document, Expression, ZarnuError


ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


# A host function lets large copies die and calls one entry (named by argv[1]) while the nested code (argv[2])
# runs on each turn; every nested answer and the outer result are checked.
REENTERED_WHILE_COPIES_GO = textwrap.dedent("""
    import json, signal, sys, zarnu
    entry, trigger = sys.argv[1:]
    x = zarnu.Expression("x")
    shared = zarnu.Document({"x": 1})
    # Called straight from the host function: no Python call of its own gives the nested code a turn first.
    calls = {
        "Document": (zarnu.Document, {"x": 1}),
        "from_json": (zarnu.Document.from_json, '{"x": 1}'),
        "direct": (x.evaluate, {"x": 1}),
        "general": (x.evaluate, {"x": 1}, {"y": 2}),
        "json": (x.evaluate_json, '{"x": 1}'),
        "document": (x.evaluate_document, shared),
        "audit": (x.evaluate_with_audit, {"x": 1}),
    }
    answers, armed = [], False
    def nested(*_):
        # Its document dies at once: the next call on this thread drops a copy again.
        answers.append(x.evaluate_document(zarnu.Document.from_json('{"x": 2}')))
        if armed and trigger == "signal":
            signal.setitimer(signal.ITIMER_REAL, 1e-4)  # once done, however slow the build
    def profile(frame, event, arg):
        if armed and event == "call":
            nested()
    def host():
        global armed
        docs = [zarnu.Document.from_json(json.dumps(list(range(20000)))) for _ in range(30)]
        del docs
        armed = True
        if trigger == "signal":
            signal.setitimer(signal.ITIMER_REAL, 1e-4)
        try:
            call, *args = calls[entry]
            got = call(*args)
        finally:
            armed = False
            signal.setitimer(signal.ITIMER_REAL, 0)
        if isinstance(got, zarnu.Document):
            return x.evaluate_document(got)
        if isinstance(got, str):
            return json.loads(got)
        return got["result"] if isinstance(got, dict) else got
    if trigger == "signal":
        signal.signal(signal.SIGALRM, nested)
    else:
        sys.setswitchinterval(1e-6)
        sys.setprofile(profile)
    assert zarnu.Expression("[$host(), $host(), $host()]").evaluate(None, {"host": host}) == [1, 1, 1]
    sys.setprofile(None)
    assert answers and set(answers) == {2}, answers
    print(len(answers))
""")


def deep(levels):
    return "[" * levels + "]" * levels


class TestInterface:
    def test_docs_and_signatures(self):
        options = "timeout=None, max_depth=None, max_string_length=None, max_array_length=None, " \
                  "max_result_size=None, now=None, seed=None"
        assert Expression.evaluate_json.__text_signature__ == f"($self, input=None, bindings=None, *, {options})"
        assert Expression.evaluate_document.__text_signature__ == f"($self, document, bindings=None, *, {options})"
        assert Expression.evaluate_document.__doc__.startswith("Evaluates the expression against a `Document`")
        assert str(inspect.signature(Document)) == "(value)"
        assert str(inspect.signature(Document.from_json)) == "(text, read=None)"
        assert Document.__doc__.startswith("A JSON document converted once")
        assert (Document.__name__, Document.__module__) == ("Document", "zarnu")

    def test_argument_types(self):
        with pytest.raises(TypeError, match="argument 'input' must be str, not bytes"):
            Expression("$").evaluate_json(b"{}")
        with pytest.raises(TypeError, match="argument 'text' must be str, not bytes"):
            Document.from_json(b"{}")
        with pytest.raises(TypeError, match="argument 'document' must be zarnu.Document, not dict"):
            Expression("$").evaluate_document({"a": 1})
        with pytest.raises(TypeError, match="missing required argument 'document'"):
            Expression("$").evaluate_document()


class TestEvaluateJson:
    @pytest.mark.parametrize("source, text, expected", [
        ("a", '{"a":1,"b":[1,2]}', "1"),
        ("$", ' { "x" : [1, 2.5, "é\\n"], "y": {} } ', '{"x":[1,2.5,"é\\n"],"y":{}}'),
        ("a", '{"a": 1e21}', "1e+21"),
        ("a", '{"a": null}', "null"),
        ("b", '{"a": null}', None),
        ("$", "null", "null"),
    ])
    def test_results_are_json_text(self, source, text, expected):
        assert Expression(source).evaluate_json(text) == expected

    def test_without_input(self):
        assert Expression("null").evaluate_json() == "null"
        assert Expression("$").evaluate_json(None) is None
        assert Expression("$x").evaluate_json(None, {"x": [1, {"y": True}]}) == '[1,{"y":true}]'

    @pytest.mark.parametrize("text, reason", [
        ("{} x", "trailing characters at line 1 column 4"),
        ("[1,", "EOF while parsing a value at line 1 column 3"),
        ('{"a": 1,\n "b": tru}', "expected ident at line 2 column 10"),
        ("", "EOF while parsing a value at line 1 column 0"),
    ])
    def test_invalid_input(self, text, reason):
        with pytest.raises(ValueError) as raised:
            Expression("a").evaluate_json(text)
        assert str(raised.value) == "input is not valid JSON: " + reason

    def test_skipped_fields_are_still_checked(self):
        expression = Expression("a.b")
        # Only `a.b` is built: a field it never reads may nest deeper than built values can.
        assert expression.evaluate_json('{"a": {"b": 3, "c": %s}, "z": %s}' % (deep(500), deep(500))) == "3"
        with pytest.raises(ValueError, match="recursion limit exceeded"):
            Expression("$").evaluate_json('{"z": %s}' % deep(500))
        with pytest.raises(ValueError, match="expected `,` or `]` at line 1 column 25"):
            expression.evaluate_json('{"a": {"b": 3}, "z": [1 2]}')
        # An unpaired surrogate escape is a fault only in a string that is read.
        assert Expression("a").evaluate_json('{"a":1,"b":"\\ud800"}') == "1"
        with pytest.raises(ValueError, match="lone leading surrogate in hex escape"):
            Expression("b").evaluate_json('{"a":1,"b":"\\ud800"}')

    def test_an_expression_reading_nothing_still_needs_a_document(self):
        assert Expression("1").evaluate_json('{"a": 1}') == "1"
        with pytest.raises(ValueError, match="input is not valid JSON"):
            Expression("1").evaluate_json('{"a": }')

    def test_errors_options_and_bindings(self):
        with pytest.raises(ZarnuError) as raised:
            Expression('"x" + a').evaluate_json('{"a": 1}')
        assert raised.value.code == "T2001"
        with pytest.raises(ZarnuError) as raised:
            Expression("$").evaluate_json('[1, 2, 3]', max_result_size=4)
        assert raised.value.code == "U1001"
        with pytest.raises(TypeError, match="bindings must be a dict"):
            Expression("$").evaluate_json("1", bindings=[], max_depth="x")


class TestDocument:
    def test_from_a_value(self):
        document = Document({"a": [1, 2, {"b": "c"}], "d": None})
        assert Expression("a[2].b").evaluate_document(document) == "c"
        assert Expression("$").evaluate_document(document) == {"a": [1, 2, {"b": "c"}], "d": None}
        assert Expression("$x").evaluate_document(Document(None), {"x": 1}) == 1
        with pytest.raises(TypeError, match="^the document cannot be converted to JSON: Object of type set is not "
                                            "JSON serializable$"):
            Document({"a": {1}})

    def test_from_json_text(self):
        document = Document.from_json('{"a": {"x": 1}, "b": [1, 2, {"c": 3}]}')
        assert Expression("b[2].c").evaluate_document(document) == 3
        with pytest.raises(ValueError) as raised:
            Document.from_json("[1,")
        assert str(raised.value) == "the document is not valid JSON: EOF while parsing a value at line 1 column 3"

    @pytest.mark.parametrize("read, text, expected", [
        ({"a": True}, '{"a": {"x": 1}, "b": [1, 2, {"c": 3}]}', {"a": {"x": 1}}),
        ({"a": {}}, '{"a": {"x": 1}}', {"a": {}}),
        ({"a": True}, '[{"a": 1, "b": 2}, {"b": 3}]', [{"a": 1}, {}]),
        ({"a": {"b": True}}, '{"a": 5}', {"a": 5}),
        (True, '{"a": 1}', {"a": 1}),
    ])
    def test_from_json_text_with_a_read(self, read, text, expected):
        assert Expression("$").evaluate_document(Document.from_json(text, read=read)) == expected

    def test_a_read_still_checks_syntax(self):
        assert Expression("$").evaluate_document(Document.from_json('{"z": %s}' % deep(500), {})) == {}
        with pytest.raises(ValueError, match="recursion limit exceeded"):
            Document.from_json('{"z": %s}' % deep(500), {"z": True})
        with pytest.raises(ValueError, match="^the document is not valid JSON: expected `,` or `}`"):
            Document.from_json('{"a": 1, "b": {"c": 1 "d": 2}}', read={"a": True})
        document = Document.from_json('{"a": 1, "b": "\\udc00"}', read={"a": True})
        assert Expression("$").evaluate_document(document) == {"a": 1}

    @pytest.mark.parametrize("read, reason", [
        (False, "invalid value: boolean `false`, expected true, or an object of the fields read"),
        ({"a": 5}, "invalid type: integer `5`, expected true, or an object of the fields read"),
        ([], "invalid type: sequence, expected true, or an object of the fields read"),
    ])
    def test_invalid_reads(self, read, reason):
        with pytest.raises(ValueError) as raised:
            Document.from_json("{}", read=read)
        assert str(raised.value) == "invalid read: " + reason

    def test_read_depth(self):
        def chain(levels, innermost):
            read = innermost
            for _ in range(levels):
                read = {"a": read}
            return read

        Document.from_json("{}", read=chain(100, {}))
        Document.from_json("{}", read=chain(101, True))
        with pytest.raises(ValueError, match="^invalid read: a read nests more than 100 field names$"):
            Document.from_json("{}", read=chain(101, {}))
        with pytest.raises(TypeError, match="^read cannot be converted to JSON"):
            Document.from_json("{}", read={"a": {1}})

    def test_evaluation_errors_and_results(self):
        document = Document({"a": 1})
        with pytest.raises(ZarnuError) as raised:
            Expression('"x" + a').evaluate_document(document)
        assert raised.value.code == "T2001"
        with pytest.raises(ZarnuError) as raised:
            Expression("[1, 2, 3]").evaluate_document(document, max_result_size=4)
        assert raised.value.code == "U1001"
        assert Expression("b").evaluate_document(document) is None

    def test_shared_by_threads(self):
        document = Document.from_json('{"items": [%s]}' % ",".join('{"n": %d, "s": "x"}' % i for i in range(1000)))
        expressions = [Expression("items[%d].n" % i) for i in range(0, 1000, 100)]
        start = threading.Barrier(8)
        results, failures = [], []

        def work():
            try:
                start.wait()
                for _ in range(20):
                    results.append([e.evaluate_document(document) for e in expressions])
            except BaseException as error:  # reported below
                failures.append(error)

        threads = [threading.Thread(target=work) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        assert not failures
        assert results == [list(range(0, 1000, 100))] * 160

    def test_a_new_document_never_finds_the_copy_of_a_dead_one(self):
        # New documents are likely made where dead ones were: their copies must not be mistaken.
        expression = Expression("v")
        for i in range(200):
            assert expression.evaluate_document(Document({"v": i})) == i
            assert expression.evaluate_document(Document.from_json('{"v": %d}' % -i)) == -i

    # The copy a thread made of a large document goes once the document is gone, at the thread's next
    # evaluation of any kind, even when the thread converts no other document.
    def test_a_dead_documents_copy_goes_at_the_next_evaluation(self):
        code = WORKER_SCRIPT + textwrap.dedent("""
            # Its blocks are made and released again and again: what it needs is resident from the start.
            churn = zarnu.Expression('$count([1..50000].{"x": $string($)})')
            document = zarnu.Document.from_json(json.dumps({"a": [{"b": i + 0.5, "s": "t%d" % i}
                                                                  for i in range(100_000)]}))
            on_worker(lambda: churn.evaluate(None))
            before = resident()
            assert on_worker(lambda: zarnu.Expression("$count(a)").evaluate_document(document)) == 100_000
            grown = resident() - before
            del document
            # Memory given back stays mapped a moment before it is unmapped.
            deadline = time.monotonic() + 10
            while True:
                on_worker(lambda: churn.evaluate(None))
                left = resident() - before
                if left < grown / 2 or time.monotonic() > deadline:
                    break
                time.sleep(0.2)
            print(grown, left)
        """)
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, timeout=120)
        assert run.returncode == 0, run.stderr[-2000:]
        grown, left = map(int, run.stdout.split())
        assert grown > 5_000_000 and left < grown / 2, (grown, left)

    # Releasing a thread's copies of dead documents gives turns, and the Python code a turn runs (a signal
    # handler, a profile hook) may make documents and evaluate on the same thread, dropping and adding copies
    # while the outer call is still letting its own go. Each case runs in a child: a corrupted list crashes.
    @pytest.mark.parametrize("trigger", ["signal", "profile"])
    @pytest.mark.parametrize("entry", ["Document", "from_json", "direct", "general", "json", "document", "audit"])
    def test_code_run_while_dead_copies_go_may_call_in_again(self, entry, trigger):
        run = subprocess.run([sys.executable, "-c", REENTERED_WHILE_COPIES_GO, entry, trigger], capture_output=True,
                             text=True, env=ENV, timeout=120)
        assert run.returncode == 0, run.stderr[-2000:]
        assert int(run.stdout) > 0

    def test_a_document_is_out_of_reach_until_its_text_is_parsed(self):
        # Another thread reading a document's string slots while from_json still grows them would race.
        text = json.dumps([{"s": "t%d" % i} for i in range(300_000)])
        known = {id(o) for o in gc.get_objects() if isinstance(o, Document)}
        found, done = [], threading.Event()

        def look():
            while not done.is_set():
                new = [o for o in gc.get_objects() if isinstance(o, Document) and id(o) not in known]
                if not done.is_set():
                    found.extend(new)

        interval = sys.getswitchinterval()
        sys.setswitchinterval(0.05)
        thread = threading.Thread(target=look)
        thread.start()
        try:
            document = Document.from_json(text)
        finally:
            done.set()
            thread.join()
            sys.setswitchinterval(interval)
        assert Expression("$count(s)").evaluate_document(document) == 300_000
        assert found == []
