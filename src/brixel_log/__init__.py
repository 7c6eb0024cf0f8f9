"""brixel_log: the logger of threads_main, a thin layer over the standard logging module."""

from __future__ import annotations

import logging
import os
import sys
import threading
import weakref
from typing import Any

__all__ = ["BrixelLog"]

FORMAT = "%(asctime)s %(name)s %(levelname)s %(message)s"

_LEVELS = {"info": logging.INFO, "debug": logging.DEBUG, "warning": logging.WARNING}

# Handler set-up is check-then-add; managers built on several threads at once must not both add.
_setup_lock = threading.Lock()


class _StderrHandler(logging.StreamHandler[Any]):
    """Writes to whatever sys.stderr is at emit time, so redirections made later are honoured.

    It steps aside while the application routes the logger's lines itself, whenever it began to:
    through handlers of its own on the logger, or on a logger above it that the lines reach (the
    root logger once logging.basicConfig has run). The lines are then printed once, by those."""

    def __init__(self, logger: logging.Logger) -> None:
        logging.Handler.__init__(self)
        self._logger = logger

    @property
    def stream(self) -> Any:
        return sys.stderr

    def _routed(self) -> bool:
        logger: logging.Logger | None = self._logger
        if any(handler is not self for handler in self._logger.handlers):
            return True
        while logger is not None and logger.propagate:
            logger = logger.parent
            if logger is not None and logger.handlers:
                return True
        return False

    def handle(self, record: logging.LogRecord) -> bool:
        if self._routed():
            return False
        return super().handle(record)


class _File:
    """The file of one BrixelLog. It writes that BrixelLog's messages alone: as a handler of the
    titled logger, which every BrixelLog of the title shares, it would also take the lines of every
    other one, those made after its own manager was gone included, and stay open for the life of
    the process. Its lines are the logger's, from the logger's own level up (INFO when it has none);
    the file is closed once its BrixelLog is gone."""

    def __init__(self, logger: logging.Logger, path: str) -> None:
        self._logger = logger
        self._handler = _formatted(logging.FileHandler(path, encoding="utf-8"))
        weakref.finalize(self, self._handler.close)

    def write(self, level: int, msg: Any) -> None:
        # The logger's own level, INFO when it has none (a caller's logger is not changed for the
        # file), and whatever logging.disable() turned off.
        if level >= (self._logger.level or logging.INFO) and level > self._logger.manager.disable:
            record = self._logger.makeRecord(self._logger.name, level, "(unknown file)", 0, "%s", (msg,), None)
            self._handler.handle(record)


def _formatted(handler: logging.Handler) -> logging.Handler:
    handler.setFormatter(logging.Formatter(FORMAT))
    return handler


def _is_sink(control: Any) -> bool:
    return all(callable(getattr(control, name, None)) for name in ("info", "debug", "warning"))


class BrixelLog:
    """Sends one-argument messages to a logger.

    ``control`` is a ``logging.Logger`` (or any object with ``info``, ``debug`` and ``warning``
    methods) that receives the messages; without one, the logger named ``title`` is used and, unless
    the user gave that logger handlers of its own, it gets one stderr handler, shared by every
    BrixelLog of that title, and level INFO unless it has a level. That handler prints only while no
    handler of the application takes the lines (on that logger, or on one above it that they reach,
    such as the root logger once ``logging.basicConfig`` has run). ``file`` is a path whose UTF-8
    file receives this BrixelLog's messages as well, from the logger's own level up, INFO when it
    has none (a false value: no file); a ``control`` logger's level is left as it is. The file is
    closed once the BrixelLog is gone. A ``control`` without those methods, or a ``file`` that is no
    path, raises TypeError.
    """

    def __init__(self, title: str, file: str | os.PathLike[str] | bool | None = False, control: Any = False) -> None:
        self.title: str = title
        self.logger: logging.Logger
        self._sinks: tuple[Any, ...]
        if isinstance(control, logging.Logger):
            self.logger = control
            self._sinks = (control,)
        elif control or _is_sink(control):  # a sink may be false (a list subclass, while empty)
            if not _is_sink(control):
                raise TypeError(
                    "control must be a logging.Logger or have info, debug and warning methods, "
                    f"not {type(control).__name__}"
                )
            self.logger = logging.getLogger(title)
            self._sinks = (control,)
        else:
            self.logger = logging.getLogger(title)
            self._sinks = (self.logger,)
            self._add_console()
        self._file: _File | None = None
        if file:
            if isinstance(file, bool) or not isinstance(file, (str, os.PathLike)):
                raise TypeError(f"file must be a path, not {type(file).__name__}")
            self._add_file(file, control)

    def _add_console(self) -> None:
        with _setup_lock:
            # INFO unless the application chose a level, whichever handlers write the lines.
            if self.logger.level == logging.NOTSET:
                self.logger.setLevel(logging.INFO)
            # Handlers the user put on this logger take precedence over ours, and the stderr handler
            # of an earlier BrixelLog with the same title is shared.
            if not self.logger.handlers:
                self.logger.addHandler(_formatted(_StderrHandler(self.logger)))

    def _add_file(self, file: str | os.PathLike[str], control: Any) -> None:
        self._file = _File(self.logger, os.path.abspath(os.fspath(file)))
        if self.logger is control:
            return  # the caller's logger keeps its level
        with _setup_lock:
            if self.logger.level == logging.NOTSET:
                self.logger.setLevel(logging.INFO)

    def _send(self, method: str, msg: Any) -> None:
        for sink in self._sinks:
            # Loggers get the message as a "%s" argument so that a "%" in a text is never expanded;
            # other objects get the message alone.
            if isinstance(sink, (logging.Logger, logging.LoggerAdapter)):
                getattr(sink, method)("%s", msg)
            else:
                getattr(sink, method)(msg)
        if self._file is not None:
            self._file.write(_LEVELS[method], msg)

    def info(self, msg: Any) -> None:
        """Logs a text or a mapping at INFO level.

        ``msg`` goes to every sink as it is (a logger gets it as the argument of "%s", so a "%" in
        it is never expanded). Returns None.
        """
        self._send("info", msg)

    def debug(self, msg: Any) -> None:
        """Logs a text or a mapping at DEBUG level; ``msg`` is taken as by :meth:`info`."""
        self._send("debug", msg)

    def warning(self, msg: Any) -> None:
        """Logs a text or a mapping at WARNING level; ``msg`` is taken as by :meth:`info`."""
        self._send("warning", msg)

    def __repr__(self) -> str:
        return f"BrixelLog(title={self.title!r}, logger={self.logger!r})"
