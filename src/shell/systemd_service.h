// systemd_service.h - the service control on Linux: a systemd unit, syslog, a settings file.
#pragma once

#include <string>

#include "shell/platform.h"

class SystemdServiceControl : public ServiceControl {
  public:
    explicit SystemdServiceControl(std::string programDirectory);
    void SetControlsAccepted(int32_t) override {}
    std::string DisplayName() override { return "Tarvix POP to SMTP Relay Service"; }
    void SetInteractive(bool) override {}
    bool Install() override;
    void LogEvent(int16_t eventType, int32_t eventId, const std::string& text) override;
    bool Uninstall() override;
    void StartService() override;
    void SaveSetting(const std::string& section, const std::string& key,
                     const std::string& value) override;
    std::string GetSetting(const std::string& section, const std::string& key,
                           const std::string& defaultValue) override;

  private:
    std::string programDirectory_;
};
