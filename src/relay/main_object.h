// main_object.h - TarvixPOP2SMTP_Main: the relay's main object, its state and its handlers.
//
// One object holds the relay's handlers: start-up and shutdown (src/relay), the POP3 poll cycle
// and session (src/relay/pop3), the dispatch scan and routing rules (src/relay/spool) and the
// SMTP connection and session (src/relay/smtp). Each member function is defined in the folder of
// the subsystem that owns it. What ends with a POP3 or SMTP session is in that session's struct
// (POPSession, SMTPSession), replaced by a fresh one when a session starts or ends; what outlives
// a session (the poll cycle's counters, the retrieval list, the delivery in progress, the route)
// is a member of the object itself.
//
// The object touches the machine only through the interfaces of platform.h, handed in by
// RelayPlatform; all handlers run on one thread, one at a time, and never let a failure escape.
//
// The names are those of the relay's first, Windows, form; on Linux they stand for:
//   Form_Load, Form_Resize, Form_Unload   start-up, a resized terminal, the end of the process
//   List_Debug, the window                the log's list on the terminal (FrontEnd, ListBox)
//   Menu_RunPOP_Click                     "Run POP now": the POP menu of the terminal view (F10,
//                                         or the key r), or the signal SIGUSR1
//   Timer_POP, Timer_SMTP                 100 ms timers of the Asio event loop (Timer)
//   Winsock_POP_Client, _SMTP_Client      Asio TCP/TLS client sockets (SocketControl)
//   NTService, NTService_Stop             the systemd unit and its stop signal (ServiceControl);
//                                         systemd has no pause or continue, so there are no
//                                         handlers for those
//   RunAsService                          a setting in the program directory, or a packaged
//                                         instance (POP2SMTP_SERVICE)
//   the event log                         syslog
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "relay/lines.h"
#include "relay/link.h"
#include "relay/log.h"
#include "relay/options.h"
#include "relay/platform.h"
#include "relay/secret.h"
#include "relay/spool/specific_rule.h"
#include "relay/spool/spool.h"
#include "relay/states.h"

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

// The fields of one POP3 session. CloseAndShutdownPOPClient replaces them with a fresh set.
struct POPSession {
    PopState m_POPState = PopState::Idle;
    ReceivedLines m_ReceivedPOPData;
    // The message being downloaded: the lines not yet written to its spool file.
    std::string m_ReceivedPOPMessage;
    int16_t m_POPMessageCount = 0;
    // The spool file being written; after a failure nothing more is stored in this session.
    std::unique_ptr<WritableFile> file;
    bool fileFailed = false;
    uint64_t messageBytes = 0;  // of the message being retrieved, as received
    int challenges = 0;         // of the XOAUTH2 login
    // A refusal that closed the socket: the reason when the watchdog ends the session later.
    std::string problem;
    // Dispatch=continuous (pop3/window.cpp): whether CAPA offered PIPELINING; the window's
    // messages retrieved to temporary files and not committed yet; the index after the window's
    // last message, after the last RETR sent, after the last DELE sent and answered.
    bool pipelining = false;
    std::vector<std::unique_ptr<WritableFile>> retrieved;
    int32_t windowEnd = 0, retrSent = 0, deleSent = 0, deleAnswered = 0, deleEnd = 0;
};

// The fields of one SMTP session. CloseAndShutdownSMTPClient replaces them with a fresh set.
struct SMTPSession {
    static constexpr std::size_t kMaxReplyBytes = 64 * 1024;

    SmtpState m_SMTPState = SmtpState::Idle;
    ReceivedLines m_ReceivedSMTPData{kMaxReplyBytes};
    // What the server's EHLO offered.
    struct Capabilities {
        bool ehlo = false;  // the server took EHLO: envelope commands in RFC 5321's form
        bool starttls = false, pipelining = false;
        std::string auth;  // " PLAIN LOGIN ": the mechanisms, upper-cased, between blanks
    } offered;
    SmtpAuth auth = SmtpAuth::Plain;
    Secret secret;  // the route's password, or the password command's answer
    int challenges = 0;
    // The reply being received, in lines and bytes.
    int replyLines = 0;
    std::size_t replyBytes = 0;
    bool pipelined = false;  // this message's envelope went out in one go
    std::size_t recipientIndex = 0, recipientReplies = 0, recipientsAccepted = 0;
    std::unique_ptr<BodySource> bodyPump;  // the body being sent from the spool file
    // Dispatch=continuous: the next message goes to another server, after QUIT.
    std::optional<SmtpRoute> nextRoute;
    std::string problem;
};

class TarvixPOP2SMTP_Main {
  public:
    static constexpr const char* kVersion = "1.0.05";
    static constexpr int32_t kErrRetryMs = 30000;
    static constexpr int kMaxMessagesPerSession = 100;
    // A login gives up after this many challenges from the server; a message may exceed the
    // size its LIST line announced by this margin (twice the size and a MiB more) and no more.
    static constexpr int kMaxLoginChallenges = 3;
    static constexpr uint64_t kSizeMargin = uint64_t{1} << 20;
    // One SMTP reply, all its lines together, in lines and bytes.
    static constexpr int kMaxReplyLines = 64;
    static constexpr std::size_t kMaxReplyBytes = SMTPSession::kMaxReplyBytes;

    explicit TarvixPOP2SMTP_Main(RelayPlatform platform);
    TarvixPOP2SMTP_Main(const TarvixPOP2SMTP_Main&) = delete;
    TarvixPOP2SMTP_Main& operator=(const TarvixPOP2SMTP_Main&) = delete;

    // The handlers: what the front end, the service, the timers and the sockets call.
    void Form_Load();
    void Form_Resize();
    void Form_Unload();
    void NTService_Stop();
    void Menu_RunPOP_Click();
    void Timer_POP_Timer();
    void Timer_SMTP_Timer();
    void Winsock_POP_Client_Connect();
    void Winsock_POP_Client_Close();
    void Winsock_POP_Client_Error(int32_t Number, const std::string& Description);
    void Winsock_POP_Client_SendComplete();
    void Winsock_POP_Client_DataArrival(int32_t bytesTotal);
    void Winsock_POP_Client_Secured();
    void Winsock_SMTP_Client_Connect();
    void Winsock_SMTP_Client_Close();
    void Winsock_SMTP_Client_Error(int32_t Number, const std::string& Description);
    void Winsock_SMTP_Client_SendComplete();
    void Winsock_SMTP_Client_DataArrival(int32_t bytesTotal);
    void Winsock_SMTP_Client_Secured();

    const RelayOptions& Options() const { return options_; }
    // The log: the list and, for the levels DebugLevel names, the day's file.
    void WriteLog(std::string_view Message, int16_t Level) { log_.Write({}, Message, Level); }

    // The configuration read at start-up.
    std::string m_POPServer, m_POPUser, m_POPPassword;
    int32_t m_POPPort = 0;
    int32_t m_POPInterval = 0;
    std::string m_SMTPServer, m_SMTPName;
    int32_t m_SMTPPort = 0;

    // The poll cycle, which outlives its sessions: the idle time towards the next poll, the
    // watchdog's count, the messages listed by the last LIST and the one being retrieved, and
    // the spool file counter.
    int32_t m_PollTimer = 0;
    int32_t POPWatchdogTime = 0;
    std::array<int32_t, kMaxMessagesPerSession> m_POPMessageNumbers{};
    int32_t POPMessageIndex = 0;
    int32_t m_InternalMessageId = 0;

    // The delivery in progress, which outlives its SMTP session: the spool file, the message
    // read from it, whether it was handed over; and the dispatch scan's counters.
    std::string m_SMTPFileName;
    SMTPMessage m_SMTPMessage;
    bool m_SMTPSucceed = false;
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
    // Tests look at the sessions through this (tests/unit).
    friend struct RelayProbe;

    // Start-up (main_object.cpp) and what an operator sees (status.cpp).
    std::string ReadIniValue(const std::string& Section, const std::string& Key,
                             const std::string& Default);
    void FinishRegistration(bool succeeded, const char* setting, const char* success,
                            const char* failure);
    void RunSpoolReport();
    std::string ConfigPath() const;
    void StartServiceOperation();
    void LoadOptions();
    // Runs a password command before a session connects; `use` gets its answer, `fail` why it
    // gave none. An answer for a session that has ended meanwhile (`session` no longer
    // `current`, or the session no longer waits for it) is dropped.
    void FetchSecret(const std::string& command, const unsigned& current,
                     std::function<bool()> waiting, std::function<void(std::string)> use,
                     std::function<void(const std::string&)> fail);

    // POP3 connection (pop3/poll.cpp) and session (pop3/session.cpp).
    void POPConnect();
    void ConnectPOP();
    void CloseAndShutdownPOPClient();
    void FailPOPSession(const std::string& why);
    void SendPOPDataRow(const std::string& Message);
    void SetPOPState(PopState state) { pop_.m_POPState = state; }
    void HandlePOPLine(const std::string& line, int16_t replyKind);
    void AfterGreeting(int16_t replyKind);
    void StartPOPLogin();
    void TakeListLine(const std::string& line, int16_t replyKind);
    void AfterQuit();
    void AfterStls(int16_t replyKind);
    void AfterXOAuth2Token(const std::string& line, int16_t replyKind);
    void AddToPOPMessage(std::string_view line);
    bool FlushPOPMessage();
    void DropPOPFile();
    bool FinishPOPMessage();
    Result<std::string> NextSpoolName();
    void FailStoring(const Status& failure);
    void StorePOPMessage();
    void RetrieveNextOrQuit();
    void SendListOrCapa();
    void SendList();
    void TakeCapaLine(const std::string& line, int16_t replyKind);
    // Dispatch=continuous: retrieval in windows, one commit each (pop3/window.cpp).
    void RetrieveWindow();
    void SendWindowRetrs();
    void StoreInWindow();
    void CommitWindow();
    void SendWindowDeles();
    void AfterWindowDele();
    void PassOver(int32_t number, uint64_t size);
    bool POPMessageTooLarge();

    // Dispatch scan (spool/dispatch.cpp, rules.cpp).
    const std::vector<cTarvixPOP2SMTP_Specific>& LoadSpecificRules();
    bool TakeQueuedMessage(const std::vector<cTarvixPOP2SMTP_Specific>& rules, SmtpRoute& route);
    bool KeepAllowedRecipients(SMTPMessage& record);
    void QueueOneStoredMessage();
    bool DeleteDeliveredMessage();
    bool RenameSpoolFile(const std::string& path, const char* extension);
    SmtpRoute RouteFor(const cTarvixPOP2SMTP_Specific* rule, const std::string& server,
                       int32_t port) const;
    void DeliverNextOnThisConnection(bool fileKept);
    void StartTakenDelivery();

    // SMTP connection (smtp/connection.cpp) and session (smtp/session.cpp).
    void SMTPSend(const std::string& SMTPServer, int32_t SMTPPort);
    void ConnectSMTP();
    void CloseAndShutdownSMTPClient();
    void EndSMTPSessionUnanswered(const std::string& why);
    void FailSMTPSession(const std::string& why);
    void SendSMTPDataRow(const std::string& Message);
    void HandleSMTPLine(const std::string& line, int16_t replyCode);
    void AfterGreeting(int16_t replyCode, bool positive);
    void SendHelo();
    void SendEhlo();
    void NoteCapability(const std::string& line);
    void AfterEhloLine(const std::string& line, bool positive);
    void AfterEhlo();
    void AfterStartTls(int16_t replyCode, const std::string& line);
    void SendAuth();
    void AfterAuth(int16_t replyCode, const std::string& line);
    void SendMailFrom();
    std::size_t RecipientCount() const;
    std::string RecipientRow(std::size_t index) const;
    void SendNextRecipient();
    void HandleRecipientReply(int16_t replyCode, const std::string& line);
    void SendMessageRows();
    void PumpBody();
    void AfterEndOfData(int16_t replyCode, const std::string& line);
    void AfterQuitReply();
    void RefuseDelivery(int16_t replyCode, const std::string& line);
    // Outcomes of several recipients with RefusedMail=keep (smtp/recipients.cpp).
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

    // The service's status line (status.cpp): the spool's counts and how the last POP3 and SMTP
    // sessions ended.
    struct Outcome {
        bool seen = false, ok = false;
        std::string time, reason;
    };
    void NoteOutcome(Outcome& outcome, std::string_view failure);
    void UpdateStatus();
    Outcome popOutcome_, smtpOutcome_;
    std::string statusText_;

    // POP3: the link, the session, its number (a password command's late answer must match it),
    // the sizes the LIST answer announced (saturated) beside the message numbers.
    Link popLink_;
    POPSession pop_;
    unsigned popSession_ = 0;
    std::array<uint64_t, kMaxMessagesPerSession> popSizes_{};
    // MaxMessageSize: the messages (number, size) already logged as left on the server.
    static constexpr std::size_t kRememberedPassedOver = 4096;
    std::set<std::pair<int32_t, uint64_t>> passedOver_;

    // SMTP: the link, the session and its number, how the current server is reached, and the
    // reply each recipient of the delivery in progress got in its attempt (code 0: none yet).
    Link smtpLink_;
    SMTPSession smtp_;
    unsigned smtpSession_ = 0;
    SmtpRoute route_;
    struct RecipientOutcome {
        int16_t code = 0;
        std::string reply;
    };
    std::vector<RecipientOutcome> outcomes_;
};
