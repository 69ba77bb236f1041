"""Pattern searches and compilations within an evaluation's limits: a search's backtracking may take memory
in proportion to its subject, whatever size a result may have; one that would take the machine's memory ends
with the size error naming the option that raises its bound (or MemoryError when that bound is set beyond
what the process may allocate), never with an abort; compiling a long pattern keeps to the time limit."""

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
        # Four nested groups: some 250 bytes of backtracking per character.
        zarnu.Expression("/((((a|b))))*$/($).end").evaluate("ab" * int(sys.argv[2]), **limits)
        print("no error")
    except zarnu.ZarnuError as e:
        print(e.code, e)
    except MemoryError:
        print("MemoryError")
    """
)


@pytest.mark.parametrize(
    "limits, pairs, outcome",
    [
        # 64 MiB and 128 bytes per byte of the subject: 320 MiB, where the search needs some 500 MiB.
        ("default", 1_000_000,
         "U1001 A pattern search would exceed the memory limit of 323108864 bytes "
         "(a larger max_result_size raises it)"),
        ("unbounded", 5_000_000, "MemoryError"),
    ],
)
def test_a_runaway_backtrack_stack_fails_cleanly_under_a_memory_limit(limits, pairs, outcome):
    run = subprocess.run([sys.executable, "-c", UNDER_MEMORY_LIMIT, limits, str(pairs)], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == outcome


def test_a_small_result_size_never_fails_a_search():
    e = Expression("/(a|b)*$/($).end")
    assert e.evaluate("ab" * 5000, max_result_size=100_000) == 10000
    for size in (4, 31):
        assert Expression('$contains("abc", /b/)').evaluate(None, max_result_size=size) is True
    # A result exactly within its budget.
    match = {"match": "20", "index": 0, "groups": []}
    assert Expression(r'$match("20", /\d+/)').evaluate(None, max_result_size=36) == match
    with pytest.raises(ZarnuError) as error:
        Expression(r'$match("20", /\d+/)').evaluate(None, max_result_size=35)
    assert "result would exceed the size limit of 35 bytes" in str(error.value)


def test_a_search_over_a_long_subject_succeeds_at_the_default_limits():
    # Backtracking over 2 MB takes some 110 MB here (Python's re: some 150 MB).
    subject = "ab" * 1_000_000 + "c"
    assert Expression("$contains($, /(a|b)*c/)").evaluate(subject) is True
    assert Expression("$match($, /(a|b)*c/).groups").evaluate(subject) == ["b"]


def test_compiling_a_long_alternation_keeps_to_the_time_limit():
    pattern = "|".join(f"w{i}" for i in range(1_000_000))
    started = time.monotonic()
    with pytest.raises(ZarnuError) as error:
        Expression("$eval($)").evaluate(f'$contains("zz", /{pattern}/)', timeout=0.5)
    # Compiling the whole pattern takes many seconds; the limit ends it soon after the deadline.
    assert time.monotonic() - started < 5
    assert "Evaluation timeout" in str(error.value)
