#!/bin/sh
# Builds, once, the C++ runtime for programs built against musl: libstdc++ from gcc's own source
# (Debian's gcc-N-source, the version of the compiler that builds against it), configured for
# musl. Debian ships musl for C only, and the libstdc++ it has is configured for glibc: even its
# headers test glibc's own macros. The library compiles against these headers and links nothing
# of them (its code throws nothing and allocates with malloc); GoogleTest and the native tests
# link the whole runtime, statically.
# Usage: cxx_runtime.sh C-COMPILER MUSL-TRIPLE DIR [FLAGS]
#   e.g. cxx_runtime.sh gcc x86_64-linux-musl DIR, or
#   cxx_runtime.sh aarch64-linux-gnu-gcc aarch64-linux-musl DIR -mno-outline-atomics
# DIR gets include/c++/VERSION (and its triple's folder), lib/libstdc++.a, and lib/find_object.o
# (see find_object.c), which every executable links.
set -e
cc=$1 triple=$2 dir=$3 flags=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
[ ! -f "$dir/.complete" ] || exit 0

specs=/usr/lib/$triple/musl-gcc.specs
if [ ! -f "$specs" ]; then
  case $triple in
  x86_64-*) package=musl-dev ;;
  aarch64-*) package=musl-dev:arm64 ;;
  *) package="musl-dev for $triple" ;;
  esac
  echo "$specs not found: install Debian's $package" >&2
  exit 1
fi
major=$("$cc" -dumpversion | cut -d. -f1)
archive=""
for found in /usr/src/gcc-"$major"/gcc-*.tar.xz; do
  [ -f "$found" ] && archive=$found && break
done
if [ -z "$archive" ]; then
  echo "gcc's source for $cc (version $major) not found: install Debian's gcc-$major-source" >&2
  exit 1
fi
tools=${cc%gcc}
build_triple=$(gcc -dumpmachine)

rm -rf "$dir"
mkdir -p "$dir/source" "$dir/build/libstdc++" "$dir/build/libgcc"
# Only what libstdc++'s build reads: its own tree, libgcc's thread and unwinder headers, the
# demangler, and the top-level scripts.
top=$(basename "$archive" .tar.xz | sed 's/-dfsg$//')
tar -xJf "$archive" -C "$dir/source" --strip-components=1 --wildcards \
  "$top/libstdc++-v3/*" "$top/libgcc/*" "$top/libiberty/cp-demangle.*" "$top/include/*" \
  "$top/config/*" "$top/config.guess" "$top/config.sub" "$top/config-ml.in" "$top/install-sh" \
  "$top/ltmain.sh" "$top/missing" "$top/mkinstalldirs" "$top/move-if-change" \
  "$top/gcc/BASE-VER" "$top/gcc/DATESTAMP" "$top/gcc/DEV-PHASE"
# libgcc's configure would write the thread header for gcc's thread model, which is POSIX threads,
# as musl's are; libstdc++'s finds no threads without it.
cp "$dir/source/libgcc/gthr-posix.h" "$dir/build/libgcc/gthr-default.h"

# Static only, position-independent so that position-independent executables can link it. Only
# the C++11 string ABI, which everything here is compiled for, and no Filesystem TS library
# (std::filesystem is in the main one): leaving out what nothing links saves about 40 % of the
# compiling. The configure checks link test programs with g++, which would name gcc's own
# libstdc++ (glibc's): a cross compiler's shared one cannot be linked here, and so every check
# that links would fail. Its static one adds nothing to programs that use none of it.
cd "$dir/build/libstdc++"
"$dir/source/libstdc++-v3/configure" --host="$triple" --build="$build_triple" --prefix="$dir" \
  --disable-shared --with-pic --disable-multilib --disable-nls --disable-libstdcxx-pch \
  --disable-libstdcxx-dual-abi --disable-libstdcxx-filesystem-ts \
  CC="$cc -specs=$specs" CXX="${tools}g++ -specs=$specs" \
  CFLAGS="-O2 $flags" CXXFLAGS="-O2 $flags" LDFLAGS=-static-libstdc++ \
  AR="${tools}ar" RANLIB="${tools}ranlib" NM="${tools}nm" LD="${tools}ld" >../configure.log 2>&1 ||
  {
    tail -n 30 ../configure.log >&2
    exit 1
  }
if ! make -j2 >../make.log 2>&1 || ! make install >>../make.log 2>&1; then
  grep -B 5 -m 5 -i 'error' ../make.log >&2
  exit 1
fi
# shellcheck disable=SC2086 # the flags are words of their own
"$cc" -specs="$specs" $flags -O2 -fPIC -Wall -Wextra -Werror -c "$here/find_object.c" \
  -o "$dir/lib/find_object.o"
rm -rf "$dir/source" "$dir/build"
touch "$dir/.complete"
