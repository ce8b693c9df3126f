"""Stand-in for kamo's publishing runtime, next to the read-only history modules.

Kept import-light on purpose: importing the package must not pull in the
native history modules or anything heavy.
"""
