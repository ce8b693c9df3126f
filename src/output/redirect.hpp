// Standard output sent to standard error while a command runs: the stream sys.stdout, and
// descriptor 1 that child processes inherit.
#pragma once

#include <Python.h>

#include <list>
#include <memory>

#include "output/output.hpp"

namespace output {

// What descriptor `target` referred to before it was pointed elsewhere, kept as a private
// duplicate. The duplicate is closed exactly once, when the last holder lets go of it: the
// redirection that made it, the one it was handed to, or the document written through it.
class SavedFd {
public:
    // Points target where source points and keeps what it was; nothing when a descriptor cannot
    // be duplicated, and then nothing was changed.
    static std::shared_ptr<SavedFd> redirect(int target, int source);
    SavedFd(int target, int saved, int flags) : target_(target), saved_(saved), flags_(flags) {}
    SavedFd(const SavedFd&) = delete;
    SavedFd& operator=(const SavedFd&) = delete;
    ~SavedFd();
    // Points target back at what it was.
    void restore() const noexcept;
    int target() const { return target_; }
    int fd() const { return saved_; }

private:
    int target_;
    int saved_;
    int flags_;  // target's descriptor flags (close-on-exec), which dup2 does not keep
};

// Entering and leaving the redirection, and writing a document, one thread at a time across the
// process: recursive, so that Python code run meanwhile on the same thread may nest another
// redirection, and waited for without the GIL.
class Gate {
public:
    Gate();
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

private:
    bool held_ = false;
};

// Where a redirection's document goes once it has ended: the stream that standard output was when
// it began and, when that stream's descriptor no longer refers to what it did then (later
// redirections still hold it), the duplicate of what it was, to be written instead.
struct Destination {
    Ref stream;                   // may be null: standard output was missing
    std::shared_ptr<SavedFd> fd;  // null: write through the stream
    bool shared = false;          // it ended while overlapping other redirections
};

// The redirection's state between entry and exit. Redirections in force are kept in the order
// they began; they may end in any order (other threads), and whatever they end in, everything is
// put back once the last one has ended: one that ends while later ones are still in force leaves
// the redirection to them and hands what it would put back to the next later one.
class StdoutToStderr {
public:
    StdoutToStderr() = default;
    StdoutToStderr(const StdoutToStderr&) = delete;
    StdoutToStderr& operator=(const StdoutToStderr&) = delete;
    ~StdoutToStderr();
    // Redirects. False, with the failure set and nothing left redirected, when entry fails
    // otherwise than for want of a usable descriptor.
    bool enter();
    // Ends the redirection; must be called without a failure set. The last one in force puts
    // everything back; one that ends earlier leaves that to the later ones. False, with the
    // failure of a flush set, when one failed; descriptors are restored either way. With
    // keep_destination, destination() tells where the document goes until this object is gone.
    bool exit(bool keep_destination = false);
    Destination& destination() { return dest_; }

private:
    void leave_registry(bool& last);

    Ref original_;                 // sys.stdout on entry
    Ref previous_;                 // the sys.stdout entry swapped for stderr: where this one's document goes
    std::shared_ptr<SavedFd> fd_;  // this one's own descriptor swap
    bool registered_ = false;
    bool handed_ = false;          // an earlier redirection ended first and left its restoring here
    // What ending last puts back: sys.stdout, and descriptors in order (this one's own swap, then
    // those handed over by redirections that began earlier and ended first).
    bool restores_stream_ = false;
    Ref restore_stream_;
    std::list<std::shared_ptr<SavedFd>> restore_fds_;  // handed over by splicing: never fails
    Destination dest_;
};

// Sets up the gate; once, at load.
bool init_gate();

}  // namespace output
