"""Read and change the shared settings file QorRunningSet.Inf safely while
other processes do the same.

    import qorvane

    with qorvane.open_key("/etc/myapp", "PrinterSet", wait=2.0) as key:
        port = key.get("Port", "LPT1")
        key["Copies"] = key.get_int("Copies", 1) + 1
        del key["Banner"]
    # committed here; an exception in the block drops the changes instead

    for items in qorvane.watch("/etc/myapp", "PrinterSet", timeout=10):
        print(items)        # the current items first, then after each change

Names and values are str. The file's bytes are decoded as UTF-8 with the
"surrogateescape" error handler, so a byte that is not UTF-8 (a GBK value,
say) comes back as a lone surrogate and is written back unchanged; bytes
are accepted wherever a name or value is. Every failure raises a subclass
of qorvane.Error carrying the library's code.
"""

from ._qorvane import (  # noqa: F401
    Busy,
    Conflict,
    CounterUnusable,
    BadName,
    BadValue,
    Error,
    FileError,
    Key,
    NotOpen,
    WatchEnded,
    Watcher,
    open_key,
)

__all__ = [
    "BadName", "BadValue", "Busy", "Conflict", "CounterUnusable", "Error", "FileError", "Key",
    "NotOpen", "WatchEnded", "Watcher", "open_key", "watch",
]


def watch(path, key, timeout=None):
    """Yields the key's items, a list of (name, value) pairs in file order:
    first as they are now, then each time they change. Ends when timeout
    seconds pass with no change (None: never) or the watch ends (the
    directory is removed or replaced). Starting raises BadName or
    FileError (no such directory)."""
    watcher = Watcher(path, key)
    yield watcher.items()
    while True:
        try:
            if not watcher.wait(timeout):
                return
        except WatchEnded:
            return
        yield watcher.items()
