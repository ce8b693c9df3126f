// A stored cell with its storage class, and a row addressed by column name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace runlens {

struct Cell {
    // Other stands for a value no store can hold (a caller-made row with an odd Python object);
    // it fails every type check.
    enum class Type : std::uint8_t { Null, Integer, Real, Text, Blob, Other };
    Type type = Type::Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string bytes;  // text (valid UTF-8) or blob

    bool is_null() const { return type == Type::Null; }
    // Numeric equality as SQLite and Python see it: the integer 2 and the real 2.0 are both 2.
    bool equals(std::int64_t n) const {
        return (type == Type::Integer && integer == n) || (type == Type::Real && real == static_cast<double>(n));
    }
    bool is_integer() const { return type == Type::Integer; }
    bool is_text() const { return type == Type::Text; }
};

// Rows of one statement share their column names.
struct Row {
    std::shared_ptr<const std::vector<std::string>> names;
    std::vector<Cell> cells;

    // The cell under that column, or nullptr when the row has no such column.
    const Cell* get(std::string_view name) const {
        for (std::size_t i = 0; i < names->size(); ++i)
            if ((*names)[i] == name) return &cells[i];
        return nullptr;
    }

    // The cell under that column; a missing column reads as null.
    const Cell& cell(std::string_view name) const {
        static const Cell null;
        const Cell* c = get(name);
        return c ? *c : null;
    }
};

}  // namespace runlens
