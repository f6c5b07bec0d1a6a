"""fsspec filesystem over a moxtile ``PyFs``, protocol ``moxtile``.

With fsspec installed (``pip install "moxtile[fsspec]"``), fsspec finds this
class through its entry point::

    fs = fsspec.filesystem("moxtile")            # the process's shared PyFs
    with fsspec.open("moxtile://data/a.csv", "w") as f:
        f.write("x,y\\n1,2\\n")
    fs = MoxtileFileSystem(fs=pyfs)              # a PyFs the harness already holds
    fsspec.open("moxtile://data/a.csv", fs=pyfs) # the same, by URL
    MoxtileFileSystem.set_default(pyfs)          # bare URLs reach pyfs from now on

Paths are absolute ("/a/b"); "moxtile://a/b" is "/a/b". ``ls`` lists files
first, then directories, each in creation order. ``info`` and
``ls(detail=True)`` give ``name``, ``type`` ("file" or "directory") and
``size`` (0 for a directory); ``PyFs`` keeps no times, so ``created`` and
``modified`` are not available.

Where ``PyFs`` behaves differently from a file system as fsspec users know it,
the adapter bridges:

- ``PyFs.open`` creates a missing file in every mode, read modes too. Here
  "rb" looks first (``PyFs.stat``) and raises ``FileNotFoundError``; nothing
  is created. "wb", "ab" and "xb" make missing parent directories.
- ``PyFs.open(path, "w")`` does not truncate, and a ``PyFs`` file only grows.
  Here "wb" (and ``pipe_file``, ``put``) removes an existing file first and
  writes a new one, so a file that another handle holds open gives
  ``OSError(EBUSY)``, as ``PyFs.remove`` does.
- A ``PyFileHandle`` keeps its position after ``write``. Here a written file
  moves past what was written, as Python files do; seeking past the end and
  writing fills the gap with zero bytes.
- ``PyFileHandle.seek`` takes unsigned amounts and never goes past the end.
  Here positions are absolute and tracked by the file object (any origin,
  negative offsets from the current position or the end); reading past the
  end gives ``b""``.
- ``PyFileHandle.read`` prints a notice on file descriptor 1. Reads here go
  through ``PyFs.read_bytes``, which prints nothing.
- ``PyFs`` failures are ``ValueError``s with a text. Here they are the
  matching ``OSError``: ``FileNotFoundError``, ``FileExistsError``,
  ``NotADirectoryError``, ``IsADirectoryError``, or ``OSError`` with errno
  ``ENOTEMPTY`` (a directory not empty) or ``EBUSY`` (a file held open). A
  path through a file ("/file/x") is not found.

The per-file reader/writer lock of ``PyFs`` stays: a file open for reading
here holds a read handle (writers are refused with ``EBUSY``), a file open for
writing holds the write handle (readers and other writers are refused).
Transactions (``autocommit=False``) are not supported: writes land at once.

``put`` and ``get`` of one directory with ``recursive=True`` copy the whole
tree, empty directories included, in one walk (regular files and directories;
symbolic links on the local side are followed, other kinds are left out).
"""
import errno
import io
import os
import threading

from fsspec import AbstractFileSystem
from fsspec.callbacks import DEFAULT_CALLBACK
from fsspec.utils import stringify_path

import moxtile

__all__ = ["MoxtileFileSystem"]

_ERRNO_OF_TEXT = {
    "Inode not found": errno.ENOENT,
    "The specified INode is not a directory": errno.ENOTDIR,
    "The specified INode is not a file": errno.EISDIR,
    "Resource already exists": errno.EEXIST,
    "Directory is not empty": errno.ENOTEMPTY,
    "Resource is currently in use": errno.EBUSY,
    "Maximum filesystem depth exceeded": errno.ENAMETOOLONG,
}

# Files up to this size move in one piece; larger ones in pieces of it.
_CHUNK = 16 << 20
_BUFFER = 64 << 10
_SEEK_SET = moxtile.Whence.SEEK_SET
_SEEK_CUR = moxtile.Whence.SEEK_CUR
_SEEK_END = moxtile.Whence.SEEK_END
_DEFAULT_LOCK = threading.Lock()


def _error(code, path):
    # OSError picks the subclass that matches the errno (FileNotFoundError, ...).
    return OSError(code, os.strerror(code), path)


def _raise_from(error, path):
    code = _ERRNO_OF_TEXT.get(str(error))
    if code is None:
        raise error
    raise _error(code, path) from error


def _has_magic(path):
    return "*" in path or "?" in path or "[" in path


def _join(directory, name):
    return directory + name if directory == "/" else directory + "/" + name


def _write_chunks(handle, chunks):
    """Writes each piece after the one before (PyFs keeps the position)."""
    for chunk in chunks:
        written = handle.write(chunk)
        handle.seek(written, _SEEK_CUR)


def _local_chunks(fd):
    """The bytes of open local file `fd`, in pieces of at most _CHUNK."""
    want = min(os.fstat(fd).st_size + 1, _CHUNK)
    while True:
        data = os.read(fd, want)
        if data:
            yield data
        if len(data) < want:  # a short read of a regular file is its end
            return
        want = _CHUNK


class _Reader(io.RawIOBase):
    """Reads a file through PyFs.read_bytes while holding a read handle, so
    no writer changes it meanwhile."""

    def __init__(self, pyfs, path, size, handle):
        super().__init__()
        self.name = path
        self.mode = "rb"
        self.size = size
        self._pyfs = pyfs
        self._handle = handle
        self._position = 0

    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, buffer):
        view = memoryview(buffer).cast("B")
        data = self._pyfs.read_bytes(self.name, self._position, self._position + len(view))
        view[: len(data)] = data
        self._position += len(data)
        return len(data)

    def readall(self):
        data = self._pyfs.read_bytes(self.name, self._position)
        self._position += len(data)
        return data

    def seek(self, offset, whence=io.SEEK_SET):
        self._position = _new_position(self._position, self.size, offset, whence)
        return self._position

    def tell(self):
        return self._position

    def close(self):
        if not self.closed:
            self._handle.close()
        super().close()


class _Writer(io.RawIOBase):
    """Writes through the file's one write handle, keeping the position the
    way a Python file does."""

    def __init__(self, path, mode, handle, size):
        super().__init__()
        self.name = path
        self.mode = mode
        self._handle = handle
        self._size = size
        self._position = size if mode == "ab" else 0
        if self._position:
            handle.seek(0, _SEEK_END)

    def writable(self):
        return True

    def seekable(self):
        return True

    def write(self, data):
        if self._position > self._size:  # past the end: fill the gap, as files do
            self._handle.seek(0, _SEEK_END)
            _write_chunks(self._handle, [bytes(self._position - self._size)])
            self._size = self._position
        if type(data) is not bytes:
            data = bytes(data)
        written = self._handle.write(data)
        self._handle.seek(written, _SEEK_CUR)
        self._position += written
        self._size = max(self._size, self._position)
        return written

    def seek(self, offset, whence=io.SEEK_SET):
        self._position = _new_position(self._position, self._size, offset, whence)
        # PyFs cannot stand past the end; write() fills the gap when it comes to it.
        self._handle.seek(min(self._position, self._size), _SEEK_SET)
        return self._position

    def tell(self):
        return self._position

    def close(self):
        if not self.closed:
            try:
                super().close()  # flushes first
            finally:
                self._handle.close()


def _new_position(position, size, offset, whence):
    if whence == io.SEEK_SET:
        target = offset
    elif whence == io.SEEK_CUR:
        target = position + offset
    elif whence == io.SEEK_END:
        target = size + offset
    else:
        raise ValueError(f"invalid whence ({whence!r}, should be 0, 1 or 2)")
    if target < 0:
        raise OSError(errno.EINVAL, "negative seek position", target)
    return target


class MoxtileFile(io.BufferedReader):
    """A file of a moxtile filesystem open for reading ("rb")."""

    def __init__(self, fs, raw, buffer_size):
        super().__init__(raw, buffer_size)
        self.fs = fs
        self.path = raw.name
        self.size = raw.size


class MoxtileWriteFile(io.BufferedWriter):
    """A file of a moxtile filesystem open for writing ("wb", "ab", "xb")."""

    def __init__(self, fs, raw, buffer_size):
        super().__init__(raw, buffer_size)
        self.fs = fs
        self.path = raw.name


class MoxtileFileSystem(AbstractFileSystem):
    """fsspec filesystem over a ``moxtile.PyFs``: the one given as ``fs``, or
    the process's shared one (see the module's docstring)."""

    protocol = "moxtile"
    root_marker = "/"
    # Instances are thin wrappers: sharing the PyFs is what matters, and a
    # PyFs's rendering is no key to cache by.
    cachable = False
    _strip_tokenize_options = ("fs",)
    _default_pyfs = None

    def __init__(self, fs=None, **storage_options):
        super().__init__(**storage_options)
        if fs is None:
            fs = type(self).default_pyfs()
        elif not isinstance(fs, moxtile.PyFs):
            raise TypeError(f"fs must be a moxtile.PyFs, not {type(fs).__name__}")
        self.pyfs = fs

    @classmethod
    def default_pyfs(cls):
        """The PyFs behind instances made without ``fs`` (made on first use)."""
        with _DEFAULT_LOCK:  # one shared PyFs, whichever thread comes first
            if MoxtileFileSystem._default_pyfs is None:
                MoxtileFileSystem._default_pyfs = moxtile.PyFs()
            return MoxtileFileSystem._default_pyfs

    @classmethod
    def set_default(cls, pyfs):
        """Makes `pyfs` the PyFs behind instances made without ``fs`` from now
        on (``fsspec.filesystem("moxtile")``, bare ``moxtile://`` URLs)."""
        if not isinstance(pyfs, moxtile.PyFs):
            raise TypeError(f"pyfs must be a moxtile.PyFs, not {type(pyfs).__name__}")
        with _DEFAULT_LOCK:
            MoxtileFileSystem._default_pyfs = pyfs

    def __eq__(self, other):
        return isinstance(other, MoxtileFileSystem) and other.pyfs is self.pyfs

    def __hash__(self):
        return id(self.pyfs)

    def __reduce__(self):
        if self.pyfs is not MoxtileFileSystem._default_pyfs:
            raise TypeError("a MoxtileFileSystem over a PyFs of its own cannot be pickled")
        return super().__reduce__()

    @classmethod
    def _strip_protocol(cls, path):
        # Called on every path: the usual form ("/a/b") returns at once.
        if type(path) is str and path[:1] == "/" and path[-1:] != "/" and path[1:2] != "/":
            return path
        if isinstance(path, list):
            return [cls._strip_protocol(p) for p in path]
        if type(path) is not str:
            path = stringify_path(path)
        if path.startswith("moxtile://"):
            path = path[10:]
        elif path.startswith("moxtile::"):
            path = path[9:]
        path = path.strip("/")
        return "/" + path

    # ---- looking -----------------------------------------------------------

    def info(self, path, **kwargs):
        path = self._strip_protocol(path)
        found = self._existing(path)
        if found[0]:
            return {"name": path, "size": 0, "type": "directory"}
        return {"name": path, "size": found[1], "type": "file"}

    def exists(self, path, **kwargs):
        return self.pyfs.stat(self._strip_protocol(path)) is not None

    def isdir(self, path):
        found = self.pyfs.stat(self._strip_protocol(path))
        return found is not None and found[0]

    def isfile(self, path):
        found = self.pyfs.stat(self._strip_protocol(path))
        return found is not None and not found[0]

    def size(self, path):
        return self.info(path)["size"]

    def ls(self, path, detail=True, **kwargs):
        path = self._strip_protocol(path)
        stat = self.pyfs.stat
        found = stat(path)
        if found is None:
            raise _error(errno.ENOENT, path)
        if not found[0]:
            entry = {"name": path, "size": found[1], "type": "file"}
            return [entry] if detail else [path]
        try:
            files, directories = self.pyfs.listdir(path)
        except ValueError as e:
            _raise_from(e, path)
        prefix = "/" if path == "/" else path + "/"
        if not detail:
            return [prefix + name for name in files] + [prefix + name for name in directories]
        out = []
        for name in files:
            full = prefix + name
            found = stat(full)
            if found is not None:  # else removed since the listing
                out.append({"name": full, "size": found[1], "type": "file"})
        for name in directories:
            out.append({"name": prefix + name, "size": 0, "type": "directory"})
        return out

    # ---- directories ---------------------------------------------------------

    def mkdir(self, path, create_parents=True, **kwargs):
        path = self._strip_protocol(path)
        if create_parents:
            if self.pyfs.stat(path) is not None:
                raise _error(errno.EEXIST, path)
            self.makedirs(path, exist_ok=False)
            return
        try:
            self.pyfs.mkdir(path)
        except ValueError as e:
            _raise_from(e, path)

    def makedirs(self, path, exist_ok=False):
        path = self._strip_protocol(path)
        try:
            self.pyfs.mkdir(path)
            return
        except ValueError as e:
            code = _ERRNO_OF_TEXT.get(str(e))
            if code == errno.EEXIST:
                found = self.pyfs.stat(path)
                if exist_ok and found is not None and found[0]:
                    return
            if code != errno.ENOENT:
                _raise_from(e, path)
        # A parent is missing: make the chain from the top.
        self.makedirs(self._parent(path), exist_ok=True)
        try:
            self.pyfs.mkdir(path)
        except ValueError as e:
            found = self.pyfs.stat(path)
            if not (exist_ok and found is not None and found[0]):
                _raise_from(e, path)

    def _existing(self, path):
        """stat() of a path that must exist: FileNotFoundError otherwise."""
        found = self.pyfs.stat(path)
        if found is None:
            raise _error(errno.ENOENT, path)
        return found

    def rmdir(self, path):
        path = self._strip_protocol(path)
        found = self._existing(path)
        if not found[0]:
            raise _error(errno.ENOTDIR, path)
        try:
            self.pyfs.remove(path, False)
        except ValueError as e:
            _raise_from(e, path)

    # ---- removal -------------------------------------------------------------

    def rm_file(self, path):
        path = self._strip_protocol(path)
        found = self._existing(path)
        if found[0]:
            raise _error(errno.EISDIR, path)
        try:
            self.pyfs.remove(path, False)
        except ValueError as e:
            _raise_from(e, path)

    def _rm(self, path):
        self.rm_file(path)

    def rm(self, path, recursive=False, maxdepth=None):
        if isinstance(path, str) and maxdepth is None and not _has_magic(path):
            # One native call for a whole tree.
            path = self._strip_protocol(path)
            found = self._existing(path)
            if found[0] and not recursive:
                raise _error(errno.EISDIR, path)
            try:
                self.pyfs.remove(path, recursive)
            except ValueError as e:
                _raise_from(e, path)
            return
        for p in reversed(self.expand_path(path, recursive=recursive, maxdepth=maxdepth)):
            found = self.pyfs.stat(p)
            if found is None:
                continue  # went with a directory removed before it
            if found[0] and not recursive:
                raise _error(errno.EISDIR, p)
            try:
                self.pyfs.remove(p, recursive and maxdepth is None)
            except ValueError as e:
                _raise_from(e, p)

    # ---- bytes ---------------------------------------------------------------

    def cat_file(self, path, start=None, end=None, **kwargs):
        path = self._strip_protocol(path)
        try:
            if (start is not None and start < 0) or (end is not None and end < 0):
                found = self._existing(path)
                if found[0]:
                    raise _error(errno.EISDIR, path)
                if start is not None and start < 0:
                    start = max(0, found[1] + start)
                if end is not None and end < 0:
                    end = max(0, found[1] + end)
            return self.pyfs.read_bytes(path, start, end)
        except ValueError as e:
            _raise_from(e, path)

    def pipe_file(self, path, value, mode="overwrite", **kwargs):
        path = self._strip_protocol(path)
        handle = self._open_for_writing(path, "xb" if mode == "create" else "wb")[0]
        try:
            if value:
                handle.write(value if type(value) is bytes else bytes(value))
        finally:
            handle.close()

    def _open_for_writing(self, path, mode):
        """The write handle of `path` for "wb" (truncated), "ab" or "xb", with
        missing parents made; and the file's size then."""
        pyfs = self.pyfs
        found = pyfs.stat(path)
        if found is not None:
            if found[0]:
                raise _error(errno.EISDIR, path)
            if mode == "xb":
                raise _error(errno.EEXIST, path)
            if mode == "wb":
                try:
                    pyfs.remove(path, False)  # a PyFs file only grows: start anew
                except ValueError as e:
                    _raise_from(e, path)
                found = None
        try:
            handle = pyfs.open(path, "w")
        except ValueError as e:
            if _ERRNO_OF_TEXT.get(str(e)) != errno.ENOENT:
                _raise_from(e, path)
            self.makedirs(self._parent(path), exist_ok=True)
            try:
                handle = pyfs.open(path, "w")
            except ValueError as again:
                _raise_from(again, path)
        return handle, (0 if found is None else found[1])

    def _open(self, path, mode="rb", block_size=None, autocommit=True, cache_options=None,
              **kwargs):
        if not autocommit:
            raise NotImplementedError("moxtile filesystems have no transactions")
        path = self._strip_protocol(path)
        buffer_size = block_size if isinstance(block_size, int) and block_size > 0 else _BUFFER
        if mode == "rb":
            found = self._existing(path)
            if found[0]:
                raise _error(errno.EISDIR, path)
            try:
                # Held for the file's lock only: reads go through read_bytes.
                # (PyFs.open creates in every mode, so a file removed since the
                # stat above would come back empty.)
                handle = self.pyfs.open(path, "r")
            except ValueError as e:
                _raise_from(e, path)
            raw = _Reader(self.pyfs, path, found[1], handle)
            return MoxtileFile(self, raw, buffer_size)
        if mode in ("wb", "ab", "xb"):
            handle, size = self._open_for_writing(path, mode)
            raw = _Writer(path, mode, handle, size)
            return MoxtileWriteFile(self, raw, buffer_size)
        raise ValueError(f"unsupported mode {mode!r} (rb, wb, ab and xb are)")

    def touch(self, path, truncate=True, **kwargs):
        path = self._strip_protocol(path)
        if truncate or self.pyfs.stat(path) is None:
            self.pipe_file(path, b"")

    def cp_file(self, path1, path2, **kwargs):
        path1 = self._strip_protocol(path1)
        path2 = self._strip_protocol(path2)
        found = self.pyfs.stat(path1)
        if found is None:
            raise _error(errno.ENOENT, path1)
        if found[0]:
            self.makedirs(path2, exist_ok=True)
            return
        self.pipe_file(path2, self.cat_file(path1))

    # ---- local disk ----------------------------------------------------------

    def put_file(self, lpath, rpath, callback=DEFAULT_CALLBACK, mode="overwrite", **kwargs):
        rpath = self._strip_protocol(rpath)
        if os.path.isdir(lpath):
            self.makedirs(rpath, exist_ok=True)
            return
        fd = os.open(lpath, os.O_RDONLY | os.O_CLOEXEC)
        try:
            callback.set_size(os.fstat(fd).st_size)
            handle = self._open_for_writing(rpath, "xb" if mode == "create" else "wb")[0]
            try:
                _write_chunks(handle, _local_chunks(fd))
            finally:
                handle.close()
        finally:
            os.close(fd)

    def get_file(self, rpath, lpath=None, callback=DEFAULT_CALLBACK, outfile=None, **kwargs):
        rpath = self._strip_protocol(rpath)
        found = self.pyfs.stat(rpath)
        if found is None:
            raise _error(errno.ENOENT, rpath)
        if found[0]:
            if outfile is None and not hasattr(lpath, "write"):
                os.makedirs(lpath, exist_ok=True)
            return
        callback.set_size(found[1])
        target = outfile if outfile is not None else lpath
        if hasattr(target, "write"):
            for chunk in self._chunks_of(rpath, found[1]):
                target.write(chunk)
            return
        parent = os.path.dirname(lpath)
        if parent:
            os.makedirs(parent, exist_ok=True)
        self._copy_out(rpath, found[1], lpath)

    def put(self, lpath, rpath, recursive=False, callback=DEFAULT_CALLBACK, maxdepth=None,
            **kwargs):
        if (recursive and maxdepth is None and not kwargs and callback is DEFAULT_CALLBACK
                and isinstance(lpath, str) and isinstance(rpath, str)
                and not _has_magic(lpath) and os.path.isdir(lpath)):
            # Where fsspec's put would land, from one walk of the local tree.
            target = self._strip_protocol(rpath)
            if not lpath.endswith(os.sep) and (rpath.endswith("/") or self.isdir(target)):
                target = _join(target, os.path.basename(os.path.abspath(lpath)))
            self.put_tree(lpath, target)
            return
        super().put(lpath, rpath, recursive=recursive, callback=callback, maxdepth=maxdepth,
                    **kwargs)

    def get(self, rpath, lpath, recursive=False, callback=DEFAULT_CALLBACK, maxdepth=None,
            **kwargs):
        if (recursive and maxdepth is None and not kwargs and callback is DEFAULT_CALLBACK
                and isinstance(rpath, str) and isinstance(lpath, str)
                and not _has_magic(rpath) and self.isdir(rpath)):
            source = self._strip_protocol(rpath)
            target = lpath
            if not rpath.endswith("/") and (lpath.endswith(os.sep) or os.path.isdir(lpath)):
                target = os.path.join(lpath, source.rsplit("/", 1)[-1])
            self.get_tree(source, target)
            return
        super().get(rpath, lpath, recursive=recursive, callback=callback, maxdepth=maxdepth,
                    **kwargs)

    def put_tree(self, lpath, rpath):
        """Copies local directory `lpath` to `rpath` (made, with its parents,
        when missing; files there are overwritten). Regular files and
        directories, empty ones too; local symbolic links are followed, a
        loop of them is ``OSError(ELOOP)``; other kinds are left out."""
        rpath = self._strip_protocol(rpath)
        self.makedirs(rpath, exist_ok=True)
        top = os.stat(lpath)
        self._put_directory(lpath, rpath, {(top.st_dev, top.st_ino)})

    def _put_directory(self, ldir, rdir, ancestors):
        pyfs = self.pyfs
        with os.scandir(ldir) as entries:
            entries = list(entries)
        for entry in entries:
            target = _join(rdir, entry.name)
            if entry.is_dir():
                identity = entry.stat()
                key = (identity.st_dev, identity.st_ino)
                if key in ancestors:
                    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), entry.path)
                try:
                    pyfs.mkdir(target)
                except ValueError as e:
                    found = pyfs.stat(target)
                    if found is None or not found[0]:
                        _raise_from(e, target)
                ancestors.add(key)
                self._put_directory(entry.path, target, ancestors)
                ancestors.discard(key)
            elif entry.is_file():
                fd = os.open(entry.path, os.O_RDONLY | os.O_CLOEXEC)
                try:
                    handle = self._open_for_writing(target, "wb")[0]
                    try:
                        _write_chunks(handle, _local_chunks(fd))
                    finally:
                        handle.close()
                finally:
                    os.close(fd)

    def get_tree(self, rpath, lpath):
        """Copies directory `rpath` to local `lpath` (made, with its parents,
        when missing; files there are overwritten), empty directories too."""
        rpath = self._strip_protocol(rpath)
        if not self.isdir(rpath):
            raise _error(errno.ENOTDIR if self.exists(rpath) else errno.ENOENT, rpath)
        os.makedirs(lpath, exist_ok=True)
        self._get_directory(rpath, lpath)

    def _get_directory(self, rdir, ldir):
        try:
            files, directories = self.pyfs.listdir(rdir)
        except ValueError as e:
            _raise_from(e, rdir)
        for name in files:
            source = _join(rdir, name)
            found = self.pyfs.stat(source)
            if found is not None:  # else removed since the listing
                self._copy_out(source, found[1], os.path.join(ldir, name))
        for name in directories:
            target = os.path.join(ldir, name)
            os.makedirs(target, exist_ok=True)
            self._get_directory(_join(rdir, name), target)

    def _chunks_of(self, path, size):
        """The bytes of file `path`: in one piece when small; larger files in
        pieces under a read handle, so that no writer changes them between
        pieces."""
        read = self.pyfs.read_bytes
        try:
            if size <= _CHUNK:
                yield read(path)
                return
            handle = self.pyfs.open(path, "r")
            try:
                start = 0
                while True:
                    data = read(path, start, start + _CHUNK)
                    if not data:
                        return
                    yield data
                    start += len(data)
            finally:
                handle.close()
        except ValueError as e:
            _raise_from(e, path)

    def _copy_out(self, rpath, size, lpath):
        fd = os.open(lpath, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
        try:
            for chunk in self._chunks_of(rpath, size):
                view = memoryview(chunk)
                while view:
                    view = view[os.write(fd, view):]
        finally:
            os.close(fd)
