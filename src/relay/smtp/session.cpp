// session.cpp - the SMTP conversation: HELO, MAIL FROM, RCPT TO, DATA, the composed message,
// ".", QUIT, one command per reply line.
//
// The message gets a header block of the relay's own making (Message-ID from the spool name,
// From, To, Subject, Date, MIME-Version, Content-Type) and the stored body, read from the spool
// file as the socket drains and sent as it is: the spool keeps the dot-stuffed form in which the
// POP3 server sent it, which is the form SMTP wants. The reply to the end of data marks the
// message handed over, whatever its code.
//
// Optional steps (states 10 to 15): EHLO and its capabilities, STARTTLS and EHLO again over TLS,
// AUTH PLAIN, LOGIN or XOAUTH2 (never in plain text to another machine); with
// RecipientHeaders one RCPT TO per address; with ForwardMode=original the message as retrieved
// behind a Received line; with RefusedMail=keep refusals set the file aside instead of losing
// it; with Dispatch=continuous the connection carries the next message to the same server,
// its commands pipelined where the server offers it.
//
// Server lines are untrusted: a line that is no reply reads as code 0 and is refused; a reply
// of more than kMaxReplyLines lines or kMaxReplyBytes bytes (an EHLO reply that never ends, or
// capabilities without end) ends the session, and so does a login past kMaxLoginChallenges
// challenges.
//
//   state (number)          sent before         an accepted reply                 next state
//   Greeting (1)            (connected)         HELO, or EHLO                     HeloSent,
//   EhloSent HeloSent (2)            HELO                MAIL FROM                         MailSent
//   MailSent (3)            MAIL FROM           RCPT TO (pipelined: nothing)      RcptSent
//   RcptSent (4)            RCPT TO             the next RCPT TO, or DATA         RcptSent,
//   DataSent DataSent (5)            DATA                (3xx) the message and "."         BodySent
//   BodySent (6)            the message, "."    QUIT (continuous: MAIL FROM of    QuitSent
//                                               the next message)                 (MailSent)
//   QuitSent (7)            QUIT                the socket is closed              Idle
//   EhloSent (10)           EHLO                (last line) STARTTLS, AUTH or     StartTlsSent,
//                                               MAIL FROM; refused: HELO          AuthSent, ...
//   StartTlsSent (11)       STARTTLS            (220) the TLS handshake           StartTlsHandshake
//   StartTlsHandshake (12)  -                   (any line fails the session)      -
//   AuthSent (13)           AUTH ...            (235) MAIL FROM; LOGIN: the user  MailSent,
//                                                                                 LoginUserSent
//   LoginUserSent (14)      the user name       (334) the password                LoginPasswordSent
//   LoginPasswordSent (15)  the password        (235) MAIL FROM                   MailSent
//
// A reply not accepted in the described states (1 to 3, 5, 6) refuses the message: the socket
// is closed and the watchdog ends the session (RefusedMail=keep sets the file aside at once).
// The optional states fail the session.
//
// Sessions that use EHLO send "MAIL FROM:<a>" and "RCPT TO:<a>" as RFC 5321 writes them (strict
// servers refuse a blank after the colon); HELO sessions keep the described "MAIL FROM: <a>".
#include <algorithm>

#include "relay/mail/addresses.h"
#include "relay/mail/encoding.h"
#include "relay/main_object.h"
#include "relay/procs.h"
#include "relay/smtp/compose.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

bool Positive(int16_t code) {
    return code >= 200 && code <= 299;
}

// "250-PIPELINING": a line of a reply that more lines follow.
bool ContinuedLine(std::string_view line) {
    return line.substr(std::min<std::size_t>(line.size(), 3), 1) == "-";
}

// "250-PIPELINING" and "250 AUTH PLAIN LOGIN": the keyword and what follows it, upper-cased.
std::string EhloKeyword(const std::string& line, std::string& rest) {
    std::string text = UpperCase(line.size() > 4 ? line.substr(4) : "");
    std::size_t blank = text.find_first_of(" =");
    rest.clear();
    if (blank != std::string::npos) rest.append(" ").append(text, blank + 1).append(" ");
    return text.substr(0, blank);
}

}  // namespace

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_DataArrival(int32_t /*bytesTotal*/) {
    smtpLink_.Receive(smtp_.m_ReceivedSMTPData);
    if (options_.watchSilence) SMTPBusyTime = 0;

    std::string line;
    while (smtp_.m_ReceivedSMTPData.Next(line)) {
        smtpLink_.LogReceived(line, 20);
        // A refusal may only close the socket; the watchdog ends the session later, for it.
        if (!line.empty() && (line[0] == '4' || line[0] == '5')) smtp_.problem = line;
        smtp_.replyBytes += line.size() + 2;
        if (++smtp_.replyLines > kMaxReplyLines || smtp_.replyBytes > kMaxReplyBytes) {
            return FailSMTPSession("a reply of more than " + std::to_string(kMaxReplyLines) +
                                   " lines or " + std::to_string(kMaxReplyBytes) + " bytes");
        }
        const bool continued = ContinuedLine(line);
        if (!continued) smtp_.replyLines = 0, smtp_.replyBytes = 0;
        // Beyond the described sessions (EHLO, one RCPT TO per recipient) only the last line of
        // a reply answers its command: a "550-" line must not pass for the next recipient's
        // reply. The lines of the reply to EHLO are its capabilities.
        if (continued && smtp_.m_SMTPState != SmtpState::EhloSent &&
            (smtp_.offered.ehlo || !m_SMTPMessage.Recipients.empty())) {
            continue;
        }
        HandleSMTPLine(line, RoundToInt16(ReadNumber(line.substr(0, 3))));
    }
    if (smtp_.m_ReceivedSMTPData.Overlong()) {
        FailSMTPSession("a reply line longer than " +
                        std::to_string(smtp_.m_ReceivedSMTPData.MaxLine()) + " bytes");
    }
}

void TarvixPOP2SMTP_Main::HandleSMTPLine(const std::string& line, int16_t replyCode) {
    const bool positive = Positive(replyCode);
    switch (smtp_.m_SMTPState) {
        case SmtpState::Idle:  // a line without a session is taken as the greeting
        case SmtpState::Greeting:
            return AfterGreeting(replyCode, positive);
        case SmtpState::HeloSent:
            if (!positive) return smtpLink_.Close();
            return SendMailFrom();
        case SmtpState::MailSent:
            if (!positive) return RefuseDelivery(replyCode, line);
            if (!smtp_.pipelined) return SendNextRecipient();
            smtp_.m_SMTPState = SmtpState::RcptSent;
            return;
        case SmtpState::RcptSent:
            return HandleRecipientReply(replyCode, line);
        case SmtpState::DataSent:
            if (replyCode < 300 || replyCode > 399) return RefuseDelivery(replyCode, line);
            SendMessageRows();
            smtp_.m_SMTPState = SmtpState::BodySent;
            return;
        case SmtpState::BodySent:
            // A reply while the body is still leaving answers nothing that was sent: the
            // session has failed, and the message was not handed over.
            if (smtp_.bodyPump) return FailSMTPSession("a reply before the end of data: " + line);
            return AfterEndOfData(replyCode, line);
        case SmtpState::QuitSent:
            return AfterQuitReply();
        case SmtpState::EhloSent:
            return AfterEhloLine(line, positive);
        case SmtpState::StartTlsSent:
            return AfterStartTls(replyCode, line);
        case SmtpState::StartTlsHandshake:  // nothing may come before the TLS handshake
            return FailSMTPSession("data before TLS after STARTTLS");
        case SmtpState::AuthSent:
            return AfterAuth(replyCode, line);
        case SmtpState::LoginUserSent:
            if (replyCode != 334) return FailSMTPSession("login refused: " + line);
            smtpLink_.SendWithSecret("", Secret(mail::Base64(smtp_.secret.Reveal())), 20);
            smtp_.m_SMTPState = SmtpState::LoginPasswordSent;
            return;
        case SmtpState::LoginPasswordSent:
            if (replyCode != 235) return FailSMTPSession("login refused: " + line);
            return SendMailFrom();
    }
}

void TarvixPOP2SMTP_Main::AfterGreeting(int16_t /*replyCode*/, bool positive) {
    if (!positive) return smtpLink_.Close();
    if (route_.WantsEhlo() || options_.continuous) return SendEhlo();
    SendHelo();
}

void TarvixPOP2SMTP_Main::SendHelo() {
    SendSMTPDataRow("HELO " + m_SMTPName);
    smtp_.m_SMTPState = SmtpState::HeloSent;
}

void TarvixPOP2SMTP_Main::SendEhlo() {
    smtp_.offered = {};
    SendSMTPDataRow("EHLO " + m_SMTPName);
    smtp_.m_SMTPState = SmtpState::EhloSent;
}

// One line of the reply to EHLO. A server without EHLO still takes HELO, unless TLS or a login
// was asked for.
void TarvixPOP2SMTP_Main::AfterEhloLine(const std::string& line, bool positive) {
    if (!positive) {
        if (route_.WantsEhlo()) return FailSMTPSession("EHLO refused: " + line);
        return SendHelo();
    }
    NoteCapability(line);
    if (ContinuedLine(line)) return;
    smtp_.offered.ehlo = true;
    AfterEhlo();
}

void TarvixPOP2SMTP_Main::NoteCapability(const std::string& line) {
    std::string rest;
    const std::string keyword = EhloKeyword(line, rest);
    if (keyword == "STARTTLS") smtp_.offered.starttls = true;
    if (keyword == "PIPELINING") smtp_.offered.pipelining = true;
    if (keyword == "AUTH") smtp_.offered.auth += rest;
}

// Bytes that came with the reply to STARTTLS, before TLS, could be an attacker's answers to
// commands not sent yet.
void TarvixPOP2SMTP_Main::AfterStartTls(int16_t replyCode, const std::string& line) {
    if (replyCode != 220) return FailSMTPSession("STARTTLS refused: " + line);
    if (!smtp_.m_ReceivedSMTPData.empty()) return FailSMTPSession("data before TLS after STARTTLS");
    smtp_.m_SMTPState = SmtpState::StartTlsHandshake;
    smtpLink_.Upgrade(options_.tlsTrustFile);
}

void TarvixPOP2SMTP_Main::AfterAuth(int16_t replyCode, const std::string& line) {
    if (replyCode == 235) return SendMailFrom();
    if (replyCode == 334 && smtp_.auth == SmtpAuth::Login) {
        smtpLink_.SendWithSecret("", Secret(mail::Base64(route_.user)), 20);
        smtp_.m_SMTPState = SmtpState::LoginUserSent;
        return;
    }
    if (replyCode != 334) return FailSMTPSession("login refused: " + line);
    if (++smtp_.challenges > kMaxLoginChallenges) {
        return FailSMTPSession("login: too many challenges");
    }
    SendSMTPDataRow("");  // a challenge: the empty answer ends the attempt
}

// The capabilities are known: upgrade to TLS, log in, or name the sender.
void TarvixPOP2SMTP_Main::AfterEhlo() {
    if (route_.security == SmtpSecurity::StartTls && !smtpLink_.Secure()) {
        if (!smtp_.offered.starttls) return FailSMTPSession("the server does not offer STARTTLS");
        SendSMTPDataRow("STARTTLS");
        smtp_.m_SMTPState = SmtpState::StartTlsSent;
        return;
    }
    if (!route_.user.empty()) return SendAuth();
    SendMailFrom();
}

void TarvixPOP2SMTP_Main::SendAuth() {
    if (!smtpLink_.LoginAllowed()) {
        return FailSMTPSession("no login in plain text to another machine: set SMTPSecurity");
    }
    smtp_.auth = route_.auth;
    if (smtp_.auth == SmtpAuth::Auto) {
        const bool onlyLogin = smtp_.offered.auth.find(" PLAIN ") == std::string::npos &&
                               smtp_.offered.auth.find(" LOGIN ") != std::string::npos;
        smtp_.auth = onlyLogin ? SmtpAuth::Login : SmtpAuth::Plain;
    }
    switch (smtp_.auth) {
        case SmtpAuth::Login:
            SendSMTPDataRow("AUTH LOGIN");
            break;
        case SmtpAuth::XOAuth2:
            smtpLink_.SendWithSecret("AUTH XOAUTH2 ",
                                     mail::XOAuth2Response(route_.user, smtp_.secret.Reveal()), 20);
            break;
        default:
            smtpLink_.SendWithSecret("AUTH PLAIN ",
                                     mail::PlainResponse(route_.user, smtp_.secret.Reveal()), 20);
            break;
    }
    smtp_.m_SMTPState = SmtpState::AuthSent;
}

// MAIL FROM, and where the server pipelines (Dispatch=continuous) every RCPT TO and DATA with it.
void TarvixPOP2SMTP_Main::SendMailFrom() {
    const SMTPMessage& m = m_SMTPMessage;
    const std::string command = smtp_.offered.ehlo ? "MAIL FROM:<" : "MAIL FROM: <";
    if (options_.forwardOriginal) {
        SendSMTPDataRow(command + mail::BareAddress(m.ReturnPath) + ">");
    } else {
        SendSMTPDataRow(command + mail::AngleAddress(m.From));
    }
    smtp_.m_SMTPState = SmtpState::MailSent;
    smtp_.recipientIndex = smtp_.recipientReplies = smtp_.recipientsAccepted = 0;
    outcomes_.assign(RecipientCount(), {});
    smtp_.pipelined = options_.continuous && smtp_.offered.pipelining;
    if (!smtp_.pipelined) return;
    while (smtp_.recipientIndex < RecipientCount())
        SendSMTPDataRow(RecipientRow(smtp_.recipientIndex++));
    SendSMTPDataRow("DATA");
}

std::size_t TarvixPOP2SMTP_Main::RecipientCount() const {
    return m_SMTPMessage.Recipients.empty() ? 1 : m_SMTPMessage.Recipients.size();
}

std::string TarvixPOP2SMTP_Main::RecipientRow(std::size_t index) const {
    const std::string command = smtp_.offered.ehlo ? "RCPT TO:<" : "RCPT TO: <";
    if (m_SMTPMessage.Recipients.empty()) {
        return command + mail::AngleAddress(m_SMTPMessage.To);
    }
    return command + m_SMTPMessage.Recipients[index] + ">";
}

void TarvixPOP2SMTP_Main::SendNextRecipient() {
    SendSMTPDataRow(RecipientRow(smtp_.recipientIndex++));
    smtp_.m_SMTPState = SmtpState::RcptSent;
}

// One reply to RCPT TO. The single recipient of the To value is refused as any command is; of
// several, each refusal is logged and the message goes to those accepted.
void TarvixPOP2SMTP_Main::HandleRecipientReply(int16_t replyCode, const std::string& line) {
    if (smtp_.recipientReplies < outcomes_.size())
        outcomes_[smtp_.recipientReplies] = {replyCode, line};
    ++smtp_.recipientReplies;
    if (Positive(replyCode)) {
        ++smtp_.recipientsAccepted;
    } else if (m_SMTPMessage.Recipients.empty()) {
        return RefuseDelivery(replyCode, line);
    } else {
        WriteLog("(SMTP) Recipient refused: " + line, 99);
    }
    if (smtp_.recipientReplies < RecipientCount()) {
        if (!smtp_.pipelined) SendNextRecipient();
        return;
    }
    if (smtp_.recipientsAccepted == 0) return RefuseDelivery(replyCode, line);
    if (!smtp_.pipelined) SendSMTPDataRow("DATA");
    smtp_.m_SMTPState = SmtpState::DataSent;
}

// The header block and the body, or with ForwardMode=original a Received line and the message
// as retrieved, then ".". The rows are logged now, in order; the body goes out from its spool
// file piece by piece as the socket drains, and "." after it.
void TarvixPOP2SMTP_Main::SendMessageRows() {
    const SMTPMessage& m = m_SMTPMessage;
    SpoolBody text = m.Body;
    if (options_.forwardOriginal) {
        std::string id = m.FileBase.substr(0, m.FileBase.size() - (m.FileBase.empty() ? 0 : 1));
        SendSMTPDataRow("Received: from " + m_POPServer + " by " + m_SMTPName + " with POP3 id " +
                        id + "; " + compose::DateText(clock_.Now(), true));
        text.offset = 0;
        text.keepEmptyLines = true;
    } else {
        SendSMTPDataRow("Message-ID: <" + m.FileBase + ">");
        SendSMTPDataRow("From: " + m.From);
        SendSMTPDataRow("To: " + m.To);
        SendSMTPDataRow("Subject: " + m.Subject);
        SendSMTPDataRow(compose::DateLine(clock_.Now(), options_.localDateZone));
        SendSMTPDataRow("MIME-Version: 1.0");
        SendSMTPDataRow("Content-Type: text/plain;");
        SendSMTPDataRow("");
    }
    // The list shows the start of the body; the log file, when it takes SMTP lines, all of it.
    BodySource logged(text, log_.WritesToFile(20) ? BodySource::kChunk : RelayLog::kListedBytes);
    smtpLink_.LogSent(logged, 20);
    smtpLink_.LogSent(".", 20);
    smtp_.bodyPump = std::make_unique<BodySource>(text);
    PumpBody();
}

// Sends the next piece of the body once the last one has left; after the last, the row's CR LF
// and ".". A spool file that fails to read ends the session without "." so that no server takes
// half a message.
void TarvixPOP2SMTP_Main::PumpBody() {
    std::string_view piece;
    Status sent;
    if (smtp_.bodyPump->Next(piece)) sent = smtpLink_.SendBytes(piece);
    // A send that fails stops the pump: the connection is gone, and its Close or Error event
    // ends the session.
    if (sent && !smtp_.bodyPump->Done()) return;  // the next piece when this one has left
    // The last piece and the end of data leave in one write.
    if (sent && !smtp_.bodyPump->Failed()) (void)smtpLink_.SendBytes("\r\n.\r\n");
    if (smtp_.bodyPump->Failed()) {
        const std::string why = "cannot read " + m_SMTPFileName + ": " + smtp_.bodyPump->Error();
        smtp_.bodyPump.reset();
        return FailSMTPSession(why);
    }
    smtp_.bodyPump.reset();
}

void TarvixPOP2SMTP_Main::AfterQuitReply() {
    smtp_.m_SMTPState = SmtpState::Idle;
    smtpLink_.Close();
    if (smtp_.nextRoute) StartTakenDelivery();
}

void TarvixPOP2SMTP_Main::AfterEndOfData(int16_t replyCode, const std::string& line) {
    const bool positive = Positive(replyCode);
    if (!positive && options_.keepRefused) return RefuseDelivery(replyCode, line);
    // With RefusedMail=keep, recipients without a final answer keep the file in the spool;
    // otherwise it was handed over whatever the reply: it is deleted and not offered again.
    const bool kept = positive && options_.keepRefused && !m_SMTPMessage.Recipients.empty() &&
                      SettleRecipients(true, replyCode, line);
    m_SMTPSucceed = !kept;
    if (!kept) NoteOutcome(smtpOutcome_, positive ? "" : line);
    if (!positive) return smtpLink_.Close();
    if (options_.continuous) return DeliverNextOnThisConnection(kept);
    SendSMTPDataRow("QUIT");
    smtp_.m_SMTPState = SmtpState::QuitSent;
}

// The message was refused (MAIL FROM, every RCPT TO, DATA or the end of data). Without
// RefusedMail=keep the socket is only closed and the watchdog ends the session; with it the
// file waits as ".err" after a temporary refusal and is set aside as ".rej" after a lasting one.
void TarvixPOP2SMTP_Main::RefuseDelivery(int16_t replyCode, const std::string& line) {
    NoteOutcome(smtpOutcome_, line);
    if (!options_.keepRefused) return smtpLink_.Close();
    CloseAndShutdownSMTPClient();
    SetAside(replyCode, line);
}
