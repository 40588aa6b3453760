// Reads the subdirectories of one directory, a buffer of raw entries (getdents64) at a time,
// with nothing kept but that buffer. Each walker holds a listing of its own, so several can list
// directories side by side.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace kernel_stand_in {

class DirectoryListing {
  public:
    // The buffer is filled by the kernel before it is read; clearing it would only cost time and
    // resident pages.
    // cppcheck-suppress uninitMemberVar
    DirectoryListing() = default;
    ~DirectoryListing() { close(); }
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;

    // Opens the directory `path` for listing; a final symbolic link is followed only when
    // `followLink`. False, with errno set, when it cannot be opened.
    bool open(const char* path, bool followLink);
    // Opens the directory `name` inside the open directory `directoryFd`, never through a
    // symbolic link. False, with errno set, when it cannot be opened.
    bool openAt(int directoryFd, const char* name);

    // Reads the next buffer of entries: false once the listing ends or fails, which failed()
    // tells apart (EBADF when nothing is open).
    bool read();
    // The name of the next subdirectory (never "." or "..") among the entries read last,
    // null-terminated, with its length; nullptr once they are used up. Symbolic links are not
    // subdirectories. Names stay valid until the next read.
    const char* nextReadSubdirectory(std::size_t* nameLength);
    // The same, reading as needed: nullptr once the listing ends or fails. The name stays valid
    // until the next call.
    const char* nextSubdirectory(std::size_t* nameLength);

    // The error that cut the listing short (errno of the read), or 0.
    int failed() const { return error_; }
    // The open directory's descriptor, or -1.
    int descriptor() const { return directoryFd_; }

    // Closes the listing but hands its open descriptor over to the caller, who closes it.
    int releaseDescriptor();
    void close();

  private:
    static constexpr std::size_t BUFFER_BYTES = std::size_t{32} * 1024;

    bool isDirectory(const char* name) const;

    int directoryFd_ = -1;
    int error_ = 0;
    ssize_t filled_ = 0;
    ssize_t offset_ = 0;
    alignas(8) char buffer_[BUFFER_BYTES];
};

}  // namespace kernel_stand_in
