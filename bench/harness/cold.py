"""Starts with nothing cached: before each one the kernel drops its page cache and its caches of
directory entries and inodes, so the start reads the tree from the disk, as the first start
after a boot does, or a start on a tree larger than the memory. Dropping them takes root."""

import os

DROP_CACHES = "/proc/sys/vm/drop_caches"


def drop_caches():
    os.sync()  # only clean pages can be dropped
    with open(DROP_CACHES, "w", encoding="ascii") as caches:
        caches.write("3\n")


def unavailable(tree_filesystem):
    """Why cold starts cannot be measured on this machine, or None when they can."""
    if tree_filesystem in ("tmpfs", "ramfs"):
        return f"the trees are on {tree_filesystem}, whose files live in the page cache"
    if os.geteuid() != 0:
        return "not run as root, so the page cache could not be dropped"
    try:
        drop_caches()
    except OSError as error:
        return f"the page cache could not be dropped: {error.strerror}"
    return None
