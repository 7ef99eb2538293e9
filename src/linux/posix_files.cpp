// posix_files.cpp - PosixFileSystem: the relay's file operations on Linux.
//
// Spool and log files hold mail and, at some log levels, the POP3 password: directories are
// made 0700 and files 0600. Nothing here follows a symbolic link except the configuration file
// (an operator's choice): files are opened with O_NOFOLLOW and listings skip everything that is
// not a regular file, so a link planted in the spool directory is never read, renamed onto or
// written through.
//
// New spool files are written under a temporary name and committed by fsync, rename without
// replace, fsync of the directory; a crash leaves at most a temporary file, removed at the next
// start. WriteFileAtomically (the unit and settings files of the service control) goes the same
// way, with a rename that may replace. The lock on the program directory is an flock held by an
// open descriptor until the process ends.
#include "linux/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t kConfigurationLimit = std::size_t{16} << 20;

std::string Reason(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

// The directory that holds `path`, with its final "/"; "." for a bare name.
std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without RENAME_NOREPLACE: a hard link fails when `to` exists.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

bool EndsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool IsTemporaryName(std::string_view name) {
    return name.substr(0, std::strlen(PosixFileSystem::kTempPrefix)) ==
               PosixFileSystem::kTempPrefix &&
           EndsWith(name, PosixFileSystem::kTempSuffix);
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
        struct stat st {};
        const bool regular =
            entry->d_type == DT_UNKNOWN
                ? ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(st.st_mode)
                : entry->d_type == DT_REG;
        if (regular) names.emplace_back(name);
    }
    ::closedir(dir);
    return names;
}

class PosixReader : public FileReader {
  public:
    PosixReader(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~PosixReader() override { ::close(fd_); }
    long ReadAt(uint64_t offset, char* into, std::size_t size) override {
        for (;;) {
            ssize_t n = ::pread(fd_, into, size, static_cast<off_t>(offset));
            if (n >= 0) return static_cast<long>(n);
            if (errno == EINTR) continue;
            error_ = Reason("cannot read", path_, errno);
            return -1;
        }
    }
    uint64_t Size() override {
        struct stat st {};
        return ::fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    }
    std::string Error() const override { return error_; }

  private:
    int fd_;
    std::string path_, error_;
};

// fsync (or with `wholeFileSystem` syncfs) on the directory `directory`.
Status SyncDirectoryOf(const std::string& directory, bool wholeFileSystem = false) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && (wholeFileSystem ? ::syncfs(fd) : ::fsync(fd)) == 0;
    const int error = errno;
    if (fd >= 0) ::close(fd);
    if (synced) return Status::Ok();
    return Status::Failed(Reason("cannot sync", directory, error));
}

// A log file appended to, or a new file under its temporary name until Commit.
class PosixWriter : public WritableFile {
  public:
    PosixWriter(int fd, std::string path, bool temporary)
        : fd_(fd), path_(std::move(path)), temporary_(temporary) {}
    ~PosixWriter() override {
        if (fd_ >= 0) ::close(fd_);
        if (temporary_) ::unlink(path_.c_str());
    }
    // A new file under a temporary name (mode 0600) in `directory`, which no listing shows.
    static Result<std::unique_ptr<PosixWriter>> Create(const std::string& directory) {
        std::string temp = JoinPath(directory, std::string(PosixFileSystem::kTempPrefix) +
                                                   "XXXXXX" + PosixFileSystem::kTempSuffix);
        // mkostemps makes a new file (O_EXCL, mode 0600): never a leftover or a planted link.
        const int suffix = static_cast<int>(std::strlen(PosixFileSystem::kTempSuffix));
        const int fd = ::mkostemps(temp.data(), suffix, O_CLOEXEC);
        if (fd < 0) return Status::Failed(Reason("cannot create a file in", directory, errno));
        return std::make_unique<PosixWriter>(fd, temp, true);
    }
    Status SetMode(mode_t mode) {
        if (::fchmod(fd_, mode) == 0) return Status::Ok();
        return Status::Failed(Reason("cannot set the mode of", path_, errno));
    }
    Status Write(std::string_view bytes) override {
        if (WriteAll(fd_, bytes)) return Status::Ok();
        return Status::Failed(Reason("cannot write", path_, errno));
    }
    Status Sync() override {
        if (!temporary_) return Status::Failed("not a new file");
        if (::fsync(fd_) != 0) return Status::Failed(Reason("cannot sync", path_, errno));
        return Status::Ok();
    }
    Status Publish(const std::string& path) override { return Publish(path, IfExists::kFail); }
    // Closes the file and gives it the name `path`; nothing is synced.
    Status Publish(const std::string& path, IfExists ifExists) {
        if (!temporary_) return Status::Failed("not a new file");
        const int closed = ::close(fd_);
        fd_ = -1;
        if (closed != 0) return Status::Failed(Reason("cannot close", path_, errno));
        const bool renamed = ifExists == IfExists::kReplace
                                 ? ::rename(path_.c_str(), path.c_str()) == 0
                                 : RenameWithoutReplacing(path_, path);
        if (!renamed) return Status::Failed(Reason("cannot rename to", path, errno));
        temporary_ = false;
        return Status::Ok();
    }
    Status Commit(const std::string& path) override { return Commit(path, IfExists::kFail); }
    // Syncs the file, names it `path`, syncs the directory.
    Status Commit(const std::string& path, IfExists ifExists) {
        if (Status synced = Sync(); !synced) return synced;
        if (Status named = Publish(path, ifExists); !named) return named;
        const Status synced = SyncDirectoryOf(DirectoryOf(path));
        // A replaced file is whole either way: should the rename not reach the disk, the old
        // content comes back after a crash.
        if (synced || ifExists == IfExists::kReplace) return Status::Ok();
        // A new spool file whose name may not be on disk must not lead to the message's
        // deletion on the server; removing it lets the next poll fetch the message again.
        ::unlink(path.c_str());
        return synced;
    }

  private:
    int fd_;
    std::string path_;
    bool temporary_;
};

}  // namespace

Status WriteFileAtomically(const std::string& path, std::string_view content, mode_t mode,
                           IfExists ifExists) {
    Result<std::unique_ptr<PosixWriter>> file = PosixWriter::Create(DirectoryOf(path));
    if (!file) return file.status();
    // The destructor removes the temporary file on every way out before the rename.
    if (Status set = file.value()->SetMode(mode); !set) return set;
    if (Status written = file.value()->Write(content); !written) return written;
    return file.value()->Commit(path, ifExists);
}

std::string JoinPath(std::string_view directory, std::string_view name) {
    while (!directory.empty() && directory.back() == '/') directory.remove_suffix(1);
    while (!name.empty() && name.front() == '/') name.remove_prefix(1);
    std::string path;
    path.reserve(directory.size() + 1 + name.size());
    return path.append(directory).append(1, '/').append(name);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& content, bool followLinks,
                   std::size_t limit) {
    // O_NONBLOCK: opening a FIFO planted under the name must not wait for a writer.
    int fd =
        ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > limit)) {
        ok = false;
        errno = EINVAL;
    }
    content.clear();
    char buffer[1 << 16];
    while (ok) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || content.size() + static_cast<std::size_t>(n) > limit) {
            ok = n == 0;
            break;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

PosixFileSystem::~PosixFileSystem() {
    if (lockFd_ >= 0) ::close(lockFd_);
}

bool PosixFileSystem::CreateDirectory(const std::string& path) {
    return ::mkdir(path.c_str(), 0700) == 0;
}

bool PosixFileSystem::Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool PosixFileSystem::ReadConfiguration(const std::string& path, std::string& content) {
    if (ReadWholeFile(path, content, true, kConfigurationLimit)) return true;
    content.clear();
    return false;
}

std::string PosixFileSystem::SettledStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    // Two writes within one tick of the file system's clock can leave the same time and size:
    // until the file is a few seconds old, it counts as changed.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec - st.st_mtim.tv_sec < 3) return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
           std::to_string(st.st_size);
}

Result<std::unique_ptr<FileReader>> PosixFileSystem::OpenForReading(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Status::Failed(Reason("cannot open", path, errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Status::Failed("cannot read " + path + ": not a regular file");
    }
    return std::unique_ptr<FileReader>(std::make_unique<PosixReader>(fd, path));
}

Result<std::unique_ptr<WritableFile>> PosixFileSystem::CreateNewFile(const std::string& directory) {
    Result<std::unique_ptr<PosixWriter>> file = PosixWriter::Create(directory);
    if (!file) return file.status();
    return std::unique_ptr<WritableFile>(file.take());
}

std::unique_ptr<WritableFile> PosixFileSystem::OpenForAppend(const std::string& path) {
    // O_NONBLOCK: a FIFO planted under the name must not hold the relay; it is refused below.
    int fd = ::open(path.c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixWriter>(fd, path, false);
}

std::vector<std::string> PosixFileSystem::ListFiles(const std::string& directory,
                                                    std::string_view suffix) {
    std::vector<std::string> names = RegularFiles(directory, [&](std::string_view name) {
        return EndsWith(name, suffix) && !IsTemporaryName(name);
    });
    std::sort(names.begin(), names.end());
    return names;
}

std::string PosixFileSystem::DirectoryStamp(const std::string& directory) {
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0) return {};
    return std::to_string(st.st_ino) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_size);
}

bool PosixFileSystem::RenameNoReplace(const std::string& from, const std::string& to) {
    return RenameWithoutReplacing(from, to);
}

bool PosixFileSystem::Remove(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

void PosixFileSystem::RemoveStaleTemporaryFiles(const std::string& directory) {
    for (const std::string& name : RegularFiles(directory, IsTemporaryName)) {
        ::unlink(JoinPath(directory, name).c_str());
    }
}

Status PosixFileSystem::SyncFileSystem(const std::string& directory) {
    return SyncDirectoryOf(directory, true);
}

Status PosixFileSystem::SyncDirectory(const std::string& directory) {
    return SyncDirectoryOf(directory);
}

Status PosixFileSystem::LockForThisProcess(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Status::Failed(Reason("cannot open", path, errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        Status failed = Status::Failed(errno == EWOULDBLOCK ? path + " is locked by another process"
                                                            : Reason("cannot lock", path, errno));
        ::close(fd);
        return failed;
    }
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = fd;
    return Status::Ok();
}

std::string ExecutablePath() {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n <= 0 ? std::string() : std::string(path, static_cast<std::size_t>(n));
}

std::string ProgramDirectory() {
    if (const char* home = std::getenv("POP2SMTP_HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    const std::string exe = ExecutablePath();
    const std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash + 1);
}
