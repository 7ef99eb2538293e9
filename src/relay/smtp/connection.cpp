// connection.cpp - the connection side of an SMTP delivery: start, reset, send one line, and
// the socket's Connect, Close, Error and SendComplete events.
//
// A socket error marks the delivery as failed in the spool by renaming its file to ".err"; the
// dispatch scan re-queues such files every 30000 ms of idle ticks. A close by the server leaves
// the file queued, so it is taken again at the next idle tick (with RefusedMail=keep it waits as
// ".err" too). A password command runs before the connection when the route names one.
#include <algorithm>

#include "relay/main_object.h"
#include "relay/procs.h"

using namespace TarvixPOP2SMTP_Procs;

void TarvixPOP2SMTP_Main::SMTPSend(const std::string& SMTPServer, int32_t SMTPPort) {
    CloseAndShutdownSMTPClient();
    WriteLog("(   SMTP) Trying to connect to " + SMTPServer + ":" + std::to_string(SMTPPort), 99);
    m_SMTPState = 1;
    route_.server = SMTPServer;
    route_.port = SMTPPort;
    if (route_.user.empty() || route_.passwordCommand.empty()) {
        smtpSecret_ = route_.password;
        return ConnectSMTP();
    }
    commands_.Run(route_.passwordCommand,
                  [this, session = smtpSession_](bool ok, const std::string& firstLine,
                                                 const std::string& why) {
                      if (session != smtpSession_ || m_SMTPState != 1) return;
                      if (!ok) return FailSMTPSession("SMTPPasswordCommand: " + why);
                      smtpSecret_ = firstLine;
                      ConnectSMTP();
                  });
}

void TarvixPOP2SMTP_Main::ConnectSMTP() {
    std::string failure;
    try {
        if (route_.security == SmtpSecurity::Tls) {
            Winsock_SMTP_Client.ConnectTls(route_.server, route_.port, options_.tlsTrustFile);
        } else {
            Winsock_SMTP_Client.Connect(route_.server, route_.port);
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) {
        WriteLog("(   SMTP) Failed: " + failure, 99);
        NoteOutcome(smtpOutcome_, failure);
    }
}

void TarvixPOP2SMTP_Main::CloseAndShutdownSMTPClient() {
    Winsock_SMTP_Client.Close();
    m_ReceivedSMTPData.clear();
    m_SMTPState = 0;
    bodyPump_.reset();
    capabilities_ = {};
    pipelined_ = nextTaken_ = false;
    smtpChallenges_ = replyLines_ = 0;
    replyBytes_ = 0;
    smtpProblem_.clear();
    // The secret is needed for one login only.
    std::fill(smtpSecret_.begin(), smtpSecret_.end(), '\0');
    smtpSecret_.clear();
    ++smtpSession_;
}

void TarvixPOP2SMTP_Main::SendSMTPDataRow(const std::string& Message) {
    SendSMTPRow(Message, Message);
}

// `shown` is what the log gets: the row itself, or a mechanism and asterisks for a secret.
void TarvixPOP2SMTP_Main::SendSMTPRow(std::string_view row, std::string_view shown) {
    try {
        Winsock_SMTP_Client.SendData(std::string(row) + "\r\n");
    } catch (const std::exception&) {
        // A failed send is left to the watchdog; the row is logged all the same.
    }
    WriteLog("(-> SMTP) ", shown, 20);
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_Connect() {
    WriteLog("(   SMTP) Connected to " + Winsock_SMTP_Client.RemoteHost() + ":" +
                 std::to_string(Winsock_SMTP_Client.RemotePort()),
             99);
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_Close() {
    WriteLog("(   SMTP) Closed " + Winsock_SMTP_Client.RemoteHost() + ":" +
                 std::to_string(Winsock_SMTP_Client.RemotePort()),
             99);
    // A close before the end of data was accepted is "no reply" to RefusedMail=keep.
    const bool retry =
        options_.keepRefused && m_SMTPState != 0 && m_SMTPState != 7 && !m_SMTPSucceed;
    if (m_SMTPState != 0 && m_SMTPState != 7) {
        NoteOutcome(smtpOutcome_, smtpProblem_.empty() ? "closed by the server" : smtpProblem_);
    }
    CloseAndShutdownSMTPClient();
    if (retry) SetAside(0, "closed by the server");
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_Error(int32_t /*Number*/,
                                                    const std::string& Description) {
    CloseAndShutdownSMTPClient();
    WriteLog("(   SMTP) Socket Error: " + Description, 99);
    NoteOutcome(smtpOutcome_, Description);
    if (!m_SMTPFileName.empty()) RenameSpoolFile(m_SMTPFileName, "err");
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_SendComplete() {
    if (options_.watchSilence) SMTPBusyTime = 0;
    if (bodyPump_) PumpBody();
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_Secured() {
    if (m_SMTPState != 12) return;
    WriteLog("(   SMTP) TLS started with " + Winsock_SMTP_Client.RemoteHost() + ":" +
                 std::to_string(Winsock_SMTP_Client.RemotePort()),
             99);
    // Nothing learnt before TLS is trusted: the capabilities are asked for again.
    SendEhlo();
}

// A failure of the session itself (not a refusal of the message): logged; the socket is closed
// and the watchdog ends the session, or with RefusedMail=keep the file waits as ".err".
void TarvixPOP2SMTP_Main::FailSMTPSession(const std::string& why) {
    WriteLog("(   SMTP) Failed: " + why, 99);
    NoteOutcome(smtpOutcome_, why);
    if (!options_.keepRefused) return Winsock_SMTP_Client.Close();
    CloseAndShutdownSMTPClient();
    SetAside(0, why);
}
