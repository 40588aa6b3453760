// Directories and files for the checks, named in UTF-16 as Windows programs name them. A step
// that fails counts as a failed check.
#pragma once

#include <string>

void makeDirectory(const std::wstring& path);
// Creates a file that did not exist, with a few bytes in it.
void createFile(const std::wstring& path);
// Writes a few more bytes to an existing file.
void appendToFile(const std::wstring& path);
// Copies the file `from` to `to`, which must not exist yet.
void copyFile(const std::wstring& from, const std::wstring& to);

// What the JVM's GetStringUTFChars yields for `text`: each UTF-16 unit on its own in one to three
// bytes, a surrogate pair as two three-byte sequences, NUL as C0 80.
std::string modifiedUtf8(const std::wstring& text);
