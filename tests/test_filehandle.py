"""PyFileHandle and Whence: reading, writing, seeking, the read notice on
file descriptor 1, the per-file lock between handles, and Whence's operators."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

from moxtile import PyFs, Whence

BAD_FD = "Invalid file descriptor"
IN_USE = "Resource is currently in use"


@pytest.fixture
def fs():
    return PyFs()


@pytest.fixture
def digits(fs):
    """A read handle on a file holding b"0123456789"."""
    writer = fs.open("/digits", "w")
    writer.write(b"0123456789")
    writer.close()
    return fs.open("/digits", "r")


def notices(capfd):
    out = capfd.readouterr().out
    return re.findall(r"Read (\d+) bytes from file\n", out), out


def test_read_seek_tell_walkthrough(digits, capfd):
    assert digits.read(4) == b"0123"
    assert digits.tell() == 4
    assert digits.seek(3, Whence.SEEK_END) is None
    assert digits.tell() == 7
    digits.seek(100, Whence.SEEK_CUR)
    assert digits.tell() == 10
    digits.seek(20, Whence.SEEK_END)
    assert digits.tell() == 0
    digits.seek(8, Whence.SEEK_SET)
    assert digits.read(100) == b"89"
    assert digits.read(5) == b""
    assert digits.read(0) == b""
    assert notices(capfd) == (["4", "2", "0", "0"], "Read 4 bytes from file\nRead 2 bytes from file\n"
                              "Read 0 bytes from file\nRead 0 bytes from file\n")


def test_read_notice_bypasses_sys_stdout():
    code = (
        "import io, sys, moxtile\n"
        "sys.stdout = io.StringIO()\n"
        "fs = moxtile.PyFs(); fs.open('/f', 'w').write(b'abc')\n"
        "fs.open('/f', 'r').read(2)\n"
        "sys.stderr.write(repr(sys.stdout.getvalue()))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(os.environ), check=True)
    assert (done.stdout, done.stderr) == ("Read 2 bytes from file\n", "''")


@pytest.mark.parametrize(
    "offset, whence, expected",
    [
        (3, Whence.SEEK_SET, 3), (50, Whence.SEEK_SET, 10), (4, Whence.SEEK_CUR, 9),
        (2**64 - 1, Whence.SEEK_CUR, 10), (0, Whence.SEEK_END, 10), (10, Whence.SEEK_END, 0),
    ],
)
def test_seek_origins_by_meaning(digits, offset, whence, expected):
    digits.seek(5, Whence.SEEK_SET)
    digits.seek(offset=offset, whence=whence)
    assert digits.tell() == expected


@pytest.mark.parametrize("size", [8, 1 << 20, 1 << 40, 2**64 - 1])
def test_reads_larger_than_the_rest_return_exactly_the_rest(digits, size, capfd):
    digits.seek(3, Whence.SEEK_SET)
    assert digits.read(size) == b"3456789"
    assert digits.tell() == 10
    assert digits.read(size) == b""
    assert digits.tell() == 10
    assert notices(capfd)[0] == ["7", "0"]


def test_failed_reads_print_nothing_and_move_nothing(fs, digits, capfd):
    with pytest.raises(ValueError, match="^File does not support the specified operation: read$"):
        fs.open("/w", "w").read(1)
    digits.close()
    with pytest.raises(ValueError, match=f"^{BAD_FD}$"):
        digits.read(2**64 - 1)
    assert capfd.readouterr().out == ""


def test_write_keeps_the_position_and_grows_the_file(fs, capfd):
    handle = fs.open("/f", "rw")
    assert handle.write(b"hello") == 5
    assert handle.write(b"XY") == 2
    assert handle.tell() == 0
    assert handle.write(b"") == 0
    assert handle.read(100) == b"XYllo"
    big = bytes(range(256)) * 4
    handle.seek(0, Whence.SEEK_SET)
    assert handle.write(big) == len(big)
    assert handle.read(2000) == big
    assert handle.tell() == len(big)
    assert notices(capfd)[0] == ["5", "1024"]


@pytest.mark.parametrize(
    "mode, operation, message",
    [
        ("", lambda h: h.read(1), "File does not support the specified operation: read"),
        ("", lambda h: h.write(b"x"), "File does not support the specified operation: write"),
        ("r", lambda h: h.write(b"x"), "File does not support the specified operation: write"),
        ("w", lambda h: h.read(1), "File does not support the specified operation: read"),
    ],
)
def test_access_modes(fs, mode, operation, message):
    handle = fs.open("/f", mode)
    with pytest.raises(ValueError) as info:
        operation(handle)
    assert type(info.value) is ValueError and str(info.value) == message
    handle.seek(0, Whence.SEEK_END)  # seeking works in every mode


@pytest.mark.parametrize(
    "operation",
    [
        lambda h: h.id(), lambda h: h.tell(), lambda h: h.read(1), lambda h: h.close(),
        lambda h: h.write(b"x"), lambda h: h.seek(0, Whence.SEEK_SET),
    ],
)
@pytest.mark.parametrize("mode", ["", "r", "rw"])
def test_closed_handle(fs, mode, operation, capfd):
    handle = fs.open("/f", mode)
    handle.close()
    with pytest.raises(ValueError, match=f"^{BAD_FD}$"):
        operation(handle)
    assert str(handle).startswith("FileHandle { id: None, type: FileHandleType(")
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "mode, shown", [("rw", "READ | WRITE"), ("wr", "READ | WRITE"), ("r", "READ"), ("w", "WRITE"), ("", "0x0")]
)
def test_str_shows_the_handle(fs, mode, shown):
    fs.mkdir("/d")
    handle = fs.open("/d/f", mode)
    assert handle.id() == 2
    text = str(handle)
    assert text.startswith(f"FileHandle {{ id: Some(2), type: FileHandleType({shown}), fs: FileSystem {{ inodes: ")
    assert text.endswith(", next_inode_id: 3 }, offset: 0 }")
    assert str(fs) in text


def test_file_locks_between_handles(fs):
    first, second = fs.open("/f", "r"), fs.open("/f", "")
    assert first.id() == second.id()
    for mode in ["w", "rw"]:
        with pytest.raises(ValueError, match=f"^{IN_USE}$"):
            fs.open("/f", mode)
    first.close()
    second.close()
    writer = fs.open("/f", "wr")
    for mode in ["", "r", "w"]:
        with pytest.raises(ValueError, match=f"^{IN_USE}$"):
            fs.open("/f", mode)
    writer.close()
    fs.open("/f", "r").close()


def test_dropping_an_open_handle_frees_the_file(fs):
    writer = fs.open("/f", "w")
    writer.write(b"abc")
    del writer
    again = fs.open("/f", "w")
    with pytest.raises(ValueError, match=f"^{IN_USE}$"):
        fs.remove("/f", False)
    del again
    fs.remove("/f", False)
    assert fs.listdir("/") == ([], [])


def test_dropping_a_closed_handle_is_quiet(fs, capfd):
    handle = fs.open("/f", "w")
    handle.close()
    del handle
    assert capfd.readouterr() == ("", "")


def test_whence_members():
    assert [int(w) for w in (Whence.SEEK_SET, Whence.SEEK_CUR, Whence.SEEK_END)] == [0, 1, 2]
    assert [repr(w) for w in (Whence.SEEK_SET, Whence.SEEK_CUR)] == ["Whence.SEEK_SET", "Whence.SEEK_CUR"]
    assert str(Whence.SEEK_END) == "Whence.SEEK_END"
    assert Whence.SEEK_SET is Whence.SEEK_SET
    assert type(Whence.SEEK_SET) is Whence
    assert Whence.__doc__ == "\nA small enumeration to determine the whence\nwhen seeking in a file.\n"


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (Whence.SEEK_CUR, 1, True), (1, Whence.SEEK_CUR, True), (Whence.SEEK_SET, Whence.SEEK_SET, True),
        (Whence.SEEK_SET, Whence.SEEK_END, False), (Whence.SEEK_SET, "SEEK_SET", False),
        (Whence.SEEK_SET, False, True), (Whence.SEEK_CUR, True, True), (Whence.SEEK_END, np.int64(2), True),
        (Whence.SEEK_END, 2.0, False), (Whence.SEEK_SET, 2**64, False), (Whence.SEEK_SET, None, False),
    ],
)
def test_whence_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is not equal


@pytest.mark.parametrize(
    "operation",
    [
        lambda: Whence.SEEK_SET < Whence.SEEK_END, lambda: Whence.SEEK_SET >= 0, lambda: hash(Whence.SEEK_SET),
        lambda: {Whence.SEEK_SET}, lambda: [1, 2, 3][Whence.SEEK_CUR],
    ],
)
def test_whence_is_unordered_unhashable_and_no_index(operation):
    with pytest.raises(TypeError):
        operation()


DOCS = {
    "id": ("($self)", "\nReturns a string representation of the file handle.\n"),
    "close": ("($self)", "\nClose the file handle.\n\nNotice that the pyobject still holds a reference to the "
              "file handle. However\nany subsequent read or write operation will fail.\n\nSmall Note on "
              "garbage collection: The file handle will internally be closed\nHOWEVER it will still keep the "
              "file system and inode alive. Until the file\nhandle is dropped.\n"),
    "read": ("($self, buffer)", "\nRead data from the file handle.\n\nThis function reads data from the file "
             "handle. The function will return a\nbyte array with the data that was read from the file. The "
             "function will\nreturn an error if the read operation failed.\n"),
    "write": ("($self, buffer)", "\nWrite data to the file handle.\n\nThis function writes data to the file "
              "handle. The function will return the\nnumber of bytes that were written to the file. The "
              "function will return an\nerror if the write operation failed.\n"),
    "seek": ("($self, offset, whence)", "\nSeek a certain position in the file.\n\nThis function seeks a "
             "certain position in the file. The function will return\nthe new position in the file. The "
             "function will return an error if the seek\noperation failed.\n"),
    "tell": ("($self)", "\nTell the current position in the file.\n\nThis function returns the current "
             "position in the file. The function will\nreturn an error if the tell operation failed.\n"),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_method_docs(name, fs):
    method = getattr(type(fs.open("/f", "")), name)
    assert (method.__text_signature__, method.__doc__) == DOCS[name]

