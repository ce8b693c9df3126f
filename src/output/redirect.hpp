// Standard output sent to standard error while a command runs: the stream sys.stdout, and
// descriptor 1 that child processes inherit.
#pragma once

#include <Python.h>

#include <optional>

#include "output/output.hpp"

namespace output {

// Descriptor `target` writing wherever `source` writes, for as long as this object lives: the
// destructor (or restore()) points it back at what it was, on every path.
class FdSwap {
public:
    // Nothing when a descriptor cannot be duplicated; then nothing was changed.
    static std::optional<FdSwap> make(int target, int source);
    FdSwap(FdSwap&& o) noexcept : target_(o.target_), saved_(o.saved_), flags_(o.flags_) { o.saved_ = -1; }
    FdSwap& operator=(FdSwap&&) = delete;
    ~FdSwap() { restore(); }
    void restore() noexcept;

private:
    FdSwap(int target, int saved, int flags) : target_(target), saved_(saved), flags_(flags) {}
    int target_;
    int saved_;  // the duplicate of target as it was; -1 once restored
    int flags_;  // target's descriptor flags (close-on-exec), which dup2 does not keep
};

// The redirection's state between entry and exit.
class StdoutToStderr {
public:
    // Redirects. False, with the failure set and nothing left redirected, when entry fails
    // otherwise than for want of a usable descriptor.
    bool enter();
    // Undoes the redirection; must be called without a failure set. False, with the failure of
    // a flush set, when one failed; the descriptor is restored either way.
    bool exit();

private:
    Ref original_;           // sys.stdout on entry
    Ref previous_;           // what step 3 replaced
    bool swapped_ = false;   // sys.stdout is standard error
    std::optional<FdSwap> fd_;
};

}  // namespace output
