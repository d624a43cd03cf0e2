"""README.md as a user reads it: a usage section with an example for every
function, examples that are valid Python, and quick-start commands that name
files of this checkout."""

import ast
import pathlib
import re

import pytest

import kelpie.courier as courier
import kelpie.larder as larder

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
BLOCKS = re.findall(r"```python\n(.*?)```", README, re.S)
SECTIONS = re.split(r"\n(?=### )", README)
FUNCTIONS = [name for module in (courier, larder) for name, value in vars(module).items()
             if (type(value).__module__, type(value).__qualname__) == (module.__name__, "function")]
assert FUNCTIONS, "no kelpie function found"


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_python_examples_compile(index):
    block = BLOCKS[index]
    if block.startswith(">>> "):
        block = "\n".join(line[4:] for line in block.splitlines() if line.startswith(">>> "))
    compile(block, f"README.md example {index + 1}", "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_function_has_a_section_with_an_example(name):
    sections = [s for s in SECTIONS if re.search(rf"\b{name}\b", s.splitlines()[0])]
    assert sections, f"no ### heading names {name}"
    assert any(re.search(rf"\b{name}\(", block) for s in sections for block in re.findall(r"```python\n(.*?)```",
                                                                                         s, re.S)), name


def test_quick_start_commands_name_existing_files():
    quick_start = README.split("## Quick start", 1)[1].split("\n## ", 1)[0]
    commands = [line.strip() for line in quick_start.splitlines() if line.startswith("    ")]
    assert commands[:2] == [
        "python3 -m venv .venv && .venv/bin/pip install . && .venv/bin/python examples/demo.py",
        ".venv/bin/kelpie-new",
    ]
    for path in re.findall(r"examples/[\w.]+", quick_start):
        assert (ROOT / path).is_file(), path
