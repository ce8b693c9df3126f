// An owned reference to a Python object, for code written against the plain C API.
//
// Header-only and free of nanobind and of the C++ runtime: frontdoor, built without exceptions
// or RTTI so that importing it loads neither libstdc++ nor a binding runtime, uses it as well as
// publish.output. Code on nanobind holds nb::object instead.
#pragma once

#include <Python.h>

namespace bind {

// Owns one reference (or none) and releases it when it goes out of scope.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    // A new reference to p, which may be null.
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.release()) {}
    Ref& operator=(Ref&& o) noexcept {
        reset(o.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // Takes p (owned, may be null) and then drops the old reference, which may run Python code.
    void reset(PyObject* p = nullptr) {
        PyObject* old = p_;
        p_ = p;
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace bind
