// URL splitting and the link shape test. The first input byte picks the platform, the rest is the
// link. Splitting gives parts that lie in the text; an accepted link meets every rule it must.
#include <cstdint>
#include <string_view>

#include "common.hpp"
#include "runlens/links.hpp"

namespace {

constexpr std::string_view kPlatforms[] = {"douyin", "kuaishou", "bilibili", "xiaohongshu", "weibo",
                                           "tencent", "tk", "baijiahao", "youtube"};

bool inside(std::string_view part, std::string_view text) {
    return part.empty() || text.find(part) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string_view platform = kPlatforms[data[0] % std::size(kPlatforms)];
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    auto parts = runlens::split_url(text);
    if (parts) {
        fuzz::check(inside(parts->netloc, text) && inside(parts->path, text) && inside(parts->query, text) &&
                        inside(parts->fragment, text),
                    "a part that is not in the text");
        fuzz::check(!parts->port_text || (!parts->port_text->empty() && inside(*parts->port_text, parts->netloc)),
                    "a port that is not in the network location");
        fuzz::check(!parts->hostname || !parts->hostname->empty(), "an empty host name that is not absent");
    }
    bool valid = runlens::valid_link(platform, text);
    if (valid) {
        fuzz::check(parts && parts->scheme == "https", "accepted without the https scheme");
        fuzz::check(parts->netloc.find('@') == std::string_view::npos, "accepted with credentials");
        fuzz::check(parts->hostname.has_value(), "accepted without a host");
        for (unsigned char c : text) fuzz::check(c > 0x20 && c != 0x7F, "accepted with a space or control");
        fuzz::check(!parts->path.empty() && parts->path[0] == '/', "accepted with a relative path");
    }
    return 0;
}
