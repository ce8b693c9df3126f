// The closed sets of names the history records carry, each an enum with its record keys in one
// table. Header only and free of SQLite, so the text listing reads the same names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace runlens {

enum class State : std::uint8_t { Pending, Running, Success, Failed };
enum class Resume : std::uint8_t { ReuseSuccess, RequiresChecks, BlockedUnknown, BlockedIdentity };
enum class Identity : std::uint8_t { Legacy, Bound, Unbound, NotRecorded, Invalid };
enum class Attribution : std::uint8_t { RecordedLink, MissingLink, InvalidLink, NotConfirmed };

// Record keys in enum order: the order of the "states" and "resume" counts of every record.
inline constexpr std::array<std::string_view, 4> kStateKeys{"pending", "running", "success", "failed"};
inline constexpr std::array<std::string_view, 4> kResumeKeys{"reuse_success", "requires_checks", "blocked_unknown",
                                                             "blocked_identity"};
inline constexpr std::array<std::string_view, 5> kIdentityKeys{"legacy", "bound", "unbound", "not_recorded",
                                                               "invalid"};
inline constexpr std::array<std::string_view, 4> kAttributionKeys{"recorded_link", "missing_link", "invalid_link",
                                                                  "not_confirmed"};

namespace names_detail {
template <class E> struct Keys;
template <> struct Keys<State> { static constexpr const auto& table = kStateKeys; };
template <> struct Keys<Resume> { static constexpr const auto& table = kResumeKeys; };
template <> struct Keys<Identity> { static constexpr const auto& table = kIdentityKeys; };
template <> struct Keys<Attribution> { static constexpr const auto& table = kAttributionKeys; };
}  // namespace names_detail

template <class E>
constexpr std::string_view name_of(E e) {
    return names_detail::Keys<E>::table[static_cast<std::size_t>(e)];
}

// The value a record key names, or nullopt for a key outside the set.
template <class E>
constexpr std::optional<E> parse_name(std::string_view key) {
    const auto& table = names_detail::Keys<E>::table;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i] == key) return static_cast<E>(i);
    return std::nullopt;
}

}  // namespace runlens
