// Conversion between Value and Python objects, and HistoryError translation.
#include "bind/convert.hpp"

#include <nanobind/stl/string.h>
#include <sqlite3.h>  // result codes only: the binding calls no SQLite function

#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "value/int_digits.hpp"

namespace bind {

namespace {

// A constant text by where it lives and how long it is: two texts may start at one address (a
// literal and a prefix view of it share storage), never with one length too.
struct TextKey {
    const char* data;
    std::size_t size;
    bool operator==(const TextKey&) const = default;
};
struct TextKeyHash {
    std::size_t operator()(const TextKey& k) const {
        return std::hash<const char*>()(k.data) ^ (std::hash<std::size_t>()(k.size) * 0x9e3779b97f4a7c15ull);
    }
};

// One Python string per constant text, made once and kept for the life of the process.
PyObject* static_text(std::string_view s) {
    static auto* cache = new std::unordered_map<TextKey, PyObject*, TextKeyHash>();
    auto [it, fresh] = cache->try_emplace(TextKey{s.data(), s.size()}, nullptr);
    if (fresh) {
        PyObject* o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        if (!o) {
            cache->erase(it);
            throw nb::python_error();
        }
        PyUnicode_InternInPlace(&o);
        it->second = o;
    }
    Py_INCREF(it->second);
    return it->second;
}

// Lone surrogates that came from Python strings come back as themselves; any other ill-formed
// byte becomes U+FFFD, so a text never fails to convert.
PyObject* new_str(std::string_view s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    if (!o && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    }
    if (!o) throw nb::python_error();
    return o;
}

// Text from SQLite (messages quote the store's own bytes, damaged or not): U+FFFD for what is
// not UTF-8.
nb::object engine_str(std::string_view s) {
    nb::object o = nb::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
    if (!o.is_valid()) throw nb::python_error();
    return o;
}

PyObject* key_str(std::string_view s) {
    PyObject* o = new_str(s);
    PyUnicode_InternInPlace(&o);
    return o;
}

// Decimal digits (no sign) as a Python int, at any length: long texts are split in halves and
// joined by arithmetic, which has no digit limit. The decoder has applied the host's limit already.
PyObject* digits_int(std::string_view digits) {
    if (digits.size() <= kamo::kLeastMaxIntDigits) {
        std::string text(digits);
        return PyLong_FromString(text.c_str(), nullptr, 10);
    }
    std::size_t low_size = digits.size() / 2;
    nb::object high = nb::steal(digits_int(digits.substr(0, digits.size() - low_size)));
    if (!high.is_valid()) return nullptr;
    nb::object low = nb::steal(digits_int(digits.substr(digits.size() - low_size)));
    if (!low.is_valid()) return nullptr;
    nb::object ten = nb::steal(PyLong_FromLong(10));
    nb::object shift = nb::steal(PyLong_FromSize_t(low_size));
    if (!ten.is_valid() || !shift.is_valid()) return nullptr;
    nb::object scale = nb::steal(PyNumber_Power(ten.ptr(), shift.ptr(), Py_None));
    if (!scale.is_valid()) return nullptr;
    nb::object scaled = nb::steal(PyNumber_Multiply(high.ptr(), scale.ptr()));
    if (!scaled.is_valid()) return nullptr;
    return PyNumber_Add(scaled.ptr(), low.ptr());
}

// A big integer's text ("-" then digits) as a Python int.
PyObject* big_int(std::string_view text) {
    bool negative = !text.empty() && text[0] == '-';
    PyObject* o = digits_int(text.substr(negative ? 1 : 0));
    if (o && negative) {
        PyObject* neg = PyNumber_Negative(o);
        Py_DECREF(o);
        o = neg;
    }
    if (!o) throw nb::python_error();
    return o;
}

// V is const Value (the record is copied) or Value (it is used up: each member is let go as soon
// as its Python object stands, so the two never both hold a whole large record).
template <class V>
PyObject* build(V& v) {
    using K = kamo::Value::Kind;
    constexpr bool consume = !std::is_const_v<V>;
    switch (v.kind()) {
        case K::Null: Py_RETURN_NONE;
        case K::Bool: if (v.as_bool()) Py_RETURN_TRUE; Py_RETURN_FALSE;
        case K::Int: return PyLong_FromLongLong(v.as_int());
        case K::Big: return big_int(v.as_big().digits);
        case K::Float: return PyFloat_FromDouble(v.as_float());
        case K::Str: return new_str(v.as_str());
        case K::Static: return static_text(v.as_str());
        case K::List: {
            auto& l = v.as_list();
            PyObject* o = PyList_New(static_cast<Py_ssize_t>(l.size()));
            if (!o) throw nb::python_error();
            for (std::size_t i = 0; i < l.size(); ++i) {
                PyObject* e;
                try {
                    e = build(l[i]);
                } catch (...) {
                    Py_DECREF(o);
                    throw;
                }
                PyList_SET_ITEM(o, static_cast<Py_ssize_t>(i), e);
                if constexpr (consume) l[i] = kamo::Value();
            }
            return o;
        }
        case K::Map: {
            PyObject* o = PyDict_New();
            if (!o) throw nb::python_error();
            try {
                for (auto& [k, e] : v.as_map()) {
                    nb::object key = nb::steal(key_str(k));
                    nb::object val = nb::steal(build(e));
                    if (PyDict_SetItem(o, key.ptr(), val.ptr()) < 0) throw nb::python_error();
                    if constexpr (consume) e = kamo::Value();
                }
            } catch (...) {
                Py_DECREF(o);
                throw;
            }
            return o;
        }
    }
    Py_RETURN_NONE;
}

// Reads a Python value into a Value. A container's members are read from strong references
// taken before any of them is read: reading one can run the caller's code (a list subclass's
// __iter__), which may empty or grow the container, or drop the last other reference to what
// is being read. So each container reads as it stood when the conversion reached it.
class PyReader {
public:
    PyReader() { held_.reserve(32); }
    ~PyReader() {
        for (PyObject* o : held_) Py_DECREF(o);
    }
    PyReader(const PyReader&) = delete;
    PyReader& operator=(const PyReader&) = delete;

    kamo::Value read(PyObject* o, int depth) {
        if (depth > kamo::kMaxDepth) throw nb::value_error("value nested too deeply");
        if (o == Py_None) return kamo::Value(nullptr);
        if (PyBool_Check(o)) return kamo::Value(o == Py_True);
        if (PyLong_Check(o)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (!overflow) {
                if (v == -1 && PyErr_Occurred()) throw nb::python_error();
                return kamo::Value(static_cast<std::int64_t>(v));
            }
            nb::object text = nb::steal(PyNumber_ToBase(o, 10));
            if (!text.is_valid()) throw nb::python_error();
            return kamo::Value(kamo::BigInt{utf8_of(text)});
        }
        if (PyFloat_Check(o)) return kamo::Value(PyFloat_AS_DOUBLE(o));
        if (PyUnicode_Check(o)) return kamo::Value(utf8_of(o));
        if (PyList_Check(o) || PyTuple_Check(o)) return read_list(o, depth);
        if (PyDict_Check(o)) return read_dict(o, depth);
        throw nb::type_error(
            ("Object of type " + std::string(Py_TYPE(o)->tp_name) + " is not a record value").c_str());
    }

private:
    kamo::Value read_list(PyObject* o, int depth) {
        nb::object copy;
        if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) {
            // Subclasses read as their own iteration shows them, as json.dumps reads them.
            copy = nb::steal(PySequence_List(o));
            if (!copy.is_valid()) throw nb::python_error();
            o = copy.ptr();
        }
        std::size_t mark = held_.size();
        Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        PyObject** items = PySequence_Fast_ITEMS(o);
        for (Py_ssize_t i = 0; i < n; ++i) hold(items[i]);
        std::size_t end = held_.size();
        kamo::List l;
        l.reserve(end - mark);
        for (std::size_t i = mark; i < end; ++i) l.push_back(read(held_[i], depth + 1));
        release(mark);
        return kamo::Value(std::move(l));
    }

    kamo::Value read_dict(PyObject* o, int depth) {
        std::size_t mark = held_.size();
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(o, &pos, &k, &v)) {
            hold(k);
            hold(v);
        }
        std::size_t end = held_.size();
        kamo::Map m;
        m.reserve((end - mark) / 2);
        for (std::size_t i = mark; i < end; i += 2) {
            PyObject* key = held_[i];
            if (!PyUnicode_Check(key)) throw nb::type_error("keys must be str");
            m.emplace_back(utf8_of(key), read(held_[i + 1], depth + 1));
        }
        release(mark);
        return kamo::Value(std::move(m));
    }

    void hold(PyObject* o) {
        held_.push_back(o);
        Py_INCREF(o);
    }

    void release(std::size_t mark) {
        while (held_.size() > mark) {
            Py_DECREF(held_.back());
            held_.pop_back();
        }
    }

    // Strong references of the containers being read, innermost last; indexes stay valid when
    // the vector grows, pointers into it would not.
    std::vector<PyObject*> held_;
};

// The class Python's sqlite3 module raises for a SQLite result code: the primary code decides,
// among the database API's classes (PEP 249).
const char* db_api_class(int code) {
    switch (code & 0xFF) {
        case SQLITE_INTERNAL:
        case SQLITE_NOTFOUND: return "InternalError";
        case SQLITE_ERROR:
        case SQLITE_PERM:
        case SQLITE_ABORT:
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_READONLY:
        case SQLITE_INTERRUPT:
        case SQLITE_IOERR:
        case SQLITE_FULL:
        case SQLITE_CANTOPEN:
        case SQLITE_PROTOCOL:
        case SQLITE_EMPTY:
        case SQLITE_SCHEMA: return "OperationalError";
        case SQLITE_TOOBIG: return "DataError";
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH: return "IntegrityError";
        case SQLITE_MISUSE:
        case SQLITE_RANGE: return "InterfaceError";
        default: return "DatabaseError";
    }
}

PyObject* cause_object(const runfault::Cause& c) {
    using K = runfault::Cause::Kind;
    switch (c.kind) {
        case K::None: return nullptr;
        case K::Value:
        case K::Type: {
            nb::object text = nb::steal(new_str(c.text));
            return PyObject_CallOneArg(c.kind == K::Value ? PyExc_ValueError : PyExc_TypeError, text.ptr());
        }
        case K::OS: {
            // Path and reason decoded as Python's os functions decode them.
            nb::object path = nb::steal(PyUnicode_DecodeFSDefaultAndSize(c.path.data(), (Py_ssize_t)c.path.size()));
            if (!path.is_valid()) return nullptr;
            nb::object reason = nb::steal(PyUnicode_DecodeLocale(std::strerror(c.number), "surrogateescape"));
            if (!reason.is_valid()) return nullptr;
            // OSError picks the subclass (FileNotFoundError, PermissionError...) from the number.
            return PyObject_CallFunction(PyExc_OSError, "iOO", c.number, reason.ptr(), path.ptr());
        }
        case K::Sqlite: {
            nb::module_ sqlite3 = nb::module_::import_("sqlite3");
            nb::object err = sqlite3.attr(db_api_class(c.number))(engine_str(c.text));
            err.attr("sqlite_errorcode") = c.number;
            return err.release().ptr();
        }
    }
    return nullptr;
}

// The cyclic collector paused while a record is built: its containers are new and hold no
// cycles, yet each one allocated counts towards a collection that walks every one built so far,
// which made a large record cost several times its building.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

}  // namespace

nb::object to_python(const kamo::Value& v) {
    CollectorPause pause;
    return nb::steal(build(v));
}

nb::object to_python(kamo::Value&& v) {
    kamo::Value record = std::move(v);
    CollectorPause pause;
    return nb::steal(build(record));
}

nb::str str_of(std::string_view s) { return nb::steal<nb::str>(new_str(s)); }

kamo::Value from_python(nb::handle h) {
    PyReader reader;
    return reader.read(h.ptr(), 0);
}

std::string utf8_of(nb::handle str) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str.ptr(), &n);
    if (p) return std::string(p, static_cast<std::size_t>(n));
    PyErr_Clear();
    nb::object b = nb::steal(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
    if (!b.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr())));
}

nb::object history_error(const runfault::HistoryError& e) {
    static PyObject* type = [] {
        nb::object t = nb::module_::import_("publish.runfault").attr("HistoryError");
        return t.release().ptr();  // kept for the life of the process
    }();
    // _invalid takes its message from the caller, lone surrogates and all.
    nb::object err = nb::steal(PyObject_CallFunctionObjArgs(type, str_of(e.code).ptr(), str_of(e.message).ptr(),
                                                            str_of(e.action).ptr(), nullptr));
    if (!err.is_valid()) throw nb::python_error();
    if (e.cause.kind != runfault::Cause::Kind::None) {
        PyObject* cause = cause_object(e.cause);
        if (!cause) throw nb::python_error();
        PyException_SetCause(err.ptr(), cause);  // steals
    }
    return err;
}

void register_history_error_translator() {
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const runfault::HistoryError& e) {
            try {
                nb::object err = history_error(e);
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
            } catch (nb::python_error& pe) {
                pe.restore();
            }
        }
    });
}

}  // namespace bind
