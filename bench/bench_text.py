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


def main():
    data = values(20_000)
    mismatches = sum(_text(v) != reference(v) for v in data)
    if mismatches:
        raise SystemExit(f"{mismatches} values differ from the reference")
    native, python = timed([_text, reference], data)
    print(f"values:      {len(data)}")
    print(f"_text:       {native * 1e3:8.2f} ms")
    print(f"pure Python: {python * 1e3:8.2f} ms")
    print(f"ratio:       {native / python:8.4f}")


if __name__ == "__main__":
    main()
