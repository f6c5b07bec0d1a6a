"""The fsspec filesystem over PyFs (moxtile_fsspec): fsspec's own abstract
suite, the typed errors, truncation, ranges, and trees to and from disk."""
import errno
import importlib.metadata
import io
import os

import pytest

fsspec = pytest.importorskip("fsspec", reason="fsspec is one of the test extras")
import fsspec.tests.abstract as abstract  # noqa: E402

import moxtile  # noqa: E402
from moxtile_fsspec import MoxtileFileSystem  # noqa: E402


class MoxtileFixtures(abstract.AbstractFixtures):
    @pytest.fixture
    def fs(self):
        return MoxtileFileSystem(fs=moxtile.PyFs())

    @pytest.fixture
    def fs_path(self):
        return "/work"


class TestCopy(abstract.AbstractCopyTests, MoxtileFixtures):
    pass


class TestGet(abstract.AbstractGetTests, MoxtileFixtures):
    pass


class TestPut(abstract.AbstractPutTests, MoxtileFixtures):
    pass


class TestOpen(abstract.AbstractOpenTests, MoxtileFixtures):
    pass


class TestPipe(abstract.AbstractPipeTests, MoxtileFixtures):
    pass


def entry_point_installed():
    points = importlib.metadata.entry_points()
    group = (points.select(group="fsspec.specs") if hasattr(points, "select")
             else points.get("fsspec.specs", []))  # Python 3.9
    return any(point.name == "moxtile" for point in group)


@pytest.fixture
def pyfs():
    return moxtile.PyFs()


@pytest.fixture
def fs(pyfs):
    return MoxtileFileSystem(fs=pyfs)


def test_writes_make_parents_and_wb_truncates(fs, pyfs):
    with fs.open("/a/b/c.txt", "wb") as f:
        f.write(b"0123456789")
    assert pyfs.listdir("/a") == ([], ["b"])
    with fs.open("moxtile://a/b/c.txt", "wb") as f:
        f.write(b"xy")
    assert fs.cat_file("/a/b/c.txt") == b"xy"
    with fs.open("/a/b/c.txt", "ab") as f:
        f.write(b"z")
    fs.pipe_file("/a/b/d", bytearray(b"pipe"))
    assert fs.cat("/a/b/*") == {"/a/b/c.txt": b"xyz", "/a/b/d": b"pipe"}
    fs.pipe_file("/a/b/d", b"")
    assert fs.info("/a/b/d")["size"] == 0


def test_writer_position_seek_and_gap(fs):
    with fs.open("/f", "wb") as f:
        assert f.write(b"abcdef") == 6 and f.tell() == 6
        f.seek(2)
        f.write(b"XY")
        f.seek(-1, io.SEEK_END)
        f.write(b"!")
        f.seek(10)
        f.write(b"end")
    assert fs.cat_file("/f") == b"abXYe!\0\0\0\0end"


def test_text_mode_and_reads(fs):
    with fs.open("/t.txt", "w") as f:
        f.write("one\ntwo\n")
    with fs.open("/t.txt", "r") as f:
        assert f.readlines() == ["one\n", "two\n"]
    with fs.open("/t.txt", "rb") as f:
        assert f.size == 8
        f.seek(-4, io.SEEK_END)
        assert f.read(2) == b"tw" and f.tell() == 6
        f.seek(100)
        assert f.read() == b""


def test_reads_print_nothing(fs, capfd):
    fs.pipe_file("/f", b"data")
    with fs.open("/f", "rb") as f:
        assert f.read() == b"data"
    assert fs.cat_file("/f") == b"data"
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "start, end, expected",
    [
        (None, None, b"0123456789"), (2, 5, b"234"), (-3, None, b"789"), (None, -8, b"01"),
        (-4, -1, b"678"), (8, 100, b"89"), (20, None, b""), (5, 2, b""), (-100, 2, b"01"),
    ],
)
def test_cat_file_ranges(fs, start, end, expected):
    fs.pipe_file("/r", b"0123456789")
    assert fs.cat_file("/r", start=start, end=end) == expected


@pytest.mark.parametrize(
    "operation, error, code",
    [
        (lambda fs: fs.open("/missing", "rb"), FileNotFoundError, errno.ENOENT),
        (lambda fs: fs.cat_file("/missing"), FileNotFoundError, errno.ENOENT),
        (lambda fs: fs.cat_file("/missing", start=-1), FileNotFoundError, errno.ENOENT),
        (lambda fs: fs.info("/file/x"), FileNotFoundError, errno.ENOENT),
        (lambda fs: fs.ls("/missing"), FileNotFoundError, errno.ENOENT),
        (lambda fs: fs.rm("/missing"), FileNotFoundError, errno.ENOENT),
        (lambda fs: fs.open("/dir", "rb"), IsADirectoryError, errno.EISDIR),
        (lambda fs: fs.open("/dir", "wb"), IsADirectoryError, errno.EISDIR),
        (lambda fs: fs.cat_file("/dir"), IsADirectoryError, errno.EISDIR),
        (lambda fs: fs.rm_file("/dir"), IsADirectoryError, errno.EISDIR),
        (lambda fs: fs.rm("/dir"), IsADirectoryError, errno.EISDIR),
        (lambda fs: fs.pipe_file("/file/x", b""), NotADirectoryError, errno.ENOTDIR),
        (lambda fs: fs.makedirs("/file/x"), NotADirectoryError, errno.ENOTDIR),
        (lambda fs: fs.rmdir("/file"), NotADirectoryError, errno.ENOTDIR),
        (lambda fs: fs.mkdir("/dir"), FileExistsError, errno.EEXIST),
        (lambda fs: fs.mkdir("/dir", create_parents=False), FileExistsError, errno.EEXIST),
        (lambda fs: fs.makedirs("/file", exist_ok=True), FileExistsError, errno.EEXIST),
        (lambda fs: fs.open("/file", "xb"), FileExistsError, errno.EEXIST),
        (lambda fs: fs.pipe_file("/file", b"", mode="create"), FileExistsError, errno.EEXIST),
        (lambda fs: fs.mkdir("/no/such", create_parents=False), FileNotFoundError, errno.ENOENT),
        (lambda fs: fs.rmdir("/dir"), OSError, errno.ENOTEMPTY),
    ],
)
def test_errors_are_typed(fs, operation, error, code):
    fs.pipe_file("/file", b"content")
    fs.pipe_file("/dir/inner", b"")
    with pytest.raises(error) as info:
        operation(fs)
    assert info.value.errno == code
    assert fs.cat_file("/file") == b"content" and fs.ls("/dir", detail=False) == ["/dir/inner"]


def test_a_file_held_open_is_busy(fs, pyfs):
    fs.pipe_file("/f", b"old")
    reader = fs.open("/f", "rb")
    for operation in (lambda: fs.pipe_file("/f", b"new"), lambda: fs.rm("/f"),
                      lambda: fs.open("/f", "ab"), lambda: fs.rm("/", recursive=True)):
        with pytest.raises(OSError) as info:
            operation()
        assert info.value.errno == errno.EBUSY
    reader.close()
    writer = fs.open("/f", "ab")
    with pytest.raises(OSError) as info:
        fs.cat_file("/f")
    assert info.value.errno == errno.EBUSY
    assert fs.info("/f")["size"] == 3  # stat answers while the writer holds the file
    writer.close()
    assert fs.cat_file("/f") == b"old"


def test_info_and_ls_detail(fs):
    fs.pipe_file("/d/a", b"12345")
    fs.mkdir("/d/sub")
    fs.pipe_file("/d/b", b"")
    assert fs.info("/d") == {"name": "/d", "size": 0, "type": "directory"}
    assert fs.info("moxtile://d/a/") == {"name": "/d/a", "size": 5, "type": "file"}
    assert fs.info("/") == {"name": "/", "size": 0, "type": "directory"}
    assert fs.ls("/d") == [
        {"name": "/d/a", "size": 5, "type": "file"},
        {"name": "/d/b", "size": 0, "type": "file"},
        {"name": "/d/sub", "size": 0, "type": "directory"},
    ]
    assert fs.ls("/d/a") == [{"name": "/d/a", "size": 5, "type": "file"}]
    assert fs.ls("/", detail=False) == ["/d"]
    assert fs.find("/", withdirs=True) == ["/", "/d", "/d/a", "/d/b", "/d/sub"]
    assert (fs.isdir("/d"), fs.isfile("/d"), fs.isfile("/d/a"), fs.exists("/d/a/x")) == (
        True, False, True, False)


def test_rm_recursive_and_globs(fs, pyfs):
    for name in ("x1", "x2", "y", "sub/z"):
        fs.pipe_file(f"/t/{name}", b".")
    fs.rm("/t/x*")
    assert fs.ls("/t", detail=False) == ["/t/y", "/t/sub"]
    fs.rm("/t", recursive=True)
    assert pyfs.listdir("/") == ([], [])


def test_tree_round_trip_byte_for_byte(fs, tmp_path):
    source = tmp_path / "source"
    (source / "empty" / "deeper_empty").mkdir(parents=True)
    (source / "code" / "pkg").mkdir(parents=True)
    (source / "code" / "pkg" / "blob.bin").write_bytes(bytes(range(256)) * 300)
    (source / "code" / "zero").write_bytes(b"")
    (source / "ünï €.txt").write_bytes("ünï\r\n".encode())
    os.symlink(source / "code" / "zero", source / "link_to_zero")
    fs.put(str(source), "/in", recursive=True)
    assert fs.isdir("/in/empty/deeper_empty")
    back = tmp_path / "back"
    fs.get("/in", str(back), recursive=True)

    def tree(root):
        out = {}
        for directory, dirs, files in os.walk(root):
            rel = os.path.relpath(directory, root)
            out[rel] = sorted(dirs)
            for name in files:
                with open(os.path.join(directory, name), "rb") as f:
                    out[os.path.join(rel, name)] = f.read()
        return out

    assert tree(back) == tree(source)


def test_put_tree_refuses_a_link_loop(fs, tmp_path):
    (tmp_path / "a").mkdir()
    os.symlink(tmp_path / "a", tmp_path / "a" / "loop")
    with pytest.raises(OSError) as info:
        fs.put_tree(str(tmp_path / "a"), "/a")
    assert info.value.errno == errno.ELOOP


def test_large_file_goes_in_pieces(fs, tmp_path, monkeypatch):
    import moxtile_fsspec

    monkeypatch.setattr(moxtile_fsspec, "_CHUNK", 1000)
    data = os.urandom(4500)
    (tmp_path / "big").write_bytes(data)
    fs.put_file(str(tmp_path / "big"), "/big")
    assert fs.cat_file("/big") == data
    fs.get_file("/big", str(tmp_path / "again"))
    assert (tmp_path / "again").read_bytes() == data


def test_instances_share_the_default_pyfs_and_wrap_a_given_one(pyfs):
    if not entry_point_installed():
        fsspec.register_implementation("moxtile", MoxtileFileSystem, clobber=True)
    MoxtileFileSystem().pipe_file("/shared/x", b"1")
    assert MoxtileFileSystem().cat_file("/shared/x") == b"1"
    with fsspec.open("moxtile://held/f", "wb", fs=pyfs) as f:
        f.write(b"by url")
    assert pyfs.read_bytes("/held/f") == b"by url"
    assert MoxtileFileSystem(fs=pyfs) == MoxtileFileSystem(fs=pyfs) != MoxtileFileSystem()
    before = MoxtileFileSystem.default_pyfs()
    MoxtileFileSystem.set_default(pyfs)
    try:
        assert fsspec.filesystem("moxtile").cat_file("/held/f") == b"by url"
    finally:
        MoxtileFileSystem.set_default(before)
    with pytest.raises(TypeError):
        MoxtileFileSystem(fs="/tmp")


@pytest.mark.skipif(not entry_point_installed(), reason="moxtile is not installed here")
def test_the_entry_point_registers_the_protocol():
    fs = fsspec.filesystem("moxtile")
    assert isinstance(fs, MoxtileFileSystem)
    with fsspec.open("moxtile://ep/file.txt", "w") as f:
        f.write("text")
    assert fs.cat_file("/ep/file.txt") == b"text"
