// Account rows of a run and the identity status of each platform entry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runlens/cell.hpp"
#include "runlens/names.hpp"
#include "runlens/open_table.hpp"
#include "value/json.hpp"

namespace runlens {

// Account rows of a run keyed by (platform, account_file) with the equality of stored values.
// Holds copies of the cells, so rows can be read in place and let go.
class AccountMap {
public:
    void clear();
    // False when the pair is already present.
    bool add(const CellView& platform, const CellView& account_file, const CellView& identity);
    // What the identity stored under (platform, path) is: Bound (a well-formed identity),
    // Unbound (null) or Invalid (anything else); nullopt when no row exists. An absent or null
    // path looks up a null account_file; a path that is no string finds nothing.
    std::optional<Identity> find(std::string_view platform, kamo::json::Node path) const;

private:
    struct Stored {
        CellType type;
        std::int64_t integer;
        double real;
        std::size_t offset, size;  // bytes in arena_
    };
    struct Account {
        Stored platform, account_file;
        Identity identity;  // judged once per row, not once per entry that looks it up
    };
    Stored store(const CellView& c);
    CellView view(const Stored& s) const;
    std::uint32_t lookup(const CellView& platform, const CellView& account_file) const;

    // A run records a handful of accounts: a scan beats a table until there are more than 8.
    OpenTable<Account, 8> rows_;
    std::string arena_;
};

// Whether an identity status lets a resume go on to its checks: a runnable entry without one
// has a broken record.
constexpr bool usable(Identity i) { return i != Identity::NotRecorded && i != Identity::Invalid; }

// The identity status of a platform entry; a runnable entry of a version 2 run without a usable
// identity fails.
Identity identity(const CellView& version, const AccountMap& accounts, std::string_view platform,
                  kamo::json::Node path, bool runnable);

}  // namespace runlens
