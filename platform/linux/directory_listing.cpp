#include "platform/linux/directory_listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/linux/system_calls.h"

namespace kernel_stand_in {
namespace {

// The kernel's linux_dirent64.
struct DirectoryEntry64 {
    std::uint64_t inode;
    std::int64_t next;
    unsigned short recordLength;
    unsigned char type;
    char name[1];
};

bool isDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

bool DirectoryListing::open(const char* path, bool followLink) {
    close();
    directoryFd_ = sys::openDirectory(path, followLink);
    return directoryFd_ >= 0;
}

bool DirectoryListing::openAt(int directoryFd, const char* name) {
    close();
    directoryFd_ = sys::openDirectoryAt(directoryFd, name);
    return directoryFd_ >= 0;
}

bool DirectoryListing::read() {
    filled_ = sys::readDirectory(directoryFd_, buffer_, sizeof buffer_);
    offset_ = 0;
    if (filled_ > 0) return true;
    error_ = filled_ < 0 ? errno : 0;
    filled_ = 0;
    return false;
}

const char* DirectoryListing::nextReadSubdirectory(std::size_t* nameLength) {
    while (offset_ < filled_) {
        const auto& entry = *reinterpret_cast<const DirectoryEntry64*>(buffer_ + offset_);
        offset_ += entry.recordLength;
        bool directory =
            entry.type == DT_DIR || (entry.type == DT_UNKNOWN && isDirectory(entry.name));
        if (!directory || isDotOrDotDot(entry.name)) continue;
        *nameLength = std::strlen(entry.name);
        return entry.name;
    }
    return nullptr;
}

const char* DirectoryListing::nextSubdirectory(std::size_t* nameLength) {
    for (;;) {
        if (const char* name = nextReadSubdirectory(nameLength)) return name;
        if (!read()) return nullptr;
    }
}

bool DirectoryListing::isDirectory(const char* name) const {
    // Some filesystems leave the type to be asked for.
    struct stat status;
    return sys::statusAt(directoryFd_, name, false, &status) == 0 && S_ISDIR(status.st_mode);
}

int DirectoryListing::releaseDescriptor() {
    int released = directoryFd_;
    directoryFd_ = -1;
    close();
    return released;
}

void DirectoryListing::close() {
    if (directoryFd_ >= 0) sys::close(directoryFd_);
    directoryFd_ = -1;
    error_ = 0;
    filled_ = 0;
    offset_ = 0;
}

}  // namespace kernel_stand_in
