// poll.cpp - when the relay talks to its POP3 server, and the connection side of a session.
//
// Timer_POP counts idle time towards the poll interval and busy time towards the 10000 ms
// watchdog (Link); the menu command makes the next idle tick poll at once. The session itself
// (the reply lines) is in session.cpp. Both counters advance by the timer's nominal interval and
// saturate, so a huge configured interval cannot wrap them round to a negative number. With
// Watchdog=silence every byte that moves sets the watchdog back, so only silence is timed.
#include "relay/main_object.h"
#include "relay/procs.h"

using namespace TarvixPOP2SMTP_Procs;

void TarvixPOP2SMTP_Main::Timer_POP_Timer() {
    if (pop_.m_POPState == PopState::Idle) {
        m_PollTimer = SaturatingAdd(m_PollTimer, Timer_POP.Interval());
        if (m_PollTimer >= m_POPInterval) {
            POPWatchdogTime = 0;
            POPConnect();
            m_PollTimer = 0;
        }
    } else if (popLink_.WatchdogExpired(POPWatchdogTime, Timer_POP.Interval(),
                                        options_.watchSilence)) {
        NoteOutcome(popOutcome_, pop_.problem.empty() ? "no reply within 10 s" : pop_.problem);
        CloseAndShutdownPOPClient();
    }
}

void TarvixPOP2SMTP_Main::Menu_RunPOP_Click() {
    m_PollTimer = m_POPInterval;
}

void TarvixPOP2SMTP_Main::POPConnect() {
    CloseAndShutdownPOPClient();
    popLink_.LogEndpoint("Trying to connect to ", m_POPServer, m_POPPort);
    SetPOPState(PopState::Greeting);
    if (options_.popPasswordCommand.empty()) return ConnectPOP();
    // A fresh password or token for every session.
    FetchSecret(
        options_.popPasswordCommand, popSession_,
        [this] { return pop_.m_POPState == PopState::Greeting; },
        [this](std::string secret) {
            m_POPPassword = std::move(secret);
            ConnectPOP();
        },
        [this](const std::string& why) { FailPOPSession("POPPasswordCommand: " + why); });
}

void TarvixPOP2SMTP_Main::ConnectPOP() {
    const Status opened = popLink_.Open(
        m_POPServer, m_POPPort, options_.popSecurity == PopSecurity::Tls, options_.tlsTrustFile);
    if (!opened) NoteOutcome(popOutcome_, opened.why());
}

// Ends the session: a message not stored yet loses its temporary file and stays on the server.
// The retrieval list and index, the file counter and the poll counters stay as they are.
void TarvixPOP2SMTP_Main::CloseAndShutdownPOPClient() {
    popLink_.Close();
    DropPOPFile();
    pop_ = POPSession{};
    ++popSession_;
    // A password command gives a fresh password or token for each session: this one is done.
    if (!options_.popPasswordCommand.empty()) WipeText(m_POPPassword);
}

// Ends the session at once, without QUIT: what was not stored stays on the server.
void TarvixPOP2SMTP_Main::FailPOPSession(const std::string& why) {
    popLink_.LogStatus("Failed: " + why);
    NoteOutcome(popOutcome_, why);
    CloseAndShutdownPOPClient();
}

void TarvixPOP2SMTP_Main::SendPOPDataRow(const std::string& Message) {
    popLink_.SendRow(Message, Level(pop_.m_POPState));
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_Connect() {
    popLink_.LogEndpoint("Connected to ", m_POPServer, m_POPPort);
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_Close() {
    popLink_.LogEndpoint("Closed ", m_POPServer, m_POPPort);
    if (pop_.m_POPState != PopState::Idle) {
        NoteOutcome(popOutcome_, pop_.problem.empty() ? "closed by the server" : pop_.problem);
    }
    CloseAndShutdownPOPClient();
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_Error(int32_t /*Number*/,
                                                   const std::string& Description) {
    CloseAndShutdownPOPClient();
    popLink_.LogStatus("Socket Error: " + Description);
    NoteOutcome(popOutcome_, Description);
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_SendComplete() {
    if (options_.watchSilence) POPWatchdogTime = 0;
}
