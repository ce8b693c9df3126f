"""Per-platform entry points. Logging in and uploading drive a browser, so here they only
say where that work happens; the one real answer is which platforms need a login."""

from publish.constants import PLATFORM_NAMES
from publish.standin import raise_unavailable


def platform_requires_account_login(platform: str) -> bool:
    """True for every platform kamo knows: each one publishes as a logged-in account.

    An unknown key is not a platform we can log in to, so it gets False.
    """
    return platform in PLATFORM_NAMES


def ensure_login(platform: str, account_file=None, **options):
    raise_unavailable(f"logging in to {PLATFORM_NAMES.get(platform, platform)}")


def ensure_account_login(platform: str, account_file=None, **options):
    raise_unavailable(f"checking the {PLATFORM_NAMES.get(platform, platform)} account login")


def _publisher(platform: str):
    def publish(content: dict, account_file=None, **options):
        raise_unavailable(f"publishing to {PLATFORM_NAMES[platform]}")

    publish.__name__ = publish.__qualname__ = f"publish_to_{platform}"
    publish.__doc__ = f"Publish one post to {PLATFORM_NAMES[platform]} ({platform})."
    return publish


publish_to_douyin = _publisher("douyin")
publish_to_kuaishou = _publisher("kuaishou")
publish_to_bilibili = _publisher("bilibili")
publish_to_xiaohongshu = _publisher("xiaohongshu")
publish_to_weibo = _publisher("weibo")
publish_to_tencent = _publisher("tencent")
publish_to_tk = _publisher("tk")
publish_to_baijiahao = _publisher("baijiahao")

_PUBLISHERS = {key: globals()[f"publish_to_{key}"] for key in PLATFORM_NAMES}


def publish_to_platform(platform: str, content: dict, account_file=None, **options):
    """Route to the platform's publisher; an unknown key is the caller's mistake."""
    try:
        publisher = _PUBLISHERS[platform]
    except KeyError:
        raise ValueError(f"unknown platform: {platform!r}") from None
    return publisher(content, account_file, **options)
