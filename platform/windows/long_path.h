// How a path of any length reaches the kernel's UTF-16 calls, the way Java's own file calls pass
// it. Windows opens a path of up to MAX_PATH (260) units as it is given; a longer one needs the
// \\?\ prefix, which also turns off the normalisation that resolves "." and ".." and turns "/"
// into "\". So a long path is first made full (GetFullPathNameW does that normalisation, without
// the limit), then prefixed: C:\dir becomes \\?\C:\dir and \\server\share\dir becomes
// \\?\UNC\server\share\dir. A path already in the kernel's form (\\?\ or \??\) is passed on as it
// is.
//
// Written for any 16-bit unit type, so that it is tested on other systems too.
#pragma once

#include <cstddef>

namespace long_path {

// The longest path passed on as it is given, in units without the NUL: MAX_PATH less the 12
// units that CreateDirectory keeps for an 8.3 name, the bound Java uses too.
constexpr std::size_t LONGEST_AS_GIVEN = 247;

// The units a prefix may add in front of a full path: \\?\UNC\ takes the place of the \\ of
// \\server.
constexpr std::size_t PREFIX_ROOM = 6;

template <typename Unit>
bool startsWith(const Unit* path, std::size_t length, const char* ascii) {
    for (std::size_t i = 0; ascii[i] != '\0'; ++i) {
        if (i == length || path[i] != static_cast<Unit>(ascii[i])) return false;
    }
    return true;
}

// Whether the path is in the kernel's own form already, which it takes whatever its length.
template <typename Unit>
bool isKernelForm(const Unit* path, std::size_t length) {
    return startsWith(path, length, "\\\\?\\") || startsWith(path, length, "\\??\\");
}

// Turns the full path at `full` (`length` units and a NUL, with PREFIX_ROOM units free before
// it) into the form that reaches the kernel, in place, and returns where that form begins.
template <typename Unit>
Unit* prefixFullPath(Unit* full, std::size_t length) {
    if (length <= LONGEST_AS_GIVEN || isKernelForm(full, length)) return full;
    auto write = [](Unit* at, const char* ascii) {
        for (; *ascii != '\0'; ++ascii, ++at)
            *at = static_cast<Unit>(*ascii);
    };
    // The device namespace, \\.\, differs from \\?\ only in the normalisation, already done.
    if (startsWith(full, length, "\\\\.\\")) {
        full[2] = static_cast<Unit>('?');
        return full;
    }
    if (startsWith(full, length, "\\\\")) {
        // \\server\share: the prefix ends where the server's leading backslash is.
        write(full + 1 - 7, "\\\\?\\UNC");
        return full + 1 - 7;
    }
    write(full - 4, "\\\\?\\");
    return full - 4;
}

// Calls `use` with the form of `path` (`length` units and a NUL) that reaches the kernel, and
// returns whether there was one: not when the full path cannot be made or is longer than
// `longest` units. `fullPath(path, capacity, out)` keeps GetFullPathNameW's contract: 0 when it
// fails; the units needed, with the NUL, when `capacity` is too small; else the full path's length
// without the NUL, having written it and its NUL to `out`.
//
// Only a long path is copied, to the stack: its full form with the prefix, at most
// (longest + 1 + PREFIX_ROOM) units.
template <typename Unit, typename FullPath, typename Use>
bool withKernelPath(const Unit* path, std::size_t length, std::size_t longest, FullPath fullPath,
                    Use use) {
    if (length <= LONGEST_AS_GIVEN || isKernelForm(path, length)) {
        use(path);
        return true;
    }
    const std::size_t needed = fullPath(path, 0, nullptr);
    if (needed == 0 || needed > longest + 1) return false;
    auto* room = static_cast<Unit*>(__builtin_alloca((PREFIX_ROOM + needed) * sizeof(Unit)));
    Unit* full = room + PREFIX_ROOM;
    const std::size_t fullLength = fullPath(path, needed, full);
    // A relative path's full form depends on the working directory, which may have changed
    // between the two calls.
    if (fullLength == 0 || fullLength >= needed) return false;
    use(static_cast<const Unit*>(prefixFullPath(full, fullLength)));
    return true;
}

}  // namespace long_path
