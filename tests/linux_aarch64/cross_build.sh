#!/bin/sh
# Cross-builds the Linux library and its native tests for arm64, whose tests then run under qemu.
# Usage: cross_build.sh SOURCE-DIR BUILD-DIR   (the library lands in BUILD-DIR/jni)
set -e
source=$1 build=$2
need() {
    if ! command -v "$1" >/dev/null; then
        echo "$1 not found: install Debian's $2" >&2
        exit 1
    fi
}
need aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
need qemu-aarch64-static qemu-user-static
cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
    --toolchain "$source/cmake/aarch64-linux-gnu.cmake" >/dev/null
cmake --build "$build"
