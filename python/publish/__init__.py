"""Stand-in for the kamo publishing runtime."""
