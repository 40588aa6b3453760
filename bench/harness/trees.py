"""Benchmark trees: N directories with fanout 10 made breadth first, three small files in each,
made once under the temporary folder and reused by later runs; several of the same size under
names of their own where a measurement needs them apart."""

import os
import shutil
import tempfile
from dataclasses import dataclass

BASE = os.path.join(tempfile.gettempdir(), "windowsfscm-bench")
FANOUT = 10
FILES = ("file0", "file1", "file2")
CONTENT = b"bench\n"


@dataclass
class Tree:
    root: str
    directories: list  # every directory, breadth first: the last one is one of the deepest

    @property
    def size(self):
        return len(self.directories)

    @property
    def deepest(self):
        return self.directories[-1]

    def average_name_bytes(self):
        """The mean length of a directory's own name, which the library stores once."""
        names = [len(os.path.basename(path)) for path in self.directories[1:]]
        return sum(names) / max(1, len(names))


def _breadth_first(root, count):
    directories = [root]
    parent = 0
    while len(directories) < count:
        for i in range(FANOUT):
            if len(directories) == count:
                break
            directories.append(os.path.join(directories[parent], f"d{i}"))
        parent += 1
    return directories


def ensure_tree(count, name=None):
    root = os.path.join(BASE, name or f"tree-{count}")
    complete = root + ".complete"
    tree = Tree(root, _breadth_first(root, count))
    if not os.path.exists(complete):
        shutil.rmtree(root, ignore_errors=True)
        for directory in tree.directories:
            os.makedirs(directory)
            for name in FILES:
                with open(os.path.join(directory, name), "wb") as file:
                    file.write(CONTENT)
        with open(complete, "w", encoding="ascii") as marker:
            marker.write(f"{count}\n")
    if not os.path.isdir(tree.deepest):
        raise RuntimeError(f"benchmark tree is damaged: {root} (remove {complete} to remake it)")
    return tree
