// systemd_service.cpp - registration as a systemd service, the settings file, syslog, sd_notify.
//
// Install writes POP2SMTP.service with WriteFileAtomically (a hidden temporary name without a
// unit suffix, renamed over the old unit), so systemd never reads half a unit; where systemd
// runs (and no private unit directory is named) it then runs `systemctl daemon-reload` and
// `systemctl enable`. Uninstall disables, removes the file and reloads. systemctl is started
// with posix_spawn: no shell parses the arguments. The settings file is rewritten the same
// atomic way with mode 0600.
//
// Failures are results: Install is false when the unit cannot be composed or written or a
// systemctl step fails (a unit already written then stays in place), and when anyone but root
// can change the program, a directory on the way to it or to the program directory, or the
// configuration file (whoever can would control a root service; the reason goes to stderr);
// Uninstall is false when there is no unit or it cannot be removed. Settings that cannot be stored
// are lost silently.
#include "linux/systemd_service.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>

#include "linux/posix_files.h"
#include "relay/procs.h"
#include "relay/profile.h"

extern char** environ;

namespace {

constexpr const char* kDefaultUnitDirectory = "/etc/systemd/system";

// The directory without its trailing "/" (the root stays "/"), made absolute.
std::string NormalizeDirectory(const std::string& given) {
    std::string directory = given.empty() ? std::string(".") : given;
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(directory, ec);
    if (!ec) directory = absolute.lexically_normal().string();
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    return directory;
}

bool SystemdIsRunning() {
    struct stat st {};
    return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

bool UnitDirectoryIsPrivate() {
    const char* dir = std::getenv("POP2SMTP_UNIT_DIR");
    return dir != nullptr && *dir != '\0';
}

// systemctl is asked only where systemd manages this machine and the unit went to its
// directory; a private unit directory (tests, staging) is never announced to it.
bool ShouldTalkToSystemd() {
    return SystemdIsRunning() && !UnitDirectoryIsPrivate();
}

bool HasControlCharacter(std::string_view s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
}

// Specifiers ("%n", "%h", ...) are expanded in every unit setting: a literal "%" is "%%".
std::string EscapeSpecifiers(std::string_view s) {
    std::string out;
    for (char c : s) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

// One word of a command line or assignment list: quoted when it holds a blank or a quote,
// with backslash and double quote escaped (systemd unescapes C escapes in these settings).
std::string QuoteWord(std::string_view s) {
    bool needsQuotes = s.empty();
    std::string body;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\\') needsQuotes = true;
        if (c == '"' || c == '\\') body += '\\';
        body += c;
    }
    body = EscapeSpecifiers(body);
    return needsQuotes ? "\"" + body + "\"" : body;
}

bool Systemctl(std::initializer_list<const char*> arguments) {
    std::vector<std::string> argv{"systemctl"};
    for (const char* a : arguments) argv.emplace_back(a);
    return service_detail::RunProgram(argv);
}

}  // namespace

namespace service_detail {

std::string ComposeUnit(std::string_view displayName, std::string_view executable,
                        std::string_view programDirectory) {
    if (HasControlCharacter(displayName) || HasControlCharacter(executable) ||
        HasControlCharacter(programDirectory)) {
        return {};
    }
    // Both must be absolute paths.
    if (executable.empty() || executable.front() != '/') return {};
    if (programDirectory.empty() || programDirectory.front() != '/') return {};
    // systemd refuses an executable path with quotes or backslashes in it, however escaped.
    if (executable.find_first_of("\"'\\") != std::string_view::npos) return {};
    const std::string directory = EscapeSpecifiers(programDirectory);
    // /home, /root and /run/user hidden, unless the program lives there: then read-only.
    const bool underHome = programDirectory.rfind("/home/", 0) == 0 ||
                           programDirectory.rfind("/root/", 0) == 0 ||
                           programDirectory.rfind("/run/user/", 0) == 0;
    std::string unit;
    unit += "[Unit]\n";
    unit += "Description=" + EscapeSpecifiers(displayName) + "\n";
    unit += "Wants=network-online.target\n";
    unit += "After=network-online.target\n";
    unit += "\n[Service]\n";
    unit += "Type=notify\n";
    // The executable path is taken literally by systemd (no "$" expansion in it).
    unit += "ExecStart=" + QuoteWord(executable) + "\n";
    unit += "WorkingDirectory=" + directory + "\n";
    // The program directory may differ from the executable's (POP2SMTP_HOME); the service must
    // find the same configuration and settings as the run that installed it.
    unit += "Environment=" + QuoteWord("POP2SMTP_HOME=" + std::string(programDirectory)) + "\n";
    unit += "Restart=on-failure\n";
    // Confinement: the program directory is the one writable place.
    unit += "ReadWritePaths=" + QuoteWord(programDirectory) + "\n";
    unit += underHome ? "ProtectHome=read-only\n" : "ProtectHome=yes\n";
    unit +=
        "ProtectSystem=strict\n"
        "NoNewPrivileges=yes\n"
        "PrivateTmp=yes\n"
        "PrivateDevices=yes\n"
        "DevicePolicy=closed\n"
        "ProtectKernelTunables=yes\n"
        "ProtectKernelModules=yes\n"
        "ProtectKernelLogs=yes\n"
        "ProtectControlGroups=yes\n"
        "ProtectClock=yes\n"
        "ProtectHostname=yes\n"
        "ProtectProc=invisible\n"
        "ProcSubset=pid\n"
        "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
        "RestrictNamespaces=yes\n"
        "RestrictRealtime=yes\n"
        "RestrictSUIDSGID=yes\n"
        "LockPersonality=yes\n"
        "MemoryDenyWriteExecute=yes\n"
        "RemoveIPC=yes\n"
        "KeyringMode=private\n"
        "UMask=0077\n"
        "CapabilityBoundingSet=\n"
        "AmbientCapabilities=\n"
        "SystemCallArchitectures=native\n"
        "SystemCallFilter=@system-service\n"
        "SystemCallFilter=~@privileged @resources\n";
    unit += "\n[Install]\n";
    unit += "WantedBy=multi-user.target\n";
    return unit;
}

std::string WritableByOthers(const std::string& path) {
    // Only root may change what the name leads to: the object itself and every directory it is
    // looked up through. A group or other write bit refuses (with POSIX ACLs the group bits are
    // the mask, so a named user's write access sets them too). A directory on the way may be
    // root's and sticky (/tmp): others may add names there but not remove or rename root's, so
    // the entry looked up in it must be root's (a user's symbolic link would be theirs to
    // replace). The name is resolved here, one component at a time with lstat, so a symbolic
    // link anywhere on the way is followed as the kernel would and judged where it lies.
    constexpr int kMaxLinks = 40;  // as the kernel allows
    auto rootOnly = [](const struct stat& s) {
        return s.st_uid == 0 && (s.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    };
    std::vector<std::string> names;  // still to look up, the next one last
    auto push = [&names](const std::string& p) {
        std::vector<std::string> parts;
        for (std::size_t at = 0, end; at <= p.size(); at = end + 1) {
            end = std::min(p.find('/', at), p.size());
            if (end > at && p.compare(at, end - at, ".") != 0) {
                parts.push_back(p.substr(at, end - at));
            }
        }
        names.insert(names.end(), parts.rbegin(), parts.rend());
    };
    std::string real;  // what has been reached, a real path; empty for the root
    struct stat st {};
    auto here = [&real] { return real.empty() ? std::string("/") : real; };
    auto reload = [&] { return ::lstat(here().c_str(), &st) == 0; };
    const std::string refused = " can be written by others than root";
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (path.empty() || ec || !reload()) return "cannot inspect " + path;
    push(absolute.string());
    for (int links = 0; !names.empty();) {
        const std::string name = std::move(names.back());
        names.pop_back();
        if (!S_ISDIR(st.st_mode)) return "cannot inspect " + path;
        const bool sticky = st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0;
        if (!rootOnly(st) && !sticky) return here() + refused;
        if (name == "..") {
            real.erase(std::min(real.rfind('/'), real.size()));
            if (!reload()) return "cannot inspect " + path;
            continue;
        }
        const bool dirIsRootOnly = rootOnly(st);
        const std::string next = JoinPath(real, name);
        if (::lstat(next.c_str(), &st) != 0) return "cannot inspect " + next;
        if (!dirIsRootOnly && st.st_uid != 0) return next + refused;
        if (!S_ISLNK(st.st_mode)) {
            real = next;
            continue;
        }
        char target[4096];
        const ssize_t n = ::readlink(next.c_str(), target, sizeof target - 1);
        if (n <= 0 || ++links > kMaxLinks) return "cannot inspect " + path;
        if (target[0] == '/') real.clear();
        if (!reload()) return "cannot inspect " + path;
        push(std::string(target, static_cast<std::size_t>(n)));
    }
    // The object itself: not even a sticky directory, others could put files into it.
    return rootOnly(st) ? std::string() : here() + refused;
}

std::string InstallRefusal(const std::string& executable, const std::string& programDirectory) {
    const std::string config = JoinPath(programDirectory, TarvixPOP2SMTP_Procs::kConfigFileName);
    std::vector<std::string> paths{
        executable, std::filesystem::path(executable).parent_path().string(), programDirectory};
    // The configuration names commands the service runs as root; when there is none, nobody
    // but root can put one into the program directory.
    struct stat st {};
    if (::lstat(config.c_str(), &st) == 0 || errno != ENOENT) paths.push_back(config);
    for (const std::string& path : paths) {
        if (std::string why = WritableByOthers(path); !why.empty()) return why;
    }
    return {};
}

bool RunProgram(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int SyslogPriority(int16_t eventType) {
    switch (eventType) {
        case 1:
            return LOG_ERR;
        case 2:
            return LOG_WARNING;
        default:
            return LOG_INFO;
    }
}

}  // namespace service_detail

SystemdServiceControl::SystemdServiceControl(std::string programDirectory)
    : programDirectory_(NormalizeDirectory(programDirectory)) {}

std::string SystemdServiceControl::UnitDirectory() {
    const char* dir = std::getenv("POP2SMTP_UNIT_DIR");
    if (dir != nullptr && *dir != '\0') return dir;
    return kDefaultUnitDirectory;
}

std::string SystemdServiceControl::SettingsPath() const {
    return JoinPath(programDirectory_, kSettingsFileName);
}

bool SystemdServiceControl::Install() {
    const std::string executable = ExecutablePath();
    if (std::string why = service_detail::InstallRefusal(executable, programDirectory_);
        !why.empty()) {
        std::fprintf(stderr, "pop2smtp: not installed as a service: %s\n", why.c_str());
        return false;
    }
    const std::string unit =
        service_detail::ComposeUnit(DisplayName(), executable, programDirectory_);
    if (unit.empty()) return false;
    const std::string path = JoinPath(UnitDirectory(), kUnitName);
    if (!WriteFileAtomically(path, unit, 0644, IfExists::kReplace)) return false;
    if (!ShouldTalkToSystemd()) return true;
    return Systemctl({"daemon-reload"}) && Systemctl({"enable", kUnitName});
}

bool SystemdServiceControl::Uninstall() {
    const std::string path = JoinPath(UnitDirectory(), kUnitName);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    const bool talk = ShouldTalkToSystemd();
    // A failed disable leaves at most a dangling link in multi-user.target.wants; the unit goes
    // all the same, so the relay can always be unregistered.
    if (talk) Systemctl({"disable", kUnitName});
    if (::unlink(path.c_str()) != 0) return false;
    if (talk) Systemctl({"daemon-reload"});
    return true;
}

void SystemdServiceControl::LogEvent(int16_t eventType, int32_t /*eventId*/,
                                     const std::string& text) {
    ::openlog(kSyslogIdent, LOG_PID, LOG_MAIL);
    ::syslog(service_detail::SyslogPriority(eventType), "%s", text.c_str());
}

void SystemdServiceControl::StartService() {
    ::sd_notify(0, "READY=1");
}

void SystemdServiceControl::SetStatus(const std::string& text) {
    // Without NOTIFY_SOCKET (no service manager listening) this does nothing.
    ::sd_notify(0, ("STATUS=" + text).c_str());
}

void SystemdServiceControl::SaveSetting(const std::string& section, const std::string& key,
                                        const std::string& value) {
    // The store holds the one setting the relay keeps: the file is written whole. A setting that
    // cannot be stored is lost (the old file stays as it was); the relay has no use for the reason.
    (void)WriteFileAtomically(SettingsPath(), "[" + section + "]\n" + key + "=" + value + "\n",
                              0600, IfExists::kReplace);
}

std::string SystemdServiceControl::GetSetting(const std::string& section, const std::string& key,
                                              const std::string& defaultValue) {
    std::string text;
    if (!ReadWholeFile(SettingsPath(), text, false, 1 << 16)) text.clear();
    return ProfileFile::Parse(text).GetString(section, key, defaultValue);
}
