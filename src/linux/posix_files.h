// posix_files.h - the FileSystem of the relay over POSIX calls, and the file helpers that the
// other Linux layers share: the whole-file reader, the atomic writer and the path join.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "relay/platform.h"

class PosixFileSystem : public FileSystem {
  public:
    ~PosixFileSystem() override;
    bool CreateDirectory(const std::string& path) override;
    bool Exists(const std::string& path) override;
    bool ReadConfiguration(const std::string& path, std::string& content) override;
    std::string SettledStamp(const std::string& path) override;
    Result<std::unique_ptr<FileReader>> OpenForReading(const std::string& path) override;
    Result<std::unique_ptr<WritableFile>> CreateNewFile(const std::string& directory) override;
    std::unique_ptr<WritableFile> OpenForAppend(const std::string& path) override;
    std::vector<std::string> ListFiles(const std::string& directory,
                                       std::string_view suffix) override;
    std::string DirectoryStamp(const std::string& directory) override;
    bool RenameNoReplace(const std::string& from, const std::string& to) override;
    bool Remove(const std::string& path) override;
    void RemoveStaleTemporaryFiles(const std::string& directory) override;
    Status LockForThisProcess(const std::string& path) override;
    Status SyncFileSystem(const std::string& directory) override;
    Status SyncDirectory(const std::string& directory) override;

    // Prefix and suffix of the temporary names used while a new file is written.
    static constexpr const char* kTempPrefix = ".incoming-";
    static constexpr const char* kTempSuffix = ".tmp";

  private:
    int lockFd_ = -1;
};

// Reads a whole file of at most `limit` bytes; false (errno set) when it cannot be opened or
// read, or is larger. Symbolic links are followed only when `followLinks` is set.
bool ReadWholeFile(const std::string& path, std::string& content, bool followLinks,
                   std::size_t limit);
// Writes every byte, going on after short writes and interrupted calls.
bool WriteAll(int fd, std::string_view data);

// What an atomic write does when its name is taken already.
enum class IfExists { kFail, kReplace };
// Makes `path` a file of `content` with mode `mode` in one step: the bytes go to a temporary
// file in the same directory, which is synced and renamed to `path`, then the directory is
// synced. With kFail an existing `path` stays untouched and the write fails, and so does a
// directory that cannot be synced (the new file is removed again). With kReplace `path` holds
// the old content or the new one at every moment; a directory that cannot be synced is no
// failure then (a crash may bring the old content back). No temporary file is left behind.
Status WriteFileAtomically(const std::string& path, std::string_view content, mode_t mode,
                           IfExists ifExists);

// `directory` and `name` with exactly one "/" between them, however many the directory ends
// with; an empty directory stands for the root.
std::string JoinPath(std::string_view directory, std::string_view name);

// The running program's own path (/proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();
// The program directory: $POP2SMTP_HOME when set, else the directory of the executable.
std::string ProgramDirectory();
