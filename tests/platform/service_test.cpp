// service_test.cpp - the systemd service control against the real machine.
//
// Registration is written into a temporary unit directory (POP2SMTP_UNIT_DIR), so systemctl is
// never run and the machine's own units are untouched. Checked: the unit's settings, systemd's
// own reading of it (`systemd-analyze verify`, skipped where the tool is missing), install and
// uninstall, the settings file, starting programs, the readiness notice (a private
// NOTIFY_SOCKET) and the syslog datagrams. syslog(3) always writes to /dev/log; the datagrams
// are caught in a child process that mounts a private /dev holding its own /dev/log socket in
// a mount namespace of its own (skipped where namespaces are not allowed), so the machine's
// log sees nothing.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "shell/profile.h"
#include "shell/systemd_service.h"

namespace fs = std::filesystem;

namespace {

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ThisExecutable() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

// The raw value of the first `key=` line in `[section]` of a unit file; nullopt when missing.
std::optional<std::string> UnitValue(const std::string& unit, const std::string& section,
                                     const std::string& key) {
    std::istringstream lines(unit);
    std::string line, current;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.front() == '[') {
            current = line.substr(1, line.find(']') - 1);
        } else if (current == section && line.rfind(key + "=", 0) == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return std::nullopt;
}

// Sets an environment variable for the life of the object, then puts the old value back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }

  private:
    std::string name_;
    std::optional<std::string> old_;
};

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "pop2smtp-service-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

bool HaveProgram(const char* name) {
    return service_detail::RunProgram(
        {"sh", "-c", std::string("command -v ") + name + " >/dev/null"});
}

// `systemd-analyze verify` on a unit file, its messages kept in `messages`.
bool VerifyUnit(const fs::path& unit, const fs::path& scratch, std::string& messages) {
    fs::path out = scratch / "verify.out";
    std::string command =
        "systemd-analyze verify '" + unit.string() + "' >'" + out.string() + "' 2>&1";
    bool ok = service_detail::RunProgram({"sh", "-c", command});
    messages = ReadText(out);
    return ok;
}

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unitDir_ = temp_.path() / "units";
        programDir_ = temp_.path() / "program";
        fs::create_directories(unitDir_);
        fs::create_directories(programDir_);
        unitEnv_.emplace("POP2SMTP_UNIT_DIR", unitDir_.c_str());
    }
    fs::path UnitPath() const { return unitDir_ / SystemdServiceControl::kUnitName; }

    TempDir temp_;
    fs::path unitDir_, programDir_;
    std::optional<ScopedEnv> unitEnv_;
};

// --- the unit written by Install

struct UnitCase {
    const char* name;
    std::string directory;         // relative to the temporary directory, as given to the class
    std::string workingDirectory;  // expected raw setting; "@" stands for the temporary directory
    std::string environment;       // expected raw setting
};
void PrintTo(const UnitCase& c, std::ostream* os) {
    *os << c.name;
}

std::string Expand(std::string text, const std::string& root) {
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
        text.replace(at, 1, root);
        at += root.size();
    }
    return text;
}

class UnitContentTest : public ServiceTest, public ::testing::WithParamInterface<UnitCase> {};

TEST_P(UnitContentTest, InstallWritesTheUnit) {
    const UnitCase& c = GetParam();
    const std::string root = temp_.path().string();
    fs::create_directories(temp_.path() / fs::path(c.directory).relative_path());
    SystemdServiceControl service(root + "/" + c.directory);
    ASSERT_TRUE(service.Install());

    const std::string unit = ReadText(UnitPath());
    EXPECT_EQ(UnitValue(unit, "Unit", "Description"), "Tarvix POP to SMTP Relay Service");
    EXPECT_EQ(UnitValue(unit, "Service", "Type"), "notify");
    EXPECT_EQ(UnitValue(unit, "Service", "ExecStart"), ThisExecutable());
    EXPECT_EQ(UnitValue(unit, "Service", "WorkingDirectory"), Expand(c.workingDirectory, root));
    EXPECT_EQ(UnitValue(unit, "Service", "Environment"), Expand(c.environment, root));
    EXPECT_EQ(UnitValue(unit, "Service", "Restart"), "on-failure");
    EXPECT_EQ(UnitValue(unit, "Install", "WantedBy"), "multi-user.target");

    struct stat st {};
    ASSERT_EQ(::stat(UnitPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // Nothing but the unit is left in the unit directory (no temporary file).
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(unitDir_))
        names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{SystemdServiceControl::kUnitName});
}

INSTANTIATE_TEST_SUITE_P(
    Directories, UnitContentTest,
    ::testing::Values(
        UnitCase{"Plain", "prog", "@/prog", "POP2SMTP_HOME=@/prog"},
        UnitCase{"TrailingSlash", "prog/", "@/prog", "POP2SMTP_HOME=@/prog"},
        UnitCase{"DotSegments", "a/../prog/.", "@/prog", "POP2SMTP_HOME=@/prog"},
        // Specifiers: "%" is written "%%"; a blank needs the assignment quoted.
        UnitCase{"BlankAndPercent", "my prog%n", "@/my prog%%n", "\"POP2SMTP_HOME=@/my prog%%n\""},
        // Inside quotes, backslash and double quote are escaped C-style.
        UnitCase{"QuoteAndBackslash", "a\"b\\c", "@/a\"b\\c", "\"POP2SMTP_HOME=@/a\\\"b\\\\c\""},
        // "$" needs no escape: assignments and paths are not subject to variable expansion.
        UnitCase{"Dollar", "d$HOME", "@/d$HOME", "POP2SMTP_HOME=@/d$HOME"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceTest, RelativeProgramDirectoryBecomesAbsolute) {
    const fs::path cwd = fs::current_path();
    fs::current_path(temp_.path());
    SystemdServiceControl service("rel/dir");
    bool installed = service.Install();
    fs::current_path(cwd);
    ASSERT_TRUE(installed);
    const std::string unit = ReadText(UnitPath());
    EXPECT_EQ(UnitValue(unit, "Service", "WorkingDirectory"), (temp_.path() / "rel/dir").string());
}

// --- systemd's own reading of the unit

TEST_F(ServiceTest, SystemdAcceptsTheInstalledUnit) {
    if (!HaveProgram("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
    SystemdServiceControl service(programDir_.string());
    ASSERT_TRUE(service.Install());
    std::string messages;
    EXPECT_TRUE(VerifyUnit(UnitPath(), temp_.path(), messages)) << messages;
    EXPECT_EQ(messages, "");
}

// ExecStart must name the program exactly: systemd-analyze checks that the executable it reads
// from the unit exists, so a wrong escape of an unusual path is caught here.
class UnitExecutableTest : public ServiceTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnitExecutableTest, SystemdFindsTheProgram) {
    if (!HaveProgram("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
    const fs::path directory = temp_.path() / GetParam();
    fs::create_directories(directory);
    const fs::path program = directory / "pop2smtp";
    fs::create_symlink(ThisExecutable(), program);

    const std::string unit = service_detail::ComposeUnit("Tarvix POP to SMTP Relay Service",
                                                         program.string(), directory.string());
    ASSERT_FALSE(unit.empty());
    WriteText(UnitPath(), unit);
    std::string messages;
    EXPECT_TRUE(VerifyUnit(UnitPath(), temp_.path(), messages)) << unit << messages;
    EXPECT_EQ(messages, "") << unit;
}

INSTANTIATE_TEST_SUITE_P(Paths, UnitExecutableTest,
                         ::testing::Values("plain", "with blank", "per%cent", "dollar$HOME",
                                           "semi;colon", "a=b"));

struct RejectedUnitCase {
    const char* name;
    std::string executable;
    std::string directory;
};
void PrintTo(const RejectedUnitCase& c, std::ostream* os) {
    *os << c.name;
}

class RejectedUnitTest : public ::testing::TestWithParam<RejectedUnitCase> {};

TEST_P(RejectedUnitTest, UnitCannotBeComposed) {
    const RejectedUnitCase& c = GetParam();
    EXPECT_EQ(
        service_detail::ComposeUnit("Tarvix POP to SMTP Relay Service", c.executable, c.directory),
        "");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RejectedUnitTest,
    ::testing::Values(RejectedUnitCase{"NewlineInDirectory", "/opt/p/pop2smtp", "/opt/p\nx"},
                      RejectedUnitCase{"NewlineInProgram", "/opt/p\n/pop2smtp", "/opt/p"},
                      RejectedUnitCase{"TabInDirectory", "/opt/p/pop2smtp", "/opt/\tp"},
                      RejectedUnitCase{"QuoteInProgram", "/opt/p\"/pop2smtp", "/opt/p"},
                      RejectedUnitCase{"SingleQuoteInProgram", "/opt/p'/pop2smtp", "/opt/p"},
                      RejectedUnitCase{"BackslashInProgram", "/opt/p\\/pop2smtp", "/opt/p"},
                      RejectedUnitCase{"RelativeProgram", "pop2smtp", "/opt/p"},
                      RejectedUnitCase{"EmptyProgram", "", "/opt/p"},
                      RejectedUnitCase{"RelativeDirectory", "/opt/p/pop2smtp", "opt/p"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- install and uninstall

TEST_F(ServiceTest, InstallThenUninstallRemovesTheUnit) {
    SystemdServiceControl service(programDir_.string());
    ASSERT_TRUE(service.Install());
    ASSERT_TRUE(fs::exists(UnitPath()));
    EXPECT_TRUE(service.Uninstall());
    EXPECT_FALSE(fs::exists(UnitPath()));
    EXPECT_TRUE(fs::is_empty(unitDir_));
    // A second removal finds nothing to remove.
    EXPECT_FALSE(service.Uninstall());
}

TEST_F(ServiceTest, UninstallWithoutUnitFails) {
    SystemdServiceControl service(programDir_.string());
    EXPECT_FALSE(service.Uninstall());
    EXPECT_TRUE(fs::is_empty(unitDir_));
}

TEST_F(ServiceTest, InstallReplacesAnOlderUnit) {
    WriteText(UnitPath(), "[Service]\nExecStart=/old/place/pop2smtp\n");
    SystemdServiceControl service(programDir_.string());
    ASSERT_TRUE(service.Install());
    EXPECT_EQ(UnitValue(ReadText(UnitPath()), "Service", "ExecStart"), ThisExecutable());
}

TEST_F(ServiceTest, InstallFailsWhenTheUnitDirectoryIsMissing) {
    ScopedEnv missing("POP2SMTP_UNIT_DIR", (temp_.path() / "no-such-dir").c_str());
    SystemdServiceControl service(programDir_.string());
    EXPECT_FALSE(service.Install());
    EXPECT_FALSE(fs::exists(temp_.path() / "no-such-dir"));
}

TEST_F(ServiceTest, PrivateUnitDirectoryLeavesTheSystemAlone) {
    const fs::path system = fs::path("/etc/systemd/system") / SystemdServiceControl::kUnitName;
    const bool before = fs::exists(system);
    SystemdServiceControl service(programDir_.string());
    ASSERT_TRUE(service.Install());
    EXPECT_EQ(fs::exists(system), before);
    ASSERT_TRUE(service.Uninstall());
    EXPECT_EQ(fs::exists(system), before);
}

struct UnitDirectoryCase {
    const char* name;
    const char* variable;  // nullptr: unset
    std::string expected;
};
void PrintTo(const UnitDirectoryCase& c, std::ostream* os) {
    *os << c.name;
}

class UnitDirectoryTest : public ::testing::TestWithParam<UnitDirectoryCase> {};

TEST_P(UnitDirectoryTest, ChosenFromTheEnvironment) {
    ScopedEnv env("POP2SMTP_UNIT_DIR", GetParam().variable);
    EXPECT_EQ(SystemdServiceControl::UnitDirectory(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Environment, UnitDirectoryTest,
                         ::testing::Values(UnitDirectoryCase{"Unset", nullptr,
                                                             "/etc/systemd/system"},
                                           UnitDirectoryCase{"Empty", "", "/etc/systemd/system"},
                                           UnitDirectoryCase{"Set", "/srv/units", "/srv/units"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the settings file

TEST_F(ServiceTest, SettingIsStoredInItsOwnFileAndReadBack) {
    const std::string ini = "[General]\nPOPPort=110\n";
    WriteText(programDir_ / "TarvixPOP2SMTP.ini", ini);
    SystemdServiceControl service(programDir_.string());  // no trailing "/"
    EXPECT_EQ(service.GetSetting("Parameters", "RunAsService", "0"), "0");

    service.SaveSetting("Parameters", "RunAsService", "1");
    const fs::path file = programDir_ / SystemdServiceControl::kSettingsFileName;
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(ProfileFile::Parse(ReadText(file)).GetString("Parameters", "RunAsService", "?"), "1");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadText(programDir_ / "TarvixPOP2SMTP.ini"), ini);

    // A new object (a later run) sees it, also through a directory given with its "/".
    SystemdServiceControl later(programDir_.string() + "/");
    EXPECT_EQ(later.GetSetting("Parameters", "RunAsService", "0"), "1");
    later.SaveSetting("Parameters", "RunAsService", "0");
    EXPECT_EQ(service.GetSetting("Parameters", "RunAsService", "1"), "0");
    EXPECT_EQ(service.GetSetting("parameters", "runasservice", "1"), "0");
    EXPECT_EQ(service.GetSetting("Parameters", "Other", "dflt  "), "dflt");

    // Only the settings file and the configuration are in the directory: no temporary file.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(programDir_))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"POP2SMTP.settings", "TarvixPOP2SMTP.ini"}));
}

TEST_F(ServiceTest, UnreadableSettingsPathIsNotReplaced) {
    // A directory where the file should be: reading fails, so saving must not clobber it.
    fs::create_directory(programDir_ / SystemdServiceControl::kSettingsFileName);
    SystemdServiceControl service(programDir_.string());
    service.SaveSetting("Parameters", "RunAsService", "1");
    EXPECT_TRUE(fs::is_directory(programDir_ / SystemdServiceControl::kSettingsFileName));
    EXPECT_EQ(service.GetSetting("Parameters", "RunAsService", "0"), "0");
}

struct ProfileEditCase {
    const char* name;
    std::string before;
    std::string section, key, value;
    // Other settings that must read the same before and after: section, key, value.
    std::vector<std::array<std::string, 3>> kept;
};
void PrintTo(const ProfileEditCase& c, std::ostream* os) {
    *os << c.name;
}

class SetProfileValueTest : public ::testing::TestWithParam<ProfileEditCase> {};

TEST_P(SetProfileValueTest, ReaderSeesTheNewValueAndEverythingElseUnchanged) {
    const ProfileEditCase& c = GetParam();
    const std::string after = service_detail::SetProfileValue(c.before, c.section, c.key, c.value);
    const ProfileFile parsed = ProfileFile::Parse(after);
    EXPECT_EQ(parsed.GetString(c.section, c.key, "<missing>"), c.value) << after;
    const ProfileFile original = ProfileFile::Parse(c.before);
    for (const auto& [section, key, value] : c.kept) {
        ASSERT_EQ(original.GetString(section, key, "<missing>"), value) << "case set-up";
        EXPECT_EQ(parsed.GetString(section, key, "<missing>"), value)
            << "[" << section << "] " << key << " in:\n"
            << after;
    }
    // Setting the same value again changes nothing.
    EXPECT_EQ(service_detail::SetProfileValue(after, c.section, c.key, c.value), after);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, SetProfileValueTest,
    ::testing::Values(ProfileEditCase{"EmptyFile", "", "Parameters", "RunAsService", "1", {}},
                      ProfileEditCase{"ReplaceValue",
                                      "[Parameters]\nRunAsService=0\nOther=x\n",
                                      "Parameters",
                                      "RunAsService",
                                      "1",
                                      {{"Parameters", "Other", "x"}}},
                      ProfileEditCase{"NamesIgnoreCase",
                                      "[PARAMETERS]\n  runasservice = 0 \n",
                                      "Parameters",
                                      "RunAsService",
                                      "1",
                                      {}},
                      ProfileEditCase{
                          "AddKeyToExistingSectionBeforeTheNext",
                          "[Parameters]\nOther=x\n\n[Later]\nRunAsService=7\n",
                          "Parameters",
                          "RunAsService",
                          "1",
                          {{"Parameters", "Other", "x"}, {"Later", "RunAsService", "7"}}},
                      ProfileEditCase{"AddSectionAfterOthers",
                                      "[General]\nRunAsService=5\n",
                                      "Parameters",
                                      "RunAsService",
                                      "0",
                                      {{"General", "RunAsService", "5"}}},
                      ProfileEditCase{"NoFinalLineBreak",
                                      "[General]\nA=1",
                                      "Parameters",
                                      "RunAsService",
                                      "1",
                                      {{"General", "A", "1"}}},
                      ProfileEditCase{"CommentIsNotAKey",
                                      "[Parameters]\n;RunAsService=9\nB=2\n",
                                      "Parameters",
                                      "RunAsService",
                                      "1",
                                      {{"Parameters", "B", "2"}}},
                      ProfileEditCase{"FirstOfTwoSectionsWins",
                                      "[Parameters]\nA=1\n[Parameters]\nRunAsService=3\n",
                                      "Parameters",
                                      "RunAsService",
                                      "1",
                                      {{"Parameters", "A", "1"}}},
                      ProfileEditCase{"KeyWithoutValueIsReplaced",
                                      "[Parameters]\nRunAsService\nC=3\n",
                                      "Parameters",
                                      "RunAsService",
                                      "1",
                                      {{"Parameters", "C", "3"}}},
                      ProfileEditCase{"CrLfLines",
                                      "[Parameters]\r\nRunAsService=0\r\nD=4\r\n",
                                      "Parameters",
                                      "RunAsService",
                                      "1",
                                      {{"Parameters", "D", "4"}}},
                      ProfileEditCase{"ByteOrderMarkBeforeSection",
                                      "\xEF\xBB\xBF[Parameters]\nRunAsService=0\nE=5\n",
                                      "Parameters",
                                      "RunAsService",
                                      "1",
                                      {{"Parameters", "E", "5"}}},
                      ProfileEditCase{"LinesBeforeAnySection",
                                      "RunAsService=8\n[Parameters]\nF=6\n",
                                      "Parameters",
                                      "RunAsService",
                                      "1",
                                      {{"Parameters", "F", "6"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SetProfileValue, LineBreaksInAValueCannotAddLines) {
    const std::string after =
        service_detail::SetProfileValue("", "Parameters", "RunAsService", "1\n[Evil]\nX=1");
    const ProfileFile parsed = ProfileFile::Parse(after);
    EXPECT_EQ(parsed.GetString("Evil", "X", "<missing>"), "<missing>") << after;
    EXPECT_EQ(parsed.SectionNames(), std::string("Parameters") + '\0');
}

// --- starting programs

struct RunCase {
    const char* name;
    std::vector<std::string> argv;
    bool expected;
};
void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.name;
}

class RunProgramTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunProgramTest, SuccessIsExitStatusZero) {
    EXPECT_EQ(service_detail::RunProgram(GetParam().argv), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, RunProgramTest,
    ::testing::Values(
        RunCase{"ExitZero", {"true"}, true}, RunCase{"ExitOne", {"false"}, false},
        RunCase{"ExitThree", {"sh", "-c", "exit 3"}, false},
        RunCase{"KilledBySignal", {"sh", "-c", "kill -9 $$"}, false},
        RunCase{"NotFound", {"pop2smtp-no-such-program"}, false}, RunCase{"NoArguments", {}, false},
        // Arguments reach the program one by one, unparsed by any shell.
        RunCase{
            "ArgumentsPassedAsTheyAre", {"sh", "-c", "[ \"$1\" = 'a b;c' ]", "sh", "a b;c"}, true},
        // stdin is /dev/null, so a program that asks never waits for an answer.
        RunCase{"StdinIsEmpty", {"sh", "-c", "[ -z \"$(cat)\" ] && [ ! -t 0 ]"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- readiness notice

TEST(ServiceStart, NotifiesSystemdThatTheServiceIsReady) {
    TempDir temp;
    const std::string path = (temp.path() / "notify").string();
    int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::copy(path.begin(), path.end(), address.sun_path);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{2, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    {
        ScopedEnv notify("NOTIFY_SOCKET", path.c_str());
        SystemdServiceControl(temp.path().string()).StartService();
    }
    char buffer[256];
    ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
    ::close(s);
    ASSERT_GT(n, 0) << "no notice within 2 s";
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), "READY=1");
}

// --- syslog

// What the child process reports: 'M' and the datagram, 'S' and why it skipped, 'E' an error.
struct Captured {
    char kind = 'E';
    std::string text;
};

bool WriteFile(const char* path, const std::string& text) {
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// In the child: a mount namespace of its own (as root, else inside a user namespace).
bool EnterPrivateMounts(std::string& why) {
    if (::unshare(CLONE_NEWNS) == 0) return true;
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        why = std::string("no mount namespace: ") + std::strerror(errno);
        return false;
    }
    WriteFile("/proc/self/setgroups", "deny");
    if (!WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        why = "cannot map the user in a user namespace";
        return false;
    }
    return true;
}

[[noreturn]] void Report(int fd, char kind, const std::string& text) {
    std::string message = kind + text;
    (void)!::write(fd, message.data(), message.size());
    ::_exit(0);
}

[[noreturn]] void CaptureInChild(int fd, int16_t eventType, const std::string& text) {
    std::string why;
    if (!EnterPrivateMounts(why)) Report(fd, 'S', why);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
        Report(fd, 'S', std::string("cannot mount a private /dev: ") + std::strerror(errno));
    }
    int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Report(fd, 'E', std::string("cannot bind /dev/log: ") + std::strerror(errno));
    }
    timeval timeout{2, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::closelog();  // a connection inherited from the parent would lead to the machine's log
    SystemdServiceControl("/tmp").LogEvent(eventType, 110, text);
    char buffer[4096];
    ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) Report(fd, 'E', "no datagram on /dev/log within 2 s");
    Report(fd, 'M', std::string(buffer, static_cast<std::size_t>(n)));
}

Captured CaptureSyslog(int16_t eventType, const std::string& text, pid_t& child) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {'E', "pipe failed"};
    child = ::fork();
    if (child < 0) return {'E', "fork failed"};
    if (child == 0) {
        ::close(pipeFds[0]);
        CaptureInChild(pipeFds[1], eventType, text);
    }
    ::close(pipeFds[1]);
    std::string report;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (report.empty()) return {'E', "child ended without a report"};
    return {report[0], report.substr(1)};
}

struct SyslogCase {
    const char* name;
    int16_t eventType;
    std::string text;
    int priority;  // facility mail (2) * 8 + severity
};
void PrintTo(const SyslogCase& c, std::ostream* os) {
    *os << c.name;
}

class SyslogTest : public ::testing::TestWithParam<SyslogCase> {};

TEST_P(SyslogTest, EventGoesToSyslogAsMailWithIdent) {
    const SyslogCase& c = GetParam();
    pid_t child = 0;
    Captured captured = CaptureSyslog(c.eventType, c.text, child);
    if (captured.kind == 'S') GTEST_SKIP() << "syslog capture unavailable: " << captured.text;
    ASSERT_EQ(captured.kind, 'M') << captured.text;
    const std::string& datagram = captured.text;
    const std::string head = "<" + std::to_string(c.priority) + ">";
    EXPECT_EQ(datagram.substr(0, head.size()), head) << datagram;
    const std::string tail = " POP2SMTP[" + std::to_string(child) + "]: " + c.text;
    ASSERT_GE(datagram.size(), tail.size()) << datagram;
    EXPECT_EQ(datagram.substr(datagram.size() - tail.size()), tail) << datagram;
}

INSTANTIATE_TEST_SUITE_P(
    Events, SyslogTest,
    // Priority = facility * 8 + severity: mail is 2; error 3, warning 4, information 6.
    ::testing::Values(SyslogCase{"Started", 4, "Tarvix POP2SMTP started", 22},
                      SyslogCase{"Stopped", 4, "Tarvix POP2SMTP stopped", 22},
                      SyslogCase{"Error", 1, "an error entry", 19},
                      SyslogCase{"Warning", 2, "a warning entry", 20},
                      SyslogCase{"AuditIsInformation", 8, "audit", 22},
                      // The text is a message, never a format.
                      SyslogCase{"PercentSigns", 4, "100% %s %n %d", 22}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
