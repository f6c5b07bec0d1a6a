"""PyTerm: the built-in terminal driven from Python, with its exact texts."""
import pathlib
import re

import pytest

from moxtile import PyFs, PyTerm

NOT_FOUND = "Inode not found"
NOT_DIR = "The specified INode is not a directory"
EXISTS = "Resource already exists"
NOT_EMPTY = "Directory is not empty"
IN_USE = "Resource is currently in use"
# The version is written once, in pyproject.toml (the build reads the same line).
VERSION = re.search(
    r'^version = "([0-9.]+)"$',
    (pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml").read_text(),
    re.MULTILINE,
).group(1)

RM_HELP = (
    "Remove a file or a directory (potentially recursive)\n"
    "\n"
    "Usage: moxtile [OPTIONS] <TARGET>\n"
    "\n"
    "Arguments:\n"
    "  <TARGET>\n"
    "\n"
    "Options:\n"
    "  -r, --recursive\n"
    "  -h, --help       Print help\n"
    "  -V, --version    Print version\n"
)
RM_NO_TARGET = (
    "rm: error: the following required arguments were not provided:\n  <TARGET>\n\n"
    "Usage: moxtile --recursive <TARGET>\n\nFor more information, try '--help'.\n"
)
RM_TAIL = "\nUsage: moxtile [OPTIONS] <TARGET>\n\nFor more information, try '--help'.\n"


def rm_unexpected(word, tip=None):
    text = f"rm: error: unexpected argument '{word}' found\n"
    if tip is not None:
        text += f"\n  tip: {tip}\n"
    return text + RM_TAIL


@pytest.fixture
def fs():
    return PyFs()


@pytest.fixture
def term(fs):
    """A terminal on a tree holding docs (id 1, a directory) and a.txt (id 2, a file)."""
    t = PyTerm(fs)
    assert t.exec("mkdir docs") == ""
    assert t.exec("touch a.txt") == ""
    return t


def failure(term, line):
    with pytest.raises(ValueError) as info:
        term.exec(line)
    assert type(info.value) is ValueError
    return str(info.value)


# Every failure reachable without a race, by command. A setup line prefixed
# "other> " runs on a second terminal of the same filesystem.
FAILURES = [
    ([], "cd", "cd: missing argument"),
    ([], "cd /nothing", f"cd: cannot access '/nothing': nothing: {NOT_FOUND}"),
    ([], "cd a.txt", "cd: a.txt: Not a directory"),
    ([], "ls nothing", f"nothing: {NOT_FOUND}"),
    ([], "ls docs/", f"docs/: {NOT_FOUND}"),
    (["cd docs", "other> rm docs"], "ls", f"ls: cannot access '1': {NOT_FOUND}"),
    ([], "ls a.txt", "ls: 2: Not a directory"),
    (["cd docs", "other> rm docs"], "pwd", f"pwd: cannot access '1': {NOT_FOUND}"),
    ([], "cat", "cat: missing argument"),
    ([], "cat nope", f"nope: {NOT_FOUND}"),
    ([], "cat docs", "cat: docs: Is a directory"),
    ([], "mkdir", "mkdir: missing argument"),
    ([], "mkdir x/y/z", f"x/y: {NOT_FOUND}"),
    (["cd docs", "other> rm docs"], "mkdir x", f"mkdir: cannot access '1': {NOT_FOUND}"),
    ([], "mkdir a.txt/x", "mkdir: 2: Not a directory"),
    ([], "mkdir docs", f"mkdir: cannot create directory 'docs': {EXISTS}"),
    ([], "mkdir docs/", f"mkdir: cannot create directory 'docs/': {EXISTS}"),
    ([], "touch", "touch: missing argument"),
    ([], "touch nope/f", f"nope: {NOT_FOUND}"),
    (["cd docs", "other> rm docs"], "touch x", f"touch: cannot access '1': {NOT_FOUND}"),
    ([], "touch a.txt/f", "touch: 2: Not a directory"),
    ([], "touch a.txt", f"touch: cannot create file 'a.txt': {EXISTS}"),
    ([], "rm", "rm: missing argument"),
    ([], "rm nothing", f"nothing: {NOT_FOUND}"),
    ([], "rm /nothing", f"nothing: {NOT_FOUND}"),
    (["touch docs/f"], "rm docs", f"rm: cannot remove 'docs': {NOT_EMPTY}"),
    ([], "rm --help", "rm: " + RM_HELP),
    ([], "rm -h", "rm: " + RM_HELP),
    ([], "rm -V", f"rm: moxtile {VERSION}\n"),
    ([], "rm --version", f"rm: moxtile {VERSION}\n"),
    (
        [],
        "rm -r",
        "rm: error: the following required arguments were not provided:\n  <TARGET>\n\n"
        "Usage: moxtile --recursive <TARGET>\n\nFor more information, try '--help'.\n",
    ),
    ([], "rm -x a.txt", rm_unexpected("-x", "to pass '-x' as a value, use '-- -x'")),
    ([], "rm a b", rm_unexpected("b")),
    ([], "rm --recursiv docs", rm_unexpected("--recursiv", "a similar argument exists: '--recursive'")),
    ([], "rm -r -r a", "rm: error: the argument '--recursive' cannot be used multiple times\n" + RM_TAIL),
    (
        [],
        "rm --recursive=yes docs",
        "rm: error: unexpected value 'yes' for '--recursive' found; no more were expected\n" + RM_TAIL,
    ),
    ([], "frobnicate x", "frobnicate: command not found"),
    ([], "LS", "LS: command not found"),
    ([], "echo \"open", "The command was not correctly formatted"),
    ([], "echo 'open", "The command was not correctly formatted"),
    ([], "echo a\\", "The command was not correctly formatted"),
    ([], "echo \"a\\", "The command was not correctly formatted"),
    # A backslash-newline between words is a line continuation, not an empty
    # operand (which would name the current directory and empty it).
    ([], "rm -r \\\n", RM_NO_TARGET),
]


@pytest.mark.parametrize("setup, line, message", FAILURES, ids=[row[1] for row in FAILURES])
def test_failure_texts(fs, term, setup, line, message):
    other = PyTerm(fs)
    for step in setup:
        if step.startswith("other> "):
            assert other.exec(step[len("other> "):]) == ""
        else:
            assert term.exec(step) == ""
    before = fs.listdir("/")
    assert failure(term, line) == message
    assert fs.listdir("/") == before, "a failed command changes nothing"


@pytest.mark.parametrize(
    "line, output",
    [
        ("", ""),
        ("   ", ""),
        ("\t\n ", ""),
        ("# only a comment", ""),
        ("pwd", "/"),
        ("ls", "a.txt\ndocs/\n"),
        ("ls /", "a.txt\ndocs/\n"),
        ("ls ..", "a.txt\ndocs/\n"),
        ('"ls"', "a.txt\ndocs/\n"),
        ("ls ''", "a.txt\ndocs/\n"),
        ("ls docs", ""),
        ("cat a.txt", ""),
        ("echo", ""),
        ("echo a b", "a b"),
        ("echo 'a  b'   \"c\"", "a  b c"),
        ("echo a\\ b", "a b"),
        ("echo \\\n a", "a"),
        ("\\\n", ""),
        ('echo "x\\"y"', 'x"y'),
        ('echo "\\q"', "\\q"),
        ("echo a#b #c", "a#b"),
        ("echo a '' b", "a  b"),
        ("echo a'b c'\"d\"", "ab cd"),
        ("echo '\\' \"\\\\\"", "\\ \\"),
        ("echo caf\u00e9 \u20ac", "caf\u00e9 \u20ac"),
    ],
)
def test_outputs(term, line, output):
    assert term.exec(line) == output


def test_listing_puts_files_before_directories(fs):
    t = PyTerm(fs)
    t.exec("mkdir d1")
    t.exec("touch f1")
    t.exec("mkdir d2")
    t.exec("touch f2")
    assert t.exec("ls") == "f1\nf2\nd1/\nd2/\n"


def test_cd_and_pwd(term):
    assert term.exec("cd docs") == ""
    assert term.exec("pwd") == "/docs"
    assert failure(term, "cd") == "cd: missing argument"
    assert term.exec("pwd") == "/docs", "a failed cd keeps the directory"
    assert term.exec("cd ..") == ""
    assert term.exec("pwd") == "/"


def test_newline_does_not_separate_commands(term):
    assert failure(term, "cd\nls") == f"cd: cannot access 'ls': ls: {NOT_FOUND}"


def test_mkdir_and_touch_choose_their_parent(fs, term):
    term.exec("cd docs")
    assert term.exec("mkdir /top") == ""
    assert term.exec("mkdir sub") == ""
    assert term.exec("mkdir sub/x") == ""
    assert term.exec("mkdir 'sub\\y'") == ""
    assert term.exec("touch '\\f'") == ""
    assert fs.listdir("/") == (["a.txt"], ["docs", "top"])
    assert fs.listdir("/docs") == (["f"], ["sub"])
    assert fs.listdir("/docs/sub") == ([], ["x", "y"])


def test_cat_shows_content_and_replaces_bad_bytes(fs, term):
    fh = fs.open("/a.txt", "w")
    fh.write(b"hi\n")
    fh.close()
    assert term.exec("cat a.txt") == "hi\n"
    fh = fs.open("/a.txt", "w")
    fh.write(b"ok\xff\xe2\x82z")
    fh.close()
    assert term.exec("cat a.txt") == "ok\ufffd\ufffdz"


def test_cat_and_rm_meet_open_handles(fs, term):
    writer = fs.open("/a.txt", "w")
    assert failure(term, "cat a.txt") == f"cat: cannot access 'a.txt': {IN_USE}"
    assert failure(term, "rm a.txt") == f"rm: cannot remove 'a.txt': {IN_USE}"
    writer.close()
    reader = fs.open("/a.txt", "r")
    assert term.exec("cat a.txt") == ""
    reader.close()
    assert term.exec("cat a.txt") == ""
    fs.open("/a.txt", "w").close()  # cat left no lock behind
    assert term.exec("rm a.txt") == ""
    assert fs.listdir("/") == ([], ["docs"])


@pytest.mark.parametrize("line", ["rm -r docs", "rm docs -r", "rm --recursive docs", "rm -- docs"])
def test_rm_removes_directories(fs, term, line):
    if "-r" in line:
        term.exec("touch docs/inner")
    assert term.exec(line) == ""
    assert fs.listdir("/") == (["a.txt"], [])


def test_rm_after_double_dash_takes_odd_names(fs, term):
    term.exec("touch ./-odd")
    assert fs.listdir("/") == (["a.txt", "-odd"], ["docs"])
    assert term.exec("rm -- -odd") == ""
    assert fs.listdir("/") == (["a.txt"], ["docs"])


def test_help_lists_the_nine_commands(term):
    text = term.exec("help and ignored words")
    assert text.endswith("\n")
    assert sorted(text.splitlines()) == sorted(
        ["cd", "ls", "pwd", "cat", "mkdir", "touch", "help", "rm", "echo"]
    )


def test_terminal_and_filesystem_share_one_tree(fs):
    t = PyTerm(fs)
    assert t.exec("mkdir docs") == ""
    assert fs.listdir("/") == ([], ["docs"])
    fs.mkdir("/made_by_fs")
    fs.touch("/f")
    assert t.exec("ls") == "f\ndocs/\nmade_by_fs/\n"


def test_two_terminals_keep_their_own_directory(fs, term):
    other = PyTerm(fs)
    assert term.exec("cd docs") == ""
    assert term.exec("pwd") == "/docs"
    assert other.exec("pwd") == "/"
    assert other.exec("touch docs/seen") == ""
    assert term.exec("ls") == "seen\n"
    assert other.exec("rm -r docs") == ""
    assert failure(term, "pwd") == f"pwd: cannot access '1': {NOT_FOUND}"
    assert term.exec("cd /") == ""
    assert term.exec("pwd") == "/"


def test_terminal_outlives_its_pyfs():
    fs = PyFs()
    t = PyTerm(fs)
    t.exec("mkdir kept")
    del fs
    assert t.exec("ls") == "kept/\n"


def test_keyword_form():
    assert PyTerm(fs=PyFs()).exec(command="pwd") == "/"


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: PyTerm(None), "argument 'fs': 'NoneType' object cannot be converted to 'PyFs'"),
        (lambda: PyTerm("x"), "argument 'fs': 'str' object cannot be converted to 'PyFs'"),
        (lambda: PyTerm(), "PyTerm.__new__() missing 1 required positional argument: 'fs'"),
        (lambda: PyTerm(PyFs(), 1), "PyTerm.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: PyTerm(f=1), "PyTerm.__new__() got an unexpected keyword argument 'f'"),
        (lambda: PyTerm(PyFs()).exec(1), "argument 'command': 'int' object cannot be converted to 'PyString'"),
        (lambda: PyTerm(PyFs()).exec(b"pwd"), "argument 'command': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: PyTerm(PyFs()).exec(), "PyTerm.exec() missing 1 required positional argument: 'command'"),
        (lambda: PyTerm(PyFs()).exec("a", "b"), "PyTerm.exec() takes 1 positional arguments but 2 were given"),
        (lambda: PyTerm(PyFs()).exec("a", command="b"), "PyTerm.exec() got multiple values for argument 'command'"),
    ],
)
def test_argument_errors(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


def test_documentation():
    assert PyTerm.__doc__ == "\nA structure representing a simple terminal\n"
    assert PyTerm.__text_signature__ == "(fs)"
    assert PyTerm.exec.__doc__ == "\nExecute a command in the terminal.\n"
    assert PyTerm.exec.__text_signature__ == "($self, command)"
    assert PyTerm.__name__ == PyTerm.__qualname__ == "PyTerm"


def test_class_properties():
    t = PyTerm(PyFs())
    with pytest.raises(AttributeError):
        t.anything = 1
    with pytest.raises(TypeError):
        type("Sub", (PyTerm,), {})
