// posix_files.h - the FileSystem of the relay over POSIX calls, and the whole-file reader that
// the other Linux layers share.
#pragma once

#include <string>

#include "relay/platform.h"

class PosixFileSystem : public FileSystem {
  public:
    ~PosixFileSystem() override;
    bool CreateDirectory(const std::string& path) override;
    bool Exists(const std::string& path) override;
    bool ReadConfiguration(const std::string& path, std::string& content) override;
    std::string SettledStamp(const std::string& path) override;
    std::unique_ptr<FileReader> OpenForReading(const std::string& path,
                                               std::string& error) override;
    std::unique_ptr<WritableFile> CreateNewFile(const std::string& directory,
                                                std::string& error) override;
    std::unique_ptr<WritableFile> OpenForAppend(const std::string& path) override;
    std::vector<std::string> ListFiles(const std::string& directory,
                                       std::string_view suffix) override;
    std::string DirectoryStamp(const std::string& directory) override;
    bool RenameNoReplace(const std::string& from, const std::string& to) override;
    bool Remove(const std::string& path) override;
    void RemoveStaleTemporaryFiles(const std::string& directory) override;
    bool LockForThisProcess(const std::string& path, std::string& why) override;

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

// The running program's own path (/proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();
// The program directory: $POP2SMTP_HOME when set, else the directory of the executable.
std::string ProgramDirectory();
