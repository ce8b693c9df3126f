"""Plain-text output for publish results."""

from publish.constants import PLATFORM_NAMES


def print_header(title: str) -> None:
    print(f"==== {title} ====")


def print_results(results) -> None:
    """One line per result dict (platform, success, message), then a count."""
    ok = 0
    for result in results:
        platform = result.get("platform") or ""
        name = PLATFORM_NAMES.get(platform, platform or "未知平台")
        success = bool(result.get("success"))
        ok += success
        line = f"[{'成功' if success else '失败'}] {name}"
        if result.get("message"):
            line += f": {result['message']}"
        print(line)
    total = len(results)
    print(f"共 {total} 个，成功 {ok} 个，失败 {total - ok} 个")
