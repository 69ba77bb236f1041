"""Python functions called from expressions: bound or registered, their arguments and results, their
exceptions coming out unchanged, the zarnu.Function objects they receive, and host calls made while other
threads evaluate."""

import gc
import json
import os
import subprocess
import sys
import threading
import warnings

import pytest

from zarnu import Document, Expression, Function, ZarnuError

EVALUATE = ["evaluate", "evaluate_json"]


def run(method, source, **bindings):
    """Evaluates without input through one of the evaluation roads, the result as a Python object."""
    result = getattr(Expression(source), method)(bindings=bindings)
    if method == "evaluate_json" and result is not None:
        return json.loads(result)
    return result


@pytest.mark.parametrize("method", EVALUATE)
class TestCalls:
    def test_arguments_and_results(self, method):
        seen = []

        def f(*args):
            seen.append(args)
            return {"got": list(args)}

        assert run(method, '$f(1, "a", [true, null], {"k": 2.5})', f=f) == {
            "got": [1, "a", [True, None], {"k": 2.5}]}
        # An undefined argument arrives as None; a None result is undefined, not null.
        assert run(method, "[$f($nothing), $g()]", f=f, g=lambda: None) == [{"got": [None]}]
        assert seen[-1] == (None,)

    def test_the_context_is_never_passed(self, method):
        seen = []
        assert getattr(Expression("$f()"), method)('"abc"', {"f": lambda *args: seen.append(args)}) is None
        assert seen == [()]

    def test_results_that_cannot_be_converted(self, method):
        with pytest.raises(TypeError, match=r"^the result of \$f cannot be converted to JSON: Object of type set "
                                            r"is not JSON serializable$"):
            run(method, "$f()", f=lambda: {1})
        loop = []
        loop.append(loop)
        with pytest.raises(ValueError, match="^the result of \\$f cannot be converted to JSON: Circular reference"):
            run(method, "$f()", f=lambda: loop)

    def test_awaitables_are_refused_and_closed(self, method):
        async def later():
            return 1

        with warnings.catch_warnings():
            warnings.simplefilter("error")  # a coroutine never awaited nor closed would warn
            with pytest.raises(ZarnuError) as raised:
                run(method, "$f()", f=later)
                gc.collect()
        assert raised.value.code == "U1002"
        assert str(raised.value) == "The function $f returned a promise: asynchronous functions are not supported"

        class Awaitable:
            closed = False

            def __await__(self):
                yield

            def close(self):
                Awaitable.closed = True
                raise RuntimeError("ignored")

        with pytest.raises(ZarnuError, match="returned a promise"):
            run(method, "$f()", f=Awaitable)
        assert Awaitable.closed


@pytest.mark.parametrize("method", EVALUATE)
class TestExceptions:
    def test_raised_exception_comes_out_as_itself(self, method):
        error = KeyError("k")

        def f():
            raise error

        with pytest.raises(KeyError) as raised:
            run(method, "  $f()", f=f)
        assert raised.value is error
        assert (error.position, error.token) == (5, "f")

    def test_attributes_already_there_are_kept(self, method):
        error = ValueError("bad")
        error.position = "mine"

        def f():
            raise error

        with pytest.raises(ValueError) as raised:
            run(method, "$f()", f=f)
        assert raised.value is error and error.position == "mine"

    def test_through_nested_host_calls(self, method):
        error = LookupError("deep")

        def inner():
            raise error

        def outer(g):
            return g()

        with pytest.raises(LookupError) as raised:
            run(method, "$outer(function() { $inner() + 1 })", outer=outer, inner=inner)
        assert raised.value is error

    def test_language_error_let_through_by_python(self, method):
        caught = []

        def f(g):
            try:
                return g()
            except ZarnuError as error:
                caught.append(error)
                raise

        with pytest.raises(ZarnuError) as raised:
            run(method, '$f(function() { "x" + 1 })', f=f)
        assert raised.value is caught[0]
        assert raised.value.code == "T2001"

    def test_a_function_applied_while_the_evaluation_is_busy(self, method):
        kept = []

        def outer(g):
            kept.append(g)
            return g()

        def inner():
            return kept[0]()

        with pytest.raises(ZarnuError) as raised:
            run(method, "$outer(function() { $inner() })", outer=outer, inner=inner)
        assert raised.value.code == "U1001"
        assert "busy" in str(raised.value)


class TestRegistered:
    def test_bindings_take_precedence(self):
        expression = Expression("$f(2)")
        expression.register_function("f", lambda x: x * 10)
        assert expression.evaluate() == 20
        assert expression.evaluate(bindings={"f": lambda x: x + 1}) == 3
        assert Expression("$f").evaluate(bindings={"f": 5}) == 5
        with pytest.raises(ZarnuError) as raised:
            expression.evaluate(bindings={"f": 5})
        assert raised.value.code == "T1006"
        assert expression.evaluate_json() == "20"

    def test_names_with_lone_surrogates(self):
        # A lone surrogate reads as U+FFFD, and the name is kept whole.
        expression = Expression("$" + "f" * 10 + "\ufffd(1)")
        expression.register_function("f" * 10 + "\ud800", lambda x: x + 1)
        assert expression.evaluate() == 2

    def test_registering_again_replaces(self):
        expression = Expression("[$f(), $g()]")
        expression.register_function("$f", lambda: 1)
        expression.register_function("g", lambda: 2)
        expression.register_function("f", lambda: 3)
        expression.register_function("$$g", lambda: 4)
        assert expression.evaluate() == [3, 4]

    def test_signatures_are_checked(self):
        expression = Expression('$f("x")')
        expression.register_function("f", lambda x: x, "<n:n>")
        with pytest.raises(ZarnuError) as raised:
            expression.evaluate()
        assert (raised.value.code, raised.value.token) == ("T0410", "f")
        # The context fills a missing argument where the signature says so.
        expression = Expression("$f()")
        expression.register_function("f", lambda s: s.upper(), "<s-:s>")
        assert expression.evaluate("abc") == "ABC"
        assert expression.evaluate_json('"abc"') == '"ABC"'

    def test_invalid_registrations(self):
        expression = Expression("$f()")
        with pytest.raises(ZarnuError) as raised:
            expression.register_function("f", len, "<s<n>:n>")
        assert raised.value.code == "S0401"
        with pytest.raises(TypeError, match="^implementation must be callable$"):
            expression.register_function("f", 5)
        with pytest.raises(TypeError, match="argument 'name' must be str"):
            expression.register_function(1, len)
        with pytest.raises(TypeError, match="argument 'signature' must be str"):
            expression.register_function("f", len, 5)
        with pytest.raises(ZarnuError) as raised:
            expression.evaluate()
        assert raised.value.code == "T1006"

    def test_docs(self):
        assert Expression.register_function.__text_signature__ == "($self, name, implementation, signature=None)"
        assert Expression.register_function.__doc__.startswith("Makes `implementation` available")


class TestFunction:
    def test_class(self):
        assert (Function.__name__, Function.__module__) == ("Function", "zarnu")
        assert Function.__doc__.startswith("A JSONata function passed to a Python function")
        assert Function.arity.__doc__ == "The number of parameters the function declares."
        with pytest.raises(TypeError):
            Function()

    def test_call_back_a_lambda(self):
        def retry(f, times):
            assert (f.arity, repr(f)) == (2, "<zarnu.Function of arity 2>")
            return [f(i, None) for i in range(times)]

        assert Expression("$retry(function($n, $m) { [$n * 2, $m] }, 3)").evaluate(
            bindings={"retry": retry}) == [[0], [2], [4]]

    def test_arguments_of_a_call(self):
        def apply(f):
            return [f(len), f({"a": [1]})]

        assert Expression("$apply(function($x) { $given($x) ? $x : 'none' })").evaluate(
            bindings={"apply": apply, "given": lambda x: x is not None}) == ["none", {"a": [1]}]
        with pytest.raises(TypeError, match="^argument 2 of the function cannot be converted to JSON"):
            Expression("$apply(function($x, $y) { $x })").evaluate(bindings={"apply": lambda f: f(1, {2})})
        with pytest.raises(TypeError, match="keyword"):
            Expression("$apply(function($x) { $x })").evaluate(bindings={"apply": lambda f: f(x=1)})

    def test_valid_only_while_its_call_runs(self):
        kept = []
        expression = Expression("$keep(function() { 1 })")
        expression.evaluate(bindings={"keep": kept.append})
        with pytest.raises(ZarnuError) as raised:
            kept[0]()
        assert (raised.value.code, raised.value.position) == ("U1005", None)
        assert str(raised.value) == "A function passed to $keep was called after $keep returned"

        # Nor from another thread while the call runs.
        errors = []

        def elsewhere(f):
            thread = threading.Thread(target=lambda: errors.append(pytest.raises(ZarnuError, f).value.code))
            thread.start()
            thread.join()
            return f()

        assert expression.evaluate_json(bindings={"keep": elsewhere}) == "1"
        assert errors == ["U1005"]

    @pytest.mark.parametrize("implementation, arity", [
        (lambda a, b, c=1, *rest: 0, 2),
        (lambda *, a: 0, 0),
        (eval("lambda a, /, b: 0"), 2),
        (lambda a, *rest, b: 0, 1),
        (max, 0),
    ])
    def test_arity_of_python_callables(self, implementation, arity):
        def arity_of(f):
            return f.arity

        assert Expression("$arity_of($f)").evaluate(bindings={"arity_of": arity_of, "f": implementation}) == arity


class TestThreads:
    def test_host_calls_while_other_threads_evaluate(self):
        # Every evaluation waits inside its host function until all of them are there at once: that
        # needs each of them to have let the others run.
        count = 8
        meeting = threading.Barrier(count, timeout=30)
        expression = Expression("$meet(n) + $times(n)")
        expression.register_function("times", lambda n: n * 1000)

        def meet(n):
            meeting.wait()
            return n

        results, failures = [], []

        def work(i):
            try:
                results.append(expression.evaluate_json('{"n": %d}' % i, {"meet": meet}))
                results.append(expression.evaluate({"n": i}, {"meet": meet}))
            except BaseException as error:  # reported below
                failures.append(error)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        assert not failures and not any(thread.is_alive() for thread in threads)
        expected = [1001 * i for i in range(count)]
        assert sorted(r for r in results if isinstance(r, str)) == sorted(map(str, expected))
        assert sorted(r for r in results if isinstance(r, int)) == expected

    @pytest.mark.parametrize("method", ["evaluate_json", "evaluate_document"])
    def test_the_interpreter_is_free_while_an_evaluation_runs(self, method):
        # The evaluation works between calls of $ran until another thread has run. With so long a switch
        # interval the interpreter never takes turns by itself: the other thread gets in only while the
        # evaluation has let go of it.
        go, ran = threading.Event(), threading.Event()
        other = threading.Thread(target=lambda: (go.wait(), ran.set()))
        expression = Expression(
            "($f := function($n){ $n = 0 or $ran() ? $n : ($sum([1..20000]); $f($n - 1)) }; $f(2000))")
        bindings = {"ran": lambda: ran.is_set()}
        interval = sys.getswitchinterval()
        other.start()
        sys.setswitchinterval(1000)
        try:
            go.set()
            if method == "evaluate_json":
                left = int(expression.evaluate_json(None, bindings))
            else:
                left = expression.evaluate_document(Document(None), bindings)
        finally:
            sys.setswitchinterval(interval)
            other.join()
        assert left > 0

    def test_registration_while_evaluating(self):
        expression = Expression("$f()")
        expression.register_function("f", lambda: 0)
        stop = threading.Event()

        def register():
            i = 0
            while not stop.is_set():
                i += 1
                expression.register_function("f", lambda i=i: i)

        thread = threading.Thread(target=register)
        thread.start()
        try:
            for _ in range(300):
                assert isinstance(int(expression.evaluate_json()), int)
        finally:
            stop.set()
            thread.join()


# A host function with a deep C recursion of its own (the repr of a list 1400 levels deep), called at
# every depth of a recursive evaluation on a thread whose stack is nearly used up by then. Run apart: a
# fault would end the interpreter.
HOST_ROOM = """
import sys, threading
import zarnu
sys.setrecursionlimit(10000)
deep = []
for _ in range(1400):
    deep = [deep]
expression = zarnu.Expression("($f := function($n) { $n = 0 ? $heavy() : $f($n - 1) + 0 }; $f(depth))")
results = set()

def work():
    for level in range(0, 1200, 7):
        results.add(expression.evaluate_json('{"depth": %d}' % level, {"heavy": lambda: len(repr(deep))}))

threading.stack_size(512 * 1024)
thread = threading.Thread(target=work)
thread.start()
thread.join()
print(sorted(results))
"""


def test_host_functions_called_deep_in_an_evaluation_have_room():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", HOST_ROOM], capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == "['2802']"
