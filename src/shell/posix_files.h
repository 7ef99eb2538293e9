// posix_files.h - the FileSystem of the relay over POSIX calls.
#pragma once

#include "shell/platform.h"

class PosixFileSystem : public FileSystem {
  public:
    bool CreateDirectory(const std::string& path) override;
    bool Exists(const std::string& path) override;
    bool ReadFile(const std::string& path, std::string& content, std::string& error) override;
    bool AppendFile(const std::string& path, std::string_view data) override;
    std::string WriteNewFileDurably(const std::string& path, std::string_view content) override;
    std::vector<std::string> ListFiles(const std::string& directory,
                                       std::string_view suffix) override;
    bool RenameNoReplace(const std::string& from, const std::string& to) override;
    bool Remove(const std::string& path) override;
    void RemoveStaleTemporaryFiles(const std::string& directory) override;

    // Prefix and suffix of the temporary names used while a new file is written.
    static constexpr const char* kTempPrefix = ".incoming-";
    static constexpr const char* kTempSuffix = ".tmp";
};
