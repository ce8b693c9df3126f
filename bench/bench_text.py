"""Speed of _text against the same three steps written in plain Python."""
import json
import random
import time
import unicodedata

from publish.runprint import _text

HIDDEN = {"Cc", "Cf", "Zl", "Zp"}


def reference(value):
    text = json.dumps(value, ensure_ascii=False)
    if isinstance(value, str):
        text = text[1:-1]
    return "".join(f"\\u{ord(c):04x}" if unicodedata.category(c) in HIDDEN else c for c in text)


def values(n, seed=20261210):
    rng = random.Random(seed)
    chinese = ["成都三日游", "火锅、熊猫和夜景", "旅行", "美食", "周末咖啡，慢慢来", "第一行\n第二行"]
    ascii_ = ["travel vlog day 3", "/home/mei/videos/chengdu.mp4", "https://www.douyin.com/video/7312345678901234567",
              "PUB-bilibili", "2026-12-10T20:00:00+08:00", 'say "hi" C:\\tmp']
    hidden = ["\x1b[31mred\x1b[0m", "abc\u202edef", "x\u2028y\u2029z", "soft\u00adhyphen", "\x7f\x85",
              "👩\u200d💻", "\ufeffbom", "tag\U000e0001\U000e0041"]
    out = []
    for _ in range(n):
        kind = rng.random()
        if kind < 0.35:
            v = rng.choice(chinese) * rng.randint(1, 4)
        elif kind < 0.65:
            v = rng.choice(ascii_) * rng.randint(1, 3)
        elif kind < 0.85:
            v = rng.choice(chinese) + rng.choice(hidden) + rng.choice(ascii_)
        elif kind < 0.95:
            v = [rng.choice(chinese + ascii_ + hidden) for _ in range(rng.randint(0, 5))]
        else:
            v = rng.choice([None, 7312345678901234567, True, {"a": 1, "标签": ["旅行"]}])
        out.append(v)
    return out


def hostile(n, seed=20261211):
    """Strings of about 60 characters where most need an escape of one step or the other."""
    rng = random.Random(seed)
    escaped = ['"', "\\", "\t", "\n", "\r", "\x1b", "\u200b", "\u200d", "\u202e", "\u2066", "\u00ad", "\ufeff",
               "\u2028", "\x7f", "\x85", "\U000e0041"]
    plain = ["a", "Z", "7", " ", ":", "旅", "行", "é", "👩"]
    return ["".join(rng.choice(escaped if rng.random() < 0.6 else plain) for _ in range(60)) for _ in range(n)]


def once(fn, data):
    start = time.perf_counter()
    for v in data:
        fn(v)
    return time.perf_counter() - start


def timed(fns, data, rounds=7):
    """Best time of each function; rounds alternate so a busy machine slows both alike."""
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], once(fn, data))
    return best


def compare(name, data):
    mismatches = sum(_text(v) != reference(v) for v in data)
    if mismatches:
        raise SystemExit(f"{name}: {mismatches} values differ from the reference")
    native, python = timed([_text, reference], data)
    print(f"{name} ({len(data)} values)")
    print(f"  _text:       {native * 1e3:8.2f} ms  ({native / len(data) * 1e9:6.0f} ns each)")
    print(f"  pure Python: {python * 1e3:8.2f} ms")
    print(f"  ratio:       {native / python:8.4f}")


def main():
    compare("mixed records", values(20_000))
    compare("dense escapes", hostile(20_000))


if __name__ == "__main__":
    main()
