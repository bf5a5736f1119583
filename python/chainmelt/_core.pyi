# Types of the compiled module (python/src/core.cpp).
from typing import Any, Callable, Sequence

version: str


def fields() -> list[tuple[str, int, str, str]]: ...


def check(settings: Sequence[tuple[str, str]]) -> Any: ...


def run(settings: Sequence[tuple[str, Any]], callback: Callable[[str, str], Any] | None = ...,
        file: str = ..., values: Sequence[float] | None = ...) -> dict[str, Any]: ...


def columns(settings: Sequence[tuple[str, str]]) -> tuple[str, list[tuple[str, str, bool]],
                                                           dict[str, Any]]: ...
