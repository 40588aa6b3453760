"""The Release build the benchmarks run from, in a folder of its own."""

import os
import re
import subprocess
from dataclasses import dataclass

TARGETS = ["core_bench", "watch_serve", "windowsfscm",
           "windowsfscm_java", "windowsfscm_bench_java"]


@dataclass
class Programs:
    core_bench: str
    watch_serve: str
    library: str  # the Java peers load this file, and extract nothing
    class_path: str
    java: str


def build(repo, folder):
    subprocess.run(["cmake", "-S", repo, "-B", folder, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", *TARGETS], check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(folder, "CMakeCache.txt"), encoding="utf-8") as cache:
        java = re.search(r"^Java_JAVA_EXECUTABLE:\w+=(.*)$", cache.read(), re.MULTILINE)
    bench = os.path.join(folder, "bench")
    return Programs(
        core_bench=os.path.join(bench, "core_bench"),
        watch_serve=os.path.join(bench, "watch_serve"),
        library=os.path.join(folder, "jni", "libwindowsfscm.so"),
        class_path=":".join([os.path.join(folder, "java", "windowsfscm.jar"),
                             os.path.join(bench, "windowsfscm-bench.jar")]),
        java=java.group(1) if java else "java",
    )
