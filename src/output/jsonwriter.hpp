// Python objects to JSON text, written as UTF-8 into one buffer, byte for byte what
// json.dumps(obj, ensure_ascii=False) gives once encoded.
#pragma once

#include <Python.h>

#include <cstddef>

namespace output {

// A growable byte buffer on the C heap (not Python's allocator, so growing it never runs Python).
class Utf8Buffer {
public:
    Utf8Buffer() = default;
    Utf8Buffer(const Utf8Buffer&) = delete;
    Utf8Buffer& operator=(const Utf8Buffer&) = delete;
    ~Utf8Buffer();

    // Room for n more bytes at the end; nullptr, with MemoryError set, when it cannot grow.
    char* room(std::size_t n) { return cap_ - size_ >= n ? data_ + size_ : grow(n); }
    // The bytes up to `end` (inside the last room) are written.
    void commit(char* end) { size_ = static_cast<std::size_t>(end - data_); }

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    char* grow(std::size_t n);
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
