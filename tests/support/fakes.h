// fakes.h - test doubles of the platform interfaces, and a harness that builds the main object
// on them over a temporary program directory.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "shell/main_object.h"
#include "shell/posix_files.h"
#include "shell/procs.h"

// Records what the relay sent; the test injects data, closes and errors, and raises the events.
class FakeSocket : public SocketControl {
  public:
    void SetEvents(SocketEvents events) override { ev = std::move(events); }
    void Connect(const std::string& host, int32_t port) override {
        connects.push_back(host + ":" + std::to_string(port));
        if (failConnectWith) throw SocketFailure(*failConnectWith);
        open = true;
        remoteHost = host;
        remotePort = port;
    }
    void SendData(std::string_view data) override {
        if (!open) throw SocketFailure("Wrong protocol or connection state");
        sent += data;
    }
    void GetData(std::string& into) override {
        into.clear();
        into.swap(pending);
    }
    void Close() override {
        ++closes;
        open = false;
    }
    std::string RemoteHost() const override { return remoteHost; }
    int32_t RemotePort() const override { return remotePort; }

    // Delivers bytes as one DataArrival event.
    void Deliver(const std::string& bytes) {
        pending += bytes;
        ev.onDataArrival(static_cast<int32_t>(pending.size()));
    }
    // Takes what was sent so far.
    std::string TakeSent() {
        std::string out;
        out.swap(sent);
        return out;
    }

    SocketEvents ev;
    std::vector<std::string> connects;
    std::optional<std::string> failConnectWith;
    std::string sent, pending, remoteHost;
    int32_t remotePort = 0;
    bool open = false;
    int closes = 0;
};

class FakeTimer : public Timer {
  public:
    void SetTickHandler(std::function<void()> onTick) override { tick = std::move(onTick); }
    int32_t Interval() const override { return 100; }
    void SetEnabled(bool e) override {
        enabled = e;
        if (calls) calls->push_back(std::string(name) + (e ? " enabled" : " disabled"));
    }
    bool Enabled() const override { return enabled; }
    std::function<void()> tick;
    bool enabled = false;
    const char* name = "timer";
    std::vector<std::string>* calls = nullptr;
};

class FakeClock : public Clock {
  public:
    LocalTime Now() override { return now; }
    LocalTime now{2026, 12, 4, 5, 7, 31, 5};
};

// Records every call to the service control, in order.
class FakeService : public ServiceControl {
  public:
    void SetControlsAccepted(int32_t c) override { calls.push_back("accept " + std::to_string(c)); }
    std::string DisplayName() override { return "Tarvix POP to SMTP Relay Service"; }
    void SetInteractive(bool i) override { calls.push_back(i ? "interactive" : "not interactive"); }
    bool Install() override {
        calls.push_back("install");
        return installResult;
    }
    void LogEvent(int16_t type, int32_t id, const std::string& text) override {
        calls.push_back("event " + std::to_string(type) + " " + std::to_string(id) + " " + text);
    }
    bool Uninstall() override {
        calls.push_back("uninstall");
        return uninstallResult;
    }
    void StartService() override { calls.push_back("start"); }
    void SaveSetting(const std::string& s, const std::string& k, const std::string& v) override {
        calls.push_back("save " + s + " " + k + " " + v);
        stored = v;
    }
    std::string GetSetting(const std::string&, const std::string&, const std::string& d) override {
        return stored.empty() ? d : stored;
    }
    std::vector<std::string> calls;
    std::string stored;
    bool installResult = true, uninstallResult = true;
};

class FakeFrontEnd : public FrontEnd {
  public:
    std::string Caption() override { return caption; }
    void SetCaption(const std::string& c) override { caption = c; }
    void Show() override { shown = true; }
    void Hide() override { hidden = true; }
    void ListLineAdded(const ListBox&, const std::string& newest) override {
        if (recordLines) added.push_back(newest);
    }
    void FitListToClientArea() override { ++fits; }
    void MessageBox(const std::string& prompt) override { boxes.push_back(prompt); }
    void EndProcess(int status) override { endStatus = status; }
    std::string caption = "Tarvix POP2SMTP Relay Application";
    bool shown = false, hidden = false, recordLines = true;
    int fits = 0;
    std::vector<std::string> added, boxes;
    std::optional<int> endStatus;
};

// The real file system with switches that make single operations fail.
class FaultyFileSystem : public PosixFileSystem {
  public:
    std::string WriteNewFileDurably(const std::string& path, std::string_view content) override {
        if (failWrites) return "cannot write " + path + ": No space left on device";
        return PosixFileSystem::WriteNewFileDurably(path, content);
    }
    bool ReadFile(const std::string& path, std::string& content, std::string& error) override {
        if (failReadsOf.size() && path.find(failReadsOf) != std::string::npos) {
            error = "cannot read " + path + ": Input/output error";
            return false;
        }
        return PosixFileSystem::ReadFile(path, content, error);
    }
    bool failWrites = false;
    std::string failReadsOf;
};

// A main object on fakes over a fresh temporary program directory.
class RelayHarness {
  public:
    explicit RelayHarness(std::string commandLine = "")
        : dir_(MakeTempDir()),
          relay(RelayPlatform{front, clock, files, service, pop, smtp, timerPOP, timerSMTP, dir_,
                              std::move(commandLine)}) {}
    ~RelayHarness() { std::filesystem::remove_all(dir_); }

    std::string Dir() const { return dir_ + "/"; }
    std::string Spool() const { return Dir() + "Messages/"; }
    void WriteConfig(const std::string& text) { WriteFile(Dir() + "TarvixPOP2SMTP.ini", text); }
    static void WriteFile(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Names in the spool directory, sorted.
    std::vector<std::string> SpoolNames() const {
        std::vector<std::string> names;
        for (auto& e : std::filesystem::directory_iterator(Spool())) {
            names.push_back(e.path().filename());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // The list lines without their time prefix.
    std::vector<std::string> Logged() const {
        std::vector<std::string> out;
        for (const auto& l : front.added) out.push_back(l.substr(9));
        return out;
    }

    FakeFrontEnd front;
    FakeClock clock;
    FaultyFileSystem files;
    FakeService service;
    FakeSocket pop, smtp;
    FakeTimer timerPOP, timerSMTP;

  private:
    static std::string MakeTempDir() {
        std::string t = (std::filesystem::temp_directory_path() / "relayXXXXXX").string();
        return ::mkdtemp(t.data());
    }
    std::string dir_;

  public:
    TarvixPOP2SMTP_Main relay;
};
