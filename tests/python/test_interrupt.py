"""Stopping evaluations: Ctrl-C on every road, other threads running meanwhile, exceptions that are not
errors, the time limit inside long steps, and memory that runs out or would grow without bound."""

import contextlib
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import zarnu
from support import nested, turns_between_marks

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
ENDLESS = "($f := function($n){ $n = 0 ? 0 : $f($n - 1) }; $f(100000000))"
ROADS = {
    "evaluate": "e.evaluate(None)",
    "evaluate_json": "e.evaluate_json(None)",
    "evaluate_document": "e.evaluate_document(zarnu.Document('1'))",
    "evaluate_with_audit": "e.evaluate_with_audit(None, level='off')",
}


def interrupted(expression, call):
    """Runs `call` in a child sent SIGINT once it is evaluating: what it printed, and how long it took to end."""
    code = textwrap.dedent(f"""
        import zarnu
        e = zarnu.Expression({expression!r})
        print("ready", flush=True)
        try:
            {call}
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
    """)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True, env=ENV)
    assert child.stdout.readline().strip() == "ready"
    time.sleep(0.3)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out = child.communicate(timeout=60)[0]
    return out.strip(), time.monotonic() - sent


@pytest.mark.parametrize("road", ROADS)
def test_ctrl_c_stops_every_road(road):
    out, took = interrupted(ENDLESS, ROADS[road])
    assert out == "interrupted"
    assert took < 10


def test_ctrl_c_stops_a_runaway_pattern_search():
    out, took = interrupted("$match($pad('', 40, 'a'), /(a+)+b/)", ROADS["evaluate"])
    assert out == "interrupted"
    assert took < 10


class Stop(Exception):
    pass


@contextlib.contextmanager
def alarm_every_millisecond(handler):
    """SIGALRM runs `handler` every millisecond while the block runs."""
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# Long JSON texts: one whose values are all built, and one whose long member is skipped by the cut parse.
BUILT = "[" + "0," * 3_000_000 + "0]"
SKIPPED = '{"a": 1, "b": [' + "1," * 20_000_000 + "1]}"
PARSES = {
    "from_json": lambda: zarnu.Document.from_json(BUILT),
    "from_json cut": lambda: zarnu.Document.from_json(SKIPPED, read={"a": True}),
    "evaluate_json built": lambda: zarnu.Expression("$count($)").evaluate_json(BUILT),
    "evaluate_json cut": lambda: zarnu.Expression("a").evaluate_json(SKIPPED),
}


@pytest.mark.parametrize("parse", PARSES)
def test_signal_handlers_run_during_a_long_parse(parse):
    # The handler runs while the text is parsed, not once after it; its exception stops the parse.
    # Unpolled, the whole parse ran first and the handler once: it raised at its first run.
    runs = []

    def handler(*_):
        # A signal already pending when the timer is stopped still runs the handler once more: not counted.
        if len(runs) == 3:
            return
        runs.append(1)
        if len(runs) == 3:
            signal.setitimer(signal.ITIMER_REAL, 0)
            raise Stop

    with alarm_every_millisecond(handler), pytest.raises(Stop):
        PARSES[parse]()
    assert len(runs) == 3


@pytest.mark.parametrize("items", ["[$]", '{"a": $}'])
def test_signal_handlers_run_while_a_large_value_is_released(items):
    # Rebinding $x releases two million containers between the marks: that polls like any long step, where
    # it ran no handler at all (the one run seen then was the signal left pending for the next poll).
    e = zarnu.Expression(f"($x := [1..2000000].{items}; $mark(1); $x := 0; $mark(2); 1)")
    marks = []
    runs = []
    with alarm_every_millisecond(lambda *_: runs.append(len(marks))):
        assert e.evaluate(None, {"mark": marks.append}) == 1
    assert marks == [1, 2]
    assert runs.count(1) >= 5


@pytest.mark.parametrize("expression", [
    "($x := [1..2000000].[$]; $mark(1); $x := 0; $mark(2); 1)",
    "($x := [1..2000000].[$]; $mark(1); 1)",
], ids=["while evaluating", "once evaluated"])
def test_an_exception_raised_while_a_large_value_is_released_leaves_the_evaluation(expression):
    # A release cannot stop half-way: the handler's exception is kept and raised once the release is over,
    # also when the value goes after the evaluation, with the result already made.
    marks = []

    def handler(*_):
        if marks:
            signal.setitimer(signal.ITIMER_REAL, 0)
            raise Stop

    with alarm_every_millisecond(handler), pytest.raises(Stop):
        zarnu.Expression(expression).evaluate(None, {"mark": marks.append})


def test_other_threads_run_while_evaluate_works():
    # C callables mark the span of the evaluation: no Python code of the caller runs in between, so only the
    # evaluation itself can give the other thread its turns.
    result, turns = turns_between_marks(lambda marks: zarnu.Expression(
        "[$mark(1), $count([1..3000000].($ + 1)), $mark(2)]").evaluate(None, {"mark": marks.append}))
    assert result == [3000000]
    assert turns > 0


def raiser(exception):
    def host(*_):
        raise exception
    return host


@pytest.mark.parametrize("exception", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
@pytest.mark.parametrize("expression", ["$q()", "$eval('$q()')", "$map([1, 2], function($v){ $q() })"])
def test_exceptions_that_are_not_errors_leave_every_road(exception, expression):
    e = zarnu.Expression(expression)
    bindings = {"q": raiser(exception)}
    for call in (lambda: e.evaluate(None, bindings), lambda: e.evaluate_json(None, bindings),
                 lambda: e.evaluate_document(zarnu.Document("1"), bindings),
                 lambda: e.evaluate_with_audit(None, bindings, level="full")):
        with pytest.raises(type(exception)) as raised:
            call()
        assert raised.value is exception


def test_a_host_function_may_handle_an_interrupt_of_a_function_it_calls():
    def outer(f):
        try:
            return f(1)
        except KeyboardInterrupt:
            return "handled"
    bindings = {"outer": outer, "q": raiser(KeyboardInterrupt())}
    assert zarnu.Expression("$outer(function($v){ $q() })").evaluate(None, bindings) == "handled"
    # Errors are still reported by the audit, not raised.
    audit = zarnu.Expression("$q()").evaluate_with_audit(None, {"q": raiser(ValueError("bad"))})
    assert audit["error"]["code"] == "ValueError"


class Big(int):
    """An int beyond 64 bits, read through its float conversion, which raises what `raises` holds."""
    def __float__(self):
        raise self.raises


# Every road that converts such an int: lazily read input, whole conversions, the options.
BIG_ROADS = {
    "path": lambda b: zarnu.Expression("items.big").evaluate({"items": [{"big": b}]}),
    "sum": lambda b: zarnu.Expression("$sum(items.big)").evaluate({"items": [{"big": b}]}),
    "whole read": lambda b: zarnu.Expression("$string(items)").evaluate({"items": [b]}),
    "input": lambda b: zarnu.Expression("$").evaluate(b),
    "audit": lambda b: zarnu.Expression("items").evaluate_with_audit({"items": [b]}),
    "document": lambda b: zarnu.Document({"items": [b]}),
    "binding": lambda b: zarnu.Expression("$x").evaluate_document(zarnu.Document(1), {"x": b}),
    "host result": lambda b: zarnu.Expression("$f()").evaluate_json(None, {"f": lambda: b}),
    "argument": lambda b: zarnu.Expression("$g(function($v){ $v })").evaluate(None, {"g": lambda f: f(b)}),
    "timeout": lambda b: zarnu.Expression("1").evaluate(None, timeout=b),
    "now": lambda b: zarnu.Expression("$now()").evaluate(None, now=b),
}


def big(raises):
    value = Big(2**70)
    value.raises = raises
    return value


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("road", BIG_ROADS)
def test_an_interrupt_while_a_large_int_is_converted_leaves_as_itself(road, exception):
    raised = exception()
    value = big(raised)
    try:
        BIG_ROADS[road](value)
    except exception as caught:
        assert caught is raised
    else:
        pytest.fail("nothing was raised")
    raised.__traceback__ = None
    assert sys.getrefcount(value) == 2  # the name's, and the argument's


def test_an_error_while_a_large_int_is_converted_keeps_its_failure():
    with pytest.raises(zarnu.ZarnuError) as lazy:
        BIG_ROADS["sum"](big(ValueError("bad")))
    assert (lazy.value.code, str(lazy.value)) == ("U1004", "The input could not be read: ValueError: bad")
    with pytest.raises(TypeError) as whole:
        BIG_ROADS["document"](big(ValueError("bad")))
    assert str(whole.value) == "the document cannot be converted to JSON: ValueError: bad"
    with pytest.raises(TypeError, match="^timeout must be a number of seconds$"):
        BIG_ROADS["timeout"](big(ValueError("bad")))


LONG_STEPS = [
    ("$count($distinct($))", lambda: [{"a": i, "b": [i, str(i)]} for i in range(40000)]),
    ("$length($string([1..10000000]))", lambda: None),
    ("$count($shuffle([1..10000000]))", lambda: None),
    ("$count($split($pad('', 10000000, 'ab'), ''))", lambda: None),
    ("$count($sort($reverse([1..10000000])))", lambda: None),
    # Reading deep input and hashing distinct values are linear and may well finish first: the bound is what
    # counts there.
    ("$keys($)", lambda: nested(50000)),
]
MAY_FINISH = {"$keys($)", "$count($distinct($))"}


@pytest.mark.parametrize("expression,data", LONG_STEPS, ids=[case[0] for case in LONG_STEPS])
def test_the_time_limit_holds_inside_long_steps(expression, data):
    value = data()
    started = time.monotonic()
    try:
        zarnu.Expression(expression).evaluate(value, timeout=0.2)
        assert expression in MAY_FINISH
    except zarnu.ZarnuError as error:
        assert error.code == "D1012"
    assert time.monotonic() - started < 5


# Made in a moment from shared parts, 30 million items to write out.
LARGE_RESULT = "($a := [1..100]; $b := $map([1..1000], function(){ $a }); $map([1..300], function(){ $b }))"


@pytest.mark.parametrize("road", ["evaluate", "evaluate_json", "evaluate_document"])
def test_the_time_limit_holds_while_the_result_is_written(road):
    expression = zarnu.Expression(LARGE_RESULT)
    started = time.monotonic()
    with pytest.raises(zarnu.ZarnuError) as raised:
        getattr(expression, road)(zarnu.Document("null") if road == "evaluate_document" else None,
                                  timeout=0.3)
    assert raised.value.code == "D1012"
    assert time.monotonic() - started < 5


def test_the_time_limit_is_checked_when_a_host_function_returns():
    def slow():
        time.sleep(0.5)
        return 1
    with pytest.raises(zarnu.ZarnuError) as raised:
        zarnu.Expression("$slow()").evaluate(None, {"slow": slow}, timeout=0.1)
    assert raised.value.code == "D1012"


@pytest.mark.parametrize("expression", [
    "$count($split($s, ''))", "$count($split($s, 'a'))", "$count([1..5000])", "$count($match($s, /a/))",
    "$count($map($big, function($v){ $v }))", "$count($filter($big, function($v){ true }))",
    "$length($pad('', 5000, 'ab'))"])
def test_size_limits_hold_as_results_grow(expression):
    with pytest.raises(zarnu.ZarnuError) as raised:
        zarnu.Expression(expression).evaluate(None, {"s": "ab" * 3000, "big": list(range(3000))},
                                              max_array_length=1000, max_string_length=1000)
    assert raised.value.code == "U1001"


def run_child(code, limit_bytes=None):
    if limit_bytes:
        code = f"import resource\nresource.setrlimit(resource.RLIMIT_AS, ({limit_bytes}, {limit_bytes}))\n" + code
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, timeout=300)


def test_running_out_of_memory_raises_memory_error_on_every_road():
    # Many small values, and a recursion deep enough to need more stack segments than there is room for.
    code = textwrap.dedent("""
        import zarnu
        for text in ["$count($split($pad('', 9000000, 'ab'), ''))",
                     "($f := function($n){ $n = 0 ? 0 : 1 + $f($n - 1) }; $f(1000000))"]:
            e = zarnu.Expression(text)
            deep = {"max_depth": 10**8}
            for name, call in [("evaluate", lambda: e.evaluate(None, **deep)),
                               ("evaluate_json", lambda: e.evaluate_json(None, **deep)),
                               ("evaluate_document", lambda: e.evaluate_document(zarnu.Document("1"), **deep)),
                               ("evaluate_with_audit", lambda: e.evaluate_with_audit(None, level="off", **deep))]:
                try:
                    call()
                    print(name, "finished")
                except MemoryError:
                    print(name, "MemoryError")
    """)
    run = run_child(code, 400 * 1024 * 1024)
    assert run.returncode == 0, run.stderr[-2000:]
    roads = ["evaluate", "evaluate_json", "evaluate_document", "evaluate_with_audit"]
    assert run.stdout.split() == [word for road in roads * 2 for word in (road, "MemoryError")]


def test_memory_stays_within_what_the_results_need():
    # $eval trees nothing refers to go with their evaluation, and a result over a size limit fails before
    # it is built.
    code = textwrap.dedent("""
        import zarnu
        def peak():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) for line in status if line.startswith("VmHWM"))
        text = "[" + ",".join(["1"] * 50000) + "]"
        e = zarnu.Expression("$count([1..60].$eval('$count(' & $text & ') + ' & $string($)))")
        before = peak()
        print(e.evaluate(None, {"text": text}), peak() - before)
        text = "ab" * 10000000
        before = peak()
        try:
            zarnu.Expression("$count($split($s, ''))").evaluate(None, {"s": text}, max_array_length=1000)
        except zarnu.ZarnuError as error:
            print(error.code, peak() - before)
    """)
    run = run_child(code)
    assert run.returncode == 0, run.stderr[-2000:]
    count, eval_kb, code, split_kb = run.stdout.split()
    assert (count, code) == ("60", "U1001")
    # Keeping every tree until the end took some 850 MB, and building the whole split 1.1 GB.
    assert int(eval_kb) < 250 * 1024
    assert int(split_kb) < 250 * 1024
