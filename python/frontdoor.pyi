"""Compatibility entrypoint; publishing exports load only when requested."""

# Each export is the publishing runtime's own object, so its type is whatever that module
# declares; at run time all but build_parser and main load on first use.
import os as os
import subprocess as subprocess
import sys as sys
from datetime import datetime as datetime
from importlib import import_module as import_module
from pathlib import Path as Path

from publish.cli import build_parser as build_parser, main as main
from publish.config import (
    PublishOverrides as PublishOverrides,
    default_params_from_overrides as default_params_from_overrides,
)
from publish.constants import PLATFORM_NAMES as PLATFORM_NAMES, TITLE_LIMITS as TITLE_LIMITS
from publish.content import (
    fill_empty_content as fill_empty_content,
    get_video_content as get_video_content,
    get_video_files as get_video_files,
    load_content_templates as load_content_templates,
    resolve_path as resolve_path,
    truncate_title as truncate_title,
)
from publish.dispatch import (
    ensure_account_login as ensure_account_login,
    ensure_login as ensure_login,
    platform_requires_account_login as platform_requires_account_login,
    publish_to_baijiahao as publish_to_baijiahao,
    publish_to_bilibili as publish_to_bilibili,
    publish_to_douyin as publish_to_douyin,
    publish_to_kuaishou as publish_to_kuaishou,
    publish_to_platform as publish_to_platform,
    publish_to_tencent as publish_to_tencent,
    publish_to_tk as publish_to_tk,
    publish_to_weibo as publish_to_weibo,
    publish_to_xiaohongshu as publish_to_xiaohongshu,
)
from publish.orchestrator import (
    publish_one_item as publish_one_item,
    run_publish as run_publish,
    run_publish_sync as run_publish_sync,
    run_publish_with_params as run_publish_with_params,
)
from publish.reporter import print_header as print_header, print_results as print_results
from publish.runtime import (
    install_patchright_chromium as install_patchright_chromium,
    patchright_available as patchright_available,
    patchright_chromium_installed as patchright_chromium_installed,
    playwright_browser_cache_dirs as playwright_browser_cache_dirs,
    run_async_for_test as run_async_for_test,
    runtime_preflight as runtime_preflight,
    sync_python_dependencies as sync_python_dependencies,
)

__all__ = [
    "build_parser",
    "main",
    "PublishOverrides",
    "default_params_from_overrides",
    "fill_empty_content",
    "get_video_content",
    "get_video_files",
    "load_content_templates",
    "resolve_path",
    "truncate_title",
    "PLATFORM_NAMES",
    "TITLE_LIMITS",
    "ensure_account_login",
    "ensure_login",
    "platform_requires_account_login",
    "publish_to_baijiahao",
    "publish_to_bilibili",
    "publish_to_douyin",
    "publish_to_kuaishou",
    "publish_to_platform",
    "publish_to_tencent",
    "publish_to_tk",
    "publish_to_weibo",
    "publish_to_xiaohongshu",
    "publish_one_item",
    "run_publish",
    "run_publish_sync",
    "run_publish_with_params",
    "print_header",
    "print_results",
    "install_patchright_chromium",
    "patchright_available",
    "patchright_chromium_installed",
    "playwright_browser_cache_dirs",
    "run_async_for_test",
    "runtime_preflight",
    "sync_python_dependencies",
]

def __dir__() -> list[str]: ...
