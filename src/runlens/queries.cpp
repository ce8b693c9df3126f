// list_runs and get_run: argument check, existence, one connection, one snapshot.
#include "runlens/queries.hpp"

#include "runlens/project.hpp"
#include "runlens/rules.hpp"
#include "runlens/store.hpp"

namespace runlens {

using kamo::lit;
using kamo::Value;

std::int64_t checked_limit(const Value& limit) {
    if (limit.kind() != Value::Kind::Int || limit.as_int() < 1 || limit.as_int() > 200)
        throw invalid("查询数量必须是 1–200 的整数");
    return limit.as_int();
}

std::string checked_run_id(const Value& run_id) {
    if (!run_id.is_str() || !match_uuid(run_id.as_str())) throw invalid("run_id 格式无效");
    return std::string(run_id.as_str());
}

namespace {

Value summary(Value run) {
    Value* items = run.find("items");
    const kamo::List& list = items->as_list();
    std::int64_t entries = 0;
    for (const auto& [state, count] : run.find("states")->as_map()) entries += count.as_int();
    kamo::Map s;
    s.reserve(8);
    s.emplace_back("run_id", std::move(*run.find("run_id")));
    s.emplace_back("version", std::move(*run.find("version")));
    s.emplace_back("created_at", Value(nullptr));
    s.emplace_back("title", list.empty() ? Value(lit("")) : std::move(*list.front().find("title")));
    s.emplace_back("item_count", Value(static_cast<std::int64_t>(list.size())));
    s.emplace_back("entry_count", Value(entries));
    s.emplace_back("states", std::move(*run.find("states")));
    s.emplace_back("resume", std::move(*run.find("resume")));
    return Value(std::move(s));
}

}  // namespace

Value list_runs(const std::string& path, std::int64_t limit, const Environment& env, Interrupt interrupt) {
    kamo::Map out;
    out.emplace_back("database_present", Value(false));
    out.emplace_back("total", Value(std::int64_t{0}));
    out.emplace_back("limit", Value(limit));
    out.emplace_back("order", Value(lit("insertion_desc")));
    out.emplace_back("runs", Value(kamo::List{}));
    if (!exists(path)) return Value(std::move(out));
    guarded([&] {
        Connection conn(path, interrupt);
        bool accounts = schema(conn);
        out[0].second = Value(true);
        auto count = conn.prepare("SELECT COUNT(*) FROM runs").all();
        out[1].second = Value(count.at(0).cells.at(0).integer);
        Cell param;
        param.type = Cell::Type::Integer;
        param.integer = limit;
        auto rows = conn.prepare("SELECT * FROM runs ORDER BY rowid DESC LIMIT ?").all(param);
        RunStatements statements(conn);
        kamo::List& runs = out[4].second.as_list();
        runs.reserve(rows.size());
        for (const Row& r : rows) {
            conn.check();
            runs.push_back(summary(project(statements, r, accounts, env, Detail::Summary)));
        }
    });
    return Value(std::move(out));
}

Value get_run(const std::string& path, const std::string& run_id, const Environment& env, Interrupt interrupt) {
    if (!exists(path)) throw invalid("未找到发布记录");
    return guarded([&] {
        Connection conn(path, interrupt);
        bool accounts = schema(conn);
        Cell param;
        param.type = Cell::Type::Text;
        param.bytes = run_id;
        auto rows = conn.prepare("SELECT * FROM runs WHERE run_id=?").all(param);
        if (rows.empty()) throw invalid("未找到发布记录");
        RunStatements statements(conn);
        return project(statements, rows.front(), accounts, env);
    });
}

}  // namespace runlens
