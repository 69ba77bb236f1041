"""The README teaches Python first: its Python code blocks run as written (their asserts are the results
it promises), and come before the set-up commands."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M)


def test_the_readme_opens_with_python():
    text = README.read_text(encoding="utf-8")
    assert BLOCKS, "the README has no Python code block"
    assert text.index("```python") < text.index("make run") < text.index("## What zarnu does not do")


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(block):
    exec(compile(block, str(README), "exec"), {"__name__": "readme"})
