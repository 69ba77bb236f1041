"""Deep data and deep evaluations on threads with small stacks: the core continues on stack segments of
its own, and Python code it calls back (reading the input, building the result) still gets the stack room
that the caller had."""

import os
import subprocess
import sys
import textwrap
import threading

import pytest

from support import depth, nested
from zarnu import Expression, ZarnuError


def on_small_stack(work, size=256 * 1024):
    """Runs `work` on a new thread with a stack of `size` bytes; returns its result or raises its error."""
    outcome = {}

    def run():
        try:
            outcome["result"] = work()
        except BaseException as error:  # handed back to the test's thread
            outcome["error"] = error

    previous = threading.stack_size(size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


def test_deep_input_read_lazily_on_a_small_stack():
    assert depth(on_small_stack(lambda: Expression("$").evaluate(nested(1000)))) == 1000
    with pytest.raises(ZarnuError):
        on_small_stack(lambda: Expression("$").evaluate(nested(1001)))


def test_deep_bindings_on_a_small_stack():
    result = on_small_stack(lambda: Expression("$x").evaluate(bindings={"x": nested(1000)}))
    assert depth(result) == 1000
    with pytest.raises(ValueError, match="1000 levels"):
        on_small_stack(lambda: Expression("$x").evaluate(bindings={"x": nested(1001)}))


def test_deep_evaluation_on_a_small_stack():
    expression = Expression("($f := function($n) { $n = 0 ? x : $f($n - 1) + 1 }; $f(2000))")
    assert on_small_stack(lambda: expression.evaluate({"x": 1})) == 2001


def test_input_read_very_deep_is_released_on_a_small_stack():
    data = {"leaf": 1}
    for _ in range(20000):
        data = {"n": data}
    expression = Expression("($f := function($x, $k) { $k = 0 ? $x.leaf : $f($x.n, $k - 1) + 0 }; $f($, 20000))")
    assert on_small_stack(lambda: expression.evaluate(data, max_depth=10**6), size=64 * 1024) == 1


# Python code with a deep C recursion of its own (the repr of a list 1400 levels deep) runs in the float
# conversion of an input value, which the core reads at every depth of a recursive function, on a thread
# whose stack is nearly used up by then. Run apart: a fault would end the interpreter.
CALLBACK_ROOM = textwrap.dedent(
    """
    import sys, threading
    import zarnu
    sys.setrecursionlimit(10000)
    deep = []
    for _ in range(1400):
        deep = [deep]

    class Heavy(int):
        def __float__(self):
            return float(len(repr(deep)))

    expression = zarnu.Expression("($f := function($n) { $n = 0 ? x : $f($n - 1) + 0 }; $f(depth))")
    results = set()

    def work():
        for level in range(0, 1200, 7):
            results.add(expression.evaluate({"x": Heavy(2**70), "depth": level}))

    threading.stack_size(SIZE)
    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    print(sorted(results))
    """
)


@pytest.mark.parametrize("size", [512 * 1024, 1024 * 1024])
def test_python_called_back_deep_in_an_evaluation_has_room(size):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", CALLBACK_ROOM.replace("SIZE", str(size))],
                         capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == "[2802]"


# A transform copies its argument with the $clone its scope sees; one that leads back to the transform (the
# transform itself, another transform, a tail call) is a runaway recursion like any other and must end in
# the depth error, not in a crash of the interpreter. Run apart, at the default limit and a small one.
CLONE_LOOP = textwrap.dedent(
    """
    import zarnu
    for limit in (None, 40):
        try:
            zarnu.Expression(EXPR).evaluate(None, max_depth=limit)
            print("no error")
        except zarnu.ZarnuError as error:
            print(error.code, error.value)
    """
)


@pytest.mark.parametrize("expr", [
    "($clone := |a|{}|; $clone({}))",
    "($clone := |a|{}|; {} ~> $clone)",
    "($t := |a|{}|; $clone := ($clone := $t; |b|{}|); $clone({}))",
    "($t := |a|{}|; $clone := function($x){ $t($x) }; {} ~> $t)",
])
def test_a_clone_that_leads_back_to_its_transform_ends_at_the_depth_limit(expr):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", CLONE_LOOP.replace("EXPR", repr(expr))],
                         capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.split("\n")[:2] == ["D1011 50000", "D1011 40"]
