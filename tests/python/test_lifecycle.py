"""The module across the process's life: daemon threads still inside its calls when the interpreter exits
(wherever Python code runs under them), and forks while other threads are inside it."""

import os
import subprocess
import sys
import textwrap

import pytest

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def run_child(code, runs, timeout=60):
    """Runs `code` in `runs` fresh interpreters; each must exit normally, having printed "done"."""
    for _ in range(runs):
        run = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                             env=ENV, timeout=timeout)
        assert (run.returncode, run.stdout.strip()) == (0, "done"), run.stderr[-2000:]


# The interpreter ends a daemon thread that takes its lock during finalization, wherever that happens: in
# a turn given to other threads, in Python code that a read of the input runs, in a finalizer. The
# process must exit normally and keep what it printed.
class TestDaemonThreadsAtExit:
    def test_every_road_at_once(self):
        run_child("""
            import threading, time, json, zarnu
            data = {"a": [{"b": i + 0.5, "s": "t%d" % i} for i in range(100_000)]}
            doc, text = zarnu.Document(data), json.dumps(data)
            es = [zarnu.Expression(s) for s in ["a.b", "$count(a.s)", 'a.{"x": s}']]
            def work():
                k, i = threading.get_ident(), 0
                while True:
                    e = es[i % 3]; i += 1
                    [lambda: e.evaluate(data), lambda: e.evaluate_json(text), lambda: e.evaluate_document(doc),
                     lambda: e.evaluate_with_audit(data, level="decisions")][(i + k) % 4]()
            for _ in range(6):
                threading.Thread(target=work, daemon=True).start()
            time.sleep(0.4)
            print("done", flush=True)
        """, runs=3)

    # A key that only equals the name looked up after Python code ran: the lookup in an exact dict runs
    # its __eq__, which sleeps, so the thread takes the lock back from inside the lookup.
    @pytest.mark.parametrize("source", ["a.b", "a[b > 1]", "$count(a.b)"], ids=["path", "filter", "general"])
    def test_a_key_comparison_that_sleeps(self, source):
        run_child(f"""
            import threading, time, zarnu
            class Key(str):
                __hash__ = str.__hash__
                def __eq__(self, other):
                    time.sleep(0.001)
                    return str.__eq__(self, other)
            data = {{Key("a"): [{{Key("b"): 2, "c": 1}}] * 3}}
            e = zarnu.Expression({source!r})
            assert e.evaluate(data) is not None
            def work():
                while True:
                    e.evaluate(data)
            for _ in range(4):
                threading.Thread(target=work, daemon=True).start()
            time.sleep(0.2)
            print("done", flush=True)
        """, runs=3)

    @pytest.mark.parametrize("source", ["$keys($)", "$"], ids=["read", "converted"])
    def test_a_dict_subclass_iteration_that_sleeps(self, source):
        run_child(f"""
            import threading, time, zarnu
            class Record(dict):
                def __iter__(self):
                    time.sleep(0.001)
                    return dict.__iter__(self)
            data = Record(a=1, b=Record(c=2))
            e = zarnu.Expression({source!r})
            def work():
                while True:
                    e.evaluate(data)
                    e.evaluate_with_audit(data, level="decisions")
            for _ in range(4):
                threading.Thread(target=work, daemon=True).start()
            time.sleep(0.2)
            print("done", flush=True)
        """, runs=3)


# The child of a fork has only the forking thread: whatever another thread was making at that moment (the
# built-in table, the case tables, the hash seed, made at their first use while the evaluation runs
# detached) must not leave the child waiting for it.
def test_a_fork_while_another_thread_makes_the_process_wide_tables():
    code = """
        import os, threading, time, warnings, zarnu
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
        e = zarnu.Expression('$uppercase(a) & $string($count([1, 2]))')
        started = threading.Event()
        def first():
            started.set()
            e.evaluate_json('{"a": "x"}')
        thread = threading.Thread(target=first)
        thread.start()
        started.wait()
        children = []
        while thread.is_alive() and len(children) < 100:
            pid = os.fork()
            if pid == 0:
                os._exit(0 if e.evaluate_json('{"a": "x"}') == '"X2"' else 3)
            children.append(pid)
        thread.join()
        deadline = time.monotonic() + 10
        for pid in children:
            while True:
                ended, status = os.waitpid(pid, os.WNOHANG)
                if ended:
                    assert status == 0, status
                    break
                if time.monotonic() > deadline:
                    for other in children[children.index(pid):]:
                        os.kill(other, 9)
                    raise SystemExit("a child hung")
                time.sleep(0.01)
        print("done", flush=True)
    """
    # Most runs fork while the table is being made; the hang needs one such fork.
    run_child(code, runs=8)
