// poll.cpp - when the relay talks to its POP3 server, and the connection side of a session.
//
// Timer_POP counts idle time towards the poll interval and busy time towards the 10000 ms
// watchdog; the menu command makes the next idle tick poll at once. The session itself (the
// reply lines) is in session.cpp. Both counters advance by the timer's nominal interval and
// saturate, so a huge configured interval cannot wrap them round to a negative number. With
// Watchdog=silence every byte that moves sets the watchdog back, so only silence is timed.
#include "relay/main_object.h"
#include "relay/procs.h"

using namespace TarvixPOP2SMTP_Procs;

void TarvixPOP2SMTP_Main::Timer_POP_Timer() {
    if (m_POPState == 0) {
        m_PollTimer = SaturatingAdd(m_PollTimer, Timer_POP.Interval());
        if (m_PollTimer >= m_POPInterval) {
            POPWatchdogTime = 0;
            POPConnect();
            m_PollTimer = 0;
        }
    } else {
        if (options_.watchSilence && MovedSince(Winsock_POP_Client, popMoved_)) POPWatchdogTime = 0;
        POPWatchdogTime = SaturatingAdd(POPWatchdogTime, Timer_POP.Interval());
        if (POPWatchdogTime > kWatchdogMs) {
            NoteOutcome(popOutcome_, popProblem_.empty() ? "no reply within 10 s" : popProblem_);
            CloseAndShutdownPOPClient();
        }
    }
}

void TarvixPOP2SMTP_Main::Menu_RunPOP_Click() {
    m_PollTimer = m_POPInterval;
}

void TarvixPOP2SMTP_Main::POPConnect() {
    CloseAndShutdownPOPClient();
    WriteLog("(   POP3) Trying to connect to " + m_POPServer + ":" + std::to_string(m_POPPort), 99);
    m_POPState = 1;
    if (options_.popPasswordCommand.empty()) return ConnectPOP();
    // A fresh password or token for every session; the answer of a session that has ended
    // meanwhile (watchdog) is dropped.
    commands_.Run(options_.popPasswordCommand,
                  [this, session = popSession_](bool ok, const std::string& firstLine,
                                                const std::string& why) {
                      if (session != popSession_ || m_POPState != 1) return;
                      if (!ok) return FailPOPSession("POPPasswordCommand: " + why);
                      m_POPPassword = firstLine;
                      ConnectPOP();
                  });
}

void TarvixPOP2SMTP_Main::ConnectPOP() {
    std::string failure;
    try {
        if (options_.popSecurity == PopSecurity::Tls) {
            Winsock_POP_Client.ConnectTls(m_POPServer, m_POPPort, options_.tlsTrustFile);
        } else {
            Winsock_POP_Client.Connect(m_POPServer, m_POPPort);
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) {
        WriteLog("(   POP3) Failed: " + failure, 99);
        NoteOutcome(popOutcome_, failure);
    }
}

void TarvixPOP2SMTP_Main::CloseAndShutdownPOPClient() {
    Winsock_POP_Client.Close();
    m_ReceivedPOPData.clear();
    m_ReceivedPOPMessage.clear();
    DropPOPFile();  // a message not stored yet: its temporary file goes
    popFileFailed_ = false;
    popMessageBytes_ = 0;
    popChallenges_ = 0;
    popProblem_.clear();
    m_POPState = 0;
    m_POPMessageCount = 0;
    ++popSession_;
}

// Ends the session at once, without QUIT: what was not stored stays on the server.
void TarvixPOP2SMTP_Main::FailPOPSession(const std::string& why) {
    WriteLog("(   POP3) Failed: " + why, 99);
    NoteOutcome(popOutcome_, why);
    CloseAndShutdownPOPClient();
}

void TarvixPOP2SMTP_Main::SendPOPDataRow(const std::string& Message) {
    SendPOPRow(Message, Message);
}

// `shown` is what the log gets: the row itself, or a mechanism and asterisks for a secret.
void TarvixPOP2SMTP_Main::SendPOPRow(const std::string& row, std::string_view shown) {
    try {
        Winsock_POP_Client.SendData(row + "\r\n");
    } catch (const std::exception&) {
        // A failed send is left to the watchdog; the command is logged all the same.
    }
    WriteLog("(-> POP3) ", shown, m_POPState);
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_Connect() {
    WriteLog("(   POP3) Connected to " + m_POPServer + ":" + std::to_string(m_POPPort), 99);
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_Close() {
    WriteLog("(   POP3) Closed " + m_POPServer + ":" + std::to_string(m_POPPort), 99);
    if (m_POPState != 0) {
        NoteOutcome(popOutcome_, popProblem_.empty() ? "closed by the server" : popProblem_);
    }
    CloseAndShutdownPOPClient();
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_Error(int32_t /*Number*/,
                                                   const std::string& Description) {
    CloseAndShutdownPOPClient();
    WriteLog("(   POP3) Socket Error: " + Description, 99);
    NoteOutcome(popOutcome_, Description);
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_SendComplete() {
    if (options_.watchSilence) POPWatchdogTime = 0;
}

// Watchdog=silence: whether bytes moved on the connection since the last look, also those that
// were still leaving the system's send buffer (a large body on a slow link).
bool TarvixPOP2SMTP_Main::MovedSince(const SocketControl& socket, uint64_t& last) {
    const uint64_t moved = socket.BytesMoved();
    if (moved == last) return false;
    last = moved;
    return true;
}
