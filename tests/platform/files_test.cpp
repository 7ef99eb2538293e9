// PosixFileSystem on a temporary directory: durable new files, modes, no-replace renames,
// listings that skip links and temporary names, and reads that refuse anything but a regular file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "shell/posix_files.h"

namespace fs = std::filesystem;

namespace {

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // With no umask the modes seen are exactly those the code asks for.
        oldMask_ = ::umask(0);
        std::string t = (fs::temp_directory_path() / "files_testXXXXXX").string();
        ASSERT_NE(::mkdtemp(t.data()), nullptr);
        dir = t + "/";
    }
    void TearDown() override {
        ::umask(oldMask_);
        std::error_code ec;
        fs::remove_all(dir, ec);
        fs::remove(Outside(), ec);
    }

    static void Put(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string Get(const std::string& path) {
        std::string content, error;
        EXPECT_TRUE(PosixFileSystem().ReadFile(path, content, error)) << error;
        return content;
    }
    static unsigned Mode(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    }
    // A file next to the test directory, for links that point out of it.
    std::string Outside() const { return dir.substr(0, dir.size() - 1) + ".target"; }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    PosixFileSystem files;
    std::string dir;  // ends with "/"

  private:
    mode_t oldMask_ = 0;
};

const std::string kBinary("From: a\r\n\0\x01\x7f\x80\xff body \xe9t\xe9\r\n.\r\n", 28);

TEST_F(FilesTest, WriteNewFileDurablyStoresExactBytesPrivatelyAndLeavesNothingElse) {
    for (const std::string& content : {kBinary, std::string(), std::string(3 << 20, '\0')}) {
        const std::string path = dir + "m" + std::to_string(content.size()) + ".msg";
        EXPECT_EQ(files.WriteNewFileDurably(path, content), "");
        EXPECT_TRUE(Get(path) == content) << content.size() << " bytes";
        EXPECT_EQ(Mode(path), 0600u);
        fs::remove(path);
        EXPECT_TRUE(Entries().empty()) << Entries()[0];
    }
}

TEST_F(FilesTest, WriteNewFileDurablyRefusesToReplaceAndReportsMissingDirectory) {
    Put(dir + "old.msg", "old content");
    const std::string reasonExisting = files.WriteNewFileDurably(dir + "old.msg", kBinary);
    EXPECT_NE(reasonExisting, "");
    EXPECT_EQ(Get(dir + "old.msg"), "old content");
    EXPECT_EQ(Entries(), std::vector<std::string>{"old.msg"});

    const std::string reasonMissing = files.WriteNewFileDurably(dir + "none/new.msg", kBinary);
    EXPECT_NE(reasonMissing.find("none"), std::string::npos) << reasonMissing;
    EXPECT_EQ(Entries(), std::vector<std::string>{"old.msg"});
}

// A temporary file left by a crash, or planted with wide permissions, must neither block the next
// write of the same name nor lend it its mode or its inode.
TEST_F(FilesTest, WriteNewFileDurablyStartsAFreshTemporaryFile) {
    const std::string temp =
        dir + PosixFileSystem::kTempPrefix + "a.msg" + PosixFileSystem::kTempSuffix;
    Put(dir + "other", "must stay");
    fs::create_hard_link(dir + "other", temp);
    ::chmod(temp.c_str(), 0644);
    EXPECT_EQ(files.WriteNewFileDurably(dir + "a.msg", "new"), "");
    EXPECT_EQ(Get(dir + "a.msg"), "new");
    EXPECT_EQ(Mode(dir + "a.msg"), 0600u);
    EXPECT_EQ(Get(dir + "other"), "must stay");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"a.msg", "other"}));
}

TEST_F(FilesTest, CreateDirectoryIsPrivateAndFailsWhenPresent) {
    EXPECT_TRUE(files.CreateDirectory(dir + "Messages"));
    EXPECT_EQ(Mode(dir + "Messages"), 0700u);
    EXPECT_FALSE(files.CreateDirectory(dir + "Messages"));
    EXPECT_FALSE(files.CreateDirectory(dir + "none/Messages"));
}

TEST_F(FilesTest, RenameNoReplaceKeepsBothFilesWhenTheTargetExists) {
    Put(dir + "a.msg", "a");
    Put(dir + "a.snd", "b");
    EXPECT_FALSE(files.RenameNoReplace(dir + "a.msg", dir + "a.snd"));
    EXPECT_EQ(Get(dir + "a.msg"), "a");
    EXPECT_EQ(Get(dir + "a.snd"), "b");
    EXPECT_TRUE(files.RenameNoReplace(dir + "a.msg", dir + "a.err"));
    EXPECT_EQ(Entries(), (std::vector<std::string>{"a.err", "a.snd"}));
    EXPECT_FALSE(files.RenameNoReplace(dir + "gone.msg", dir + "gone.snd"));
}

TEST_F(FilesTest, ListFilesGivesSortedRegularFilesWithTheSuffixOnly) {
    const std::string outside = Outside();
    Put(outside, "outside");
    for (const char* name : {"b.msg", "a.msg", "c.snd", "a.msgx", "msg", "10.msg", "0.msg"})
        Put(dir + name, "x");
    fs::create_symlink(outside, dir + "x.msg");
    fs::create_symlink(dir + "a.msg", dir + "y.msg");
    fs::create_directory(dir + "d.msg");
    ::mkfifo((dir + "f.msg").c_str(), 0600);
    Put(dir + ".incoming-z.msg.tmp", "partial");
    Put(dir + ".incoming-z.msg", "partial");

    const std::string noSlash = dir.substr(0, dir.size() - 1);
    for (const std::string& d : {dir, noSlash}) {
        EXPECT_EQ(files.ListFiles(d, ".msg"),
                  (std::vector<std::string>{"0.msg", "10.msg", "a.msg", "b.msg"}));
        EXPECT_EQ(files.ListFiles(d, ".snd"), std::vector<std::string>{"c.snd"});
        EXPECT_EQ(files.ListFiles(d, ".tmp"), std::vector<std::string>{});
    }
    EXPECT_EQ(files.ListFiles(dir + "none", ".msg"), std::vector<std::string>{});
}

TEST_F(FilesTest, RemoveStaleTemporaryFilesRemovesOnlyTemporaryNames) {
    const std::string noSlash = dir.substr(0, dir.size() - 1);
    for (const std::string& d : {dir, noSlash}) {
        for (const char* name : {".incoming-1.msg.tmp", ".incoming-.tmp", "a.msg", "a.tmp",
                                 ".incoming-a.msg", "x.incoming-a.tmp"})
            Put(dir + name, "x");
        fs::create_directory(dir + ".incoming-d.tmp");
        files.RemoveStaleTemporaryFiles(d);
        EXPECT_EQ(Entries(), (std::vector<std::string>{".incoming-a.msg", ".incoming-d.tmp",
                                                       "a.msg", "a.tmp", "x.incoming-a.tmp"}))
            << d;
        fs::remove_all(dir + ".incoming-d.tmp");
    }
}

TEST_F(FilesTest, ReadFileRefusesAnythingButARegularFile) {
    Put(dir + "real.msg", "secret");
    fs::create_symlink(dir + "real.msg", dir + "link.msg");
    fs::create_directory(dir + "d.msg");
    ::mkfifo((dir + "fifo.msg").c_str(), 0600);

    // Opening a FIFO without a writer blocks; a writer appears after two seconds so that an
    // implementation that waits for one fails this test instead of hanging it.
    std::atomic<bool> done{false};
    std::thread unblock([&] {
        for (int i = 0; i < 200 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        while (!done) {
            int fd = ::open((dir + "fifo.msg").c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    for (const char* name : {"link.msg", "d.msg", "fifo.msg", "missing.msg"}) {
        std::string content = "unchanged", error;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(files.ReadFile(dir + name, content, error)) << name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << name;
        EXPECT_NE(error.find(name), std::string::npos) << error;
    }
    done = true;
    unblock.join();
}

TEST_F(FilesTest, AppendFileCreatesPrivatelyAppendsAndDoesNotFollowLinks) {
    const std::string log = dir + "log.txt";
    EXPECT_TRUE(files.AppendFile(log, "one\r\n"));
    EXPECT_EQ(Mode(log), 0600u);
    EXPECT_TRUE(files.AppendFile(log, std::string("t\0o\r\n", 5)));
    EXPECT_EQ(Get(log), std::string("one\r\nt\0o\r\n", 10));

    fs::create_symlink(log, dir + "link.txt");
    EXPECT_FALSE(files.AppendFile(dir + "link.txt", "x"));
    EXPECT_FALSE(files.AppendFile(dir + "none/log.txt", "x"));
    EXPECT_EQ(Get(log), std::string("one\r\nt\0o\r\n", 10));
}

}  // namespace
