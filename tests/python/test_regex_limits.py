"""Pattern searches and compilations within an evaluation's limits: a search whose backtracking would take
the machine's memory ends with the size error (or MemoryError when its bound is set beyond what the process
may allocate), never with an abort; compiling a long pattern keeps to the time limit."""

import subprocess
import sys
import textwrap
import time

import pytest

from zarnu import Expression, ZarnuError

UNDER_MEMORY_LIMIT = textwrap.dedent(
    """
    import resource, sys
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    import zarnu
    limits = {} if sys.argv[1] == "default" else {"max_result_size": 1 << 40}
    try:
        zarnu.Expression("/(a|b)*$/($).end").evaluate("ab" * 5_000_000, **limits)
        print("no error")
    except zarnu.ZarnuError as e:
        print(e.code)
    except MemoryError:
        print("MemoryError")
    """
)


@pytest.mark.parametrize("limits, outcome", [("default", "U1001"), ("unbounded", "MemoryError")])
def test_a_runaway_backtrack_stack_fails_cleanly_under_a_memory_limit(limits, outcome):
    run = subprocess.run([sys.executable, "-c", UNDER_MEMORY_LIMIT, limits], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == outcome


def test_the_backtrack_bound_follows_the_result_size_limit():
    e = Expression("/(a|b)*$/($).end")
    with pytest.raises(ZarnuError) as error:
        e.evaluate("ab" * 5000, max_result_size=100_000)
    assert error.value.code == "U1001"
    assert e.evaluate("ab" * 5000, max_result_size=100_000_000) == 10000


def test_compiling_a_long_alternation_keeps_to_the_time_limit():
    pattern = "|".join(f"w{i}" for i in range(1_000_000))
    started = time.monotonic()
    with pytest.raises(ZarnuError) as error:
        Expression("$eval($)").evaluate(f'$contains("zz", /{pattern}/)', timeout=0.5)
    # Compiling the whole pattern takes many seconds; the limit ends it soon after the deadline.
    assert time.monotonic() - started < 5
    assert "Evaluation timeout" in str(error.value)
