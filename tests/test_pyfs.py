"""PyFs: the in-memory filesystem class, its renderings and its error mapping."""
import re

import pytest

from moxtile import PyFs

NOT_FOUND = "Inode not found"
NOT_DIR = "The specified INode is not a directory"
NOT_FILE = "The specified INode is not a file"
EXISTS = "Resource already exists"
NOT_EMPTY = "Directory is not empty"
IN_USE = "Resource is currently in use"
BAD_MODE = "Unrecognized file mode"

ROOT_ONLY = (
    'FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: "", data: RwLock { '
    "data: Directory { children: [] }, poisoned: false, .. } }}, next_inode_id: 1 }"
)


@pytest.fixture
def fs():
    return PyFs()


@pytest.fixture
def sample(fs):
    fs.mkdir("/a")
    fs.mkdir("/a/b")
    fs.touch("/a/f")
    fs.touch("/g")
    return fs


def test_new_filesystem_is_empty(fs):
    assert fs.listdir("/") == ([], [])
    assert fs.tree("/") == ""
    assert str(fs) == ROOT_ONLY


@pytest.mark.parametrize(
    "args, expected",
    [
        (("/",), "a/\n  b/\n  f\ng\n"),
        (("/", "> "), "> a/\n>   b/\n>   f\n> g\n"),
        (("/", None), "a/\n  b/\n  f\ng\n"),
        (("/a",), "b/\nf\n"),
        (("a/",), "b/\nf\n"),
        (("\\a\\b",), ""),
        (("/a/..", "-"), "-a/\n-  b/\n-  f\n-g\n"),
    ],
)
def test_tree(sample, args, expected):
    assert sample.tree(*args) == expected


def test_tree_keyword_forms(sample):
    assert sample.tree(path="/a", ident="x") == "xb/\nxf\n"
    assert sample.tree("/a", ident=None) == "b/\nf\n"


def test_tree_puts_directories_first_each_followed_by_its_subtree(fs):
    fs.touch("/f1")
    fs.mkdir("/d1")
    fs.mkdir("/d1/x")
    fs.touch("/f2")
    fs.mkdir("/d2")
    fs.mkdir("/d2/e")
    fs.touch("/d2/e/y")
    assert fs.tree("/") == "d1/\n  x/\nd2/\n  e/\n    y\nf1\nf2\n"


def test_tree_reaches_the_depth_limit(fs):
    path = ""
    for _ in range(64):
        path += "/d"
        fs.mkdir(path)
    lines = fs.tree("/").splitlines()
    assert len(lines) == 64
    assert lines[-1] == "  " * 63 + "d/"


def test_listdir_keeps_creation_order_files_first(fs):
    fs.touch("/f1")
    fs.mkdir("/d1")
    fs.touch("/f2")
    assert fs.listdir("/") == (["f1", "f2"], ["d1"])
    assert fs.listdir(path="/d1") == ([], [])
    files, directories = fs.listdir("/")
    assert type(files) is list and type(directories) is list


@pytest.mark.parametrize(
    "operation, message",
    [
        (lambda fs: fs.listdir("/g"), NOT_DIR),
        (lambda fs: fs.tree("/g"), NOT_DIR),
        (lambda fs: fs.listdir("/missing"), NOT_FOUND),
        (lambda fs: fs.tree("/A"), NOT_FOUND),
        (lambda fs: fs.mkdir("/a"), EXISTS),
        (lambda fs: fs.mkdir("/g"), EXISTS),
        (lambda fs: fs.touch("/a/f"), EXISTS),
        (lambda fs: fs.mkdir("/a/"), EXISTS),
        (lambda fs: fs.mkdir("/x/y"), NOT_FOUND),
        (lambda fs: fs.mkdir("/g/y"), NOT_DIR),
        (lambda fs: fs.remove("/a", False), NOT_EMPTY),
        (lambda fs: fs.remove("/missing", True), NOT_FOUND),
        (lambda fs: fs.open("/a", "r"), NOT_FILE),
        (lambda fs: fs.open("/a/f/", "r"), NOT_FILE),
        (lambda fs: fs.open("/missing/dir/x", "r"), NOT_FOUND),
        (lambda fs: fs.open("/missing/dir/x", "zz"), BAD_MODE),
        (lambda fs: fs.open("/a", "rr"), BAD_MODE),
    ],
)
def test_failures_raise_value_error_with_the_message(sample, operation, message):
    with pytest.raises(ValueError) as info:
        operation(sample)
    assert type(info.value) is ValueError and str(info.value) == message
    assert sample.tree("/") == "a/\n  b/\n  f\ng\n"


def test_remove(sample):
    sample.remove("/g", False)
    sample.remove(path="/a/b", recurse=False)
    assert sample.listdir("/") == ([], ["a"])
    sample.remove("/a", recurse=True)
    assert sample.listdir("/") == ([], [])


def test_remove_refuses_a_file_with_an_open_handle(sample):
    handle = sample.open("/a/f", "r")
    with pytest.raises(ValueError, match=f"^{IN_USE}$"):
        sample.remove("/a", True)
    assert sample.listdir("/a") == (["f"], [])
    handle.close()
    sample.remove("/a", True)
    assert sample.listdir("/") == (["g"], [])


def test_open_creates_a_missing_file_in_any_mode(fs):
    for mode in ["", "r", "w", "rw", "wr"]:
        handle = fs.open(f"/new{mode}", mode)
        assert handle.tell() == 0
    assert fs.listdir("/") == (["new", "newr", "neww", "newrw", "newwr"], [])


def test_open_does_not_truncate(fs):
    fs.open("/f", "w").write(b"data")
    assert fs.open("/f", "rw").read(10) == b"data"


def test_filesystems_are_separate_and_outlived_by_their_handles():
    first, second = PyFs(), PyFs()
    first.touch("/only-here")
    assert second.listdir("/") == ([], [])
    handle = first.open("/only-here", "rw")
    del first
    assert handle.write(b"still alive") == 11
    assert '"only-here"' in str(handle)


def test_str_is_the_debug_rendering(fs):
    fs.mkdir("/d")
    fs.touch("/d/f")
    text = str(fs)
    assert text.startswith("FileSystem { inodes: {") and text.endswith("}, next_inode_id: 3 }")
    entries = re.findall(r"(\d+): INode \{ id: (\d+), parent: (\d+), depth: (\d+), name: \"(\w*)\"", text)
    assert sorted(entries) == [("0", "0", "0", "0", ""), ("1", "1", "0", "1", "d"), ("2", "2", "1", "2", "f")]
    assert (
        '2: INode { id: 2, parent: 1, depth: 2, name: "f", data: RwLock { data: File { data: '
        "FileData { data: [] }, lock: FileLock { flag: 0 } }, poisoned: false, .. } }"
    ) in text
    assert repr(fs).startswith("<moxtile.PyFs object at ")


def test_names_round_trip_as_utf8(fs):
    fs.mkdir("/ünï")
    fs.touch("/ünï/€ 1")
    assert fs.listdir("/ünï") == (["€ 1"], [])
    assert fs.tree("/") == "ünï/\n  € 1\n"


DOCS = {
    "mkdir": ("($self, path)", "\nCreate a new directory in the filesystem.\n\nThis function creates a new "
              "directory in the filesystem. The function will\nreturn an error if the directory could "
              "not be created.\n"),
    "touch": ("($self, path)", "\nCreate a new file in the filesystem.\n\nThis function creates a new file "
              "in the filesystem. The function will return\nan error if the file could not be created.\n"),
    "open": ("($self, path, mode)", "\nOpen a file in the filesystem.\n\nThis function opens a file in the "
             "filesystem. The function will return a file\nhandle that can be used to read and write data "
             "to the file. The function will\nreturn an error if the file could not be opened.\n"),
    "listdir": ("($self, path)", "\nList the contents of a directory.\n\nThis function lists the contents "
                "of a directory. The function will return a\nlist of strings with the names of the files "
                "and directories in the directory.\nThe function will return an error if the directory "
                "could not be listed.\n"),
    "remove": ("(recurse=False)", "\nRemove a file from the filesystem.\n"),
    "tree": ("($self, path, ident=None)", "\nDebug the file system\n\nThis function will return a debug "
             "representation of the filesystem as a string.\n"),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_method_docs(name):
    method = getattr(PyFs, name)
    assert (method.__text_signature__, method.__doc__) == DOCS[name]


def test_class_doc():
    assert PyFs.__text_signature__ == "()"
    assert PyFs.__doc__ == (
        "\nAn highly simplified binding for a simple filesystem.\n\nThis class is a simple wrapper around "
        "the FileSystem struct. It defines\nthe basis for a small filesystem that can be used in Python. "
        "The filesystem\ncan handle files, nested directories and symlinks.\n\nThe filesystem is "
        "thread-safe and can be shared between multiple threads.\n"
    )


@pytest.mark.parametrize(
    "path, expected",
    [
        ("/", (True, 0)), ("", (True, 0)), ("/a", (True, 0)), ("a/b/", (True, 0)),
        ("/a/b/..", (True, 0)), ("/a/f", (False, 5)), ("\\a\\f", (False, 5)), ("/g", (False, 0)),
        ("/a/f/", None), ("/a/f/x", None), ("/g/x/y", None), ("/missing", None), ("/missing/x", None),
    ],
)
def test_stat_agrees_with_open_and_listdir(sample, path, expected):
    writer = sample.open("/a/f", "w")
    writer.write(b"hello")
    writer.close()
    before = str(sample)
    assert sample.stat(path) == expected
    assert str(sample) == before  # nothing made, no handle left
    if expected is None:
        with pytest.raises(ValueError):
            sample.listdir(path)
        with pytest.raises(ValueError):
            sample.read_bytes(path)
    elif expected[0]:
        sample.listdir(path)
        with pytest.raises(ValueError, match=f"^{NOT_FILE}$"):
            sample.read_bytes(path)
    else:
        with pytest.raises(ValueError, match=f"^{NOT_DIR}$"):
            sample.listdir(path)
        assert len(sample.open(path, "r").read(100)) == expected[1] == len(sample.read_bytes(path))


def test_stat_answers_while_a_writer_holds_the_file_and_read_bytes_does_not(fs):
    writer = fs.open("/f", "w")
    writer.write(b"abc")
    assert fs.stat("/f") == (False, 3)
    with pytest.raises(ValueError, match=f"^{IN_USE}$"):
        fs.read_bytes("/f")
    writer.close()
    reader = fs.open("/f", "r")
    assert fs.read_bytes("/f") == b"abc"  # readers share the file
    reader.close()
    fs.remove("/f", False)  # and read_bytes left no handle behind


@pytest.mark.parametrize(
    "start, end, expected",
    [(None, None, b"0123456789"), (3, None, b"3456789"), (None, 4, b"0123"), (2, 5, b"234"),
     (5, 5, b""), (7, 2, b""), (10, None, b""), (2**64 - 1, 2**64 - 1, b""), (8, 2**64 - 1, b"89")],
)
def test_read_bytes_ranges(fs, start, end, expected, capfd):
    fs.open("/d", "w").write(b"0123456789")
    assert fs.read_bytes("/d", start, end) == expected
    assert fs.read_bytes(path="/d", start=start, end=end) == expected
    assert capfd.readouterr().out == ""
