// list_runs and get_run: argument check, existence, one connection, one snapshot.
#include "runlens/queries.hpp"

#include "runlens/failures.hpp"
#include "runlens/patterns.hpp"
#include "runlens/project.hpp"
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

Value list_runs(const std::string& path, std::int64_t limit, const std::optional<std::string>& before,
                const Environment& env, Interrupt interrupt, Reading reading) {
    bool present = exists(path);
    std::int64_t total = 0;
    kamo::List runs;
    if (present) {
        guarded([&] {
            Connection conn(path, interrupt);
            bool accounts = schema(conn);
            auto count = conn.prepare("SELECT COUNT(*) FROM runs").all();
            total = count.at(0).cells.at(0).integer;
            // Every listed row is read before any is checked, as fetching them all at once would.
            std::vector<Row> rows;
            if (!before) {
                rows = conn.prepare("SELECT * FROM runs ORDER BY rowid DESC LIMIT ?").all(CellView::of(limit));
            } else {
                // A page is ordered by the same "rowid" as the whole list (a column of that name
                // included) and bounded by the first row with the id. Of that row only its place
                // is read: it is not listed, so not checked.
                auto first = conn.prepare("SELECT rowid FROM runs WHERE run_id=? ORDER BY rowid LIMIT 1")
                                 .all(CellView::text(*before));
                if (first.empty()) throw invalid("未找到发布记录");
                const CellView bounds[] = {first[0].cells.at(0).view(), CellView::of(limit)};
                rows = conn.prepare("SELECT * FROM runs WHERE rowid < ? ORDER BY rowid DESC LIMIT ?").all(bounds, 2);
            }
            Projector projector(conn, env, accounts);
            projector.list(rows, reading == Reading::RunByRun);
            runs.reserve(rows.size());
            for (std::size_t k = 0; k < rows.size(); ++k) {
                conn.check();
                projector.check(k, rows[k]);
                runs.push_back(projector.summary());
            }
        });
    }
    kamo::Map out;
    out.reserve(5);
    out.emplace_back("database_present", Value(present));
    out.emplace_back("total", Value(total));
    out.emplace_back("limit", Value(limit));
    out.emplace_back("order", Value(lit("insertion_desc")));
    out.emplace_back("runs", Value(std::move(runs)));
    return Value(std::move(out));
}

Value get_run(const std::string& path, const std::string& run_id, const Environment& env, Interrupt interrupt) {
    if (!exists(path)) throw invalid("未找到发布记录");
    return guarded([&] {
        Connection conn(path, interrupt);
        bool accounts = schema(conn);
        // Only the first row with that id is read.
        Statement find = conn.prepare("SELECT * FROM runs WHERE run_id=?");
        find.start(CellView::text(run_id));
        if (!find.step()) throw invalid("未找到发布记录");
        Row row = find.copy();
        Projector projector(conn, env, accounts);
        std::vector<Value> results;
        projector.check(0, row, &results);
        return projector.projection(results);
    });
}

}  // namespace runlens
