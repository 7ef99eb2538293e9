// main_object.cpp - start-up, window layout, shutdown, the service events and the configuration
// reading of the main object.
//
// Start-up fixes the program and spool paths, creates the spool and log directories, reads the
// [General] settings, chooses the kind of run (uninstall, install, service, window) and primes
// the first POP3 poll. It logs nothing, unless an optional key holds a value it does not know.
// A relay run first takes the program directory's lock: a second relay on the same spool would
// fetch and deliver the same messages twice. The timers run from the creation of the object on.
#include "relay/main_object.h"

#include "relay/procs.h"
#include "relay/profile.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {
constexpr int16_t kEventInformation = 4;
constexpr int32_t kEventId = 110;
}  // namespace

TarvixPOP2SMTP_Main::TarvixPOP2SMTP_Main(RelayPlatform platform)
    : Timer_POP(platform.timerPOP),
      Timer_SMTP(platform.timerSMTP),
      Winsock_POP_Client(platform.popSocket),
      Winsock_SMTP_Client(platform.smtpSocket),
      NTService(platform.service),
      log_(platform.clock, platform.fileSystem, platform.frontEnd, List_Debug),
      frontEnd_(platform.frontEnd),
      clock_(platform.clock),
      fileSystem_(platform.fileSystem),
      commands_(platform.commands),
      appDirectory_(std::move(platform.appDirectory)),
      commandLine_(std::move(platform.commandLine)),
      configFile_(std::move(platform.configFile)),
      serviceRun_(platform.serviceRun),
      spool_(platform.fileSystem),
      popLink_(platform.popSocket, log_, "POP3"),
      smtpLink_(platform.smtpSocket, log_, "SMTP") {
    Winsock_POP_Client.SetEvents({
        [this] { Winsock_POP_Client_Connect(); },
        [this](int32_t n) { Winsock_POP_Client_DataArrival(n); },
        [this] { Winsock_POP_Client_Close(); },
        [this](int32_t n, const std::string& d) { Winsock_POP_Client_Error(n, d); },
        [this] { Winsock_POP_Client_SendComplete(); },
        [this] { Winsock_POP_Client_Secured(); },
    });
    Winsock_SMTP_Client.SetEvents({
        [this] { Winsock_SMTP_Client_Connect(); },
        [this](int32_t n) { Winsock_SMTP_Client_DataArrival(n); },
        [this] { Winsock_SMTP_Client_Close(); },
        [this](int32_t n, const std::string& d) { Winsock_SMTP_Client_Error(n, d); },
        [this] { Winsock_SMTP_Client_SendComplete(); },
        [this] { Winsock_SMTP_Client_Secured(); },
    });
    Timer_POP.SetTickHandler([this] { Timer_POP_Timer(); });
    Timer_SMTP.SetTickHandler([this] { Timer_SMTP_Timer(); });
    Timer_POP.SetEnabled(true);
    Timer_SMTP.SetEnabled(true);
}

void TarvixPOP2SMTP_Main::Form_Load() {
    g_AppPath = appDirectory_;
    if (g_AppPath.empty() || g_AppPath.back() != '/') g_AppPath += '/';
    g_SpoolPath = g_AppPath + "Messages/";
    // The spool report only reads: it runs beside a relay and creates nothing.
    const std::string switches = UpperCase(commandLine_);
    if (switches.find("/Q") != std::string::npos && switches.find("/U") == std::string::npos &&
        switches.find("/I") == std::string::npos) {
        return RunSpoolReport();
    }

    fileSystem_.CreateDirectory(g_AppPath + "Messages");
    fileSystem_.CreateDirectory(g_AppPath + "LogFiles");

    m_POPServer = ReadIniValue("General", "POPServer", "127.0.0.1");
    m_POPPort = ReadInt32(ReadIniValue("General", "POPPort", "110"));
    m_POPInterval = ReadInt32(ReadIniValue("General", "POPInterval", "10000"));
    m_POPUser = ReadIniValue("General", "POPUser", "user");
    m_POPPassword = ReadIniValue("General", "POPPassword", "mailkeys");
    m_SMTPServer = ReadIniValue("General", "SMTPServer", "127.0.0.1");
    m_SMTPPort = ReadInt32(ReadIniValue("General", "SMTPPort", "25"));
    m_SMTPName = ReadIniValue("General", "SMTPName", "unknown");
    g_DebugLevel = ReadIniValue("General", "DebugLevel", "");
    log_.SelectLevels(g_DebugLevel);

    g_RunAsService =
        serviceRun_ || ReadNumber(NTService.GetSetting("Parameters", "RunAsService", "0")) != 0;

    frontEnd_.SetCaption(frontEnd_.Caption() + " - Version " + kVersion);

    if (switches.find("/U") != std::string::npos) {
        return FinishRegistration(NTService.Uninstall(), "0", " service uninstalled successfully",
                                  " failed to uninstall as service");
    }
    if (switches.find("/I") != std::string::npos) {
        return FinishRegistration(NTService.Install(), "1", " service installation succeeded",
                                  " failed to install as service");
    }

    if (const Status locked = fileSystem_.LockForThisProcess(g_AppPath + "POP2SMTP.lock");
        !locked) {
        frontEnd_.MessageBox("Another relay runs in " + g_AppPath + ": " + locked.why());
        return frontEnd_.EndProcess(1);
    }
    // Temporary files of an interrupted spool write hold messages that were never deleted on
    // the server; they are fetched again, so the leftovers go.
    fileSystem_.RemoveStaleTemporaryFiles(g_SpoolPath);
    LoadOptions();
    log_.KeepDays(options_.logKeepDays);

    if (g_RunAsService) {
        StartServiceOperation();
    } else {
        frontEnd_.Show();
        Form_Resize();
    }
    m_PollTimer = m_POPInterval;
}

// The end of an uninstall ("/U") or install ("/I"): a success is stored as the service setting;
// either way it is shown and the process ends.
void TarvixPOP2SMTP_Main::FinishRegistration(bool succeeded, const char* setting,
                                             const char* success, const char* failure) {
    if (succeeded) NTService.SaveSetting("Parameters", "RunAsService", setting);
    frontEnd_.MessageBox(NTService.DisplayName() + (succeeded ? success : failure));
    frontEnd_.EndProcess(succeeded ? 0 : 1);
}

void TarvixPOP2SMTP_Main::StartServiceOperation() {
    NTService.StartService();
    NTService.LogEvent(kEventInformation, kEventId, "Tarvix POP2SMTP started");
    frontEnd_.Hide();
}

void TarvixPOP2SMTP_Main::Form_Resize() {
    frontEnd_.FitListToClientArea();
}

// An unload is never refused, so the window's cancel flag has no counterpart here.
void TarvixPOP2SMTP_Main::Form_Unload() {
    if (g_RunAsService) NTService.LogEvent(kEventInformation, kEventId, "Tarvix POP2SMTP stopped");
    frontEnd_.EndProcess(0);
}

void TarvixPOP2SMTP_Main::NTService_Stop() {
    Timer_POP.SetEnabled(false);
    Timer_SMTP.SetEnabled(false);
    Form_Unload();
}

std::string TarvixPOP2SMTP_Main::ReadIniValue(const std::string& Section, const std::string& Key,
                                              const std::string& Default) {
    std::string content;
    fileSystem_.ReadConfiguration(ConfigPath(), content);
    return ProfileFile::Parse(content).GetString(Section, Key, Default);
}

// TarvixPOP2SMTP.ini in the program directory, or the file the platform named.
std::string TarvixPOP2SMTP_Main::ConfigPath() const {
    return configFile_.empty() ? g_AppPath + kConfigFileName : configFile_;
}

void TarvixPOP2SMTP_Main::LoadOptions() {
    std::string content;
    fileSystem_.ReadConfiguration(ConfigPath(), content);
    const ProfileFile config = ProfileFile::Parse(content);
    for (const std::string& unknown : ReadOptions(
             [&](const char* key) { return config.GetString("General", key, ""); }, options_)) {
        WriteLog("(Config) Unknown value, default used: " + unknown, 99);
    }
}

void TarvixPOP2SMTP_Main::FetchSecret(const std::string& command, const unsigned& current,
                                      std::function<bool()> waiting,
                                      std::function<void(std::string)> use,
                                      std::function<void(const std::string&)> fail) {
    commands_.Run(command, [&current, session = current, waiting = std::move(waiting),
                            use = std::move(use), fail = std::move(fail)](
                               bool ok, const std::string& firstLine, const std::string& why) {
        if (session != current || !waiting()) return;
        if (!ok) return fail(why);
        use(firstLine);
    });
}
