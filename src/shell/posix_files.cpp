// posix_files.cpp - PosixFileSystem: the relay's file operations on Linux.
//
// Spool and log files hold mail and, at some log levels, the POP3 password: directories are
// made 0700 and files 0600. Nothing here follows a symbolic link: files are opened with
// O_NOFOLLOW and listings skip everything that is not a regular file, so a link planted in the
// spool directory is never read, renamed onto or written through.
//
// New spool files are committed by temporary file, fsync, rename without replace, fsync of the
// directory; a crash leaves at most a temporary file, removed at the next start.
#include "shell/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "shell/posix_io.h"

namespace {

std::string Reason(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

// The directory part of a path, ending in "/".
std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

// `directory` and `name` joined; the directory may be given with or without its final "/".
std::string PathIn(const std::string& directory, const std::string& name) {
    if (!directory.empty() && directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

std::string NameOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EndsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool IsRegularFile(int dirFd, const char* name) {
    struct stat st {};
    return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// Names of the regular files in a directory that satisfy `keep`.
template <typename Keep>
std::vector<std::string> RegularFiles(const std::string& directory, Keep keep) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (!keep(name)) continue;
        // The entry's type spares a stat per file; only file systems that do not report it
        // need the stat.
        const bool regular = entry->d_type == DT_UNKNOWN
                                 ? IsRegularFile(::dirfd(dir), entry->d_name)
                                 : entry->d_type == DT_REG;
        if (regular) names.emplace_back(name);
    }
    ::closedir(dir);
    return names;
}

}  // namespace

bool PosixFileSystem::CreateDirectory(const std::string& path) {
    return ::mkdir(path.c_str(), 0700) == 0;
}

bool PosixFileSystem::Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool PosixFileSystem::ReadFile(const std::string& path, std::string& content, std::string& error) {
    // O_NONBLOCK: opening a FIFO planted under a spool name must not wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = Reason("cannot open", path, errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot read " + path + ": not a regular file";
        ::close(fd);
        return false;
    }
    content.clear();
    content.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            error = Reason("cannot read", path, errno);
            ::close(fd);
            return false;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

bool PosixFileSystem::AppendFile(const std::string& path, std::string_view data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, data);
    return (::close(fd) == 0) && ok;
}

std::string PosixFileSystem::WriteNewFileDurably(const std::string& path,
                                                 std::string_view content) {
    const std::string directory = DirectoryOf(path);
    const std::string temp = directory + kTempPrefix + NameOf(path) + kTempSuffix;
    // Always a new inode: a leftover of the same name (from a crash, or put there) could carry a
    // wider mode or be a hard link to another file that truncating would destroy.
    ::unlink(temp.c_str());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Reason("cannot create", temp, errno);
    std::string failure;
    if (!WriteAll(fd, content)) {
        failure = Reason("cannot write", temp, errno);
    } else if (::fsync(fd) != 0) {
        failure = Reason("cannot sync", temp, errno);
    }
    if (::close(fd) != 0 && failure.empty()) failure = Reason("cannot close", temp, errno);
    if (failure.empty() && !RenameNoReplace(temp, path)) {
        failure = Reason("cannot rename to", path, errno);
    }
    if (!failure.empty()) {
        ::unlink(temp.c_str());
        return failure;
    }
    int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        failure = Reason("cannot open", directory, errno);
    } else {
        if (::fsync(dirFd) != 0) failure = Reason("cannot sync", directory, errno);
        ::close(dirFd);
    }
    // A file whose name may not be on disk must not lead to the message's deletion on the
    // server; removing it lets the next poll fetch the message again.
    if (!failure.empty()) ::unlink(path.c_str());
    return failure;
}

std::vector<std::string> PosixFileSystem::ListFiles(const std::string& directory,
                                                    std::string_view suffix) {
    std::vector<std::string> names = RegularFiles(directory, [&](std::string_view name) {
        return EndsWith(name, suffix) && name.substr(0, std::strlen(kTempPrefix)) != kTempPrefix;
    });
    std::sort(names.begin(), names.end());
    return names;
}

bool PosixFileSystem::RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without RENAME_NOREPLACE: a hard link fails when `to` exists.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

bool PosixFileSystem::Remove(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

void PosixFileSystem::RemoveStaleTemporaryFiles(const std::string& directory) {
    for (const std::string& name : RegularFiles(directory, [](std::string_view n) {
             return n.substr(0, std::strlen(kTempPrefix)) == kTempPrefix &&
                    EndsWith(n, kTempSuffix);
         })) {
        ::unlink(PathIn(directory, name).c_str());
    }
}
