"""The watchers measured against ours, how to run each, and which of them this machine has.

A peer that is missing is skipped with a line saying how to get it; nothing is installed here."""

import os
import shutil

from harness.watchers import CountingWatcher, LineWatcher

NODE_FOLDER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "node")
PARCEL_SCRIPT = os.path.join(NODE_FOLDER, "parcel_bench.js")
# The floor's mask in inotifywait's words: names, writes, attributes, and the directory itself.
INOTIFYWAIT_EVENTS = "modify,attrib,move,create,delete,delete_self,move_self"

NAMES = {
    "floor": "floor",
    "ours": "windowsfscm",
    "inotifywait": "inotifywait -r -m",
    "parcel": "@parcel/watcher",
    "java_ours": "windowsfscm (Java)",
    "watchservice": "WatchService (Java)",
}


class Peers:
    def __init__(self, programs):
        self.programs = programs
        self.skipped = []
        self.inotifywait = shutil.which("inotifywait")
        if not self.inotifywait:
            self.skipped.append("inotifywait: not installed (Debian package inotify-tools)")
        if not shutil.which("valgrind"):
            self.skipped.append("instruction counts: no valgrind (Debian package valgrind)")
        self.node = shutil.which("node")
        parcel = os.path.join(NODE_FOLDER, "node_modules", "@parcel", "watcher")
        if not self.node:
            self.skipped.append("@parcel/watcher: no node on the PATH")
        elif not os.path.isdir(parcel):
            self.skipped.append(
                "@parcel/watcher: not installed (run `npm ci --prefix bench/node` once)")
            self.node = None

    def inotifywait_command(self, root):
        return [self.inotifywait, "-r", "-m", "-e", INOTIFYWAIT_EVENTS, root]

    def java_command(self, *args):
        return [self.programs.java, f"-Dwindowsfscm.library={self.programs.library}",
                "-cp", self.programs.class_path, "windowsfscm.bench.JavaBench", *args]

    def several_watches_command(self, cache, roots, jvm_options=()):
        """Our Java API as a user runs it: the library from the jar, extracted to `cache`,
        with watches opened one more at a time, the Nth on the Nth of `roots` (JavaBench
        several)."""
        return [self.programs.java, f"-Dwindowsfscm.cache={cache}", *jvm_options,
                "-cp", self.programs.class_path, "windowsfscm.bench.JavaBench", "several",
                *roots]

    def node_command(self, *args):
        return [self.node, PARCEL_SCRIPT, *args]

    def served(self, tree):
        """Every peer as a process of its own on `tree`, by key."""
        serve = self.programs.watch_serve
        watchers = {
            "floor": CountingWatcher("floor", [serve, "floor", tree.root]),
            "ours": CountingWatcher("ours", [serve, "ours", tree.root]),
        }
        if self.inotifywait:
            watchers["inotifywait"] = LineWatcher(self.inotifywait_command(tree.root))
        if self.node:
            watchers["parcel"] = CountingWatcher("parcel", self.node_command("serve", tree.root))
        for key, subject in (("java_ours", "ours"), ("watchservice", "watchservice")):
            watchers[key] = CountingWatcher(
                key, self.java_command("serve", subject, tree.root))
        return watchers
