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
// Sessions that use EHLO send "MAIL FROM:<a>" and "RCPT TO:<a>" as RFC 5321 writes them (strict
// servers refuse a blank after the colon); HELO sessions keep the described "MAIL FROM: <a>".
#include "relay/main_object.h"
#include "relay/procs.h"
#include "relay/smtp/compose.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

bool Positive(int16_t code) {
    return code >= 200 && code <= 299;
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
    std::string data;
    try {
        Winsock_SMTP_Client.GetData(data);
    } catch (const std::exception&) {
    }
    m_ReceivedSMTPData.Append(data);
    if (options_.watchSilence) SMTPBusyTime = 0;

    std::string line;
    while (m_ReceivedSMTPData.Next(line)) {
        WriteLog("(<- SMTP) ", line, 20);
        // A refusal may only close the socket; the watchdog ends the session later, for it.
        if (!line.empty() && (line[0] == '4' || line[0] == '5')) smtpProblem_ = line;
        replyBytes_ += line.size() + 2;
        if (++replyLines_ > kMaxReplyLines || replyBytes_ > kMaxReplyBytes) {
            return FailSMTPSession("a reply of more than " + std::to_string(kMaxReplyLines) +
                                   " lines or " + std::to_string(kMaxReplyBytes) + " bytes");
        }
        const bool continued = line.size() > 3 && line[3] == '-';
        if (!continued) replyLines_ = 0, replyBytes_ = 0;
        // Beyond the described sessions (EHLO, one RCPT TO per recipient) only the last line of
        // a reply answers its command: a "550-" line must not pass for the next recipient's
        // reply. The lines of the reply to EHLO are its capabilities.
        if (continued && m_SMTPState != 10 &&
            (capabilities_.ehlo || !m_SMTPMessage.Recipients.empty())) {
            continue;
        }
        HandleSMTPLine(line, RoundToInt16(ReadNumber(line.substr(0, 3))));
    }
    if (m_ReceivedSMTPData.Overlong()) {
        FailSMTPSession("a reply line longer than " + std::to_string(m_ReceivedSMTPData.MaxLine()) +
                        " bytes");
    }
}

void TarvixPOP2SMTP_Main::HandleSMTPLine(const std::string& line, int16_t replyCode) {
    const bool positive = Positive(replyCode);
    switch (m_SMTPState) {
        case 0:  // a line without a session is taken as the greeting
        case 1:
            if (!positive) return Winsock_SMTP_Client.Close();
            if (route_.WantsEhlo() || options_.continuous) return SendEhlo();
            SendSMTPDataRow("HELO " + m_SMTPName);
            m_SMTPState = 2;
            return;
        case 2:
            if (!positive) return Winsock_SMTP_Client.Close();
            return SendMailFrom();
        case 3:
            if (!positive) return RefuseDelivery(replyCode, line);
            if (!pipelined_) return SendNextRecipient();
            m_SMTPState = 4;
            return;
        case 4:
            return HandleRecipientReply(replyCode, line);
        case 5:
            if (replyCode < 300 || replyCode > 399) return RefuseDelivery(replyCode, line);
            SendMessageRows();
            m_SMTPState = 6;
            return;
        case 6:
            // A reply while the body is still leaving answers nothing that was sent: the
            // session has failed, and the message was not handed over.
            if (bodyPump_) return FailSMTPSession("a reply before the end of data: " + line);
            return AfterEndOfData(replyCode, line);
        case 7:
            m_SMTPState = 0;
            Winsock_SMTP_Client.Close();
            if (nextTaken_) StartTakenDelivery();
            return;
        case 10:  // EHLO, one line of its reply
            if (!positive) {
                // A server without EHLO still takes HELO, unless TLS or a login was asked for.
                if (route_.WantsEhlo()) return FailSMTPSession("EHLO refused: " + line);
                SendSMTPDataRow("HELO " + m_SMTPName);
                m_SMTPState = 2;
                return;
            }
            NoteCapability(line);
            if (line.size() > 3 && line[3] == '-') return;  // more lines follow
            capabilities_.ehlo = true;
            return AfterEhlo();
        case 11:  // reply to STARTTLS
            if (replyCode != 220) return FailSMTPSession("STARTTLS refused: " + line);
            if (!m_ReceivedSMTPData.empty()) {
                return FailSMTPSession("data before TLS after STARTTLS");
            }
            m_SMTPState = 12;
            return Winsock_SMTP_Client.StartTls(options_.tlsTrustFile);
        case 12:  // nothing may come before the TLS handshake
            return FailSMTPSession("data before TLS after STARTTLS");
        case 13:  // reply to AUTH
            if (replyCode == 235) return SendMailFrom();
            if (replyCode == 334 && authMechanism_ == SmtpAuth::Login) {
                SendSMTPRow(compose::Base64(route_.user), "*****");
                m_SMTPState = 14;
                return;
            }
            if (replyCode == 334 && ++smtpChallenges_ > kMaxLoginChallenges) {
                return FailSMTPSession("login: too many challenges");
            }
            if (replyCode == 334) return SendSMTPDataRow("");  // a challenge ends the attempt
            return FailSMTPSession("login refused: " + line);
        case 14:  // AUTH LOGIN: the user name sent
            if (replyCode != 334) return FailSMTPSession("login refused: " + line);
            SendSMTPRow(compose::Base64(smtpSecret_), "*****");
            m_SMTPState = 15;
            return;
        case 15:  // AUTH LOGIN: the password sent
            if (replyCode != 235) return FailSMTPSession("login refused: " + line);
            return SendMailFrom();
        default:
            return;
    }
}

void TarvixPOP2SMTP_Main::SendEhlo() {
    capabilities_ = {};
    SendSMTPDataRow("EHLO " + m_SMTPName);
    m_SMTPState = 10;
}

void TarvixPOP2SMTP_Main::NoteCapability(const std::string& line) {
    std::string rest;
    const std::string keyword = EhloKeyword(line, rest);
    if (keyword == "STARTTLS") capabilities_.starttls = true;
    if (keyword == "PIPELINING") capabilities_.pipelining = true;
    if (keyword == "AUTH") capabilities_.auth += rest;
}

// The capabilities are known: upgrade to TLS, log in, or name the sender.
void TarvixPOP2SMTP_Main::AfterEhlo() {
    if (route_.security == SmtpSecurity::StartTls && !Winsock_SMTP_Client.IsSecure()) {
        if (!capabilities_.starttls) return FailSMTPSession("the server does not offer STARTTLS");
        SendSMTPDataRow("STARTTLS");
        m_SMTPState = 11;
        return;
    }
    if (!route_.user.empty()) return SendAuth();
    SendMailFrom();
}

void TarvixPOP2SMTP_Main::SendAuth() {
    if (!Winsock_SMTP_Client.IsSecure() && !Winsock_SMTP_Client.PeerIsLoopback()) {
        return FailSMTPSession("no login in plain text to another machine: set SMTPSecurity");
    }
    authMechanism_ = route_.auth;
    if (authMechanism_ == SmtpAuth::Auto) {
        const bool onlyLogin = capabilities_.auth.find(" PLAIN ") == std::string::npos &&
                               capabilities_.auth.find(" LOGIN ") != std::string::npos;
        authMechanism_ = onlyLogin ? SmtpAuth::Login : SmtpAuth::Plain;
    }
    switch (authMechanism_) {
        case SmtpAuth::Login:
            SendSMTPDataRow("AUTH LOGIN");
            break;
        case SmtpAuth::XOAuth2:
            SendSMTPRow("AUTH XOAUTH2 " + compose::XOAuth2Response(route_.user, smtpSecret_),
                        "AUTH XOAUTH2 *****");
            break;
        default:
            SendSMTPRow("AUTH PLAIN " + compose::PlainResponse(route_.user, smtpSecret_),
                        "AUTH PLAIN *****");
            break;
    }
    m_SMTPState = 13;
}

// MAIL FROM, and where the server pipelines (Dispatch=continuous) every RCPT TO and DATA with it.
void TarvixPOP2SMTP_Main::SendMailFrom() {
    const SMTPMessage& m = m_SMTPMessage;
    const std::string command = capabilities_.ehlo ? "MAIL FROM:<" : "MAIL FROM: <";
    if (options_.forwardOriginal) {
        SendSMTPDataRow(command + compose::BareAddress(m.ReturnPath) + ">");
    } else {
        SendSMTPDataRow(command + compose::AngleAddress(m.From));
    }
    m_SMTPState = 3;
    recipientIndex_ = recipientReplies_ = recipientsAccepted_ = 0;
    outcomes_.assign(RecipientCount(), {});
    pipelined_ = options_.continuous && capabilities_.pipelining;
    if (!pipelined_) return;
    while (recipientIndex_ < RecipientCount()) SendSMTPDataRow(RecipientRow(recipientIndex_++));
    SendSMTPDataRow("DATA");
}

std::size_t TarvixPOP2SMTP_Main::RecipientCount() const {
    return m_SMTPMessage.Recipients.empty() ? 1 : m_SMTPMessage.Recipients.size();
}

std::string TarvixPOP2SMTP_Main::RecipientRow(std::size_t index) const {
    const std::string command = capabilities_.ehlo ? "RCPT TO:<" : "RCPT TO: <";
    if (m_SMTPMessage.Recipients.empty()) {
        return command + compose::AngleAddress(m_SMTPMessage.To);
    }
    return command + m_SMTPMessage.Recipients[index] + ">";
}

void TarvixPOP2SMTP_Main::SendNextRecipient() {
    SendSMTPDataRow(RecipientRow(recipientIndex_++));
    m_SMTPState = 4;
}

// One reply to RCPT TO. The single recipient of the To value is refused as any command is; of
// several, each refusal is logged and the message goes to those accepted.
void TarvixPOP2SMTP_Main::HandleRecipientReply(int16_t replyCode, const std::string& line) {
    if (recipientReplies_ < outcomes_.size()) outcomes_[recipientReplies_] = {replyCode, line};
    ++recipientReplies_;
    if (Positive(replyCode)) {
        ++recipientsAccepted_;
    } else if (m_SMTPMessage.Recipients.empty()) {
        return RefuseDelivery(replyCode, line);
    } else {
        WriteLog("(SMTP) Recipient refused: " + line, 99);
    }
    if (recipientReplies_ < RecipientCount()) {
        if (!pipelined_) SendNextRecipient();
        return;
    }
    if (recipientsAccepted_ == 0) return RefuseDelivery(replyCode, line);
    if (!pipelined_) SendSMTPDataRow("DATA");
    m_SMTPState = 5;
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
    log_.Write("(-> SMTP) ", logged, 20);
    WriteLog("(-> SMTP) ", ".", 20);
    bodyPump_ = std::make_unique<BodySource>(text);
    PumpBody();
}

// Sends the next piece of the body once the last one has left; after the last, the row's CR LF
// and ".". A spool file that fails to read ends the session without "." so that no server takes
// half a message.
void TarvixPOP2SMTP_Main::PumpBody() {
    std::string_view piece;
    try {
        if (bodyPump_->Next(piece)) Winsock_SMTP_Client.SendData(piece);
        if (!bodyPump_->Done()) return;  // the next piece when this one has left
        // The last piece and the end of data leave in one write.
        if (!bodyPump_->Failed()) Winsock_SMTP_Client.SendData("\r\n.\r\n");
    } catch (const std::exception&) {
        // The connection is gone; its Close or Error event ends the session.
    }
    if (bodyPump_->Failed()) {
        const std::string why = "cannot read " + m_SMTPFileName + ": " + bodyPump_->Error();
        bodyPump_.reset();
        return FailSMTPSession(why);
    }
    bodyPump_.reset();
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
    if (!positive) return Winsock_SMTP_Client.Close();
    if (options_.continuous) return DeliverNextOnThisConnection(kept);
    SendSMTPDataRow("QUIT");
    m_SMTPState = 7;
}

// The message was refused (MAIL FROM, every RCPT TO, DATA or the end of data). Without
// RefusedMail=keep the socket is only closed and the watchdog ends the session; with it the
// file waits as ".err" after a temporary refusal and is set aside as ".rej" after a lasting one.
void TarvixPOP2SMTP_Main::RefuseDelivery(int16_t replyCode, const std::string& line) {
    NoteOutcome(smtpOutcome_, line);
    if (!options_.keepRefused) return Winsock_SMTP_Client.Close();
    CloseAndShutdownSMTPClient();
    SetAside(replyCode, line);
}
