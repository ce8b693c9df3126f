// Account rows of a run, and what they say of each entry's account identity.
#include "runlens/accounts.hpp"

#include "runlens/failures.hpp"
#include "runlens/patterns.hpp"

namespace runlens {

using kamo::json::Node;

namespace {

std::size_t pair_hash(const CellView& platform, const CellView& account_file) {
    return value_hash(platform) * 31 + value_hash(account_file);
}

}  // namespace

AccountMap::Stored AccountMap::store(const CellView& c) {
    Stored s{c.type, c.integer, c.real, arena_.size(), c.bytes.size()};
    arena_.append(c.bytes);
    return s;
}

CellView AccountMap::view(const Stored& s) const {
    CellView c;
    c.type = s.type;
    c.integer = s.integer;
    c.real = s.real;
    c.bytes = std::string_view(arena_).substr(s.offset, s.size);
    return c;
}

void AccountMap::clear() {
    rows_.clear();
    arena_.clear();
}

std::uint32_t AccountMap::lookup(const CellView& platform, const CellView& account_file) const {
    return rows_.find(pair_hash(platform, account_file), [&](const Account& a) {
        return same_value(view(a.platform), platform) && same_value(view(a.account_file), account_file);
    });
}

bool AccountMap::add(const CellView& platform, const CellView& account_file, const CellView& identity) {
    if (lookup(platform, account_file) != rows_.npos) return false;
    Identity status = identity.is_null()                                     ? Identity::Unbound
                      : identity.is_text() && match_identity(identity.bytes) ? Identity::Bound
                                                                             : Identity::Invalid;
    rows_.push(pair_hash(platform, account_file), Account{store(platform), store(account_file), status});
    return true;
}

std::optional<Identity> AccountMap::find(std::string_view platform, Node path) const {
    CellView key_platform = CellView::text(platform);
    CellView key_path;  // absent or null: a null account_file
    if (path.is_str())
        key_path = CellView::text(path.as_str());
    else if (path && !path.is_null())
        return std::nullopt;  // snapshot validation admits only a path or null here
    std::uint32_t n = lookup(key_platform, key_path);
    if (n == rows_.npos) return std::nullopt;
    return rows_[n].identity;
}

Identity identity(const CellView& version, const AccountMap& accounts, std::string_view platform, Node path,
                  bool runnable) {
    if (equals_int(version, 1)) return Identity::Legacy;
    Identity found = accounts.find(platform, path).value_or(Identity::NotRecorded);
    if (runnable && !usable(found)) throw invalid("发布记录中的原账号身份已损坏");
    return found;
}

}  // namespace runlens
