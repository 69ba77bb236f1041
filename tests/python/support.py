"""Helpers shared by the tests: deeply nested data built and measured without recursion, and small C++
extensions compiled at test time."""

import os
import shutil
import subprocess
import sysconfig

import pytest


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
