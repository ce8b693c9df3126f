// The diagnostics redirection (_diagnostics_to_stderr) and the printing of the finished document.
#include "output/redirect.hpp"

#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstddef>
#include <new>
#include <utility>

#include "output/jsonwriter.hpp"

namespace output {

std::optional<FdSwap> FdSwap::make(int target, int source) {
    int flags = fcntl(target, F_GETFD);
    // The saved copy is not inherited: a child must not hold the real standard output open.
    int saved = flags < 0 ? -1 : fcntl(target, F_DUPFD_CLOEXEC, 0);
    if (saved < 0) return std::nullopt;
    while (dup2(source, target) < 0) {
        if (errno == EINTR) continue;
        close(saved);
        return std::nullopt;
    }
    return FdSwap(target, saved, flags);
}

void FdSwap::restore() noexcept {
    if (saved_ < 0) return;
    while (dup2(saved_, target_) < 0 && errno == EINTR) {
    }
    if (flags_ & FD_CLOEXEC) fcntl(target_, F_SETFD, flags_);
    close(saved_);
    saved_ = -1;
}

namespace {

PyObject* call_method(PyObject* self, PyObject* name) { return PyObject_CallMethodObjArgs(self, name, nullptr); }

// A stream with no usable descriptor: no fileno, an unsupported or closed one, or an OS error.
bool no_descriptor() {
    return PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
           PyErr_ExceptionMatches(PyExc_AttributeError);
}

int descriptor_of(PyObject* stream) {
    if (!stream) {
        PyErr_SetString(PyExc_AttributeError, "no stream");
        return -1;
    }
    Ref fd(call_method(stream, names().fileno));
    return fd ? PyObject_AsFileDescriptor(fd.get()) : -1;
}

bool flush(PyObject* stream) { return Ref(call_method(stream, names().flush)).get() != nullptr; }

}  // namespace

bool StdoutToStderr::enter() {
    PyObject* out = PySys_GetObject("stdout");  // borrowed, may be missing
    if (!out) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return false;
    }
    original_ = Ref::borrow(out);
    // Descriptor level, one attempt: anything short of a usable descriptor leaves it out.
    int stdout_fd = descriptor_of(original_.get());
    int stderr_fd = stdout_fd < 0 ? -1 : descriptor_of(PySys_GetObject("stderr"));
    bool usable = stderr_fd >= 0 && flush(original_.get());  // earlier output reaches the real stdout
    if (usable) {
        if (auto swap = FdSwap::make(stdout_fd, stderr_fd)) fd_.emplace(std::move(*swap));
    }
    if (!usable) {
        if (!no_descriptor()) return false;  // nothing was duplicated: nothing to undo
        PyErr_Clear();
    }
    // Stream level: everything the process itself prints goes to standard error.
    PyObject* err = PySys_GetObject("stderr");
    if (!err) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stderr");
        Pending failure;
        failure.settle(exit());
        return false;
    }
    previous_ = Ref::borrow(PySys_GetObject("stdout"));
    if (PySys_SetObject("stdout", err) < 0) {
        Pending failure;
        failure.settle(exit());
        return false;
    }
    swapped_ = true;
    return true;
}

bool StdoutToStderr::exit() {
    // Each step runs whatever failed before it; a later failure keeps the earlier one as its
    // context, as nested finally blocks would.
    std::optional<Pending> failure;
    auto failed = [&] {
        if (failure) failure->chain();
        failure.emplace();
    };
    if (swapped_) {
        swapped_ = false;
        if (PySys_SetObject("stdout", previous_.get()) < 0) failed();
    }
    if (fd_) {
        // Both flushes run while descriptor 1 still writes to standard error, so that output
        // buffered during the command lands there; then the descriptor is put back regardless.
        PyObject* err = PySys_GetObject("stderr");
        if (!err) {
            PyErr_SetString(PyExc_RuntimeError, "lost sys.stderr");
            failed();
        } else if (!flush(err)) {
            failed();
        }
        if (!flush(original_.get())) failed();
        fd_->restore();
        fd_.reset();
    }
    original_.reset();
    previous_.reset();
    if (!failure) return true;
    failure->restore();
    return false;
}

// ---- _diagnostics_to_stderr(): the redirection as a context manager -------------------------

namespace {

struct DiagnosticsObject {
    PyObject_HEAD
    StdoutToStderr* redirect;
    int phase;  // 0 made, 1 entered, 2 left
};

PyObject* diagnostics_enter(PyObject* self, PyObject*) {
    auto* d = reinterpret_cast<DiagnosticsObject*>(self);
    if (d->phase != 0) {
        PyErr_SetString(PyExc_RuntimeError, "_diagnostics_to_stderr() can be entered only once");
        return nullptr;
    }
    d->phase = 1;
    if (!d->redirect->enter()) {
        d->phase = 2;
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* diagnostics_exit(PyObject* self, PyObject*) {
    auto* d = reinterpret_cast<DiagnosticsObject*>(self);
    if (d->phase != 1) {
        PyErr_SetString(PyExc_RuntimeError, "_diagnostics_to_stderr() was not entered");
        return nullptr;
    }
    d->phase = 2;
    if (!d->redirect->exit()) return nullptr;
    Py_RETURN_FALSE;  // a failure of the block passes on unchanged
}

void diagnostics_dealloc(PyObject* self) {
    auto* d = reinterpret_cast<DiagnosticsObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (d->phase == 1) {
        // Dropped while entered: undo the redirection anyway, as a generator's finally would.
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        d->phase = 2;
        if (!d->redirect->exit()) PyErr_WriteUnraisable(self);
        PyErr_Restore(t, v, tb);
    }
    delete d->redirect;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef diagnostics_methods[] = {
    {"__enter__", diagnostics_enter, METH_NOARGS, nullptr},
    {"__exit__", diagnostics_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot diagnostics_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(diagnostics_dealloc)},
    {Py_tp_methods, diagnostics_methods},
    {Py_tp_doc, const_cast<char*>("Standard output, stream and descriptor, sent to standard error while entered.")},
    {0, nullptr},
};

PyType_Spec diagnostics_spec = {
    "publish.output._DiagnosticsToStderr",
    sizeof(DiagnosticsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    diagnostics_slots,
};

PyObject* diagnostics_to_stderr(PyObject*, PyObject*) {
    PyTypeObject* type = module_state().diagnostics_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* d = reinterpret_cast<DiagnosticsObject*>(self);
    d->redirect = new (std::nothrow) StdoutToStderr();
    d->phase = 0;
    if (!d->redirect) {
        d->phase = 2;
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

// ---- printing the document ----------------------------------------------------------------------

bool is_utf8(PyObject* stream) {
    Ref encoding(PyObject_GetAttr(stream, names().encoding));
    if (!encoding) {
        PyErr_Clear();
        return false;
    }
    const char* name = PyUnicode_Check(encoding.get()) ? PyUnicode_AsUTF8(encoding.get()) : nullptr;
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return strcasecmp(name, "utf-8") == 0 || strcasecmp(name, "utf8") == 0 || strcasecmp(name, "utf_8") == 0;
}

bool write_text(PyObject* stream, PyObject* text) {
    return Ref(PyObject_CallMethodObjArgs(stream, names().write, text, nullptr)).get() != nullptr;
}

// The document's bytes straight into the binary buffer under a UTF-8 text stream: exactly the
// bytes the stream's own encoding would produce from the text, without making the text first.
bool write_bytes(PyObject* stream, PyObject* view) {
    Ref buffer(PyObject_GetAttr(stream, names().buffer));
    // What the text layer holds must go first.
    if (!buffer || !flush(stream)) return false;
    Ref chunk = Ref::borrow(view);
    for (;;) {
        Ref written(PyObject_CallMethodObjArgs(buffer.get(), names().write, chunk.get(), nullptr));
        if (!written) return false;
        // A raw stream may take less than it was given; a buffered one takes everything.
        Py_ssize_t size = PyObject_Length(chunk.get());
        Py_ssize_t n = PyLong_Check(written.get()) ? PyLong_AsSsize_t(written.get()) : -1;
        if ((n < 0 || size < 0) && PyErr_Occurred()) return false;
        if (n <= 0 || n >= size) return true;
        chunk.reset(PySequence_GetSlice(chunk.get(), n, size));
        if (!chunk) return false;
    }
}

}  // namespace

bool print_document(JsonText& text) {
    Ref view(text.bytes.finish());
    if (!view) return false;
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (!out) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return false;
    }
    if (out == Py_None) return true;  // print() writes nothing without a console
    Ref stream = Ref::borrow(out);
    const Names& n = names();
    if (!text.surrogates && Py_TYPE(out) == module_state().text_wrapper && is_utf8(out)) {
        if (!write_bytes(stream.get(), view.get())) return false;
    } else {
        const Py_buffer* bytes = PyMemoryView_GET_BUFFER(view.get());
        Ref line(PyUnicode_DecodeUTF8(static_cast<const char*>(bytes->buf), bytes->len, "surrogatepass"));
        if (!line || !write_text(stream.get(), line.get())) return false;
    }
    // The line feed goes through the text layer, which translates and line-buffers it as print's would be.
    return write_text(stream.get(), n.newline);
}

bool init_diagnostics_type(Module& m) {
    m.diagnostics_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&diagnostics_spec));
    return m.diagnostics_type != nullptr;
}

PyMethodDef diagnostics_function[] = {
    {"_diagnostics_to_stderr", diagnostics_to_stderr, METH_NOARGS,
     "_diagnostics_to_stderr($module, /)\n--\n\n"
     "Send standard output, of this process and of its children, to standard error while entered."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace output
