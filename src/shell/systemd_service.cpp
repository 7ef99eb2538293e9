// systemd_service.cpp - placeholder service control: no registration, settings not stored.
#include "shell/systemd_service.h"

SystemdServiceControl::SystemdServiceControl(std::string programDirectory)
    : programDirectory_(std::move(programDirectory)) {}
bool SystemdServiceControl::Install() {
    return false;
}
bool SystemdServiceControl::Uninstall() {
    return false;
}
void SystemdServiceControl::LogEvent(int16_t, int32_t, const std::string&) {}
void SystemdServiceControl::StartService() {}
void SystemdServiceControl::SaveSetting(const std::string&, const std::string&,
                                        const std::string&) {}
std::string SystemdServiceControl::GetSetting(const std::string&, const std::string&,
                                              const std::string& defaultValue) {
    return defaultValue;
}
