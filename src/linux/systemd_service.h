// systemd_service.h - the service control on Linux: a systemd unit, syslog, a settings file.
//
// Registration writes the unit POP2SMTP.service (atomically) into the unit directory and, where
// systemd runs, reloads and enables it through systemctl; removal undoes that. The settings store
// is the file POP2SMTP.settings in the program directory (INI text, mode 0600, written whole),
// never the configuration file. The event log is syslog (ident POP2SMTP, facility mail); service
// start tells systemd that the relay is ready (sd_notify).
//
// Relies on: the unit directory ($POP2SMTP_UNIT_DIR, else /etc/systemd/system), systemctl on the
// PATH, /proc/self/exe, libsystemd, the profile-file reader. Fails by results only: Install and
// Uninstall return false, a settings file that cannot be written keeps its old content, a
// missing or unreadable one reads as the defaults; nothing is printed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "relay/platform.h"

class SystemdServiceControl : public ServiceControl {
  public:
    static constexpr const char* kUnitName = "POP2SMTP.service";
    static constexpr const char* kSettingsFileName = "POP2SMTP.settings";
    static constexpr const char* kSyslogIdent = "POP2SMTP";

    // `programDirectory` holds the program, its configuration and the settings file; a trailing
    // "/" is optional.
    explicit SystemdServiceControl(std::string programDirectory);
    std::string DisplayName() override { return "Tarvix POP to SMTP Relay Service"; }
    bool Install() override;
    void LogEvent(int16_t eventType, int32_t eventId, const std::string& text) override;
    bool Uninstall() override;
    void StartService() override;
    void SaveSetting(const std::string& section, const std::string& key,
                     const std::string& value) override;
    std::string GetSetting(const std::string& section, const std::string& key,
                           const std::string& defaultValue) override;
    void SetStatus(const std::string& text) override;

    // Where the unit goes: $POP2SMTP_UNIT_DIR when set and not empty, else /etc/systemd/system.
    static std::string UnitDirectory();
    // Full path of the settings file.
    std::string SettingsPath() const;

  private:
    std::string programDirectory_;  // absolute, without a trailing "/" (except the root)
};

namespace service_detail {

// The text of the unit for `executable`, run in `programDirectory` (absolute, no trailing "/"),
// confined to what the relay needs: its program directory writable, the rest of the system
// read-only, no privileges, no devices, network and local sockets only. Empty when a path is not
// absolute or holds what systemd cannot take: control characters anywhere, quotes or
// backslashes in the executable's path.
std::string ComposeUnit(std::string_view displayName, std::string_view executable,
                        std::string_view programDirectory);

// Why a root service must not rely on `path`: someone other than root can change it (a file or
// directory with a group or other write bit, or not root's) or a directory it is looked up
// through, symbolic links followed (a directory on the way may be root's and sticky, like /tmp,
// if the entry looked up in it is root's). Empty when it is safe.
std::string WritableByOthers(const std::string& path);

// Why `executable` must not be installed as a root service for `programDirectory`: the first
// reason WritableByOthers gives for the program, its directory, the program directory or the
// configuration file in it (when there is one). Empty when root alone controls them all.
std::string InstallRefusal(const std::string& executable, const std::string& programDirectory);

// Runs a program (found on the PATH) with stdin from /dev/null and waits for it. True when it
// ran and exited with status 0.
bool RunProgram(const std::vector<std::string>& argv);

// The syslog priority for an event type of the service control's event log: 1 (error) is
// LOG_ERR, 2 (warning) is LOG_WARNING, anything else (4 is information) LOG_INFO.
int SyslogPriority(int16_t eventType);

}  // namespace service_detail
