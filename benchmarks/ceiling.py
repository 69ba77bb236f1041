"""The allocator ceiling: the same timed steps run here and in a worker process that has mimalloc preloaded
for the whole process (the system's libmimalloc, never linked into the module), in alternating rounds so
that both see the same machine load. A step's ratio here / worker says what allocation still costs.

A benchmark script builds its steps the same way in both processes, passes them to `serve` when started
with WORKER_FLAG, and times them with `Ceiling.pair`. Run as a program, it does the same for the C++
benchmark programs it is given: each runs once as it is and once preloaded, and each benchmark's ratio is
printed.

Run: python3 benchmarks/ceiling.py build-bench/bench_eval [more programs...]
"""

import glob
import json
import os
import subprocess
import sys
import tempfile
import time

WORKER_FLAG = "--ceiling-worker"
LIBRARY_GLOBS = ["/usr/lib/*-linux-gnu/libmimalloc.so.*", "/usr/lib64/libmimalloc.so.*", "/usr/lib/libmimalloc.so.*"]


def library():
    """The preloadable mimalloc of the system, or None."""
    for pattern in LIBRARY_GLOBS:
        found = sorted(p for p in glob.glob(pattern) if p.count(".so.") == 1)
        if found:
            return found[0]
    return None


def best_time(run, repeat):
    """The fastest of `repeat` runs, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def serve(steps):
    """The worker's loop: reads "name repeat" lines, answers each with the best time of that step."""
    with open("/proc/self/maps") as maps:
        loaded = "mimalloc" in maps.read()
    print("ready" if loaded else "not-loaded", flush=True)
    for line in sys.stdin:
        name, repeat = line.rsplit(" ", 1)
        print(repr(best_time(steps[name], int(repeat))), flush=True)


class Ceiling:
    """A worker running the calling script with mimalloc preloaded; unavailable (None times) without it."""

    def __init__(self, argv):
        self.worker = None
        self.note = ""
        path = library()
        if path is None:
            self.note = "no libmimalloc.so on this machine (scripts/setup.sh installs it)"
            return
        env = dict(os.environ, LD_PRELOAD=path)
        self.worker = subprocess.Popen([sys.executable, *argv, WORKER_FLAG], env=env, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, text=True)
        if self.worker.stdout.readline().strip() != "ready":
            self.close()
            self.note = f"{path} did not load in the worker"
        else:
            self.note = f"ceiling: the same steps with {os.path.basename(path)} preloaded, alternating rounds"

    def pair(self, name, run, repeat, rounds=5):
        """Best times (here, ceiling) of step `name` (`run` here), over `rounds` alternating rounds."""
        per_round = max(1, repeat // rounds)
        here = ceiling = float("inf")
        for _ in range(rounds if self.worker else 1):
            here = min(here, best_time(run, per_round if self.worker else repeat))
            if self.worker:
                self.worker.stdin.write(f"{name} {per_round}\n")
                self.worker.stdin.flush()
                ceiling = min(ceiling, float(self.worker.stdout.readline()))
        return here, (ceiling if self.worker else None)

    def close(self):
        if self.worker:
            self.worker.stdin.close()
            self.worker.wait()
            self.worker = None


def ratio_text(here, ceiling):
    """The column that shows a time against its ceiling."""
    return "" if ceiling is None else f"   / mimalloc ceiling = {here / ceiling:5.2f}"


def program_times(program, env):
    """The real time per iteration of each benchmark of a Google Benchmark program, by name."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([program, f"--benchmark_out={out.name}", "--benchmark_out_format=json"], env=env,
                       stdout=subprocess.DEVNULL, check=True)
        report = json.load(open(out.name))
    return {b["name"]: b["real_time"] for b in report["benchmarks"] if b.get("run_type") != "aggregate"}


def main(programs):
    path = library()
    if path is None:
        print("allocator ceiling: no libmimalloc.so on this machine (scripts/setup.sh installs it)")
        return 0
    print(f"allocator ceiling: each program as it is / with {os.path.basename(path)} preloaded")
    for program in programs:
        here = program_times(program, dict(os.environ))
        ceiling = program_times(program, dict(os.environ, LD_PRELOAD=path))
        for name, seconds in here.items():
            if name in ceiling:
                print(f"  {name:48} {seconds / ceiling[name]:6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
