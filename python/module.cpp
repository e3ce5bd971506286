// The Python module qorvane._qorvane: qorvane::Key and qorvane::Watch for
// Python. Names and values cross as UTF-8 with surrogateescape, so that a
// byte that is not UTF-8 comes back as a lone surrogate and goes back into
// the file unchanged. The GIL is released around every call that may touch
// the disk or wait.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "qorvane/Key.h"

#ifdef QORVANE_PY_TESTING
#include "sync/SharedCounter.h"
#endif

namespace py = pybind11;

namespace {

using qorvane::Errc;

// The exception classes, made once when the module loads (the module keeps
// them alive).
struct Exceptions {
    PyObject* base = nullptr;
    PyObject* byCode[9] = {};
} g_exceptions;

py::str Decode(const std::string& bytes)
{
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// str (UTF-8, surrogateescape) or bytes, as the bytes to write.
std::string Encode(const py::handle& value, const char* what)
{
    if (PyBytes_Check(value.ptr())) return std::string(py::bytes(py::reinterpret_borrow<py::bytes>(value)));
    if (!PyUnicode_Check(value.ptr()))
        throw py::type_error(std::string(what) + " must be str or bytes, not " + std::string(py::str(value.get_type().attr("__name__"))));
    PyObject* bytes = PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape");
    if (bytes == nullptr) throw py::error_already_set();
    return std::string(py::reinterpret_steal<py::bytes>(bytes));
}

// A path: str, bytes or os.PathLike.
std::string EncodePath(const py::handle& path)
{
    PyObject* fspath = PyOS_FSPath(path.ptr());
    if (fspath == nullptr) throw py::error_already_set();
    return Encode(py::reinterpret_steal<py::object>(fspath), "path");
}

std::chrono::milliseconds Millis(double seconds)
{
    if (!(seconds > 0)) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(std::min(seconds, 1e9) * 1000)));
}

py::object Optional(const std::optional<std::string>& value)
{
    return value ? py::object(Decode(*value)) : py::object(py::none());
}

// Raises the exception class of `ec`, carrying the code (and errno, and the
// conflicts) as attributes.
[[noreturn]] void Raise(const std::error_code& ec, const std::vector<qorvane::Conflict>& conflicts = {})
{
    const int code = ec.category() == qorvane::Category() && qorvane::IsFileError(ec)
                         ? static_cast<int>(Errc::file_error) : ec.value();
    PyObject* type = code > 0 && code < 9 && g_exceptions.byCode[code] ? g_exceptions.byCode[code] : g_exceptions.base;
    py::object error = py::reinterpret_borrow<py::object>(type)(ec.message());
    error.attr("code") = code;
    error.attr("errno") = qorvane::FileErrno(ec);
    py::list list;
    for (const auto& c : conflicts)
        list.append(py::make_tuple(Decode(c.name), Optional(c.read), Optional(c.file), Optional(c.mine)));
    error.attr("conflicts") = list;
    PyErr_SetObject(type, error.ptr());
    throw py::error_already_set();
}

void Check(const std::error_code& ec)
{
    if (ec) Raise(ec);
}

struct PyKey {
    qorvane::Key key;
    bool checked = false;
    double wait = 0;

    void Commit(std::optional<double> seconds, bool checkedClose)
    {
        std::error_code ec;
        {
            py::gil_scoped_release release;
            const auto ms = Millis(seconds.value_or(wait));
            if (checkedClose) key.CommitChecked(ms, ec);
            else key.Commit(ms, ec);
        }
        if (ec) Raise(ec, ec == Errc::conflict ? key.Conflicts() : std::vector<qorvane::Conflict>{});
    }

    void RequireOpen() const
    {
        if (!key.IsOpen()) Raise(make_error_code(Errc::not_open));
    }

    py::object Get(const py::handle& name) const
    {
        RequireOpen();
        return Optional(key.Get(Encode(name, "name")));
    }

    void Set(const py::handle& name, const py::handle& value)
    {
        const std::string n = Encode(name, "name");
        std::error_code ec;
        if (PyBool_Check(value.ptr())) key.Set(n, value.ptr() == Py_True, ec);
        else if (PyLong_Check(value.ptr())) key.Set(n, value.cast<long long>(), ec);
        else if (PyFloat_Check(value.ptr())) key.Set(n, value.cast<double>(), ec);
        else key.Set(n, Encode(value, "value"), ec);
        Check(ec);
    }

    py::list Items() const
    {
        py::list items;
        for (const auto& [name, value] : key) items.append(py::make_tuple(Decode(name), Decode(value)));
        return items;
    }

    template <class T, class Read>
    py::object Typed(const py::handle& name, T fallback, Read read) const
    {
        RequireOpen();
        qorvane::ReadStatus status{};
        const T value = (key.*read)(Encode(name, "name"), fallback, &status);
        return py::cast(value);
    }
};

class PyWatch {
public:
    PyWatch(const py::handle& dir, const py::handle& keyName)
    {
        const std::string d = EncodePath(dir);
        const std::string k = Encode(keyName, "key");
        std::error_code ec;
        {
            py::gil_scoped_release release;
            m_watch.Start(d, k, ec);
        }
        Check(ec);
    }

    // Waits in slices, so that Ctrl-C (a signal handler raising) ends it.
    bool Wait(std::optional<double> timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + Millis(timeout.value_or(0));
        for (;;) {
            auto slice = std::chrono::milliseconds(200);
            if (timeout) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                slice = std::max(std::chrono::milliseconds(0), std::min(slice, left));
            }
            std::error_code ec;
            bool changed = false;
            {
                py::gil_scoped_release release;
                changed = m_watch.WaitChange(slice, ec);
            }
            Check(ec);
            if (changed) return true;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (timeout && std::chrono::steady_clock::now() >= deadline) return false;
        }
    }

    bool CheckNow()
    {
        std::error_code ec;
        bool changed = false;
        {
            py::gil_scoped_release release;
            changed = m_watch.Check(ec);
        }
        Check(ec);
        return changed;
    }

    py::list Items() const
    {
        py::list items;
        for (const auto& [name, value] : m_watch.Items()) items.append(py::make_tuple(Decode(name), Decode(value)));
        return items;
    }

    int Fd() const { return m_watch.Fd(); }

private:
    qorvane::Watch m_watch;
};

PyObject* NewException(py::module_& m, const char* name, PyObject* base, const char* doc)
{
    const std::string qualified = std::string("qorvane.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (type == nullptr) throw py::error_already_set();
    m.add_object(name, py::handle(type));  // the module keeps the reference
    return type;
}

}  // namespace

PYBIND11_MODULE(_qorvane, m)
{
    m.doc() = "The compiled part of the qorvane package; use the package itself.";

    g_exceptions.base = NewException(m, "Error", PyExc_Exception,
        "A qorvane call failed. Attributes: code (the library's error code: 1 busy, 2 file error, 3 bad "
        "name, 4 bad value, 5 counter unusable, 6 conflict, 7 not open, 8 watch ended), errno (of a file "
        "error, else 0) and conflicts (of a Conflict, else []).");
    const struct {
        Errc code;
        const char* name;
        const char* doc;
    } kinds[] = {
        {Errc::busy, "Busy", "Other processes held the settings file for the whole wait."},
        {Errc::file_error, "FileError", "The settings file cannot be opened, read or written; errno says why."},
        {Errc::bad_name, "BadName", "The key name is not in the catalogue, or contains CR, LF, 0x1A or NUL."},
        {Errc::bad_value, "BadValue", "An item's name or value cannot be written as a line."},
        {Errc::counter_unusable, "CounterUnusable", "The machine-wide access counter cannot serve this process."},
        {Errc::conflict, "Conflict",
         "Another process changed an item this key changed; nothing was written. conflicts lists "
         "(name, read, file, mine) with None for an absent value."},
        {Errc::not_open, "NotOpen", "The key was committed or dropped."},
        {Errc::watch_ended, "WatchEnded", "The watched path no longer names the directory the watch started on."},
    };
    for (const auto& kind : kinds)
        g_exceptions.byCode[static_cast<int>(kind.code)] = NewException(m, kind.name, g_exceptions.base, kind.doc);

    py::class_<PyKey>(m, "Key",
        "One key of the settings file, open in memory. Reading and changing items touches only memory; "
        "commit() merges the changes into the file. Leaving a with-block normally commits, leaving it by "
        "an exception drops the changes. Names and values are str (UTF-8, undecodable bytes kept as "
        "surrogateescape) and may be given as bytes.")
        .def("__getitem__", [](const PyKey& k, const py::handle& name) {
            py::object value = k.Get(name);
            if (value.is_none()) throw py::key_error(py::str(name));
            return value;
        }, py::arg("name"), "The value of the first item of that name; KeyError when there is none.")
        .def("get", [](const PyKey& k, const py::handle& name, const py::object& fallback) {
            py::object value = k.Get(name);
            return value.is_none() ? fallback : value;
        }, py::arg("name"), py::arg("default") = py::none(), "The value of the first item of that name, or default.")
        .def("get_int", [](const PyKey& k, const py::handle& name, long long fallback) {
            return k.Typed<long long>(name, fallback, &qorvane::Key::GetInt);
        }, py::arg("name"), py::arg("default") = 0,
           "The value as a decimal integer (optional sign), or default when missing or not one.")
        .def("get_bool", [](const PyKey& k, const py::handle& name, bool fallback) {
            return k.Typed<bool>(name, fallback, &qorvane::Key::GetBool);
        }, py::arg("name"), py::arg("default") = false,
           "The value as a boolean (1/0, true/false, yes/no, on/off in any case), or default.")
        .def("get_float", [](const PyKey& k, const py::handle& name, double fallback) {
            return k.Typed<double>(name, fallback, &qorvane::Key::GetDouble);
        }, py::arg("name"), py::arg("default") = 0.0, "The value as a finite decimal number, or default.")
        .def("__setitem__", &PyKey::Set, py::arg("name"), py::arg("value"),
             "Sets the first item of that name or adds one. int and float are written in decimal, bool as 1 or 0.")
        .def("__delitem__", [](PyKey& k, const py::handle& name) {
            k.RequireOpen();
            if (!k.key.Remove(Encode(name, "name"))) throw py::key_error(py::str(name));
        }, py::arg("name"), "Removes every item of that name; KeyError when there is none.")
        .def("__contains__", [](const PyKey& k, const py::handle& name) { return !k.Get(name).is_none(); })
        .def("__len__", [](const PyKey& k) { return k.key.size(); }, "The number of items, duplicates included.")
        .def("__iter__", [](const PyKey& k) {
            py::list names;
            for (const auto& item : k.Items()) names.append(item.cast<py::tuple>()[0]);
            return py::iter(names);
        }, "The item names in file order (a duplicate name comes as often as it is there).")
        .def("keys", [](const PyKey& k) {
            py::list names;
            for (const auto& item : k.Items()) names.append(item.cast<py::tuple>()[0]);
            return names;
        }, "The item names in file order.")
        .def("items", &PyKey::Items, "(name, value) pairs in file order, duplicates included, added items last.")
        .def("commit", [](PyKey& k, std::optional<double> wait) { k.Commit(wait, false); },
             py::arg("wait") = py::none(),
             "Merges the changes into the file, waiting up to wait seconds while it is busy (default: the "
             "open's wait). Closes the key; on failure it stays open with its changes.")
        .def("commit_checked", [](PyKey& k, std::optional<double> wait) { k.Commit(wait, true); },
             py::arg("wait") = py::none(),
             "Like commit, but raises Conflict, writing nothing, if another process changed an item that this "
             "key set or removed since it was opened.")
        .def("reopen", [](PyKey& k) {
            std::error_code ec;
            {
                py::gil_scoped_release release;
                k.key.Reopen(ec);
            }
            Check(ec);
        }, "Drops the changes and reads the key again (after a Conflict).")
        .def("drop", [](PyKey& k) { k.key.Drop(); }, "Closes the key and drops its changes; nothing is written.")
        .def_property_readonly("is_open", [](const PyKey& k) { return k.key.IsOpen(); })
        .def_property_readonly("has_section", [](const PyKey& k) { return k.key.HasSection(); },
                               "True if the file had a section for the key when it was opened.")
        .def_property_readonly("modified", [](const PyKey& k) { return k.key.IsModified(); })
        .def_property_readonly("name", [](const PyKey& k) { return Decode(k.key.Name()); })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyKey& k, const py::object& type, const py::object&, const py::object&) {
            if (!type.is_none() || !k.key.IsOpen()) k.key.Drop();
            else k.Commit(std::nullopt, k.checked);
            return false;
        });

    m.def("open_key", [](const py::handle& path, const py::handle& keyName, double wait, bool checked) {
        const std::string dir = EncodePath(path);
        const std::string name = Encode(keyName, "key");
        PyKey key;
        key.wait = wait;
        key.checked = checked;
        std::error_code ec;
        {
            py::gil_scoped_release release;
            key.key = qorvane::Open(dir, name, Millis(wait), ec);
        }
        Check(ec);
        return key;
    }, py::arg("path"), py::arg("key"), py::arg("wait") = 0.0, py::arg("checked") = false,
       "Opens the key of the settings file QorRunningSet.Inf in the directory path, retrying for up to "
       "wait seconds while another process holds the file. As a context manager the key commits on a "
       "clean exit (commit_checked if checked) and drops its changes on an exception.");

    py::class_<PyWatch>(m, "Watcher", "Follows one key's items; see qorvane.watch.")
        .def(py::init<const py::handle&, const py::handle&>(), py::arg("path"), py::arg("key"))
        .def("wait", &PyWatch::Wait, py::arg("timeout") = py::none(),
             "Blocks until the items change (True) or timeout seconds pass (False); None waits for ever.")
        .def("check", &PyWatch::CheckNow, "Never blocks: True if the items changed.")
        .def("fileno", &PyWatch::Fd, "The descriptor to poll for reading (selectors, asyncio).")
        .def("items", &PyWatch::Items, "(name, value) pairs as last reported, in file order.");

#ifdef QORVANE_PY_TESTING
    m.def("_use_counter_name", [](const std::string& name) { qorvane::sync::UseSharedCounterName(name); });
    m.def("_remove_counter", [] { qorvane::sync::RemoveSharedCounter(); });
#endif
}
