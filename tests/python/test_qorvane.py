# The Python module over the library: mapping access, exact bytes, the
# exception classes, the context manager, two writing processes and watch.
import errno
import fcntl
import os
import struct
import threading
import time

import pytest

import qorvane


def test_mapping_access_in_file_order(settings):
    _, path = settings
    with qorvane.open_key(path.parent, "PrinterSet") as key:
        assert key["Port"] == "LPT1" and key.get("Nothing", "x") == "x"
        assert (key.get_int("Copies"), key.get_bool("Duplex"), key.get_int("Port", 7)) == (2, True, 7)
        assert list(key) == ["Port", "Copies", "Duplex", "Copies"] and len(key) == 4
        assert dict(key) == {"Port": "LPT1", "Copies": "2", "Duplex": "on"}
        key["Copies"] = 3
        key["Scale"] = 0.5
        key["Banner"] = True
        del key["Duplex"]
        with pytest.raises(KeyError):
            del key["Duplex"]
        with pytest.raises(KeyError):
            key["Duplex"]
        assert key.items() == [("Port", "LPT1"), ("Copies", "3"), ("Copies", "9"), ("Scale", "0.5"), ("Banner", "1")]


def test_bytes_that_are_not_utf8_round_trip_unchanged(tmp_path):
    gbk = "打印机".encode("gbk")
    original = b"[PrinterSet]\r\nName" + gbk + b" = " + gbk + b" \xff;\r\n"
    (tmp_path / "QorRunningSet.Inf").write_bytes(original)
    with qorvane.open_key(str(tmp_path), "PrinterSet") as key:
        ((name, value),) = key.items()
        assert value.encode("utf-8", "surrogateescape") == gbk + b" \xff"
        key[name] = value                  # str with surrogates, written back
        key[b"Raw" + gbk] = b"\xfe\x80"    # bytes taken as they are
    data = (tmp_path / "QorRunningSet.Inf").read_bytes()
    assert data == original + b"Raw" + gbk + b" = \xfe\x80;\r\n"


def hold_write_lock(path):
    fd = os.open(path, os.O_RDWR)
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 0, 0, 0))
    return fd


def test_each_failure_raises_its_class_with_the_code(settings):
    directory, path = settings
    cases = [
        (qorvane.BadName, 3, lambda: qorvane.open_key(directory, "NoSuchKey")),
        (qorvane.FileError, 2, lambda: qorvane.open_key(os.path.join(directory, "none"), "PrinterSet")),
        (qorvane.BadValue, 4, lambda: qorvane.open_key(directory, "PrinterSet").__setitem__("Port", "a\nb")),
    ]
    for cls, code, call in cases:
        with pytest.raises(cls) as raised:
            call()
        assert isinstance(raised.value, qorvane.Error) and raised.value.code == code
    assert raised.type is qorvane.BadValue

    with pytest.raises(qorvane.FileError) as raised:
        qorvane.open_key(os.path.join(directory, "none"), "PrinterSet")
    assert raised.value.errno == errno.ENOENT

    fd = hold_write_lock(path)
    try:
        with pytest.raises(qorvane.Busy):
            qorvane.open_key(directory, "PrinterSet", wait=0.05)
    finally:
        os.close(fd)

    key = qorvane.open_key(directory, "PrinterSet")
    key["Copies"] = 3
    with qorvane.open_key(directory, "PrinterSet") as other:
        other["Copies"] = 4
    with pytest.raises(qorvane.Conflict) as raised:
        key.commit_checked()
    assert raised.value.conflicts == [("Copies", "2", "4", "3")]
    key.commit()
    with pytest.raises(qorvane.NotOpen):
        key["Port"]


def test_context_manager_drops_the_changes_on_an_exception(settings):
    directory, path = settings
    before = path.read_bytes()
    with pytest.raises(ZeroDivisionError):
        with qorvane.open_key(directory, "PrinterSet") as key:
            key["Port"] = "LPT2"
            1 / 0
    assert path.read_bytes() == before and not key.is_open


def test_two_processes_changing_different_items_lose_nothing(settings):
    directory, path = settings

    def writer(tag):
        for i in range(25):
            with qorvane.open_key(directory, "PrinterSet", wait=5.0) as key:
                key[f"{tag}{i}"] = i
        os._exit(0)

    children = []
    for tag in ("a", "b"):
        pid = os.fork()
        if pid == 0:
            try:
                writer(tag)
            finally:
                os._exit(1)
        children.append(pid)
    assert all(os.waitpid(pid, 0)[1] == 0 for pid in children)
    with qorvane.open_key(directory, "PrinterSet") as key:
        assert all(key.get_int(f"{t}{i}", -1) == i for t in "ab" for i in range(25))


def test_watch_yields_now_then_each_change_and_lets_threads_run(settings):
    directory, _ = settings

    def change():
        time.sleep(0.1)
        with qorvane.open_key(directory, "PrinterSet", wait=2.0) as key:
            key["Port"] = "USB1"

    thread = threading.Thread(target=change)
    seen = []
    for items in qorvane.watch(directory, "PrinterSet", timeout=1.0):
        seen.append(dict(items)["Port"])
        if len(seen) == 1:
            thread.start()
    thread.join()
    assert seen == ["LPT1", "USB1"]
