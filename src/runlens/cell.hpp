// A stored cell with its storage class, the one equality rule of stored values, and owned rows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace runlens {

// Other stands for a value no store can hold (a caller-made row with an odd Python object); it
// fails every type check and equals nothing.
enum class CellType : std::uint8_t { Null, Integer, Real, Text, Blob, Other };

// A cell read in place: its bytes belong to the statement row or the Cell it was read from.
struct CellView {
    using Type = CellType;
    Type type = Type::Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string_view bytes;  // text (valid UTF-8) or blob

    static CellView of(std::int64_t n) {
        CellView c;
        c.type = Type::Integer;
        c.integer = n;
        return c;
    }
    static CellView text(std::string_view s) {
        CellView c;
        c.type = Type::Text;
        c.bytes = s;
        return c;
    }
    bool is_null() const { return type == Type::Null; }
    bool is_integer() const { return type == Type::Integer; }
    bool is_text() const { return type == Type::Text; }
};

// A cell that owns its bytes.
struct Cell {
    using Type = CellType;
    Type type = Type::Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string bytes;

    Cell() = default;
    explicit Cell(const CellView& v) : type(v.type), integer(v.integer), real(v.real), bytes(v.bytes) {}
    CellView view() const {
        CellView v;
        v.type = type;
        v.integer = integer;
        v.real = real;
        v.bytes = bytes;
        return v;
    }
    bool is_null() const { return type == Type::Null; }
    bool is_integer() const { return type == Type::Integer; }
    bool is_text() const { return type == Type::Text; }
};

// The one equality of stored values: SQLite's IS, which is also Python's == on the values its
// sqlite3 module returns. Numbers compare by exact value (the integer 2 and the real 2.0 are equal,
// 2^53 + 1 and the real 2^53 are not), text with text and blob with blob byte for byte, null with
// null; nothing else is equal.
bool same_value(const CellView& a, const CellView& b);
// A hash that agrees with same_value.
std::size_t value_hash(const CellView& c);
// same_value with an integer.
inline bool equals_int(const CellView& c, std::int64_t n) { return same_value(c, CellView::of(n)); }

// A row that owns its cells, addressed by column name; rows of one statement share the names.
struct Row {
    std::shared_ptr<const std::vector<std::string>> names;
    std::vector<Cell> cells;
    // Text cells are checked UTF-8, as every row read from the store is; a row made by a caller
    // may hold any bytes.
    bool text_checked = true;

    // The cell under that column, or nullptr when the row has no such column.
    const Cell* get(std::string_view name) const {
        for (std::size_t i = 0; i < names->size(); ++i)
            if ((*names)[i] == name) return &cells[i];
        return nullptr;
    }

    // The cell under that column; a missing column reads as null.
    CellView cell(std::string_view name) const {
        const Cell* c = get(name);
        return c ? c->view() : CellView{};
    }
};

}  // namespace runlens
