// The history layer's one failure, as the C++ core raises it; the binding turns it into Python's.
#pragma once

#include <exception>
#include <string>

namespace runfault {

// The lower-level failure behind a HistoryError, kept as plain data so the core needs no Python.
struct Cause {
    enum class Kind {
        None,
        Value,   // decoding or parsing failure: becomes ValueError(text)
        Type,    // value of the wrong type: becomes TypeError(text)
        OS,      // file-system failure: OSError(number, strerror(number), path)
        Sqlite,  // storage-engine failure: the sqlite3 error class of its code, with code and text
    };
    Kind kind = Kind::None;
    int number = 0;      // errno or SQLite extended result code
    std::string text;    // decoder text, or SQLite's message
    std::string path;    // file the OS error is about

    static Cause value(std::string text) { return {Kind::Value, 0, std::move(text), {}}; }
    static Cause type(std::string text) { return {Kind::Type, 0, std::move(text), {}}; }
    static Cause os(int number, std::string path) { return {Kind::OS, number, {}, std::move(path)}; }
    static Cause sqlite(int code, std::string message) { return {Kind::Sqlite, code, std::move(message), {}}; }
};

class HistoryError : public std::exception {
public:
    HistoryError(std::string code, std::string message, std::string action, Cause cause = {})
        : code(std::move(code)), message(std::move(message)), action(std::move(action)),
          cause(std::move(cause)) {}
    const char* what() const noexcept override { return message.c_str(); }

    std::string code;
    std::string message;
    std::string action;
    Cause cause;
};

}  // namespace runfault
