"""The console command: `kelpie-new` and `python -m kelpie` run the
project-creation dialogue of kelpie.larder.gen_catalogue in a real child
process fed through its standard input."""

import os
import pathlib
import signal
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(sys.executable).parent / ("kelpie-new.exe" if os.name == "nt" else "kelpie-new")
COMMANDS = {
    "kelpie-new": ([str(SCRIPT)], "kelpie-new"),
    "python -m kelpie": ([sys.executable, "-m", "kelpie"], "python -m kelpie"),
}
NAME_PROMPT = "输入项目名称: "
PLACE_PROMPT = "输入项目路径："


def confirm_prompt(name):
    return f"项目名称: {name}。是否确认(y/n?)"


PROMPTS = [NAME_PROMPT, confirm_prompt("demo"), PLACE_PROMPT]
ANSWERS = ["demo\n", "y\n", "where\n"]

TREE = {
    "README.md", "requirements.txt", "configs/", ".gitignore", "scripts/", "scripts/prod.sh", "scripts/dev.sh",
    "scripts/test.sh", "data/", "data/raw/", "data/processed/", "data/tmp/", "data/output/", "src/", "src/dev/",
    "src/dev/src/", "src/dev/src/__init__.py", "src/dev/src/utils/", "src/dev/src/main.py", "src/dev/tests/",
    "src/dev/tests/test.py", "src/dev/api/", "src/dev/api/__init__.py", "src/dev/api/app.py", "src/prod/",
    "src/tests/",
}


def tree(root):
    found = set()
    for path in pathlib.Path(root).rglob("*"):
        rel = path.relative_to(root).as_posix()
        if path.is_dir():
            found.add(rel + "/")
        else:
            assert path.stat().st_size == 0, rel
            found.add(rel)
    return found


@pytest.fixture(params=list(COMMANDS))
def command(request):
    argv, prog = COMMANDS[request.param]
    assert pathlib.Path(argv[0]).is_file(), f"{argv[0]} is not installed"
    return argv, prog


def run(argv, stdin, cwd, *args):
    return subprocess.run([*argv, *args], input=stdin.encode(), capture_output=True, cwd=cwd)


@pytest.mark.parametrize("place, root", [("where", "where/demo"), ("", "demo")])
def test_dialogue_creates_the_project(command, tmp_path, place, root):
    result = run(command[0], f"demo\ny\n{place}\n", tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    out = result.stdout.decode()
    assert out.startswith(NAME_PROMPT + confirm_prompt("demo") + PLACE_PROMPT + root + "\n")
    assert f"filepath: {root}/src/dev/api/app.py\nfile_type: py\n" in out
    assert out.endswith(f"{root}/src/prod\n{root}/src/tests\n")
    assert tree(tmp_path / root) == TREE


def test_refusal_ends_quietly_with_status_0(command, tmp_path):
    result = run(command[0], "demo\nn\n", tmp_path)
    assert (result.returncode, result.stdout.decode(), result.stderr) == (0, NAME_PROMPT + confirm_prompt("demo"),
                                                                           b"")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("answered", [0, 1, 2])
def test_end_of_input_gives_one_line_and_status_1(command, tmp_path, answered):
    argv, prog = command
    result = run(argv, "".join(ANSWERS[:answered]), tmp_path)
    assert result.returncode == 1
    assert result.stdout.decode() == "".join(PROMPTS[:answered + 1]) + "\n"
    assert result.stderr.decode() == (f"{prog}: input ended before the dialogue was complete; "
                                      "no project was created\n")
    assert os.listdir(tmp_path) == []


# Starts the command with the default action for SIGINT, whatever the test
# runner's own disposition is (a background job may ignore SIGINT).
LAUNCHER = "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])"


@pytest.mark.parametrize("answered", [0, 1, 2])
def test_ctrl_c_at_a_question_gives_one_line_and_status_130(command, tmp_path, answered):
    argv, prog = command
    child = subprocess.Popen([sys.executable, "-c", LAUNCHER, *argv], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    try:
        child.stdin.write("".join(ANSWERS[:answered]).encode())
        child.stdin.flush()
        waited_for = "".join(PROMPTS[:answered + 1]).encode()
        shown = b""
        while shown != waited_for:  # the question is on the screen: the child waits for its answer
            piece = child.stdout.read1(4096)
            assert piece and waited_for.startswith(shown + piece), shown + piece
            shown += piece
        # A SIGINT that lands after the question is written but before the
        # read starts is only noted, and the read still waits: the next one
        # interrupts it (the command ignores further ones once it stops).
        # Standard input stays open, so an end of input cannot stand in for
        # Ctrl-C.
        for _ in range(100):
            child.send_signal(signal.SIGINT)
            try:
                child.wait(timeout=0.5)
                break
            except subprocess.TimeoutExpired:
                continue
        assert child.returncode == 130
        assert child.stdout.read() == b"\n"
        assert child.stderr.read().decode() == f"{prog}: interrupted\n"
    finally:
        child.kill()
        child.wait()
        for stream in (child.stdin, child.stdout, child.stderr):
            stream.close()
    assert os.listdir(tmp_path) == []


def test_help_and_unexpected_arguments(command, tmp_path):
    argv, prog = command
    result = run(argv, "", tmp_path, "--help")
    out = result.stdout.decode()
    assert (result.returncode, result.stderr) == (0, b"")
    assert out.startswith(f"usage: {prog} [-h]\n") and "Create a new project skeleton" in out

    result = run(argv, "demo\ny\n\n", tmp_path, "demo")
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode().endswith(f"{prog}: error: unrecognized arguments: demo\n")
    assert os.listdir(tmp_path) == []
