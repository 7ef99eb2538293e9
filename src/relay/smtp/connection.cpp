// connection.cpp - the connection side of an SMTP delivery: start, reset, send one line, and
// the socket's Connect, Close, Error and SendComplete events.
//
// A socket error marks the delivery as failed in the spool by renaming its file to ".err"; the
// dispatch scan re-queues such files every 30000 ms of idle ticks. A close by the server leaves
// the file queued, so it is taken again at the next idle tick (with RefusedMail=keep it waits as
// ".err" too). A password command runs before the connection when the route names one.
#include "relay/main_object.h"
#include "relay/procs.h"

using namespace TarvixPOP2SMTP_Procs;

void TarvixPOP2SMTP_Main::SMTPSend(const std::string& SMTPServer, int32_t SMTPPort) {
    CloseAndShutdownSMTPClient();
    smtpLink_.LogEndpoint("Trying to connect to ", SMTPServer, SMTPPort);
    smtp_.m_SMTPState = SmtpState::Greeting;
    route_.server = SMTPServer;
    route_.port = SMTPPort;
    if (route_.user.empty() || route_.passwordCommand.empty()) {
        smtp_.secret = Secret(route_.password);
        return ConnectSMTP();
    }
    FetchSecret(
        route_.passwordCommand, smtpSession_,
        [this] { return smtp_.m_SMTPState == SmtpState::Greeting; },
        [this](std::string secret) {
            smtp_.secret = Secret(std::move(secret));
            ConnectSMTP();
        },
        [this](const std::string& why) { FailSMTPSession("SMTPPasswordCommand: " + why); });
}

void TarvixPOP2SMTP_Main::ConnectSMTP() {
    const Status opened = smtpLink_.Open(
        route_.server, route_.port, route_.security == SmtpSecurity::Tls, options_.tlsTrustFile);
    if (!opened) NoteOutcome(smtpOutcome_, opened.why());
}

// Ends the session; the delivery in progress (the file, the message, whether it was handed
// over) is left as it is. The secret was needed for one login only: it is wiped with the rest.
void TarvixPOP2SMTP_Main::CloseAndShutdownSMTPClient() {
    smtpLink_.Close();
    smtp_ = SMTPSession{};
    ++smtpSession_;
}

void TarvixPOP2SMTP_Main::SendSMTPDataRow(const std::string& Message) {
    smtpLink_.SendRow(Message, 20);
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_Connect() {
    smtpLink_.LogPeer("Connected to ");
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_Close() {
    smtpLink_.LogPeer("Closed ");
    if (!SessionBeforeHandover(smtp_.m_SMTPState)) return CloseAndShutdownSMTPClient();
    EndSMTPSessionUnanswered("closed by the server");
}

// A session that ended before its message was answered (closed by the server, or the
// watchdog): `how` says which. The status line shows the refusal that closed the socket, if one
// did; with RefusedMail=keep the file waits for the next re-queue, unless it was handed over.
void TarvixPOP2SMTP_Main::EndSMTPSessionUnanswered(const std::string& how) {
    NoteOutcome(smtpOutcome_, smtp_.problem.empty() ? how : smtp_.problem);
    CloseAndShutdownSMTPClient();
    if (options_.keepRefused && !m_SMTPSucceed) SetAside(0, how);
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_Error(int32_t /*Number*/,
                                                    const std::string& Description) {
    CloseAndShutdownSMTPClient();
    smtpLink_.LogStatus("Socket Error: " + Description);
    NoteOutcome(smtpOutcome_, Description);
    if (!m_SMTPFileName.empty()) RenameSpoolFile(m_SMTPFileName, "err");
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_SendComplete() {
    if (options_.watchSilence) SMTPBusyTime = 0;
    if (smtp_.bodyPump) PumpBody();
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_Secured() {
    if (smtp_.m_SMTPState != SmtpState::StartTlsHandshake) return;
    smtpLink_.LogPeer("TLS started with ");
    // Nothing learnt before TLS is trusted: the capabilities are asked for again.
    SendEhlo();
}

// A failure of the session itself (not a refusal of the message): logged; the socket is closed
// and the watchdog ends the session, or with RefusedMail=keep the file waits as ".err".
void TarvixPOP2SMTP_Main::FailSMTPSession(const std::string& why) {
    smtpLink_.LogStatus("Failed: " + why);
    NoteOutcome(smtpOutcome_, why);
    if (!options_.keepRefused) return smtpLink_.Close();
    CloseAndShutdownSMTPClient();
    SetAside(0, why);
}
