// How many bytes of its arguments a function takes off the stack when it returns: all of them
// for __stdcall, none for __cdecl. A C++ call cannot tell, because the compiler corrects the
// stack after a call as the declared convention says; this measures it in assembly.
#pragma once

#include <cstdint>

// Calls `function` with the `argumentBytes` bytes at `arguments` as its arguments (the first
// argument at the lowest address, as a call lays them out) and returns the bytes it popped.
extern "C" std::uint32_t bytesPoppedBy(const void* function, std::uint32_t argumentBytes,
                                       const std::uint32_t* arguments);
