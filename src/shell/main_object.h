// main_object.h - TarvixPOP2SMTP_Main: the relay's main object, its state and its handlers.
//
// One object holds all relay state and every handler: start-up and shutdown (src/shell), the
// POP3 poll cycle and session (src/pop3), the dispatch scan and routing rules (src/spool) and the
// SMTP connection and session (src/smtp). Each member function is defined in the folder of the
// subsystem that owns it.
//
// The object touches the machine only through the interfaces of platform.h, handed in by
// RelayPlatform; all handlers run on one thread, one at a time, and never let a failure escape.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "shell/listbox.h"
#include "shell/platform.h"
#include "spool/specific_rule.h"

// The message in delivery, read from its spool file by the dispatch scan.
struct SMTPMessage {
    std::string FileBase;  // spool file name without directory and extension, ending in "."
    std::string ReturnPath;
    std::string From;
    std::string To;
    std::string Subject;
    std::string Body;
};

// The platform pieces the main object is built on.
struct RelayPlatform {
    FrontEnd& frontEnd;
    Clock& clock;
    FileSystem& fileSystem;
    ServiceControl& service;
    SocketControl& popSocket;
    SocketControl& smtpSocket;
    Timer& timerPOP;
    Timer& timerSMTP;
    std::string appDirectory;  // the program directory, with or without a trailing "/"
    std::string commandLine;   // the arguments, joined by blanks (not the program path)
};

class TarvixPOP2SMTP_Main {
  public:
    static constexpr const char* kVersion = "1.0.05";
    static constexpr int32_t kWatchdogMs = 10000;
    static constexpr int32_t kErrRetryMs = 30000;
    static constexpr int kMaxMessagesPerSession = 100;

    explicit TarvixPOP2SMTP_Main(RelayPlatform platform);
    TarvixPOP2SMTP_Main(const TarvixPOP2SMTP_Main&) = delete;
    TarvixPOP2SMTP_Main& operator=(const TarvixPOP2SMTP_Main&) = delete;

    // Start-up, layout and shutdown (src/shell/main_object.cpp).
    void Form_Load();
    void Form_Resize();
    void Form_Unload(int& Cancel);
    void NTService_Start(bool& Success);
    void NTService_Pause(bool& Success);
    void NTService_Continue(bool& Success);
    void NTService_Stop();

    // POP3 poll cycle and connection (src/pop3/poll.cpp).
    void Timer_POP_Timer();
    void Menu_RunPOP_Click();
    void POPConnect();
    void CloseAndShutdownPOPClient();
    void SendPOPDataRow(const std::string& Message);
    void Winsock_POP_Client_Connect();
    void Winsock_POP_Client_Close();
    void Winsock_POP_Client_Error(int32_t Number, const std::string& Description);
    // POP3 session (src/pop3/session.cpp).
    void Winsock_POP_Client_DataArrival(int32_t bytesTotal);

    // Dispatch scan and routing rules (src/spool/dispatch.cpp, src/spool/rules.cpp).
    void Timer_SMTP_Timer();
    std::vector<cTarvixPOP2SMTP_Specific> LoadSpecificRules();

    // SMTP connection (src/smtp/connection.cpp) and session (src/smtp/session.cpp).
    void SMTPSend(const std::string& SMTPServer, int32_t SMTPPort);
    void CloseAndShutdownSMTPClient();
    void SendSMTPDataRow(const std::string& Message);
    void Winsock_SMTP_Client_Connect();
    void Winsock_SMTP_Client_Close();
    void Winsock_SMTP_Client_Error(int32_t Number, const std::string& Description);
    void Winsock_SMTP_Client_DataArrival(int32_t bytesTotal);

    // Relay state; every member starts empty, zero or false.
    std::string m_POPServer, m_POPUser, m_POPPassword;
    int32_t m_POPPort = 0;
    int32_t m_POPInterval = 0;
    std::string m_SMTPServer, m_SMTPName;
    int32_t m_SMTPPort = 0;
    int32_t m_PollTimer = 0;
    int16_t m_POPState = 0;
    std::string m_ReceivedPOPData;
    std::string m_ReceivedPOPMessage;
    std::array<int32_t, kMaxMessagesPerSession> m_POPMessageNumbers{};
    int16_t m_POPMessageCount = 0;
    int32_t m_InternalMessageId = 0;
    int16_t m_SMTPState = 0;
    std::string m_ReceivedSMTPData;
    bool m_SMTPSucceed = false;
    std::string m_SMTPFileName;
    SMTPMessage m_SMTPMessage;

    // Counters that keep their values from tick to tick, each owned by one handler.
    int32_t POPWatchdogTime = 0;
    int32_t POPMessageIndex = 0;
    int32_t SMTPBusyTime = 0;
    int32_t ErrRetryTime = 0;

    // Controls of the window.
    ListBox List_Debug;
    Timer& Timer_POP;
    Timer& Timer_SMTP;
    SocketControl& Winsock_POP_Client;
    SocketControl& Winsock_SMTP_Client;
    ServiceControl& NTService;

  private:
    void RunUninstall();
    void RunInstall();
    void StartServiceOperation();
    void HandlePOPLine(std::string_view line, int16_t replyKind);
    void StorePOPMessage();
    void HandleSMTPLine(int16_t replyCode);
    void SendMessageRows();
    bool ReadSpoolFile(const std::string& name, SMTPMessage& record, std::string& server,
                       int32_t& port, const std::vector<cTarvixPOP2SMTP_Specific>& rules);

    // Sizes from the LIST answer, beside m_POPMessageNumbers: only a hint for the buffer of
    // the message being downloaded, never trusted for anything else.
    std::array<int64_t, kMaxMessagesPerSession> listedSizes_{};
    void ReserveForListedMessage();

    FrontEnd& frontEnd_;
    Clock& clock_;
    FileSystem& fileSystem_;
    std::string appDirectory_;
    std::string commandLine_;
};
