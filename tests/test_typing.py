"""The module's type stubs: installed where type checkers find them, in step
with the runtime, and strict enough that mypy catches misuse."""
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import moxtile

pytest.importorskip("mypy", reason="mypy is one of the test extras")

MODULE_DIR = pathlib.Path(moxtile.__file__).resolve().parent
STUBS = MODULE_DIR / "moxtile-stubs" / "__init__.pyi"

# Every class, method and parameter, used as documented. Type-checked only.
USE = """
import moxtile
from moxtile import PyFileHandle, PyFs, PyTerm, PyTerminalSession, PyUser, PyUserPool, Whence

fs: PyFs = moxtile.PyFs()
fs.mkdir("/d")
fs.touch(path="/d/a")
fh: PyFileHandle = fs.open("/d/a", mode="rw")
written: int = fh.write(b"hello")
fh.seek(0, Whence.SEEK_SET)
fh.seek(offset=1, whence=moxtile.Whence.SEEK_CUR)
fh.seek(0, Whence.SEEK_END)
data: bytes = fh.read(5) + fh.read(buffer=2)
position: int = fh.tell() + fh.id()
fh.close()
files, directories = fs.listdir("/d")
names: list[str] = files + directories
text: str = fs.tree("/") + fs.tree("/", "  ") + fs.tree(path="/", ident=None)
fs.remove("/d/a", False)
fs.remove(path="/d", recurse=True)
origin: int = int(Whence.SEEK_END)
same: bool = Whence.SEEK_SET == 0 and Whence.SEEK_CUR != Whence.SEEK_END
exported: list[str] = moxtile.__all__

term: PyTerm = moxtile.PyTerm(fs)
output: str = term.exec("ls") + moxtile.PyTerm(fs=fs).exec(command="pwd")

pool: PyUserPool = moxtile.PyUserPool() if names else moxtile.PyUserPool(user_count=2)
user: PyUser = moxtile.PyUserPool(None).allocate()
account: str = user.username() + user.home() + str(user.uid())
session: PyTerminalSession = user.spawn()
session.write(b"echo hi\\n")
session.write(data=b"exit\\n")
out: bytes = session.read() + session.read(64) + session.read(buffer=None)
err: bytes = session.read_err() + session.read_err(buffer=16)
session.close()
"""

# Each line marked "# error" must be reported; nothing else may be.
MISUSE = """
import moxtile

fs = moxtile.PyFs()
fs.mkdr("/x")  # error
fs.mkdir(b"/x")  # error
fs.open("/x")  # error
fs.remove("/x")  # error
fs.remove("/x", recurse=1)  # error
fs.tree("/", indent="  ")  # error
fh = fs.open("/x", "rw")
fh.write("text")  # error
fh.read("10")  # error
fh.seek(0, 2)  # error
fh.read(moxtile.Whence.SEEK_END)  # error
fh.seek(0, moxtile.Whence.SEEK_MIDDLE)  # error
name: str = fh.tell()  # error
listing: list[str] = fs.listdir("/")  # error
moxtile.PyTerm("not a filesystem")  # error
moxtile.PyTerm(fs).exec(["ls"])  # error
moxtile.PyUserPool("4")  # error
session = moxtile.PyUserPool().allocate().spawn()
session.write("echo hi")  # error
session.read(buffer=1.5)  # error
uid: str = moxtile.PyUserPool().allocate().uid()  # error


class MyFs(moxtile.PyFs):  # error
    pass
"""

ERROR_LINE = re.compile(r"^(?P<file>[\w.]+\.py):(?P<line>\d+): error: ")


def python_env():
    """The environment for a child that must see the module (and its stubs) under test."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(MODULE_DIR), env.get("PYTHONPATH", "")])
    env.pop("MYPYPATH", None)
    return env


def test_mypy_strict_accepts_the_whole_api_and_reports_each_misuse(tmp_path):
    assert STUBS.is_file(), f"no stub package beside the module in {MODULE_DIR}"
    (tmp_path / "use.py").write_text(textwrap.dedent(USE))
    (tmp_path / "misuse.py").write_text(textwrap.dedent(MISUSE))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--cache-dir", str(tmp_path / "cache"), "use.py", "misuse.py"],
        cwd=tmp_path, env=python_env(), capture_output=True, text=True, timeout=600,
    )
    reported = {}
    for line in result.stdout.splitlines():
        match = ERROR_LINE.match(line)
        if match:
            reported.setdefault(match["file"], {})[int(match["line"])] = line
    expected = {n for n, line in enumerate(textwrap.dedent(MISUSE).splitlines(), 1)
                if line.endswith("# error")}
    assert "use.py" not in reported, result.stdout
    assert set(reported.get("misuse.py", {})) == expected, result.stdout + result.stderr


def test_stubs_agree_with_the_runtime(tmp_path):
    # PyFs.remove's text signature names only `recurse`; the stub gives both
    # parameters the method requires.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("moxtile.PyFs.remove\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "moxtile", "--allowlist", str(allowlist)],
        cwd=tmp_path, env=python_env(), capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
