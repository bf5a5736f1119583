"""The lock of a results directory: one scan writes it at a time."""

from __future__ import annotations

import datetime
import fcntl
import os
import time

from .plan import ScanError

LOCK = "lock"


def host_name() -> str:
    """This machine's name, as ``socket.gethostname()`` gives it (the
    kernel's node name), without importing socket at every start."""
    try:
        return os.uname().nodename
    except AttributeError:  # a system without uname
        import socket
        return socket.gethostname()


class Lock:
    """DIRECTORY/lock: made exclusively and held with flock for the life of
    the scan.  One left by a process that is gone (same host, pid not
    running) is taken over; the flock makes the takeover atomic: of several
    processes taking over one stale lock, one gets it and the others find
    the lock held by the winner."""

    def __init__(self, directory: str, tries: int = 5):
        self.path = os.path.join(directory, LOCK)
        self.fd = None
        host = host_name()
        text = "pid=%d host=%s started=%s\n" % (
            os.getpid(), host,
            datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"))
        for _ in range(tries):
            try:
                fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
            except FileExistsError:
                if self._take_over(directory, host, text):
                    return
                continue
            except OSError as e:
                raise ScanError("%s: cannot make the lock: %s" % (self.path, e.strerror or e)) \
                    from None
            fcntl.flock(fd, fcntl.LOCK_EX)
            self._hold(fd, text)
            return
        raise ScanError("%s: could not take the lock %s" % (directory, self.path))

    def _hold(self, fd, text):
        os.ftruncate(fd, 0)
        os.pwrite(fd, text.encode("utf-8"), 0)
        os.fsync(fd)
        self.fd = fd

    def _take_over(self, directory, host, text):
        """True when the stale lock at self.path is now ours; False to try
        again (it went away); ScanError when it is held."""
        fd: int | None
        try:
            fd = os.open(self.path, os.O_RDWR)
        except FileNotFoundError:
            return False
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                # Held: by a live scan, or by one taking the stale lock over
                # this moment, whose own name is about to be written.
                holder = self._holder(fd)
                for _ in range(200):
                    if not self._stale(holder, host):
                        break
                    time.sleep(0.005)
                    holder = self._holder(fd)
                raise ScanError(self._in_use(directory, holder)) from None
            # Still the file at the path (not one removed by its holder)?
            try:
                if os.stat(self.path).st_ino != os.fstat(fd).st_ino:
                    return False
            except FileNotFoundError:
                return False
            holder = self._holder(fd)
            if not self._stale(holder, host):
                raise ScanError(self._in_use(directory, holder))
            self._hold(fd, text)
            fd = None
            return True
        finally:
            if fd is not None:
                os.close(fd)

    def _in_use(self, directory, holder=None):
        if holder is None:
            try:
                with open(self.path, "rb") as f:
                    holder = self._parse(f.read())
            except FileNotFoundError:
                holder = {}
        return ("%s is in use by another scan (%s; lock file %s); wait for it to end, "
                "or remove the lock if that scan is gone"
                % (directory, self._describe(holder), self.path))

    @staticmethod
    def _parse(data):
        text = data.decode("utf-8", errors="replace")
        return dict(p.partition("=")[::2] for p in text.split())

    def _holder(self, fd):
        return self._parse(os.pread(fd, 4096, 0))

    @staticmethod
    def _describe(holder):
        if not holder:
            return "lock file being written"
        return "pid %s on host %s since %s" % (holder.get("pid", "?"), holder.get("host", "?"),
                                               holder.get("started", "?"))

    @staticmethod
    def _stale(holder, host):
        if holder.get("host") != host:
            return False
        try:
            pid = int(holder.get("pid", ""))
        except ValueError:
            return False
        if pid == os.getpid():
            return False
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        except PermissionError:
            return False
        return False

    @property
    def held(self) -> bool:
        """Whether this process holds the lock."""
        return self.fd is not None

    def release(self) -> None:
        """Removes the lock file and releases the lock, if held."""
        if self.fd is not None:
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass
            os.close(self.fd)
            self.fd = None
