# Types of the compiled module (python/src/core.cpp).
from typing import Any, Callable, Sequence

version: str


def fields() -> list[tuple[str, int, str, str]]: ...


def run(settings: Sequence[tuple[str, Any]], callback: Callable[[str, str], Any] | None = ...,
        file: str = ..., values: Sequence[float] | None = ...,
        leading: Sequence[tuple[str, Any]] | None = ...,
        point_lines: bool = ..., stop: Flag | None = ...) -> dict[str, Any]: ...


class Flag:
    def set(self) -> None: ...
    def clear(self) -> None: ...
    def is_set(self) -> bool: ...


class Stopped(Exception): ...


def layout(settings: Sequence[tuple[str, Any]]) -> tuple[str, tuple[tuple[str, str, bool], ...]]: ...


def columns(settings: Sequence[tuple[str, str]]) -> tuple[str, list[tuple[str, str, bool]],
                                                           dict[str, Any]]: ...


RUN_STATUSES: tuple[str, ...]


def parameters(settings: Sequence[tuple[str, Any]]) -> dict[str, Any]: ...


def rows_text(rows: Any, columns: Sequence[Sequence[Any]], leading: Sequence[tuple[str, Any]] = ...,
              format: str = ...) -> str: ...


def scan_table_as(tsv: str, format: str, scanned: Sequence[str]) -> str: ...


def runs_header(fields: Sequence[str], extra: Sequence[str] = ...) -> str: ...


def runs_line(run: int, key: str, fields: Sequence[Any], status: str, records: int,
              seconds: float, worker: str, message: str, extra: Sequence[Any] = ...) -> str: ...


def lattice_snapshot(settings: Sequence[tuple[str, Any]], T: float, L: str, seed: str,
                     sweeps: int) -> Any: ...


def branches(settings: Sequence[tuple[str, Any]], T: Any,
             threads: int = ...) -> dict[str, Any]: ...


def lattice_curve(settings: Sequence[tuple[str, Any]], T: Sequence[float],
                  at: Sequence[float], threads: int = ...) -> dict[str, Any]: ...
