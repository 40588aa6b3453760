# Cross-builds the Linux library for arm64 against musl (Alpine), with the arm64 cross compiler
# (Debian: g++-aarch64-linux-gnu, musl-dev:arm64, gcc-12-source; see musl/toolchain.cmake). Its
# programs run under qemu's user-mode emulation, which finds musl's arm64 loader where
# musl:arm64 installs it.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(WINDOWSFSCM_MUSL_TRIPLE aarch64-linux-musl)
set(WINDOWSFSCM_MUSL_COMPILER_PREFIX aarch64-linux-gnu-)
# Atomics in line, as every arm64 processor runs them: the cross gcc's out-of-line helpers choose
# their instructions through glibc's own __getauxval, which musl lacks.
set(WINDOWSFSCM_MUSL_FLAGS -mno-outline-atomics)
include("${CMAKE_CURRENT_LIST_DIR}/musl/toolchain.cmake")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
