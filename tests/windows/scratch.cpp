#include "tests/windows/scratch.h"

#include <windows.h>

#include "tests/windows/report.h"

namespace {

void setUp(bool done, const char* step, const std::wstring& path) {
    if (done) return;
    std::string what = std::string("setting up: ") + step + " " + modifiedUtf8(path) + " (error " +
                       std::to_string(GetLastError()) + ")";
    expect(false, what.c_str());
}

void writeTo(HANDLE file, const std::wstring& path) {
    setUp(file != INVALID_HANDLE_VALUE, "open", path);
    if (file == INVALID_HANDLE_VALUE) return;
    const char text[] = "change\n";
    DWORD written = 0;
    setUp(WriteFile(file, text, sizeof text - 1, &written, nullptr) != 0, "write", path);
    CloseHandle(file);
}

}  // namespace

void makeDirectory(const std::wstring& path) {
    setUp(CreateDirectoryW(path.c_str(), nullptr) != 0, "create directory", path);
}

void createFile(const std::wstring& path) {
    writeTo(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr),
            path);
}

void appendToFile(const std::wstring& path) {
    writeTo(CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            path);
}

void copyFile(const std::wstring& from, const std::wstring& to) {
    setUp(CopyFileW(from.c_str(), to.c_str(), TRUE) != 0, "copy a file to", to);
}

std::string modifiedUtf8(const std::wstring& text) {
    std::string encoded;
    for (wchar_t character : text) {
        auto unit = static_cast<unsigned>(character);
        if (unit != 0 && unit < 0x80) {
            encoded += static_cast<char>(unit);
        } else if (unit < 0x800) {
            encoded += static_cast<char>(0xC0 | unit >> 6);
            encoded += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            encoded += static_cast<char>(0xE0 | unit >> 12);
            encoded += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            encoded += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return encoded;
}
