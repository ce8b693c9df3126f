"""Whole-run entry points; a run drives browsers, so the full kamo runtime does it."""

from publish.standin import raise_unavailable


def publish_one_item(item: dict, platforms=None, **options):
    raise_unavailable("publishing an item")


async def run_publish(items=None, **options):
    raise_unavailable("running a publish")


def run_publish_sync(items=None, **options):
    raise_unavailable("running a publish")


def run_publish_with_params(params: dict | None = None, **options):
    raise_unavailable("running a publish")
