"""Platform keys and display names."""

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

TITLE_LIMITS = {}
