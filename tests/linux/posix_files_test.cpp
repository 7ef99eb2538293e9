// posix_files_test.cpp - PosixFileSystem on a fresh temporary directory.
#include "linux/posix_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace {
namespace fs = std::filesystem;

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct TempDir {  // a new directory, removed with its content at the end
    char path[32] = "/tmp/posix_files_XXXXXX";
    const std::string dir = ::mkdtemp(path);
    ~TempDir() { fs::remove_all(dir); }
    std::string operator/(const std::string& name) const { return dir + "/" + name; }
    std::set<std::string> All() const {  // every entry
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
        return names;
    }
};

TEST(PosixFilesTest, OnlyCommittedRegularFilesAreSeenAndNoLinkIsFollowed) {
    TempDir d;
    PosixFileSystem files;
    std::string config, content("line 1\r\n\0\xff", 10);
    // A new file is seen only once committed, with exactly the bytes written and mode 0600. A
    // commit onto that name later fails and a file never committed goes: nothing else is left.
    for (int i = 0; i < 3; ++i) {
        auto made = files.CreateNewFile(d.dir);
        auto& file = made.value();
        ASSERT_TRUE(file && file->Write(content.substr(0, 4)) && file->Write(content.substr(4)))
            << made.why();
        EXPECT_EQ(files.ListFiles(d.dir, ""), std::vector<std::string>(i ? 1 : 0, "a.msg"));
        const std::string refused = "cannot rename to " + d / "a.msg" + ": File exists";
        EXPECT_TRUE(i == 2 || file->Commit(d / "a.msg").why() == (i ? refused : "")) << i;
    }
    // The whole-file writer replaces only when told to, with the mode it is given.
    EXPECT_EQ(WriteFileAtomically(d / "w", "old", 0640, IfExists::kFail).why(), "");
    EXPECT_EQ(WriteFileAtomically(d / "w", "new", 0600, IfExists::kFail).why(),
              "cannot rename to " + d / "w" + ": File exists");
    EXPECT_TRUE(Read(d / "w") == "old" && fs::status(d / "w").permissions() == fs::perms{0640});
    EXPECT_EQ(WriteFileAtomically(d / "w", "new", 0604, IfExists::kReplace).why(), "");
    EXPECT_TRUE(Read(d / "w") == "new" && fs::status(d / "w").permissions() == fs::perms{0604});
    EXPECT_EQ(Read(d / "a.msg"), content);
    EXPECT_EQ(fs::status(d / "a.msg").permissions(), fs::perms{0600});
    EXPECT_TRUE(files.Remove(d / "w"));
    EXPECT_EQ(d.All(), std::set<std::string>{"a.msg"});
    const std::string stamp = files.DirectoryStamp(d.dir);
    EXPECT_TRUE(!stamp.empty() && files.DirectoryStamp(d.dir) == stamp);
    for (const char* name : {"b.msg", "c.snd", "keep.tmp", ".incoming-Q1w2e3.tmp", ".incoming-x"}) {
        std::ofstream(d / name) << name;
    }
    EXPECT_NE(files.DirectoryStamp(d.dir), stamp);
    ASSERT_EQ(::symlink("made-by-link", (d / "dangling.log").c_str()) +
                  ::symlink("a.msg", (d / "link.msg").c_str()) +
                  ::mkfifo((d / "fifo.msg").c_str(), 0600) + ::mkdir((d / "sub.msg").c_str(), 0700),
              0);
    // Listings show regular files only, never temporary ones; only these are removed as stale.
    EXPECT_EQ(files.ListFiles(d.dir, ".msg"), (std::vector<std::string>{"a.msg", "b.msg"}));
    EXPECT_EQ(files.ListFiles(d.dir + "/", ".tmp"), std::vector<std::string>{"keep.tmp"});
    files.RemoveStaleTemporaryFiles(d.dir);
    EXPECT_EQ(d.All(),
              (std::set<std::string>{".incoming-x", "a.msg", "b.msg", "c.snd", "dangling.log",
                                     "fifo.msg", "keep.tmp", "link.msg", "sub.msg"}));
    ::alarm(10);  // an open that waits for a writer of the FIFO ends the test binary
    for (auto [name, opens] :
         {std::pair{"a.msg", true}, {"link.msg", false}, {"fifo.msg", false}, {"sub.msg", false}}) {
        auto reader = files.OpenForReading(d / name);
        EXPECT_EQ(reader.ok() && reader.value(), opens) << name << reader.why();
    }
    ::alarm(0);
    // Appending never goes through a link; the configuration may be one.
    EXPECT_TRUE(files.OpenForAppend(d / "log") && files.OpenForAppend(d / "log")->Write("x"));
    EXPECT_TRUE(!files.OpenForAppend(d / "link.msg") && !files.OpenForAppend(d / "dangling.log"));
    EXPECT_TRUE(Read(d / "log") == "x" && Read(d / "a.msg") == content);
    EXPECT_FALSE(files.Exists(d / "made-by-link"));
    EXPECT_TRUE(files.ReadConfiguration(d / "link.msg", config) && config == content);
    // Renaming keeps both files when the new name exists.
    EXPECT_FALSE(files.RenameNoReplace(d / "b.msg", d / "a.msg"));
    EXPECT_TRUE(Read(d / "a.msg") == content && Read(d / "b.msg") == "b.msg");
    EXPECT_TRUE(files.RenameNoReplace(d / "b.msg", d / "d.msg"));
    // The lock holds against another instance until its holder is gone.
    auto holder = std::make_unique<PosixFileSystem>();
    EXPECT_EQ(holder->LockForThisProcess(d / "lock").why(), "");
    EXPECT_EQ(files.LockForThisProcess(d / "lock").why(),
              d / "lock" + " is locked by another process");
    holder.reset();
    EXPECT_EQ(files.LockForThisProcess(d / "lock").why(), "");
}

TEST(PosixFilesTest, JoinPathPutsOneSlashBetween) {  // an empty directory is the root
    for (auto [dir, path] : {std::pair{"/a", "/a/b"}, {"/a//", "/a/b"}, {"", "/b"}}) {
        EXPECT_EQ(JoinPath(dir, "/b"), path) << dir;
    }
}

}  // namespace
