"""The module as a whole: registration, class properties, argument matching and
conversion, error mapping, and that repeated calls leak nothing."""
import ctypes
import gc
import os
import shutil
import subprocess
import sys
import weakref

import numpy as np
import pytest

import moxtile

REGISTRATION_ORDER = [
    "PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyUser", "PyTerminalSession",
]
NO_CONSTRUCTOR = ["PyFileHandle", "Whence", "PyUser", "PyTerminalSession"]


@pytest.fixture
def fs():
    return moxtile.PyFs()


@pytest.fixture
def fh(fs):
    return fs.open("/f", "rw")


def instances():
    fs = moxtile.PyFs()
    return {"PyFs": fs, "PyFileHandle": fs.open("/x", "r"), "Whence": moxtile.Whence.SEEK_SET}


def test_all_lists_the_registered_classes_in_order():
    present = [name for name in REGISTRATION_ORDER if hasattr(moxtile, name)]
    assert moxtile.__all__ == present
    assert {"PyFs", "PyFileHandle", "Whence"} <= set(present)
    for name in present:
        cls = getattr(moxtile, name)
        assert isinstance(cls, type)
        assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "moxtile")
        assert cls.__bases__ == (object,)


def test_module_doc_is_empty_string_and_panic_exception_is_hidden():
    assert moxtile.__doc__ == ""
    assert not hasattr(moxtile, "PanicException")


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_classes_without_constructor(name):
    if not hasattr(moxtile, name):
        pytest.skip(f"{name} is not built yet")
    with pytest.raises(TypeError, match="^No constructor defined$"):
        getattr(moxtile, name)()


@pytest.mark.parametrize("name", ["PyFs", "PyFileHandle", "Whence"])
def test_instances_are_plain(name):
    obj = instances()[name]
    with pytest.raises(TypeError):
        type("Sub", (type(obj),), {})
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)
    assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda fs, fh: fs.mkdir(), "PyFs.mkdir() missing 1 required positional argument: 'path'"),
        (lambda fs, fh: fs.open(),
         "PyFs.open() missing 2 required positional arguments: 'path' and 'mode'"),
        (lambda fs, fh: fs.open(mode="r"),
         "PyFs.open() missing 1 required positional argument: 'path'"),
        (lambda fs, fh: fs.mkdir("/a", "/b"),
         "PyFs.mkdir() takes 1 positional arguments but 2 were given"),
        (lambda fs, fh: fs.open("/a", "r", "x"),
         "PyFs.open() takes 2 positional arguments but 3 were given"),
        (lambda fs, fh: fs.tree("/", "", "x"),
         "PyFs.tree() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda fs, fh: fs.tree(),
         "PyFs.tree() missing 1 required positional argument: 'path'"),
        (lambda fs, fh: fs.mkdir("/a", path="/b"),
         "PyFs.mkdir() got multiple values for argument 'path'"),
        (lambda fs, fh: fs.mkdir(p="/a"), "PyFs.mkdir() got an unexpected keyword argument 'p'"),
        # Keywords are checked before missing parameters.
        (lambda fs, fh: fs.open(p="/a"), "PyFs.open() got an unexpected keyword argument 'p'"),
        # ... and the count before keywords.
        (lambda fs, fh: fs.mkdir("/a", "/b", p=1),
         "PyFs.mkdir() takes 1 positional arguments but 2 were given"),
        (lambda fs, fh: moxtile.PyFs(1), "PyFs.__new__() takes 0 positional arguments but 1 was given"),
        (lambda fs, fh: moxtile.PyFs(1, 2),
         "PyFs.__new__() takes 0 positional arguments but 2 were given"),
        (lambda fs, fh: moxtile.PyFs(x=1), "PyFs.__new__() got an unexpected keyword argument 'x'"),
        (lambda fs, fh: fh.seek(), "PyFileHandle.seek() missing 2 required positional arguments: "
                                   "'offset' and 'whence'"),
        (lambda fs, fh: fh.seek(1, whence=moxtile.Whence.SEEK_SET, offset=2),
         "PyFileHandle.seek() got multiple values for argument 'offset'"),
        (lambda fs, fh: fh.read(1, 2), "PyFileHandle.read() takes 1 positional arguments but 2 were given"),
        (lambda fs, fh: fs.mkdir(1), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (lambda fs, fh: fs.mkdir(b"/a"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda fs, fh: fs.open("/a", None), "argument 'mode': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda fs, fh: fs.remove("/a", 1), "argument 'recurse': 'int' object cannot be converted to 'PyBool'"),
        (lambda fs, fh: fs.remove("/a", np.int64(1)),
         "argument 'recurse': 'int64' object cannot be converted to 'PyBool'"),
        (lambda fs, fh: fs.remove("/a", None),
         "argument 'recurse': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda fs, fh: fh.write("x"), "argument 'buffer': 'str' object cannot be converted to 'PyBytes'"),
        (lambda fs, fh: fh.write(memoryview(b"x")),
         "argument 'buffer': 'memoryview' object cannot be converted to 'PyBytes'"),
        (lambda fs, fh: fh.seek(0, 2), "argument 'whence': 'int' object cannot be converted to 'Whence'"),
        (lambda fs, fh: fh.read("1"), "argument 'buffer': 'str' object cannot be interpreted as an integer"),
        (lambda fs, fh: fh.seek(1.0, moxtile.Whence.SEEK_SET),
         "argument 'offset': 'float' object cannot be interpreted as an integer"),
        # The interpreter's own wording, which names the type by its full name.
        (lambda fs, fh: fh.read(moxtile.Whence.SEEK_END),
         "argument 'buffer': 'moxtile.Whence' object cannot be interpreted as an integer"),
    ],
)
def test_argument_errors(fs, fh, call, message):
    with pytest.raises(TypeError) as info:
        call(fs, fh)
    assert str(info.value) == message


def test_nested_class_type_name_is_its_qualname(fs):
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"^argument 'path': 'test_nested_class_type_name_is_its_"
                                        r"qualname.<locals>.Outer.Inner' object cannot"):
        fs.mkdir(Outer.Inner())


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
def test_out_of_range_integers_raise_overflow_without_prefix(fh, value):
    with pytest.raises(OverflowError) as info:
        fh.read(value)
    assert "argument" not in str(info.value)
    with pytest.raises(OverflowError):
        fh.seek(value, moxtile.Whence.SEEK_SET)


def test_prefixed_type_error_keeps_the_cause(fh):
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as error:
                raise TypeError("no index today") from error

    with pytest.raises(TypeError) as info:
        fh.read(BadIndex())
    assert str(info.value) == "argument 'buffer': no index today"
    assert isinstance(info.value.__cause__, KeyError)


def test_index_objects_and_subclasses_are_accepted(fs):
    class Path(str):
        pass

    class Data(bytes):
        pass

    fs.mkdir(Path("/d"))
    handle = fs.open(path=Path("/d/f"), mode=Path("rw"))
    assert handle.write(Data(b"abc")) == 3
    assert handle.read(np.uint8(2)) == b"ab"
    handle.seek(offset=np.int64(0), whence=moxtile.Whence.SEEK_SET)
    assert handle.tell() == 0


def test_unencodable_text_raises_unicode_encode_error_unchanged(fs):
    with pytest.raises(UnicodeEncodeError) as info:
        fs.mkdir("/\udc80")
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("flag, removed", [(np.True_, True), (np.False_, False), (True, True)])
def test_numpy_bools_are_flags(fs, flag, removed):
    fs.mkdir("/a")
    fs.touch("/a/f")
    if removed:
        fs.remove("/a", flag)
    else:
        with pytest.raises(ValueError, match="^Directory is not empty$"):
            fs.remove("/a", flag)
    assert fs.listdir("/") == ([], [] if removed else ["a"])


def test_core_errors_are_exactly_value_error(fs):
    with pytest.raises(ValueError) as info:
        fs.listdir("/missing")
    assert type(info.value) is ValueError
    assert info.value.args == ("Inode not found",)


def test_second_initialisation_raises_import_error():
    init = ctypes.PyDLL(moxtile.__file__).PyInit_moxtile
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match="only once"):
        init()
    assert moxtile.PyFs().listdir("/") == ([], [])


def dynamic_exports(path):
    """Names of the symbols that the shared object defines for others to bind to."""
    nm = shutil.which("nm")
    if nm is not None:
        out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True,
                             check=True).stdout
        return sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    elftools = pytest.importorskip("elftools.elf.elffile", reason="neither nm nor pyelftools found")
    with open(path, "rb") as f:
        symbols = elftools.ELFFile(f).get_section_by_name(".dynsym").iter_symbols()
        return sorted(s.name for s in symbols
                      if s.name and s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] != "STB_LOCAL")


def test_shared_object_exports_only_the_module_entry():
    assert dynamic_exports(moxtile.__file__) == ["PyInit_moxtile"]


def test_reimport_reuses_the_types():
    code = (
        "import sys, moxtile\n"
        "first = moxtile.PyFs\n"
        "del sys.modules['moxtile']\n"
        "import moxtile\n"
        "assert moxtile.PyFs is first and moxtile.PyFs().listdir('/') == ([], [])\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, env=dict(os.environ))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def churn(count):
    fs = moxtile.PyFs()
    fs.touch("/f")
    for _ in range(count):
        fs.open("/f", "rw").write(b"x")
        moxtile.PyFs()
        try:
            fs.listdir(path="/missing")
        except ValueError:
            pass
        try:
            fs.remove("/f", 1)
        except TypeError:
            pass
        try:
            fs.open("/f")
        except TypeError:
            pass


def test_repeated_calls_keep_memory_flat():
    churn(100_000)  # reach steady state first
    before = resident_bytes()
    churn(1_000_000)
    grown = resident_bytes() - before
    assert grown < 8 * 1024 * 1024, f"resident memory grew by {grown} bytes"


PYPROJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "pyproject.toml")


@pytest.mark.skipif(not os.path.isfile(PYPROJECT), reason="source tree not available")
def test_version_is_the_one_in_pyproject():
    with open(PYPROJECT, "rb") as f:
        text = f.read()
    try:
        import tomllib
    except ImportError:  # Python < 3.11
        import re

        project = re.search(rb"^\[project\]$(.*?)^\[", text, re.M | re.S).group(1)
        expected = re.search(rb'^version\s*=\s*"([^"]+)"', project, re.M).group(1).decode()
    else:
        expected = tomllib.loads(text.decode())["project"]["version"]
    assert moxtile.__version__ == expected
    assert "__version__" not in moxtile.__all__
