// Python objects to JSON text, written as UTF-8 into one buffer, byte for byte what
// json.dumps(obj, ensure_ascii=False) gives once encoded.
#pragma once

#include <Python.h>

#include <cstddef>

namespace output {

// A growable byte buffer that is a bytes object from the start, so the finished text is handed
// on without a copy. Nothing else sees the object until finish(), so it may be resized in place;
// bytes are not tracked by the garbage collector, so growing never runs Python code.
class Utf8Buffer {
public:
    Utf8Buffer() = default;
    Utf8Buffer(const Utf8Buffer&) = delete;
    Utf8Buffer& operator=(const Utf8Buffer&) = delete;
    ~Utf8Buffer() { Py_XDECREF(bytes_); }

    // Room for n more bytes at the end; nullptr, with MemoryError set, when it cannot grow.
    char* room(std::size_t n) { return cap_ - size_ >= n ? data_ + size_ : grow(n); }
    // The bytes up to `end` (inside the last room) are written.
    void commit(char* end) { size_ = static_cast<std::size_t>(end - data_); }

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // The bytes written, as a read-only memoryview of a bytes object that holds exactly them and
    // nothing more (a new reference), or nullptr with an error set; the buffer is empty afterwards.
    PyObject* finish();

private:
    char* grow(std::size_t n);
    PyObject* bytes_ = nullptr;
    char* data_ = nullptr;
    std::size_t size_ = 0, cap_ = 0;
};

struct JsonText {
    Utf8Buffer bytes;
    // Lone surrogates were written (as the bytes "surrogatepass" gives them): the text is not
    // well-formed UTF-8 and must be decoded with that handler to get json.dumps's str back.
    bool surrogates = false;
};

// Writes obj into out. On failure returns false with the exception json.dumps raises for the
// same object (TypeError, ValueError, RecursionError...); out is then to be discarded.
bool write_json(PyObject* obj, JsonText& out);

}  // namespace output
