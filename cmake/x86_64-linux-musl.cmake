# Builds the Linux library for x86-64 against musl (Alpine), with this machine's gcc (Debian:
# musl-tools, gcc-12-source; see musl/toolchain.cmake). Its programs run here directly, through
# musl's own loader.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(WINDOWSFSCM_MUSL_TRIPLE x86_64-linux-musl)
set(WINDOWSFSCM_MUSL_COMPILER_PREFIX "")
include("${CMAKE_CURRENT_LIST_DIR}/musl/toolchain.cmake")
