"""Every file the package writes goes through ``write_output``.

A regular file (or a new one) is written to a temporary file beside it,
synced and renamed into place, so that a reader sees the old file or the
new one and never a part; the temporary's name holds the writer's pid, and
one left by a writer that was killed is removed by the next write to the
same path.  A symbolic link keeps its place and its target is replaced so.
A device, FIFO or socket cannot be replaced: it is written directly, and a
failed write is an error that names the path and the reason."""

from __future__ import annotations

import os
import stat
from typing import Callable


def _fsync_dir(directory: str) -> None:
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    except OSError:
        pass  # some file systems cannot sync a directory
    finally:
        os.close(fd)


def path_error(path: str, e: OSError) -> OSError:
    """The OSError of a write to ``path``: its errno, the reason in words
    (``No space left on device``) and the path the user gave."""
    err = OSError(e.errno, e.strerror or str(e), path)
    if e.errno is None:
        err = OSError(str(e))
        err.strerror, err.filename = str(e), path
    return err


def write_output(path: str | os.PathLike, data: bytes | str | Callable, *,
                 encoding: str = "utf-8") -> str:
    """Writes ``data`` (bytes, text, or a callable given the path of the file
    to fill, as a figure's savefig) to ``path`` as described above.  Returns
    the path written.  An OSError names the path and the reason."""
    path = os.fspath(path)
    target = os.path.realpath(path) if os.path.islink(path) else path
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as e:
        raise path_error(path, e) from None
    if isinstance(data, str):
        data = data.encode(encoding)
    if mode is not None and not stat.S_ISREG(mode):
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(21, "Is a directory", path)
        return _write_direct(path, target, data)
    directory = os.path.dirname(os.path.abspath(target))
    base = os.path.basename(target)
    _remove_dead_temporaries(directory, base)
    try:
        fd, tmp = _temporary(directory, ".%s.tmp-%d-" % (base, os.getpid()))
    except OSError as e:
        raise path_error(path, e) from None
    try:
        try:
            if callable(data):
                os.close(fd)
                fd = -1
                data(tmp)
                with open(tmp, "rb+") as f:
                    os.fsync(f.fileno())
            else:
                with os.fdopen(fd, "wb") as f:
                    fd = -1
                    f.write(data)
                    f.flush()
                    os.fsync(f.fileno())
            if mode is not None:
                os.chmod(tmp, stat.S_IMODE(mode))
            else:
                umask = os.umask(0)
                os.umask(umask)
                os.chmod(tmp, 0o666 & ~umask)
            os.replace(tmp, target)
        except OSError as e:
            raise path_error(path, e) from None
    except BaseException:
        if fd >= 0:
            os.close(fd)
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    _fsync_dir(directory)
    return path


def _temporary(directory, prefix):
    """(fd, path) of a new file ``prefix`` + 12 random hex digits in
    ``directory``, created here and nowhere else (as tempfile.mkstemp does,
    without the import of tempfile at every start of the command line)."""
    for _ in range(100):
        name = os.path.join(directory, prefix + os.urandom(6).hex())
        try:
            return os.open(name, os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0),
                           0o600), name
        except FileExistsError:
            continue
    raise FileExistsError(17, "no free temporary name", os.path.join(directory, prefix))


def _remove_dead_temporaries(directory, base):
    """Removes the temporaries of ``base`` left by writers that were killed
    (their pid, part of the name, no longer runs)."""
    prefix = ".%s.tmp-" % base
    try:
        names = [n for n in os.listdir(directory) if n.startswith(prefix)]
    except OSError:
        return
    for name in names:
        pid = name[len(prefix):].partition("-")[0]
        if not pid.isdigit():
            continue
        try:
            os.kill(int(pid), 0)
            continue
        except ProcessLookupError:
            pass
        except OSError:
            continue
        try:
            os.unlink(os.path.join(directory, name))
        except OSError:
            pass


def _write_direct(path, target, data):
    if callable(data):
        try:
            data(target)
        except OSError as e:
            raise path_error(path, e) from None
        return path
    try:
        # O_NONBLOCK: a FIFO without a reader is an error, not a hang.
        fd = os.open(target, os.O_WRONLY | os.O_NONBLOCK)
    except OSError as e:
        raise path_error(path, e) from None
    try:
        os.set_blocking(fd, True)
        view = memoryview(data)
        while view:
            n = os.write(fd, view)
            view = view[n:]
    except OSError as e:
        raise path_error(path, e) from None
    finally:
        os.close(fd)
    return path


#: The metadata of a CSV file is in FILE.csv.meta.json beside it.
META_SUFFIX = ".meta.json"


def meta_path(path: str | os.PathLike) -> str:
    return os.fspath(path) + META_SUFFIX


def write_table(path: str | os.PathLike, text: str, meta: dict) -> str:
    """Writes a CSV table and its metadata beside it (``meta_path``): the
    object the JSON Lines header holds ("chainmelt", "kind", "parameters",
    "columns" with "name" and "unit" ...), "bytes" and "sha256", the length
    and checksum of the table's bytes, by which a reader knows the metadata
    belongs to them.
    Both are written as ``write_output`` writes (the table first: a writer
    stopped in between leaves metadata whose checksum does not match).  A
    table written to a device or FIFO gets no metadata file."""
    data = text.encode("utf-8")
    write_output(path, data)
    target = os.path.realpath(os.fspath(path))
    if os.path.isfile(target):
        import hashlib
        import json
        meta = dict(meta, bytes=len(data), sha256=hashlib.sha256(data).hexdigest())
        write_output(meta_path(path), json.dumps(meta, indent=1) + "\n")
    return os.fspath(path)
