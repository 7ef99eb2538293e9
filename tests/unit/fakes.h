// fakes.h - test doubles of the platform interfaces and a main object built on them over a
// temporary program directory (real files, so spool and log files are checked as written).
#pragma once

#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "linux/posix_files.h"
#include "relay/main_object.h"

// Records what the relay did on it, in order: data sent, and "[connect h:p]", "[tls h:p]",
// "[starttls]", "[close]". The test raises the events.
class FakeSocket : public SocketControl {
  public:
    void SetEvents(SocketEvents events) override { ev = std::move(events); }
    Status Connect(const std::string& host, int32_t port) override {
        return Open("connect", host, port);
    }
    Status ConnectTls(const std::string& host, int32_t port, const std::string& trust) override {
        Status opened = Open("tls", host, port, trust);
        secure = opened.ok();
        return opened;
    }
    void StartTls(const std::string&) override { Mark("[starttls]"); }
    bool IsSecure() const override { return secure; }
    bool PeerIsLoopback() const override { return loopback; }
    uint64_t BytesMoved() const override { return moved; }
    Status SendData(std::string_view data) override {
        if (!open) return Status::Failed("Wrong protocol or connection state");
        if (done.empty() || done.back().front() == '[') done.emplace_back();
        done.back() += data;
        sendPending = true;
        return Status::Ok();
    }
    void GetData(std::string& into) override {
        into.clear();
        into.swap(pending);
    }
    void Close() override {
        Mark("[close]");
        open = secure = false;
    }
    std::string RemoteHost() const override { return host; }
    int32_t RemotePort() const override { return port; }

    SocketEvents ev;
    std::deque<std::string> done;  // data runs and markers
    std::optional<std::string> failConnectWith;
    std::string pending, host;
    int32_t port = 0;
    uint64_t moved = 0;
    bool open = false, secure = false, loopback = true, sendPending = false;

  private:
    void Mark(const std::string& marker) { done.push_back(marker); }
    // The marker names the trust file when there is one.
    Status Open(const char* how, const std::string& h, int32_t p, const std::string& trust = "") {
        Mark("[" + std::string(how) + " " + h + ":" + std::to_string(p) +
             (trust.empty() ? "" : " " + trust) + "]");
        if (failConnectWith) return Status::Failed(*failConnectWith);
        open = true;
        secure = false;
        host = h;
        port = p;
        return Status::Ok();
    }
};

class FakeTimer : public Timer {
  public:
    void SetTickHandler(std::function<void()> onTick) override { tick = std::move(onTick); }
    int32_t Interval() const override { return 100; }
    void SetEnabled(bool e) override { enabled = e; }
    bool Enabled() const override { return enabled; }
    std::function<void()> tick;
    bool enabled = false;
};

class FakeClock : public Clock {
  public:
    LocalTime Now() override { return now; }
    LocalTime now{2026, 12, 4, 5, 7, 31, 5, 0};
};

// Records every call, in order, as a short text.
class FakeService : public ServiceControl {
  public:
    std::string DisplayName() override { return "Tarvix POP to SMTP Relay Service"; }
    bool Install() override { return calls.push_back("install"), installOk; }
    void LogEvent(int16_t type, int32_t id, const std::string& text) override {
        calls.push_back("event " + std::to_string(type) + " " + std::to_string(id) + " " + text);
    }
    bool Uninstall() override { return calls.push_back("uninstall"), uninstallOk; }
    void StartService() override { calls.push_back("start"); }
    void SaveSetting(const std::string& s, const std::string& k, const std::string& v) override {
        calls.push_back("save " + s + " " + k + " " + v);
    }
    std::string GetSetting(const std::string&, const std::string&, const std::string& d) override {
        return stored.empty() ? d : stored;
    }
    void SetStatus(const std::string& text) override { status = text; }
    std::deque<std::string> calls;
    std::string stored, status;
    bool installOk = true, uninstallOk = true;
};

class FakeFrontEnd : public FrontEnd {
  public:
    std::string Caption() override { return caption; }
    void SetCaption(const std::string& c) override { caption = c; }
    void Show() override { shown = true; }
    void Hide() override { hidden = true; }
    void ListLineAdded(const ListBox&, const std::string& newest) override {
        added.push_back(newest);
    }
    void FitListToClientArea() override {}
    void MessageBox(const std::string& prompt) override { boxes.push_back(prompt); }
    void EndProcess(int status) override { ended = status; }
    std::string caption = "Tarvix POP2SMTP Relay Application";
    bool shown = false, hidden = false;
    std::deque<std::string> added, boxes;
    std::optional<int> ended;
};

// Answers are handed out by the test, later than the call, as the real runner does.
class FakeCommands : public CommandRunner {
  public:
    void Run(const std::string& command, Done done) override {
        commands.push_back(command);
        waiting.push_back(std::move(done));
    }
    std::deque<std::string> commands;
    std::deque<Done> waiting;
};

// A new file whose writes fail, as on a full disk.
class UnwritableFile : public WritableFile {
  public:
    explicit UnwritableFile(std::unique_ptr<WritableFile> file) : file_(std::move(file)) {}
    Status Write(std::string_view) override {
        return Status::Failed("cannot write: No space left on device");
    }
    Status Commit(const std::string& path) override { return file_->Commit(path); }
    Status Sync() override { return file_->Sync(); }
    Status Publish(const std::string& path) override { return file_->Publish(path); }

  private:
    std::unique_ptr<WritableFile> file_;
};

// The real file system, with switches that make single operations fail.
class FaultyFiles : public PosixFileSystem {
  public:
    Result<std::unique_ptr<WritableFile>> CreateNewFile(const std::string& dir) override {
        if (failCreate) {
            return Status::Failed("cannot create a file in " + dir + ": No space left on device");
        }
        Result<std::unique_ptr<WritableFile>> file = PosixFileSystem::CreateNewFile(dir);
        if (!failWrite || !file) return file;
        return std::unique_ptr<WritableFile>(std::make_unique<UnwritableFile>(file.take()));
    }
    Result<std::unique_ptr<FileReader>> OpenForReading(const std::string& path) override {
        if (failRead.empty() || path.find(failRead) == std::string::npos) {
            return PosixFileSystem::OpenForReading(path);
        }
        return Status::Failed("cannot open " + path + ": Input/output error");
    }
    // A directory's time may be as coarse as a clock tick: the files a test writes there count
    // as a change of the directory whatever its time says.
    std::string DirectoryStamp(const std::string& dir) override {
        return PosixFileSystem::DirectoryStamp(dir) + ":" + std::to_string(outsideChanges);
    }
    Status LockForThisProcess(const std::string& path) override {
        if (!failLock) return PosixFileSystem::LockForThisProcess(path);
        return Status::Failed(path + " is locked by process 4242");
    }
    bool failCreate = false, failLock = false, failWrite = false;
    std::string failRead;
    int outsideChanges = 0;
};

// What tests may see of the main object's sessions.
struct RelayProbe {
    static POPSession& POP(TarvixPOP2SMTP_Main& m) { return m.pop_; }
    static SMTPSession& SMTP(TarvixPOP2SMTP_Main& m) { return m.smtp_; }
    static const std::vector<cTarvixPOP2SMTP_Specific>& Rules(TarvixPOP2SMTP_Main& m) {
        return m.LoadSpecificRules();
    }
    // Both sessions ended, as their own end would end them.
    static void EndSessions(TarvixPOP2SMTP_Main& m) {
        m.CloseAndShutdownPOPClient();
        m.CloseAndShutdownSMTPClient();
    }
};

// A main object on the fakes over a fresh program directory.
struct Relay {
    // `configName`: a configuration file of that name in the directory instead of the usual one.
    explicit Relay(const std::string& commandLine = "", const std::string& configName = "",
                   bool serviceRun = false)
        : dir(MakeDir()),
          main(RelayPlatform{front, clock, files, service, pop, smtp, timerPOP, timerSMTP, commands,
                             dir, commandLine, configName.empty() ? "" : dir + configName,
                             serviceRun}) {}
    ~Relay() { std::filesystem::remove_all(dir); }
    static std::string MakeDir() {
        std::string t = (std::filesystem::temp_directory_path() / "relayXXXXXX").string();
        return std::string(::mkdtemp(t.data())) + "/";
    }
    static std::string Read(const std::string& path) {
        std::string content;
        return ReadWholeFile(path, content, true, std::size_t{1} << 30), content;
    }
    std::string dir;
    FakeFrontEnd front;
    FakeClock clock;
    FaultyFiles files;
    FakeService service;
    FakeSocket pop, smtp;
    FakeTimer timerPOP, timerSMTP;
    FakeCommands commands;
    TarvixPOP2SMTP_Main main;
};
