// Turns the JVM's modified UTF-8 (what GetStringUTFChars yields) into standard UTF-8, the form
// file names take on Linux and the form the Windows layer widens to UTF-16.
//
// Modified UTF-8 differs in two ways: NUL is written C0 80, and a character outside the Basic
// Multilingual Plane is written as its two UTF-16 surrogates, three bytes each. ASCII passes
// through unchanged. Anything malformed (truncated or overlong sequences, lone surrogates,
// four-byte forms), an embedded NUL (it cannot be part of a file name) or a result that does not
// fit is refused. The output is never longer than the input.
#pragma once

#include <cstddef>

// Writes the NUL-terminated result to `out` (of `capacity` bytes). False when refused.
bool modifiedUtf8ToUtf8(const char* in, char* out, std::size_t capacity);
