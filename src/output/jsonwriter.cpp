// The JSON writer of the outcome document: walks Python objects the way json's C encoder does
// (same type tests in the same order, same refusals) and writes UTF-8 with the core's text rules.
#include "output/jsonwriter.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "output/output.hpp"
#include "value/json.hpp"

namespace output {

namespace json = kamo::json;

char* Utf8Buffer::grow(std::size_t n) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) - size_) {
        PyErr_NoMemory();
        return nullptr;
    }
    auto cap = static_cast<Py_ssize_t>(std::max({cap_ * 2, size_ + n, std::size_t{1} << 16}));
    if (!bytes_) {
        bytes_ = PyBytes_FromStringAndSize(nullptr, cap);
    } else if (_PyBytes_Resize(&bytes_, cap) < 0) {
        bytes_ = nullptr;  // already released by the resize
    }
    if (!bytes_) {
        data_ = nullptr;
        size_ = cap_ = 0;
        return nullptr;
    }
    data_ = PyBytes_AS_STRING(bytes_);
    cap_ = static_cast<std::size_t>(cap);
    return data_ + size_;
}

PyObject* Utf8Buffer::finish() {
    PyObject* bytes = bytes_;
    std::size_t size = size_;
    bytes_ = nullptr;
    data_ = nullptr;
    size_ = cap_ = 0;
    // The object itself is handed on (a stream may keep it, or read the view's .obj), so it is
    // cut to the bytes written: the room after them was never written and must not be seen.
    if (!bytes) {
        bytes = PyBytes_FromStringAndSize("", 0);
        if (!bytes) return nullptr;
    } else if (static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)) != size &&
               _PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(size)) < 0) {
        return nullptr;  // the resize released the object
    }
    Ref owner(bytes);
    return PyMemoryView_FromObject(owner.get());
}

namespace {

constexpr const char* kRecursion = " while encoding a JSON object";
// Longer strings are written in pieces, so the worst-case room asked for stays small.
constexpr Py_ssize_t kStringPiece = 1 << 14;
// Paths up to this depth are searched for cycles by a scan; deeper ones also use a set.
constexpr std::size_t kScannedPath = 64;

class Encoder {
public:
    explicit Encoder(JsonText& out) : out_(out) { stack_.reserve(32); }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
    ~Encoder() {
        while (!stack_.empty()) pop();
    }

    bool run(PyObject* root) {
        if (!value(root)) return false;
        while (!stack_.empty())
            if (!step()) return false;
        return true;
    }

private:
    // How a container on the path is walked.
    enum class Kind : std::uint8_t {
        Seq,       // list or tuple: index into `seq`, its length read again at every step
        Dict,      // plain dict, read in place with PyDict_Next until Python code may run
        DictRest,  // plain dict whose remaining members were taken into `rest` first
        Items,     // dict subclass: the list its items() gave
    };
    struct Frame {
        Kind kind;
        bool first;
        PyObject* container;  // owned; what the cycle check compares
        PyObject* seq;        // owned or null: the list or tuple walked (Seq, Items)
        Py_ssize_t pos;
        std::vector<PyObject*> rest;  // DictRest: owned keys and values, alternating
    };

    JsonText& out_;
    std::vector<Frame> stack_;
    std::unordered_set<PyObject*> deep_;  // containers on the path beyond kScannedPath

    // Every container on the path is held by a reference of its own, and every member being
    // written is either written at once or held the same way, so nothing is freed under the
    // writer. Python code (the iteration of a list subclass, a subclass's items()) may still
    // change a plain dict that is being read in place: before any such code runs, each such
    // dict's remaining members are taken out, which is what json's encoder reads (it walks a
    // copy of the items).
    void before_python() {
        for (Frame& f : stack_) {
            if (f.kind != Kind::Dict) continue;
            PyObject *k, *v;
            while (PyDict_Next(f.container, &f.pos, &k, &v)) {
                Py_INCREF(k);
                Py_INCREF(v);
                f.rest.push_back(k);
                f.rest.push_back(v);
            }
            f.kind = Kind::DictRest;
            f.pos = 0;
        }
    }

    bool put(std::string_view s) {
        char* p = out_.bytes.room(s.size());
        if (!p) return false;
        std::memcpy(p, s.data(), s.size());
        out_.bytes.commit(p + s.size());
        return true;
    }

    // For the separators around a key: a couple of bytes, not worth a call to memcpy.
    static char* put_at(char* p, std::string_view s) {
        for (char c : s) *p++ = c;
        return p;
    }

    // before, then the str as a JSON string literal, then after: one buffer check for the
    // usual short string.
    bool string(PyObject* o, std::string_view before = {}, std::string_view after = {}) {
        if (PyUnicode_READY(o) < 0) return false;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(o);
        const int kind = PyUnicode_KIND(o);
        const bool ascii = PyUnicode_IS_ASCII(o);
        const char* data = static_cast<const char*>(PyUnicode_DATA(o));
        Py_ssize_t at = 0;
        char* p = nullptr;
        do {
            Py_ssize_t len = std::min(n - at, kStringPiece);
            std::size_t room = json::kMaxBytesPerUnit * static_cast<std::size_t>(len) + before.size() + after.size() + 2;
            if (!(p = out_.bytes.room(room))) return false;
            if (at == 0) {
                p = put_at(p, before);
                *p++ = '"';
            }
            const char* from = data + at * kind;
            const auto count = static_cast<std::size_t>(len);
            if (ascii)
                p = json::write_string_body(std::string_view(from, count), p);
            else if (kind == PyUnicode_1BYTE_KIND)
                p = json::write_string_body(reinterpret_cast<const std::uint8_t*>(from), count, p);
            else if (kind == PyUnicode_2BYTE_KIND)
                p = json::write_string_body(reinterpret_cast<const std::uint16_t*>(from), count, p, out_.surrogates);
            else
                p = json::write_string_body(reinterpret_cast<const std::uint32_t*>(from), count, p, out_.surrogates);
            at += len;
            if (at < n) out_.bytes.commit(p);
        } while (at < n);
        *p++ = '"';
        out_.bytes.commit(put_at(p, after));
        return true;
    }

    // int.__repr__, whatever the subclass says: 64-bit values directly, larger ones through
    // int's own conversion (which also applies the interpreter's digit limit).
    bool integer(PyObject* o) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            if (v == -1 && PyErr_Occurred()) return false;
            char* p = out_.bytes.room(json::kMaxNumberBytes);
            if (!p) return false;
            out_.bytes.commit(json::write_int(v, p));
            return true;
        }
        Ref text(PyLong_Type.tp_repr(o));
        if (!text) return false;
        Py_ssize_t n = 0;
        const char* digits = PyUnicode_AsUTF8AndSize(text.get(), &n);
        return digits && put(std::string_view(digits, static_cast<std::size_t>(n)));
    }

    bool number(double d) {
        char* p = out_.bytes.room(json::kMaxNumberBytes);
        if (!p) return false;
        out_.bytes.commit(json::write_double(d, p));
        return true;
    }

    bool value(PyObject* o) {
        PyTypeObject* t = Py_TYPE(o);
        if (t == &PyUnicode_Type) return string(o);
        if (t == &PyDict_Type) return open_dict(o);
        if (t == &PyLong_Type) return integer(o);
        if (t == &PyList_Type) return open_seq(o);
        if (o == Py_None) return put("null");
        if (o == Py_True) return put("true");
        if (o == Py_False) return put("false");
        if (t == &PyFloat_Type) return number(PyFloat_AS_DOUBLE(o));
        if (t == &PyTuple_Type) return open_seq(o);
        // Subclasses, tested in the order json's encoder tests them.
        if (PyUnicode_Check(o)) return string(o);
        if (PyLong_Check(o)) return integer(o);
        if (PyFloat_Check(o)) return number(PyFloat_AS_DOUBLE(o));
        if (PyList_Check(o) || PyTuple_Check(o)) return open_seq(o);
        if (PyDict_Check(o)) return open_dict(o);
        return refuse(o);
    }

    // json.JSONEncoder.default: f"Object of type {o.__class__.__name__} is not JSON serializable".
    bool refuse(PyObject* o) {
        Ref held = Ref::borrow(o);
        Ref cls(PyObject_GetAttrString(o, "__class__"));
        if (!cls) return false;
        Ref name(PyObject_GetAttrString(cls.get(), "__name__"));
        if (!name) return false;
        Ref shown(PyObject_Format(name.get(), names().empty));
        if (!shown) return false;
        PyErr_Format(PyExc_TypeError, "Object of type %U is not JSON serializable", shown.get());
        return false;
    }

    bool on_path(PyObject* o) const {
        std::size_t scanned = std::min(stack_.size(), kScannedPath);
        for (std::size_t i = 0; i < scanned; ++i)
            if (stack_[i].container == o) return true;
        return stack_.size() > kScannedPath && deep_.count(o) != 0;
    }

    // Takes the recursion level already entered and the reference to seq (may be null).
    bool push(Kind kind, PyObject* container, PyObject* seq, char open) {
        try {
            if (stack_.size() >= kScannedPath) deep_.insert(container);
            stack_.push_back(Frame{kind, true, container, seq, 0, {}});
            Py_INCREF(container);
        } catch (const std::bad_alloc&) {
            if (stack_.size() >= kScannedPath) deep_.erase(container);
            Py_XDECREF(seq);
            Py_LeaveRecursiveCall();
            PyErr_NoMemory();
            return false;
        }
        char brace[1] = {open};
        return put(std::string_view(brace, 1));
    }

    void pop() {
        Frame& f = stack_.back();
        if (stack_.size() > kScannedPath) deep_.erase(f.container);
        for (PyObject* o : f.rest) Py_DECREF(o);
        Py_XDECREF(f.seq);
        PyObject* container = f.container;
        stack_.pop_back();
        Py_DECREF(container);
        Py_LeaveRecursiveCall();
    }

    bool close(char brace) {
        pop();
        char b[1] = {brace};
        return put(std::string_view(b, 1));
    }

    // json's encoder enters one recursion level per container before looking inside it, then
    // writes an empty one at once, then checks for a cycle.
    bool open_seq(PyObject* o) {
        if (Py_EnterRecursiveCall(kRecursion)) return false;
        // Iterating a subclass may drop every other reference to it.
        Ref held = Ref::borrow(o);
        PyObject* seq;
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
            Py_INCREF(o);
            seq = o;
        } else {
            before_python();
            // Iterates the subclass, as json's encoder does; the result is a new list.
            seq = PySequence_Fast(o, "_iterencode_list needs a sequence");
            if (!seq) {
                Py_LeaveRecursiveCall();
                return false;
            }
        }
        if (PySequence_Fast_GET_SIZE(seq) == 0) {
            Py_DECREF(seq);
            Py_LeaveRecursiveCall();
            return put("[]");
        }
        if (on_path(o)) {
            Py_DECREF(seq);
            Py_LeaveRecursiveCall();
            PyErr_SetString(PyExc_ValueError, "Circular reference detected");
            return false;
        }
        return push(Kind::Seq, o, seq, '[');
    }

    bool open_dict(PyObject* o) {
        if (Py_EnterRecursiveCall(kRecursion)) return false;
        // The size of the dict's own table, even for a subclass whose items() says otherwise.
        if (PyDict_GET_SIZE(o) == 0) {
            Py_LeaveRecursiveCall();
            return put("{}");
        }
        if (on_path(o)) {
            Py_LeaveRecursiveCall();
            PyErr_SetString(PyExc_ValueError, "Circular reference detected");
            return false;
        }
        if (PyDict_CheckExact(o)) return push(Kind::Dict, o, nullptr, '{');
        before_python();
        Ref held = Ref::borrow(o);  // items() may drop every other reference to it
        PyObject* items = PyMapping_Items(o);  // a new list, whatever items() returned
        if (!items) {
            Py_LeaveRecursiveCall();
            return false;
        }
        return push(Kind::Items, o, items, '{');
    }

    bool key(PyObject* k, bool first) {
        using namespace std::string_view_literals;
        if (PyUnicode_Check(k)) return string(k, first ? ""sv : ", "sv, ": "sv);
        if (!put(first ? "\""sv : ", \""sv)) return false;
        bool ok;
        if (PyFloat_Check(k)) ok = number(PyFloat_AS_DOUBLE(k));
        else if (k == Py_True) ok = put("true");
        else if (k == Py_False) ok = put("false");
        else if (k == Py_None) ok = put("null");
        else if (PyLong_Check(k)) ok = integer(k);
        else {
            PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
                         Py_TYPE(k)->tp_name);
            return false;
        }
        return ok && put("\": ");
    }

    // Writes the next member of the innermost container, or closes it.
    bool step() {
        Frame& f = stack_.back();
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        switch (f.kind) {
            case Kind::Seq:
                if (f.pos >= PySequence_Fast_GET_SIZE(f.seq)) return close(']');
                v = PySequence_Fast_GET_ITEM(f.seq, f.pos++);
                break;
            case Kind::Dict:
                if (!PyDict_Next(f.container, &f.pos, &k, &v)) return close('}');
                break;
            case Kind::DictRest:
                if (f.pos >= static_cast<Py_ssize_t>(f.rest.size())) return close('}');
                k = f.rest[static_cast<std::size_t>(f.pos)];
                v = f.rest[static_cast<std::size_t>(f.pos) + 1];
                f.pos += 2;
                break;
            case Kind::Items: {
                if (f.pos >= PyList_GET_SIZE(f.seq)) return close('}');
                PyObject* item = PyList_GET_ITEM(f.seq, f.pos++);
                if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
                    PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                    return false;
                }
                k = PyTuple_GET_ITEM(item, 0);
                v = PyTuple_GET_ITEM(item, 1);
                break;
            }
        }
        const bool first = f.first;
        f.first = false;
        if (k ? !key(k, first) : (!first && !put(", "))) return false;
        return value(v);  // may push: f is not used after this
    }
};

}  // namespace

bool write_json(PyObject* obj, JsonText& out) {
    try {
        Encoder encoder(out);
        return encoder.run(obj);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

}  // namespace output
