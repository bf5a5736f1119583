"""The scan's own workers when no scheduler is given: threads of this
process behind the part of a Dask client's interface the scan uses."""

from __future__ import annotations

import concurrent.futures
import time
from typing import Any, Callable


class _ThreadFuture:
    """A chunk submitted to a ThreadClient, with the part of a Dask future's
    interface the scan uses."""

    def __init__(self, key: str, future: concurrent.futures.Future):
        self.key, self.future = key, future

    @property
    def status(self) -> str:
        f = self.future
        if f.cancelled():
            return "cancelled"
        if not f.done():
            return "pending"
        return "error" if f.exception() is not None else "finished"

    def done(self) -> bool:
        return self.future.done()

    def result(self) -> Any:
        return self.future.result()

    def exception(self) -> BaseException | None:
        return self.future.exception()

    def release(self) -> None:
        pass


class _Waited:
    def __init__(self, done: set):
        self.done = done


class ThreadClient:
    """The scan's own workers when no scheduler is given: ``threads`` daemon
    threads of this process, each running one chunk at a time (the engine
    releases the interpreter lock while it runs).  Nothing is started but
    the threads; the store, its durability and its resume are the same as on
    a cluster.  Closing ends the runs in progress at their next sweep point
    (after Ctrl-C: none may still be inside the engine when the interpreter
    ends) and waits for the threads."""

    cluster = None

    def __init__(self, threads: int):
        import queue
        import threading
        self.threads = max(1, int(threads))
        self.status = "running"
        self._queue: Any = queue.SimpleQueue()
        self._count = 0
        from .. import _core
        self._stop = _core.Flag()
        self._pool = [threading.Thread(target=self._serve, name="chainmelt-scan-%d" % (k + 1),
                                       daemon=True) for k in range(self.threads)]
        for t in self._pool:
            t.start()

    def _serve(self) -> None:
        from .worker import thread_state
        thread_state.stop = self._stop
        while True:
            item = self._queue.get()
            if item is None:
                return
            future, fn, args = item
            if not future.set_running_or_notify_cancel():
                continue
            try:
                future.set_result(fn(*args))
            except BaseException as e:  # handed to the scan as a failed chunk
                future.set_exception(e)

    def submit(self, fn: Callable, *args: Any, pure: bool = False) -> _ThreadFuture:
        if self.status != "running":
            raise OSError("the scan's threads are stopped")
        self._count += 1
        future: concurrent.futures.Future = concurrent.futures.Future()
        self._queue.put((future, fn, args))
        return _ThreadFuture("chunk-%d" % self._count, future)

    def wait(self, futures: list, timeout: float, return_when: str) -> _Waited:
        by = {f.future: f for f in futures}
        done, _ = concurrent.futures.wait(list(by), timeout=timeout, return_when=return_when)
        if not done and timeout is not None:
            raise TimeoutError
        return _Waited({by[f] for f in done})

    def scheduler_info(self) -> dict:
        return {"workers": {"threads": {"nthreads": self.threads}}, "services": {}}

    def as_current(self) -> Any:
        import contextlib
        return contextlib.nullcontext()

    def cancel(self, futures: list) -> None:
        for f in futures:
            f.future.cancel()

    def wait_for_workers(self, n: int, timeout: float | None = None) -> None:
        pass

    def close(self, timeout: float = 60.0) -> None:
        if self.status == "running":
            self.status = "closed"
            self._stop.set()
            for _ in range(self.threads):
                self._queue.put(None)
        deadline = time.monotonic() + timeout
        for t in self._pool:
            t.join(max(0.0, deadline - time.monotonic()))
