// The whole store path: the input is written as the store file, then list_runs, get_run and the
// page before that run read it through the core. Each gives a record or a HistoryError, nothing
// else; the file keeps its bytes, no other file appears beside it, and every record prints as
// inert lines.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "linked_sqlite.hpp"
#include "runfault/history_error.hpp"
#include "runprint/render.hpp"
#include "runlens/queries.hpp"

namespace {

using kamo::Value;

// The run of the seed stores, so get_run finds one to project.
constexpr std::string_view kRunId = "5d1e8c72-9f0a-4b3c-8d2e-6f7a8b9c0d1e";

const runlens::PlatformKeys kKeys = {"douyin", "kuaishou", "bilibili", "xiaohongshu",
                                     "weibo",  "tencent",  "tk",       "baijiahao"};

const runprint::PlatformNames& names() {
    static const runprint::PlatformNames n = {
        {"douyin", "抖音"},  {"kuaishou", "快手"},    {"bilibili", "B站"},   {"xiaohongshu", "小红书"},
        {"weibo", "微博"},   {"tencent", "视频号"},   {"tk", "TikTok"},      {"baijiahao", "百家号"},
    };
    return n;
}

std::string folder;
std::string store;

void remove_folder() {
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") unlink((folder + "/" + name).c_str());
        }
        closedir(d);
    }
    rmdir(folder.c_str());
}

std::vector<std::string> listing() {
    std::vector<std::string> names;
    DIR* d = opendir(folder.c_str());
    fuzz::check(d != nullptr, "the store's folder is gone");
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    return names;
}

void write_all(const std::string& path, const std::uint8_t* data, std::size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    fuzz::check(fd >= 0, "cannot write the store");
    while (size) {
        ssize_t n = write(fd, data, size);
        fuzz::check(n > 0, "cannot write the store");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    close(fd);
}

std::string read_all(const std::string& path) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    fuzz::check(fd >= 0, "the store file is gone");
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return out;
}

// Every piece the listing writes is one inert line, or its line feed; only the title block holds
// line feeds of its own, the two the layout puts before its description and tags.
void check_listing(const Value& record, runprint::Layout layout) {
    std::vector<std::string> pieces;
    runprint::print_history(record, layout, names(), [&](std::string_view p) { pieces.emplace_back(p); });
    for (const std::string& p : pieces) {
        if (p == "\n") continue;
        std::string_view rest = p;
        if (rest.substr(0, 9) == "标题：") {
            std::size_t a = rest.find('\n'), b = rest.find('\n', a + 1);
            fuzz::check(a != rest.npos && b != rest.npos && rest.find('\n', b + 1) == rest.npos &&
                            rest.substr(a + 1, 9) == "描述：" && rest.substr(b + 1, 9) == "标签：",
                        "a forged line in the title block");
            fuzz::check(fuzz::inert(rest, U"\n"), "a hidden character in the title block");
            continue;
        }
        fuzz::check(fuzz::inert(rest), "a hidden character or line feed in a listed line");
    }
}

// A record, or a HistoryError of the two codes the reader raises; any other exception escapes
// and libFuzzer reports it.
template <class Query>
bool outcome(Query&& query, Value& record) {
    try {
        record = query();
        return true;
    } catch (const runfault::HistoryError& e) {
        fuzz::check(e.code == "RUN-003" || e.code == "RUN-005", "a HistoryError with another code");
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const runlens::sqlite::Routines* sqlite = kamo_fuzz::linked_sqlite();
    fuzz::check(runlens::sqlite::unusable(*sqlite).empty(), "the linked SQLite cannot serve the reader");
    runlens::sqlite::install(sqlite);
    char tmpl[] = "/tmp/kamo-fuzz-store-XXXXXX";
    fuzz::check(mkdtemp(tmpl) != nullptr, "cannot make a folder");
    folder = tmpl;
    store = folder + "/history.sqlite3";
    std::atexit(remove_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    write_all(store, data, size);

    Value list;
    if (outcome([&] { return runlens::list_runs(store, 200, std::nullopt, kKeys); }, list)) {
        check_listing(list, runprint::Layout::List);
        const Value* runs = list.find("runs");
        fuzz::check(runs && runs->is_list(), "a run list without runs");
        for (const Value& run : runs->as_list()) {
            const Value* states = run.find("states");
            std::int64_t sum = 0;
            for (const auto& [state, count] : states->as_map()) sum += count.as_int();
            fuzz::check(run.find("entry_count")->as_int() == sum, "entry count and states disagree");
        }
    }
    Value detail;
    if (outcome([&] { return runlens::get_run(store, std::string(kRunId), kKeys); }, detail))
        check_listing(detail, runprint::Layout::Detail);
    // The page before that run counts the same runs as the whole list.
    Value page;
    if (outcome([&] { return runlens::list_runs(store, 200, std::string(kRunId), kKeys); }, page)) {
        check_listing(page, runprint::Layout::List);
        if (list.is_map())
            fuzz::check(page.find("total")->as_int() == list.find("total")->as_int(), "a page with another total");
    }

    fuzz::check(read_all(store) == std::string_view(reinterpret_cast<const char*>(data), size),
                "the store's bytes changed");
    auto files = listing();
    if (files.size() != 1) {
        for (const auto& f : files) std::fprintf(stderr, "beside the store: %s\n", f.c_str());
        fuzz::fail("a file appeared beside the store");
    }
    return 0;
}
