"""zarnu.Expression as a Python class: construction, its text interface (docstrings and signatures),
evaluation from many threads, and memory that stays flat however often it is evaluated and goes back after
a peak on every road."""

import gc
import inspect
import os
import subprocess
import sys
import textwrap
import threading
import tracemalloc

import pytest

import zarnu
from support import WORKER_SCRIPT
from zarnu import Expression, ZarnuError

CLASS_DOC = (
    "A compiled JSONata expression.\n\nCompile once, then evaluate against any number of documents, "
    "from any thread."
)
EVALUATE_DOC = (
    "Evaluates the expression against `input`, read one level at a time as the expression\nreaches it. "
    "`None` means no input document, and a result of `None` an undefined result\nor `null`."
)
OPTIONS = ["timeout", "max_depth", "max_string_length", "max_array_length", "max_result_size", "now", "seed"]


class TestClass:
    def test_names_and_docs(self):
        assert (Expression.__name__, Expression.__module__, Expression.__qualname__) == (
            "Expression", "zarnu", "Expression")
        assert Expression.__doc__ == CLASS_DOC
        assert Expression.__text_signature__ == "(source)"
        assert Expression.evaluate.__doc__ == EVALUATE_DOC
        assert Expression.evaluate.__text_signature__ == (
            "($self, input=None, bindings=None, *, timeout=None, max_depth=None, max_string_length=None, "
            "max_array_length=None, max_result_size=None, now=None, seed=None)")
        assert Expression.source.__doc__ == "The source text of the expression."
        assert zarnu.Expression is zarnu._zarnu.Expression

    def test_signatures(self):
        assert str(inspect.signature(Expression)) == "(source)"
        parameters = inspect.signature(Expression.evaluate).parameters
        assert list(parameters) == ["self", "input", "bindings", *OPTIONS]
        kinds = [parameter.kind for parameter in parameters.values()]
        assert kinds == [inspect.Parameter.POSITIONAL_ONLY] + [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 2 + [
            inspect.Parameter.KEYWORD_ONLY] * len(OPTIONS)
        assert all(parameter.default is None for name, parameter in parameters.items() if name != "self")

    def test_final_and_immutable(self):
        with pytest.raises(TypeError):
            type("Mine", (Expression,), {})
        with pytest.raises(TypeError):
            Expression.evaluate = None
        with pytest.raises(AttributeError):
            Expression("a").source = "b"

    def test_takes_part_in_cycle_collection(self):
        assert gc.is_tracked(Expression("a"))


class TestConstruction:
    @pytest.mark.parametrize("value", [42, None, b"a", ["a"]])
    def test_source_must_be_str(self, value):
        with pytest.raises(TypeError, match="argument 'source' must be str"):
            Expression(value)

    def test_argument_forms(self):
        assert Expression(source="a.b").source == "a.b"
        with pytest.raises(TypeError):
            Expression()
        with pytest.raises(TypeError):
            Expression("a", "b")
        with pytest.raises(TypeError):
            Expression(text="a")

    def test_syntax_errors(self):
        with pytest.raises(ZarnuError) as raised:
            Expression("😀 + (")
        error = raised.value
        assert error.code.startswith("S0")
        assert error.position is not None and error.start is not None and error.end is not None
        assert error.end <= len("😀 + (")

    def test_source_and_repr(self):
        expression = Expression("a.b")
        assert expression.source == "a.b"
        assert repr(expression) == "Expression('a.b')"
        quoted = "\"it's\" & 'x'"
        assert repr(Expression(quoted)) == "Expression(" + repr(quoted) + ")"
        assert Expression("\"é\" & '😀'").source == "\"é\" & '😀'"


class TestEvaluate:
    def test_input_and_no_input(self):
        assert Expression("$").evaluate() is None
        assert Expression("$").evaluate(None) is None
        assert Expression("null").evaluate({}) is None
        assert Expression("a").evaluate(input={"a": 1}) == 1

    def test_same_expression_many_inputs(self):
        expression = Expression("a + 1")
        assert [expression.evaluate({"a": n}) for n in range(5)] == [1, 2, 3, 4, 5]
        assert expression.evaluate({"b": 1}) is None

    def test_threads_share_one_expression(self):
        expression = Expression('items[price > 10].{"name": name, "total": price * qty}')
        data = {"items": [{"name": f"n{i}", "price": i, "qty": i % 3} for i in range(200)]}
        expected = expression.evaluate(data)
        results = [None] * 8
        barrier = threading.Barrier(8)

        def work(slot):
            barrier.wait()
            results[slot] = [expression.evaluate(data) for _ in range(50)]

        threads = [threading.Thread(target=work, args=(slot,)) for slot in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert all(run == expected for runs in results for run in runs)

    def test_fresh_expression_from_many_threads(self):
        # The first evaluations of a new expression race to make its cache of key strings.
        for _ in range(20):
            expression = Expression("a.b.c")
            results = []
            threads = [threading.Thread(target=lambda: results.append(expression.evaluate({"a": {"b": {"c": 1}}})))
                       for _ in range(4)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            assert results == [1] * 4


class TestMemory:
    def test_input_references_are_released(self):
        leaf = object()
        data = {"a": [{"b": "x", "c": [1, 2]}], "d": {"e": leaf}}
        values = [data, data["a"], data["a"][0], data["a"][0]["c"], data["d"]]
        before = [sys.getrefcount(value) for value in values]
        for source in ["$", "a.b", "a[0].c[1]", "d.e", "nothing", "a.b + 1", "d.x"]:
            for _ in range(100):
                try:
                    Expression(source).evaluate(data)
                except ZarnuError:
                    pass
        assert [sys.getrefcount(value) for value in values] == before

    def test_flat_over_many_evaluations(self):
        expression = Expression('{"n": a.b, "s": $s, "l": [c, $x]}')
        data = {"a": {"b": 1.5}, "c": ["x", {"y": None}]}
        bindings = {"s": "text", "x": [1, {"z": 2}]}

        def run(times):
            for _ in range(times):
                expression.evaluate(data, bindings)
                try:
                    expression.evaluate(data, {"s": {1}})
                except TypeError:
                    pass
                try:
                    Expression("a.b + $s").evaluate(data, bindings)
                except ZarnuError:
                    pass

        run(2000)
        gc.collect()
        rss_before = resident_bytes()
        tracemalloc.start()
        start, _ = tracemalloc.get_traced_memory()
        run(34000)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        # 100,000 evaluations: Python objects left behind would show in tracemalloc, C++ ones in the RSS.
        assert end - start < 64 * 1024
        assert resident_bytes() - rss_before < 1024 * 1024

    # After a peak, and after a large document that two threads copied is deleted, small work on one route
    # alone, on each thread, gives the memory back within moments of its grace.
    @pytest.mark.parametrize("route", ["path", "filter", "object", "general", "json", "document"])
    def test_small_work_on_any_route_gives_a_peak_back(self, route):
        code = WORKER_SCRIPT + textwrap.dedent("""
            data = {"a": [{"b": 1, "c": "x"}, {"b": 2, "c": "y"}]}
            path = zarnu.Expression("a.c")
            small = {
                "path": lambda: path.evaluate(data),
                "filter": lambda e=zarnu.Expression("a[b = 2].c"): e.evaluate(data),
                "object": lambda e=zarnu.Expression('a.{"k": c}'): e.evaluate(data),
                "general": lambda e=zarnu.Expression("$sum(a.b)"): e.evaluate(data),
                "json": lambda text=json.dumps(data): path.evaluate_json(text),
                "document": lambda document=zarnu.Document(data): path.evaluate_document(document),
            }[sys.argv[1]]
            def small_work():
                on_worker(small)
                small()
            text = json.dumps({"a": [{"b": i + 0.5, "s": "t%d" % i} for i in range(100_000)]})
            peak = zarnu.Expression('$count([1..200000].{"k": $string($), "v": [$, "x" & $string($)]})')
            count = zarnu.Expression("$count(a)")
            small_work()
            before = resident()
            def settle(grow, then=lambda: None):
                grow()
                grown = resident() - before
                then()
                deadline = time.monotonic() + 10
                while True:
                    small_work()
                    left = resident() - before
                    if left < grown / 2 or time.monotonic() > deadline:
                        print(grown, left)
                        return
                    time.sleep(0.2)
            settle(lambda: on_worker(lambda: peak.evaluate(None)))
            document = zarnu.Document.from_json(text)
            def forget():
                global document
                del document
            settle(lambda: on_worker(lambda: count.evaluate_document(document)), forget)
        """)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        run = subprocess.run([sys.executable, "-c", code, route], capture_output=True, text=True, env=env,
                             timeout=120)
        assert run.returncode == 0, run.stderr[-2000:]
        figures = [tuple(map(int, line.split())) for line in run.stdout.splitlines()]
        assert len(figures) == 2 and all(grown > 20_000_000 and left < grown / 2 for grown, left in figures), figures


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096
