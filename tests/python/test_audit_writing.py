"""Writing a large audit into Python objects: the cycle collector's switch stays as Python code set it (other
threads, fork), other threads' cycles are still collected, and a time limit reached while writing cuts the
audit short without costing the evaluation its result."""

import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

from zarnu import Expression

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
# Long to write at level "full": three nodes per item, and `$mark()` called once the items are evaluated,
# so that what follows it is the writing of the audit.
MARKED = "($r := $map([1..{n}], function($v){{ $v + 1 }}); $mark(); $count($r))"
FULL = {"max_nodes": 10**9}


class Node:
    pass


def walk(node):
    pending = [node]
    while pending:
        node = pending.pop()
        yield node
        pending.extend(node.get("children", ()))


def containers(value):
    found, pending = [], [value]
    while pending:
        value = pending.pop()
        if isinstance(value, (dict, list)):
            found.append(value)
            pending.extend(value.values() if isinstance(value, dict) else value)
    return found


def audit_in_thread(n):
    """Starts an audit of MARKED on a thread and returns the thread once its `$mark()` was called: this
    thread's next turn comes while the audit is written."""
    marked = threading.Event()
    expression = Expression(MARKED.format(n=n))

    def audit():
        audited = expression.evaluate_with_audit(bindings={"mark": marked.set}, level="full", limits=FULL)
        assert audited["result"] == n

    worker = threading.Thread(target=audit)
    worker.start()
    while not marked.is_set():  # busy: a waiting thread would get its turn later
        pass
    return worker


def test_audits_leave_the_collector_switch_alone():
    for enabled in (False, True):
        (gc.enable if enabled else gc.disable)()
        Expression(MARKED.format(n=2000)).evaluate_with_audit(bindings={"mark": lambda: None}, level="full")
        assert gc.isenabled() is enabled

    # Switched off by another thread while an audit is written, the collector stays off.
    worker = audit_in_thread(50000)
    gc.disable()
    try:
        worker.join()
        assert not gc.isenabled()
    finally:
        gc.enable()


def test_other_threads_cycles_are_collected_during_an_audit():
    collections = []

    def count(phase, info):
        if phase == "start":
            collections.append(info["generation"])

    gc.callbacks.append(count)
    try:
        worker = audit_in_thread(60000)
        collections.clear()
        cycles = []
        # Cycles are made until a collection is seen; it must come while the audit is still being written.
        while worker.is_alive() and not collections:
            for _ in range(500):
                node = Node()
                node.self = node
                cycles.append(weakref.ref(node))
                del node
        during = len(collections)
        written = worker.is_alive()
    finally:
        gc.callbacks.remove(count)
    worker.join()
    assert during > 0 and written


def test_fork_during_an_audit_leaves_the_child_collector_on():
    # The child is made by a signal handler, which runs while the audit is being written.
    code = textwrap.dedent(f"""
        import gc, os, signal, zarnu
        children = []
        marked = []
        def handler(signum, frame):
            if marked and not children:
                signal.setitimer(signal.ITIMER_REAL, 0)  # no second fork from inside this one
                children.append(None)
                pid = os.fork()
                if pid == 0:
                    os._exit(0 if gc.isenabled() else 3)
                children[0] = pid
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        e = zarnu.Expression({MARKED.format(n=60000)!r})
        audited = e.evaluate_with_audit(bindings={{"mark": lambda: marked.append(1)}}, level="full",
                                        limits={{"max_nodes": 10**9}})
        signal.setitimer(signal.ITIMER_REAL, 0)
        assert audited["result"] == 60000 and children
        print(os.waitstatus_to_exitcode(os.waitpid(children[0], 0)[1]))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["0"]


def test_time_limit_while_writing_cuts_the_audit_not_the_result():
    # A signal handler holds the writing of the audit past the time limit; the evaluation ends in time, which
    # is set well beyond what the whole audit takes on this machine (sanitizers slow it down).
    expression = Expression(MARKED.format(n=50000))
    began = time.monotonic()
    expression.evaluate_with_audit(bindings={"mark": lambda: None}, level="full", limits=FULL)
    timeout = 2 * (time.monotonic() - began) + 0.5
    started = []

    def hold(signum, frame):
        time.sleep(max(0.0, started[0] + timeout - time.monotonic()) + 0.05)

    def mark():
        signal.setitimer(signal.ITIMER_REAL, 0.02)

    previous = signal.signal(signal.SIGALRM, hold)
    try:
        started.append(time.monotonic())
        audited = expression.evaluate_with_audit(bindings={"mark": mark}, level="full", limits=FULL,
                                                 timeout=timeout)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert audited["result"] == 50000 and audited["error"] is None
    audit = audited["audit"]
    assert audit["header"]["result"] == 50000 and "error" not in audit["header"]
    assert audit["truncated"] is True
    written = sum(1 for _ in walk(audit["root"])) if "root" in audit else 0
    assert audit["nodeCount"] == written < 150000
    explanation = audited["explanation"]
    assert explanation["result"] == "50000"
    assert audited["explanation_text"].count("\n") == 1 + len(explanation["lines"])


@pytest.mark.parametrize("level", ["decisions", "full"])
def test_written_audit_is_whole_and_collectable(level):
    data = {"a": 1, "b": 3, "items": [{"n": str(i), "p": i} for i in range(50)]}
    audited = Expression("a = 1 and b > 2 ? items[p > 3].n : 0").evaluate_with_audit(data, level=level)
    nodes = list(walk(audited["audit"]["root"]))
    assert audited["audit"]["nodeCount"] == len(nodes) and not audited["audit"]["truncated"]
    # Nodes that saw the same context each have their own copy of it.
    assert len(set(map(id, containers(audited)))) == len(containers(audited))
    if level == "full":
        assert [node["input"] for node in nodes].count({"n": "5", "p": 5}) == 5
    # Handed to the cycle collector like any container made by Python code: a cycle through it goes.
    children = [node["children"] for node in nodes if "children" in node]
    assert children and all(gc.is_tracked(c) for c in children) and gc.is_tracked(audited)
    ref = weakref.ref(holder := Node())
    holder.audit = audited
    children[-1].append(holder)
    del holder, audited, nodes, children
    gc.collect()
    assert ref() is None
