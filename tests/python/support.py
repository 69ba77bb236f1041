"""Helpers shared by the tests: deeply nested data built and measured without recursion, and small C++
extensions compiled at test time."""

import os
import shutil
import subprocess
import sysconfig
import textwrap
import threading

import pytest


# The start of a script that watches its own memory in a child process: its resident set, and a worker thread
# that runs the jobs it is handed one at a time, as a server's thread would.
WORKER_SCRIPT = textwrap.dedent("""
    import json, queue, sys, threading, time, zarnu
    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * 4096
    jobs, results = queue.Queue(), queue.Queue()
    def serve():
        while True:
            results.put(jobs.get()())
    threading.Thread(target=serve, daemon=True).start()
    def on_worker(job):
        jobs.put(job)
        return results.get()
""")


def nested(levels, innermost=None):
    """`levels` lists, each the only item of the one outside it; the innermost holds `innermost` if given."""
    value = [] if innermost is None else [innermost]
    for _ in range(levels - 1):
        value = [value]
    return value


def depth(value):
    """How many lists are nested in `value`, each holding at most one item."""
    levels = 0
    while isinstance(value, list):
        levels += 1
        assert len(value) <= 1
        value = value[0] if value else None
    return levels


def build_extension(name, source, directory, *flags):
    """Compiles the C++ file `source` into the extension module `name` in `directory`; skips the test when
    there is no compiler. Returns the module's path."""
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not compiler:
        pytest.skip("no C++ compiler to build the probe")
    target = directory / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    paths = sysconfig.get_paths()
    includes = sorted({paths["include"], paths["platinclude"]})
    command = [compiler, "-std=c++2b", "-shared", "-fPIC", *flags, *(f"-I{path}" for path in includes),
               str(source), "-o", str(target)]
    built = subprocess.run(command, capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    return target


def turns_between_marks(run):
    """Calls `run(marks)` beside a thread that counts the turns it gets while `marks` is [1]; `run` appends 1
    and 2 from C code alone, so that nothing but the work between them can give that thread its turns.
    Returns what `run` returned and the turns counted."""
    marks = []
    counted = [0]
    done = threading.Event()

    def count():
        while not done.is_set():
            if marks == [1]:
                counted[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    try:
        result = run(marks)
    finally:
        done.set()
        thread.join()
    return result, counted[0]
