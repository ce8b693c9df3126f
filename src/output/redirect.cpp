// The diagnostics redirection (_diagnostics_to_stderr) and the printing of the finished document.
#include "output/redirect.hpp"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstddef>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "output/jsonwriter.hpp"

namespace output {

std::shared_ptr<SavedFd> SavedFd::redirect(int target, int source) {
    int flags = fcntl(target, F_GETFD);
    // The saved copy is not inherited: a child must not hold the real standard output open.
    int saved = flags < 0 ? -1 : fcntl(target, F_DUPFD_CLOEXEC, 0);
    if (saved < 0) return nullptr;
    std::shared_ptr<SavedFd> kept;
    try {
        kept = std::make_shared<SavedFd>(target, saved, flags);
    } catch (const std::bad_alloc&) {
        close(saved);
        return nullptr;
    }
    while (dup2(source, target) < 0) {
        if (errno == EINTR) continue;
        return nullptr;  // closes the copy; target was not changed
    }
    return kept;
}

SavedFd::~SavedFd() { close(saved_); }

void SavedFd::restore() const noexcept {
    while (dup2(saved_, target_) < 0 && errno == EINTR) {
    }
    if (flags_ & FD_CLOEXEC) fcntl(target_, F_SETFD, flags_);
}

namespace {

// The gate: a recursive mutex, so that the Python code a flush runs may itself redirect on the
// same thread.
pthread_mutex_t g_gate;

void make_gate() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&g_gate, &attr);
    pthread_mutexattr_destroy(&attr);
}

// Redirections in force, in the order they began; changed only through the gate, with the GIL.
std::vector<StdoutToStderr*> g_active;

}  // namespace

bool init_gate() {
    static bool made = false;
    if (made) return true;
    make_gate();
    // A child forked while another thread was passing the gate would find it held for ever.
    if (pthread_atfork(nullptr, nullptr, make_gate) != 0) {
        PyErr_SetString(PyExc_RuntimeError, "cannot register the fork handler");
        return false;
    }
    made = true;
    return true;
}

namespace {

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

}  // namespace

Gate::Gate() {
    if (pthread_mutex_trylock(&g_gate) == 0) {
        held_ = true;
        return;
    }
    // Once the interpreter shuts down no other thread runs Python again, and a daemon thread
    // that held the gate never lets it go: go on without it.
    if (finalizing()) return;
    // Whoever holds it may be waiting for the GIL: wait without it.
    Py_BEGIN_ALLOW_THREADS
    pthread_mutex_lock(&g_gate);
    Py_END_ALLOW_THREADS
    held_ = true;
}

Gate::~Gate() {
    if (held_) pthread_mutex_unlock(&g_gate);
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

StdoutToStderr::~StdoutToStderr() {
    // exit() always runs first; never leave a pointer to a dead object behind regardless.
    if (registered_) {
        Gate gate;
        bool last;
        leave_registry(last);
        if (last)
            for (auto& fd : restore_fds_) fd->restore();
    }
}

bool StdoutToStderr::enter() {
    Gate gate;
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
    if (usable) fd_ = SavedFd::redirect(stdout_fd, stderr_fd);
    if (!usable) {
        if (!no_descriptor()) return false;  // nothing was duplicated: nothing to undo
        PyErr_Clear();
    }
    try {
        if (fd_) restore_fds_.push_back(fd_);
        g_active.push_back(this);
    } catch (const std::bad_alloc&) {
        if (fd_ && restore_fds_.empty()) fd_->restore();
        PyErr_NoMemory();
        Pending failure;
        failure.settle(exit());
        return false;
    }
    registered_ = true;
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
    restores_stream_ = true;
    restore_stream_ = Ref::borrow(previous_.get());
    return true;
}

// Takes this redirection out of those in force. One that ends while later ones are in force
// hands what it would put back to the next later one, which then puts back both: sys.stdout as
// this one found it, and descriptors its own first, then these.
void StdoutToStderr::leave_registry(bool& last) {
    last = true;
    registered_ = false;
    for (auto it = g_active.begin(); it != g_active.end(); ++it) {
        if (*it != this) continue;
        if (it + 1 != g_active.end()) {
            last = false;
            StdoutToStderr* next = *(it + 1);
            if (restores_stream_) {
                next->restores_stream_ = true;
                next->restore_stream_ = std::move(restore_stream_);
            }
            next->restore_fds_.splice(next->restore_fds_.end(), restore_fds_);
            next->handed_ = true;
            restores_stream_ = false;
        }
        g_active.erase(it);
        return;
    }
}

bool StdoutToStderr::exit(bool keep_destination) {
    Gate gate;
    // Each step runs whatever failed before it; a later failure keeps the earlier one as its
    // context, as nested finally blocks would.
    std::optional<Pending> failure;
    auto failed = [&] {
        if (failure) failure->chain();
        failure.emplace();
    };
    bool last = true;
    if (registered_) leave_registry(last);
    // Its document shares a stream with other commands' output: later ones still run, or it
    // puts back for an earlier one, whose command may have left threads printing.
    dest_.shared = !g_active.empty() || handed_;
    // Let go of the stream sys.stdout held only once everything else is settled: its last
    // reference may run Python code.
    Ref replaced;
    if (last && restores_stream_) {
        replaced = Ref::borrow(PySys_GetObject("stdout"));
        if (PySys_SetObject("stdout", restore_stream_.get()) < 0) failed();
    }
    restores_stream_ = false;
    restore_stream_.reset();
    if (fd_ || (last && !restore_fds_.empty())) {
        // Both flushes run while descriptor 1 still writes to standard error, so that output
        // buffered during the command lands there; then the descriptors are put back regardless.
        PyObject* err = PySys_GetObject("stderr");
        if (!err) {
            PyErr_SetString(PyExc_RuntimeError, "lost sys.stderr");
            failed();
        } else if (!flush(err)) {
            failed();
        }
        if (original_ && !flush(original_.get())) failed();
    }
    // The document's own descriptor is as it was when this began only if this one ended last
    // and its target was last put back by its own swap.
    bool own_state = last;
    if (last) {
        const SavedFd* final_for_target = nullptr;
        for (auto& fd : restore_fds_) {
            fd->restore();
            if (fd_ && fd->target() == fd_->target()) final_for_target = fd.get();
        }
        own_state = final_for_target == fd_.get();
    }
    restore_fds_.clear();
    dest_.stream = std::move(previous_);
    dest_.fd = fd_ && !own_state ? std::move(fd_) : nullptr;
    fd_.reset();
    original_.reset();
    if (!keep_destination) dest_ = Destination{};
    replaced.reset();
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

namespace {

// The whole line in one write to a descriptor, the GIL released meanwhile; a signal handler that
// raises ends it as it ends os.write.
bool write_all(int fd, const char* data, std::size_t size, const char* tail, std::size_t tail_size) {
    while (size + tail_size > 0) {
        iovec parts[2] = {{const_cast<char*>(data), size}, {const_cast<char*>(tail), tail_size}};
        ssize_t n;
        int error;
        Py_BEGIN_ALLOW_THREADS
        n = size > 0 ? writev(fd, parts, 2) : write(fd, tail, tail_size);
        error = errno;
        Py_END_ALLOW_THREADS
        if (n < 0) {
            if (error == EINTR) {
                if (PyErr_CheckSignals() < 0) return false;
                continue;
            }
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        auto done = static_cast<std::size_t>(n);
        std::size_t from_data = done < size ? done : size;
        data += from_data;
        size -= from_data;
        done -= from_data;
        tail += done;
        tail_size -= done;
    }
    return true;
}

// The stream's encoding and error handler as text, or the defaults print would not need.
const char* text_attribute(PyObject* stream, const char* name, const char* fallback, Ref& holder) {
    holder.reset(PyObject_GetAttrString(stream, name));
    const char* text = holder && PyUnicode_Check(holder.get()) ? PyUnicode_AsUTF8(holder.get()) : nullptr;
    if (!text) PyErr_Clear();
    return text ? text : fallback;
}

// Straight to the duplicate of what the stream's descriptor referred to when the redirection
// began: encoded as the stream encodes, one line in one write, nothing left buffered.
bool write_to_descriptor(int fd, PyObject* stream, PyObject* view, bool surrogates) {
    const Py_buffer* bytes = PyMemoryView_GET_BUFFER(view);
    const char* data = static_cast<const char*>(bytes->buf);
    if (!surrogates && is_utf8(stream)) return write_all(fd, data, static_cast<std::size_t>(bytes->len), "\n", 1);
    Ref text(PyUnicode_DecodeUTF8(data, bytes->len, "surrogatepass"));
    Ref line(text ? PyUnicode_Concat(text.get(), names().newline) : nullptr);
    if (!line) return false;
    Ref encoding_name, errors_name;
    const char* encoding = text_attribute(stream, "encoding", "utf-8", encoding_name);
    const char* errors = text_attribute(stream, "errors", "strict", errors_name);
    Ref encoded(PyUnicode_AsEncodedString(line.get(), encoding, errors));
    if (!encoded) return false;
    return write_all(fd, PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())),
                     nullptr, 0);
}

}  // namespace

bool print_document(JsonText& text, const Destination& where) {
    Ref view(text.bytes.finish());
    if (!view) return false;
    PyObject* out = where.stream.get();
    if (!out) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return false;
    }
    if (out == Py_None) return true;  // print() writes nothing without a console
    if (where.fd) return write_to_descriptor(where.fd->fd(), out, view.get(), text.surrogates);
    const Names& n = names();
    const bool text_wrapper = Py_TYPE(out) == module_state().text_wrapper;
    if (!text.surrogates && text_wrapper && is_utf8(out) && !where.shared) {
        if (!write_bytes(out, view.get())) return false;
    } else {
        const Py_buffer* bytes = PyMemoryView_GET_BUFFER(view.get());
        Ref line(PyUnicode_DecodeUTF8(static_cast<const char*>(bytes->buf), bytes->len, "surrogatepass"));
        if (!line) return false;
        // While other commands still print on the same streams, the line goes to the text layer in
        // one write, which hands it to the binary layer whole: nothing gets between the document
        // and its line feed. The text layer writes exactly what it would write in two.
        if (where.shared && text_wrapper) {
            Ref whole(PyUnicode_Concat(line.get(), n.newline));
            return whole && write_text(out, whole.get());
        }
        if (!write_text(out, line.get())) return false;
    }
    // The line feed goes through the text layer, which translates and line-buffers it as print's would be.
    return write_text(out, n.newline);
}

bool init_diagnostics_type(Module& m) {
    if (!init_gate()) return false;
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
