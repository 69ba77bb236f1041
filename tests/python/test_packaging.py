"""The module as a guest in other people's processes and tools: other C++ extensions loaded after it keep
their own allocation, it exports nothing but its init function and needs nothing but the C library, and its
stubs agree with it."""

import ast
import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from support import build_extension

import zarnu
import zarnu._zarnu as native

HERE = Path(__file__).resolve().parent
MODULE = Path(native.__file__)
PACKAGE_ROOT = MODULE.parent.parent


def run_python(code, *, extra_path=()):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(PACKAGE_ROOT), *map(str, extra_path)])
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)


def needed_libraries():
    readelf = shutil.which("readelf")
    if not readelf:
        pytest.skip("readelf is not installed")
    dynamic = subprocess.run([readelf, "-d", str(MODULE)], capture_output=True, text=True, check=True).stdout
    return {line.split("[", 1)[1].split("]", 1)[0] for line in dynamic.splitlines() if "(NEEDED)" in line}


@pytest.fixture(scope="module")
def alloc_probe(tmp_path_factory):
    directory = tmp_path_factory.mktemp("alloc_probe")
    # Optimised, so that the strings' release is inlined into the probe while their growth stays in the
    # shared C++ runtime.
    build_extension("_alloc_probe", HERE / "alloc_probe.cpp", directory, "-O2")
    return directory


class TestBesideOtherExtensions:
    """zarnu imported first, then another C++ extension that allocates: the process ends cleanly."""

    def test_cpp_probe(self, alloc_probe):
        run = run_python("import zarnu, _alloc_probe\nprint(_alloc_probe.churn())\n"
                         "print(zarnu.Expression('1 + 1').evaluate())", extra_path=[alloc_probe])
        assert run.returncode == 0, run.stderr
        assert run.stdout.split() == [str(64 * 64 * 100 + 2016 * 2016), "2"]

    @pytest.mark.parametrize("code", [
        "import zarnu, numpy\nprint(int(numpy.arange(100).sum()))",
        "import zarnu, simdjson\nprint(simdjson.Parser().parse(b'[1, 2]')[1])",
    ], ids=["numpy", "simdjson"])
    def test_library_from_pypi(self, code):
        library = code.split(", ", 1)[1].split("\n", 1)[0]
        if importlib.util.find_spec(library) is None:
            pytest.skip(f"{library} is not installed")
        run = run_python(code)
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() in ("4950", "2")


@pytest.fixture(scope="module")
def tls_probes(tmp_path_factory):
    """Extensions holding 256, 512 and 1024 bytes of initial-exec thread-local state."""
    directory = tmp_path_factory.mktemp("tls_probe")
    for size in (256, 512, 1024):
        build_extension(f"_tls_{size}", HERE / "tls_probe.cpp", directory, "-O2", f"-DTLS_BYTES={size}",
                        f"-DMODULE_NAME=_tls_{size}")
    return directory


class TestBesideStaticThreadLocals:
    """The module reaches its per-thread state through static thread-local space, which every module loaded
    with dlopen shares and which is small: it takes little, and loads and works beside others that take some,
    before or after it, on threads started before it was loaded."""

    CODE = """
import threading
{first}
{second}
results = []
def work(k):
    results.append((zarnu.Expression('$sum([1..$k])').evaluate(None, {{'k': k * 100}}),
                    _tls_256.touch() + _tls_512.touch() + _tls_1024.touch()))
waiting = threading.Event()
early = threading.Thread(target=waiting.wait)
early.start()
threads = [threading.Thread(target=work, args=(k,)) for k in range(1, 5)]
for t in threads: t.start()
for t in threads: t.join()
waiting.set()
early.join()
work(5)
print(sorted(results))
"""

    @pytest.mark.parametrize("zarnu_first", [True, False], ids=["zarnu-first", "zarnu-last"])
    def test_loads_and_works_beside_them(self, tls_probes, zarnu_first):
        imports = ["import zarnu", "import _tls_256, _tls_512, _tls_1024"]
        first, second = imports if zarnu_first else imports[::-1]
        run = run_python(self.CODE.format(first=first, second=second), extra_path=[tls_probes])
        assert run.returncode == 0, run.stderr
        touched = sum(range(256)) + 2 * sum(range(256)) + 4 * sum(range(256))
        assert run.stdout.strip() == str([(k * 100 * (k * 100 + 1) // 2, touched) for k in range(1, 6)])

    def test_takes_little_of_the_space(self):
        readelf = shutil.which("readelf")
        if not readelf:
            pytest.skip("readelf is not installed")
        dynamic = subprocess.run([readelf, "-d", str(MODULE)], capture_output=True, text=True, check=True)
        if "STATIC_TLS" not in dynamic.stdout:
            return  # its thread-local state is all allocated on demand
        segments = subprocess.run([readelf, "-lW", str(MODULE)], capture_output=True, text=True, check=True)
        tls = [line.split() for line in segments.stdout.splitlines() if line.split()[:1] == ["TLS"]]
        # Once one access is initial-exec the whole thread-local segment is placed in the shared space:
        # per-thread state belongs in the pool's thread block, reached through its one pointer.
        assert len(tls) == 1
        assert int(tls[0][5], 16) <= 512, tls[0]


class TestBinary:
    def test_exports_only_the_init_function(self):
        nm = shutil.which("nm")
        if not nm:
            pytest.skip("nm is not installed")
        listing = subprocess.run([nm, "-D", "--defined-only", str(MODULE)], capture_output=True, text=True,
                                 check=True).stdout
        assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit__zarnu"]

    def test_needs_only_the_c_library_and_the_interpreter(self):
        needed = needed_libraries()
        if any(name.startswith(("libasan", "libubsan")) for name in needed):
            pytest.skip("a sanitizer build links the sanitizer runtimes and the shared C++ runtime")
        allowed = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"}
        assert {name for name in needed if not name.startswith("libpython3")} <= allowed, needed


def run_mypy_tool(args, tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)


class TestStubs:
    def test_stubs_match_the_module(self, tmp_path):
        run = run_mypy_tool(["mypy.stubtest", "zarnu"], tmp_path)
        assert run.returncode == 0, run.stdout + run.stderr

    def test_typed_usage_passes_strict_checking(self, tmp_path):
        run = run_mypy_tool(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(HERE / "typed_usage.py")], tmp_path)
        assert run.returncode == 0, run.stdout + run.stderr

    def test_stub_docstrings_are_the_modules(self):
        assert (MODULE.parent / "py.typed").exists()
        tree = ast.parse((MODULE.parent / "_zarnu.pyi").read_text())
        checked = 0

        def walk(nodes, owner):
            nonlocal checked
            for node in nodes:
                if not isinstance(node, (ast.ClassDef, ast.FunctionDef)) or node.name.startswith("_"):
                    continue
                stub = ast.get_docstring(node)
                if stub is not None:
                    runtime = inspect.cleandoc(getattr(owner, node.name).__doc__)
                    assert stub == runtime, f"{owner.__name__}.{node.name}"
                    checked += 1
                if isinstance(node, ast.ClassDef):
                    walk(node.body, getattr(owner, node.name))

        walk(tree.body, native)
        assert checked == 14
        assert ast.get_docstring(tree) == native.__doc__
