// main_object.h - TarvixPOP2SMTP_Main: the relay's main object, its state and its handlers.
//
// One object holds all relay state and every handler: start-up and shutdown (src/relay), the
// POP3 poll cycle and session (src/relay/pop3), the dispatch scan and routing rules
// (src/relay/spool) and the SMTP connection and session (src/relay/smtp). Each member function
// is defined in the folder of the subsystem that owns it.
//
// The object touches the machine only through the interfaces of platform.h, handed in by
// RelayPlatform; all handlers run on one thread, one at a time, and never let a failure escape.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "relay/lines.h"
#include "relay/log.h"
#include "relay/options.h"
#include "relay/platform.h"
#include "relay/spool/specific_rule.h"
#include "relay/spool/spool.h"

// The message in delivery, read from its spool file by the dispatch scan.
struct SMTPMessage {
    std::string FileBase;  // spool file name without directory and extension, ending in "."
    std::string ReturnPath;
    std::string From;
    std::string To;
    std::string Subject;
    SpoolBody Body;                       // the stored text after the header block
    std::vector<std::string> Recipients;  // RecipientHeaders: the addresses to send to
    // RefusedMail=keep: recipients an earlier attempt saw refused, with the server's reply.
    std::vector<std::pair<std::string, std::string>> Refused;
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
    CommandRunner& commands;
    std::string appDirectory;  // the program directory, with or without a trailing "/"
    std::string commandLine;   // the arguments, joined by blanks (not the program path)
    std::string configFile;    // the configuration, when not TarvixPOP2SMTP.ini of the directory
    bool serviceRun = false;   // a service run whatever the stored setting (packaged instances)
};

class TarvixPOP2SMTP_Main {
  public:
    static constexpr const char* kVersion = "1.0.05";
    static constexpr int32_t kWatchdogMs = 10000;
    static constexpr int32_t kErrRetryMs = 30000;
    static constexpr int kMaxMessagesPerSession = 100;
    // A login gives up after this many challenges from the server; a message may exceed the
    // size its LIST line announced by this margin (twice the size and a MiB more) and no more.
    static constexpr int kMaxLoginChallenges = 3;
    static constexpr uint64_t kSizeMargin = uint64_t{1} << 20;
    // One SMTP reply, all its lines together, in lines and bytes.
    static constexpr int kMaxReplyLines = 64;
    static constexpr std::size_t kMaxReplyBytes = 64 * 1024;

    explicit TarvixPOP2SMTP_Main(RelayPlatform platform);
    TarvixPOP2SMTP_Main(const TarvixPOP2SMTP_Main&) = delete;
    TarvixPOP2SMTP_Main& operator=(const TarvixPOP2SMTP_Main&) = delete;

    // Start-up, layout, shutdown, configuration and the log (src/relay/main_object.cpp).
    void Form_Load();
    void Form_Resize();
    void Form_Unload(int& Cancel);
    void NTService_Start(bool& Success);
    void NTService_Pause(bool& Success);
    void NTService_Continue(bool& Success);
    void NTService_Stop();
    std::string ReadIniValue(const std::string& Section, const std::string& Key,
                             const std::string& Default);
    void WriteLog(std::string_view Message, int16_t Level) { log_.Write({}, Message, Level); }

    // POP3 poll cycle and connection (src/relay/pop3/poll.cpp).
    void Timer_POP_Timer();
    void Menu_RunPOP_Click();
    void POPConnect();
    void CloseAndShutdownPOPClient();
    void SendPOPDataRow(const std::string& Message);
    void Winsock_POP_Client_Connect();
    void Winsock_POP_Client_Close();
    void Winsock_POP_Client_Error(int32_t Number, const std::string& Description);
    void Winsock_POP_Client_SendComplete();
    // POP3 session (src/relay/pop3/session.cpp).
    void Winsock_POP_Client_DataArrival(int32_t bytesTotal);
    void Winsock_POP_Client_Secured();

    // Dispatch scan and routing rules (src/relay/spool/dispatch.cpp, rules.cpp).
    void Timer_SMTP_Timer();
    const std::vector<cTarvixPOP2SMTP_Specific>& LoadSpecificRules();

    // SMTP connection (src/relay/smtp/connection.cpp) and session (src/relay/smtp/session.cpp).
    void SMTPSend(const std::string& SMTPServer, int32_t SMTPPort);
    void CloseAndShutdownSMTPClient();
    void SendSMTPDataRow(const std::string& Message);
    void Winsock_SMTP_Client_Connect();
    void Winsock_SMTP_Client_Close();
    void Winsock_SMTP_Client_Error(int32_t Number, const std::string& Description);
    void Winsock_SMTP_Client_SendComplete();
    void Winsock_SMTP_Client_DataArrival(int32_t bytesTotal);
    void Winsock_SMTP_Client_Secured();

    // Relay state; every member starts empty, zero or false.
    std::string m_POPServer, m_POPUser, m_POPPassword;
    int32_t m_POPPort = 0;
    int32_t m_POPInterval = 0;
    std::string m_SMTPServer, m_SMTPName;
    int32_t m_SMTPPort = 0;
    int32_t m_PollTimer = 0;
    int16_t m_POPState = 0;
    ReceivedLines m_ReceivedPOPData;
    // The message being downloaded: the lines not yet written to its spool file.
    std::string m_ReceivedPOPMessage;
    std::array<int32_t, kMaxMessagesPerSession> m_POPMessageNumbers{};
    int16_t m_POPMessageCount = 0;
    int32_t m_InternalMessageId = 0;
    int16_t m_SMTPState = 0;
    ReceivedLines m_ReceivedSMTPData{kMaxReplyBytes};
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

    const RelayOptions& Options() const { return options_; }

  private:
    // Start-up.
    void RunUninstall();
    void RunInstall();
    void RunSpoolReport();
    std::string ConfigPath() const;
    void StartServiceOperation();
    void LoadOptions();
    void WriteLog(std::string_view prefix, std::string_view text, int16_t Level) {
        log_.Write(prefix, text, Level);
    }

    static bool MovedSince(const SocketControl& socket, uint64_t& last);

    // POP3.
    void ConnectPOP();
    void FailPOPSession(const std::string& why);
    void SendPOPRow(const std::string& row, std::string_view shown);
    void HandlePOPLine(const std::string& line, int16_t replyKind);
    void StartPOPLogin();
    void AddToPOPMessage(std::string_view line);
    bool FlushPOPMessage();
    void DropPOPFile();
    void StorePOPMessage();
    void RetrieveNextOrQuit();
    void PassOver(int32_t number, uint64_t size);
    bool POPMessageTooLarge();

    // Dispatch.
    bool TakeQueuedMessage(const std::vector<cTarvixPOP2SMTP_Specific>& rules, SmtpRoute& route);
    bool KeepAllowedRecipients(SMTPMessage& record);
    void QueueOneStoredMessage();
    bool DeleteDeliveredMessage();
    bool RenameSpoolFile(const std::string& path, const char* extension);
    SmtpRoute RouteFor(const cTarvixPOP2SMTP_Specific* rule, const std::string& server,
                       int32_t port) const;
    void DeliverNextOnThisConnection(bool fileKept);
    void StartTakenDelivery();

    // SMTP.
    void ConnectSMTP();
    void FailSMTPSession(const std::string& why);
    void SendSMTPRow(std::string_view row, std::string_view shown);
    void HandleSMTPLine(const std::string& line, int16_t replyCode);
    void SendEhlo();
    void NoteCapability(const std::string& line);
    void AfterEhlo();
    void SendAuth();
    void SendMailFrom();
    std::size_t RecipientCount() const;
    std::string RecipientRow(std::size_t index) const;
    void SendNextRecipient();
    void HandleRecipientReply(int16_t replyCode, const std::string& line);
    void SendMessageRows();
    void PumpBody();
    void AfterEndOfData(int16_t replyCode, const std::string& line);
    void RefuseDelivery(int16_t replyCode, const std::string& line);
    // Outcomes of several recipients with RefusedMail=keep (src/relay/smtp/recipients.cpp).
    std::string RecipientRecordPath() const;
    bool ReadRecipientRecord(const std::string& path, SMTPMessage& record);
    bool SettleRecipients(bool delivered, int16_t code, const std::string& line);
    void SetAside(int16_t code, const std::string& reply);
    bool WriteRecipientRecord(const std::string& text);

    RelayOptions options_;
    RelayLog log_;
    FrontEnd& frontEnd_;
    Clock& clock_;
    FileSystem& fileSystem_;
    CommandRunner& commands_;
    std::string appDirectory_;
    std::string commandLine_;
    std::string configFile_;
    bool serviceRun_;
    SpoolIndex spool_;
    // The routing rules of the last configuration text read: an unchanged file is not read or
    // parsed again at every tick.
    std::string rulesStamp_, rulesText_;
    std::vector<cTarvixPOP2SMTP_Specific> rules_;

    // The service's status line (src/relay/status.cpp): the spool's counts and how the last
    // POP3 and SMTP sessions ended; a refusal that closed a socket is the reason when the
    // watchdog ends that session later.
    struct Outcome {
        bool seen = false, ok = false;
        std::string time, reason;
    };
    void NoteOutcome(Outcome& outcome, std::string_view failure);
    void UpdateStatus();
    Outcome popOutcome_, smtpOutcome_;
    std::string popProblem_, smtpProblem_, statusText_;

    // POP3 session: the spool file being written, and the session number that a password
    // command's late answer must match.
    std::unique_ptr<WritableFile> popFile_;
    bool popFileFailed_ = false;
    // The sizes the LIST answer announced (saturated), the bytes of the message being retrieved,
    // the login's challenge rounds.
    std::array<uint64_t, kMaxMessagesPerSession> popSizes_{};
    uint64_t popMessageBytes_ = 0;
    int popChallenges_ = 0;
    // MaxMessageSize: the messages (number, size) already logged as left on the server.
    static constexpr std::size_t kRememberedPassedOver = 4096;
    std::set<std::pair<int32_t, uint64_t>> passedOver_;
    unsigned popSession_ = 0;
    uint64_t popMoved_ = 0, smtpMoved_ = 0;  // the sockets' byte counts at the last tick

    // SMTP session: how the current server is reached and what its EHLO offered, the login,
    // the recipients named and accepted, the body being sent from the spool file, and the
    // next message when it goes to another server (Dispatch=continuous).
    SmtpRoute route_;
    struct Capabilities {
        bool ehlo = false;  // the server took EHLO: envelope commands in RFC 5321's form
        bool starttls = false, pipelining = false;
        std::string auth;  // " PLAIN LOGIN ": the mechanisms, upper-cased, between blanks
    } capabilities_;
    SmtpAuth authMechanism_ = SmtpAuth::Plain;
    std::string smtpSecret_;
    unsigned smtpSession_ = 0;
    int smtpChallenges_ = 0, replyLines_ = 0;
    std::size_t replyBytes_ = 0;
    bool pipelined_ = false;
    // The reply each recipient got in this attempt (code 0: none yet).
    struct RecipientOutcome {
        int16_t code = 0;
        std::string reply;
    };
    std::vector<RecipientOutcome> outcomes_;
    std::size_t recipientIndex_ = 0, recipientReplies_ = 0, recipientsAccepted_ = 0;
    std::unique_ptr<BodySource> bodyPump_;
    bool nextTaken_ = false;
    SmtpRoute takenRoute_;
};
