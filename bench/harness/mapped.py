"""A running process's memory map, from /proc/PID/smaps: each mapping's range, file, size and
resident pages, and the mapping that holds a given address, such as a thread's stack pointer."""

import os
from dataclasses import dataclass

KIB = 1024


@dataclass
class Mapping:
    start: int
    end: int
    path: str  # the file mapped; empty for anonymous memory, "[heap]" and the like for the kernel's
    size: int  # bytes, every field in bytes
    rss: int
    pss: int

    def holds(self, address):
        return self.start <= address < self.end


def mappings(pid):
    """Every mapping of the process, in address order."""
    found = []
    with open(f"/proc/{pid}/smaps", encoding="utf-8", errors="replace") as smaps:
        for line in smaps:
            first, _, rest = line.partition(" ")
            if "-" in first and not first.endswith(":"):
                # "start-end perms offset dev inode [path]": the path may hold spaces.
                fields = rest.split(None, 4)
                start, end = (int(half, 16) for half in first.split("-"))
                found.append(Mapping(start, end, fields[4].strip() if len(fields) > 4 else "",
                                     0, 0, 0))
            elif first in ("Size:", "Rss:", "Pss:"):
                setattr(found[-1], first[:-1].lower(), int(rest.split()[0]) * KIB)
    return found


def of_files_named(maps, file_name):
    """The mappings of every file called `file_name`, wherever it is."""
    return [mapping for mapping in maps if os.path.basename(mapping.path) == file_name]


def holding(maps, address):
    """The mapping that holds `address`, or None."""
    return next((mapping for mapping in maps if mapping.holds(address)), None)
