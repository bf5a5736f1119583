"""The progress of a run as a person sees it."""

import sys
import time
from typing import Any


class ProgressMeter:
    """The progress of a run shown to a person.

    A tqdm bar on a terminal, else at most one line every ``interval`` seconds
    (and a last one when the run took that long), on ``stream``.  Called with
    each progress line of the engine (one per sweep point); ``progress=True``
    of a task makes one.

    Parameters
    ----------
    total : int, optional
        The number of points, when known.
    stream : file-like, optional
        Where to write (default: standard error).
    interval : float, default 5.0
        Seconds between two lines when ``stream`` is not a terminal.
    what : str, default "points"
        What is counted, for the lines.
    """

    def __init__(self, total: int | None = None, stream: Any = None, interval: float = 5.0,
                 what: str = "points"):
        self.stream = sys.stderr if stream is None else stream
        self.total, self.done, self.what = total, 0, what
        self.interval = interval
        self.start = self.last = time.monotonic()
        self.bar = None
        isatty = getattr(self.stream, "isatty", None)
        if isatty is not None and isatty():
            try:
                from tqdm import tqdm
                self.bar = tqdm(total=total, unit=" " + what.rstrip("s"), file=self.stream,
                                dynamic_ncols=True, leave=False)
            except ImportError:
                pass

    def __call__(self, line: str) -> None:
        if line.startswith("Monte Carlo:"):
            # The sweeps of a simulation, before the records of its points.
            if self.bar is not None:
                self.bar.set_postfix_str(line[len("Monte Carlo: "):])
            elif time.monotonic() - self.last >= self.interval:
                self.last = time.monotonic()
                print("chainmelt: %s, %.1f s" % (line, self.last - self.start),
                      file=self.stream, flush=True)
            return
        self.done += 1
        if self.bar is not None:
            self.bar.update(1)
            return
        now = time.monotonic()
        if now - self.last >= self.interval:
            self.last = now
            print(self.line(line), file=self.stream, flush=True)

    def line(self, last: str = "") -> str:
        """The progress line: points done (of all), the last point and the time taken."""
        of = "/%d" % self.total if self.total else ""
        at = " (%s)" % last.split(" Task:")[0] if last else ""
        seconds = time.monotonic() - self.start
        return "chainmelt: %d%s %s done%s, %.1f s" % (self.done, of, self.what, at, seconds)

    def close(self) -> None:
        """Ends the display: closes the bar, or writes a last line after a long run."""
        if self.bar is not None:
            self.bar.close()
        elif time.monotonic() - self.start >= self.interval:
            # A run long enough to have reported says that it ended.
            print(self.line(), file=self.stream, flush=True)


def _meter(progress, total):
    """(callback, meter): ``progress=True`` is a ProgressMeter."""
    if progress is True:
        meter = ProgressMeter(total)
        return meter, meter
    if progress is not None and progress is not False and not callable(progress):
        raise TypeError("progress: expected True, a callable or None, got %r" % (progress,))
    return (progress or None), None
