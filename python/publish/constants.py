"""Platform keys, their display names and title limits."""

# Order matters: listings and reports follow it.
PLATFORM_NAMES = {
    "douyin": "抖音",
    "kuaishou": "快手",
    "bilibili": "哔哩哔哩",
    "xiaohongshu": "小红书",
    "weibo": "微博",
    "tencent": "微信视频号",
    "tk": "TikTok",
    "baijiahao": "百家号",
}

# Longest title each platform accepts, in characters (code points).
TITLE_LIMITS = {
    "douyin": 30,
    "kuaishou": 30,
    "bilibili": 80,
    "xiaohongshu": 20,
    "weibo": 30,
    "tencent": 16,
    "tk": 150,
    "baijiahao": 30,
}
