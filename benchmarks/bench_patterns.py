"""Pattern built-ins against Python's `re` on one 10 MB subject: each row runs the same search in both, checks
that they agree, and prints both times and zarnu's ratio (below 1: zarnu is faster). A second table shows how
compiling a long alternation grows from n to 4n branches (linear work grows ~4x). A third runs a search that
backtracks over its whole subject (a loop over alternatives with a capture group) on 2 MB and 10 MB, each
in a fresh process, and compares time and the process's peak memory growth. The rows that build many values
are also timed with mimalloc preloaded in a worker process (benchmarks/ceiling.py) and shown as a ratio to
that allocator ceiling.

Run: PYTHONPATH=build/python python3 benchmarks/bench_patterns.py [--repeat N] [--mb N]
"""

import argparse
import random
import re
import subprocess
import sys
import time

import zarnu
from ceiling import WORKER_FLAG, Ceiling, serve

WORDS = ["the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog", "caf\u00e9", "hello", "world", "data",
         "query", "zarnu", "python", "value", "number", "string", "array", "object", "quick7", "mail"]


def subject(megabytes):
    """Words, numbers and punctuation over lines; every row's pattern matches once more at the very end."""
    rng = random.Random(15)
    parts, size = [], 0
    while size < megabytes * 1_000_000:
        r = rng.random()
        if r < 0.08:
            piece = str(rng.randrange(100000))
        elif r < 0.1:
            piece = rng.choice(WORDS) + "."
        else:
            piece = rng.choice(WORDS)
        parts.append(piece)
        parts.append("\n" if rng.random() < 0.05 else " ")
        size += len(piece) + 1
    parts.append("needle 555-1234 Hello There bar7 ann@example.com quartz")
    return "".join(parts)


A = re.ASCII  # the language's \w, \d and \b are ASCII
# name, zarnu expression over the subject `$`, the same with re
ROWS = [
    ("literal", "$contains($, /needle/)", lambda s: re.search("needle", s) is not None),
    ("\\d{3}-\\d{4}", "$contains($, /\\d{3}-\\d{4}/)", lambda s: re.search(r"\d{3}-\d{4}", s, A) is not None),
    ("/hello there/i", "$contains($, /hello there/i)",
     lambda s: re.search("hello there", s, re.I | A) is not None),
    ("(foo|bar|baz)\\d", "$contains($, /(foo|bar|baz)\\d/)", lambda s: re.search(r"(foo|bar|baz)\d", s) is not None),
    ("[a-z]+@[a-z]+\\.com", "$contains($, /[a-z]+@[a-z]+\\.com/)",
     lambda s: re.search(r"[a-z]+@[a-z]+\.com", s) is not None),
    ("\\bq\\w*z\\b", "$contains($, /\\bq\\w*z\\b/)", lambda s: re.search(r"\bq\w*z\b", s, A) is not None),
    ("$match \\w+ (count)", "$count($match($, /\\w+/))", lambda s: len(re.findall(r"\w+", s, A))),
    ("$split \\s+ (count)", "$count($split($, /\\s+/))", lambda s: len(re.split(r"\s+", s, flags=A))),
    ("$replace \\d+ (length)", '$length($replace($, /\\d+/, "#"))', lambda s: len(re.sub(r"\d+", "#", s, flags=A))),
]
# The rows timed against the allocator ceiling too.
CEILING_ROWS = {"$match \\w+ (count)", "$split \\s+ (count)", "$replace \\d+ (length)"}


def best(f, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        result = f()
        times.append(time.perf_counter() - t)
    return min(times), result


def alternation_compile(n, repeat):
    source = "$contains('a', /" + "|".join(["a[]"] * n) + "|(a)/)"
    return best(lambda: zarnu.Expression(source).evaluate(None), repeat)[0]


# One backtracking search in a fresh process: prints its time and how much the peak memory grew (bytes).
BACKTRACK = """
import re, sys, time
engine, megabytes = sys.argv[1], float(sys.argv[2])
subject = "ab" * int(megabytes * 500_000) + "c"
if engine == "zarnu":
    import zarnu
    expression = zarnu.Expression("$contains($, /(a|b)*c/)")
    search = lambda: expression.evaluate(subject)
else:
    search = lambda: re.search(r"(a|b)*c", subject) is not None


def peak():  # this process's own peak (the peak getrusage gives is inherited from the parent)
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))


before = peak()
started = time.perf_counter()
found = search()
elapsed = time.perf_counter() - started
assert found is True, found
print(elapsed, peak() - before)
"""


def backtracking(engine, megabytes, repeat):
    runs = []
    for _ in range(repeat):
        out = subprocess.run([sys.executable, "-c", BACKTRACK, engine, str(megabytes)], check=True,
                             capture_output=True, text=True).stdout.split()
        runs.append((float(out[0]), int(out[1])))
    return min(runs)


def main():
    worker = WORKER_FLAG in sys.argv
    if worker:
        sys.argv.remove(WORKER_FLAG)
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--mb", type=int, default=10)
    args = ap.parse_args()
    s = subject(args.mb)
    steps = {}
    for name, source, _ in ROWS:
        if name in CEILING_ROWS:
            e = zarnu.Expression(source)
            steps[name] = lambda e=e: e.evaluate(s)
    if worker:
        return serve(steps)
    ceiling = Ceiling(sys.argv)
    print(f"pattern built-ins on a {len(s.encode()) / 1e6:.1f} MB subject (best of {args.repeat}; {ceiling.note})")
    print(f"{'row':28} {'zarnu':>10} {'re':>10} {'zarnu/re':>9} {'/ceiling':>9}")
    slower = 0
    for name, source, python in ROWS:
        e = zarnu.Expression(source)
        tz, rz = best(lambda: e.evaluate(s), args.repeat)
        tr, rr = best(lambda: python(s), args.repeat)
        if rz != rr:
            print(f"{name}: results differ: zarnu {rz!r}, re {rr!r}", file=sys.stderr)
            return 1
        limit = ""
        if name in CEILING_ROWS:
            here, top = ceiling.pair(name, steps[name], 2 * args.repeat, rounds=2)
            tz = min(tz, here)
            limit = "" if top is None else f"{tz / top:9.2f}"
        slower += tz > tr
        print(f"{name:28} {tz * 1e3:8.2f}ms {tr * 1e3:8.2f}ms {tz / tr:9.2f} {limit}")
    ceiling.close()
    print("\ncompiling /a[]|...|a[]|(a)/: n branches, 4n branches, growth")
    for n in (5000, 50000):
        t1, t4 = alternation_compile(n, args.repeat), alternation_compile(4 * n, args.repeat)
        print(f"n={n:<8} {t1 * 1e3:8.2f}ms {t4 * 1e3:8.2f}ms {t4 / t1:6.1f}x")
    print("\n$contains(s, /(a|b)*c/), s = 'ab' * n + 'c': time and peak memory growth, each in a fresh process")
    print(f"{'subject':10} {'zarnu':>10} {'re':>10} {'ratio':>6} {'zarnu':>9} {'re':>9} {'ratio':>6}")
    for megabytes in (2, 10):
        (tz, mz), (tr, mr) = backtracking("zarnu", megabytes, args.repeat), backtracking("re", megabytes, args.repeat)
        slower += tz > tr
        print(f"{megabytes:>3} MB     {tz * 1e3:8.1f}ms {tr * 1e3:8.1f}ms {tz / tr:6.2f} {mz / 1e6:7.0f}MB "
              f"{mr / 1e6:7.0f}MB {mz / mr:6.2f}")
    print(f"\nrows where zarnu is slower than re: {slower}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
