// session.cpp - the POP3 conversation: USER, PASS, LIST, then RETR and DELE for each listed
// message (at most 100 per session, one at a time), then QUIT.
//
// Every server line is logged under the number of the state that handles it. A message goes to
// a temporary spool file as its lines arrive (memory does not grow with its size) and is
// committed under its ".msg" name, durably, before its DELE is sent; when it cannot be stored the
// socket is closed without DELE and the message stays on the server for a later poll.
//
// Optional steps (states 10 to 13): "STLS" and the TLS upgrade before any login
// (POPSecurity=stls), and "AUTH XOAUTH2" with a token instead of USER and PASS (POPAuth=xoauth2).
//
// The server's bytes are untrusted: any line is handled; one longer than ReceivedLines::kMaxLine
// ends the session, and so does a message that grows past twice the size its LIST line
// announced and a MiB more (no DELE: it stays on the server). Only a line that was "." on the
// wire ends a message; one that became a lone dot, or got a leading dot, only because its CRs
// were removed is stored with one more dot, so that SMTP carries it as text. Bytes that arrive
// with the reply to STLS, before TLS, end the session too: they could be an attacker's answers
// to commands not sent yet. A login gives up after kMaxLoginChallenges challenges.
#include "relay/main_object.h"
#include "relay/procs.h"
#include "relay/smtp/compose.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

constexpr int16_t kPositive = 0, kNegative = 1, kEndMarker = 2, kOther = 3;
// Lines of a message are gathered up to this size before they are written to its file.
constexpr std::size_t kWriteBatch = 256 * 1024;

// The kind of a line; a line that starts with "." and is longer keeps the kind of the line
// before it in the same event, and so does one that is "." only after its CRs were removed.
int16_t ClassifyPOPLine(std::string_view line, int16_t previous, bool exactDot) {
    if (line.empty()) return kOther;
    switch (line.front()) {
        case '+':
            return kPositive;
        case '.':
            return exactDot ? kEndMarker : previous;
        case '-':
            return kNegative;
        default:
            return kOther;
    }
}

bool IsPlainDecimal(const std::string& field) {
    return !field.empty() && field.find_first_not_of("0123456789") == std::string::npos;
}

// The size column of a LIST line, saturated; 0 when it is missing or not a number.
uint64_t ListedSize(const std::string& line) {
    const std::string size = GetField(line, 1, " ");
    if (!IsPlainDecimal(size)) return 0;
    uint64_t bytes = 0;
    for (char c : size) {
        const auto digit = static_cast<uint64_t>(c - '0');
        bytes = bytes > (UINT64_MAX - digit) / 10 ? UINT64_MAX : bytes * 10 + digit;
    }
    return bytes;
}

}  // namespace

void TarvixPOP2SMTP_Main::Winsock_POP_Client_DataArrival(int32_t /*bytesTotal*/) {
    std::string data;
    try {
        Winsock_POP_Client.GetData(data);
    } catch (const std::exception&) {
    }
    m_ReceivedPOPData.Append(data);
    if (options_.watchSilence) POPWatchdogTime = 0;

    int16_t replyKind = kPositive;
    std::string line;
    while (m_ReceivedPOPData.Next(line)) {
        WriteLog("(<- POP3) ", line, m_POPState);
        replyKind = ClassifyPOPLine(line, replyKind, m_ReceivedPOPData.ExactDot());
        // A refusal closes the socket; the watchdog ends the session later, for this reason.
        if (replyKind == kNegative && m_POPState != 5 && m_POPState != 7) popProblem_ = line;
        HandlePOPLine(line, replyKind);
    }
    if (m_ReceivedPOPData.Overlong()) {
        FailPOPSession("a line longer than " + std::to_string(ReceivedLines::kMaxLine) + " bytes");
    } else if (m_POPState == 7 && POPMessageTooLarge()) {
        FailPOPSession("message " + std::to_string(m_POPMessageNumbers[POPMessageIndex]) +
                       " is larger than the " + std::to_string(popSizes_[POPMessageIndex]) +
                       " bytes its LIST line announced");
    }
}

void TarvixPOP2SMTP_Main::HandlePOPLine(const std::string& line, int16_t replyKind) {
    switch (m_POPState) {
        case 0:  // idle: a line that comes anyway is taken as the greeting
        case 1:
            if (replyKind != kPositive) return Winsock_POP_Client.Close();
            if (options_.popSecurity == PopSecurity::Stls && !Winsock_POP_Client.IsSecure()) {
                SendPOPDataRow("STLS");
                m_POPState = 10;
                return;
            }
            return StartPOPLogin();
        case 2:
            if (replyKind != kPositive) return Winsock_POP_Client.Close();
            // A secret from the password command shows nowhere; a configured one as described.
            SendPOPRow("PASS " + m_POPPassword, options_.popPasswordCommand.empty()
                                                    ? "PASS " + m_POPPassword
                                                    : std::string("PASS *****"));
            m_POPState = 3;
            return;
        case 3:
            if (replyKind != kPositive) return Winsock_POP_Client.Close();
            SendPOPDataRow("LIST");
            m_POPState = 4;
            return;
        case 4:
            if (replyKind != kPositive) return Winsock_POP_Client.Close();
            m_POPState = 5;
            return;
        case 5:
            if (replyKind == kEndMarker) {
                POPMessageIndex = 0;
                return RetrieveNextOrQuit();
            }
            if (std::string number = GetField(line, 0, " "); IsPlainDecimal(number)) {
                POPMessageIndex = ReadInt32(number);
                const uint64_t size = ListedSize(line);
                if (options_.maxMessageSize != 0 && size > options_.maxMessageSize) {
                    PassOver(POPMessageIndex, size);
                } else if (m_POPMessageCount < kMaxMessagesPerSession) {
                    popSizes_[m_POPMessageCount] = size;
                    m_POPMessageNumbers[m_POPMessageCount++] = POPMessageIndex;
                }
            }
            return;
        case 6:
            if (replyKind != kPositive) return Winsock_POP_Client.Close();
            popMessageBytes_ = 0;
            m_POPState = 7;
            return;
        case 7:
            if (replyKind != kEndMarker) return AddToPOPMessage(line);
            return StorePOPMessage();
        case 8:
            if (replyKind != kPositive) return Winsock_POP_Client.Close();
            POPMessageIndex = SaturatingAdd(POPMessageIndex, 1);
            return RetrieveNextOrQuit();
        case 9: {
            // A session that stopped at the limit left messages behind: with
            // Dispatch=continuous the next one starts at once.
            const bool more = options_.continuous && m_POPMessageCount == kMaxMessagesPerSession;
            NoteOutcome(popOutcome_, "");
            m_POPState = 0;
            Winsock_POP_Client.Close();
            if (more) {
                POPWatchdogTime = 0;
                POPConnect();
                m_PollTimer = 0;
            }
            return;
        }
        case 10:  // reply to STLS
            if (replyKind != kPositive) return FailPOPSession("the server refused STLS");
            if (!m_ReceivedPOPData.empty()) return FailPOPSession("data before TLS after STLS");
            m_POPState = 11;
            return Winsock_POP_Client.StartTls(options_.tlsTrustFile);
        case 11:  // nothing may come before the TLS handshake
            return FailPOPSession("data before TLS after STLS");
        case 12:  // "AUTH XOAUTH2" sent: the continuation asks for the token
            if (line.rfind("+", 0) != 0) return FailPOPSession("XOAUTH2 refused: " + line);
            SendPOPRow(compose::XOAuth2Response(m_POPUser, m_POPPassword), "*****");
            m_POPState = 13;
            return;
        case 13:  // the token sent
            if (replyKind == kPositive && line.rfind("+OK", 0) == 0) {
                SendPOPDataRow("LIST");
                m_POPState = 4;
            } else if (line.rfind("+", 0) == 0) {
                if (++popChallenges_ > kMaxLoginChallenges) {
                    return FailPOPSession("XOAUTH2 login: too many challenges");
                }
                SendPOPDataRow("");  // an error challenge: the empty answer ends the attempt
            } else {
                FailPOPSession("XOAUTH2 login refused: " + line);
            }
            return;
        default:
            return;
    }
}

// USER, or with POPAuth=xoauth2 "AUTH XOAUTH2", which never goes out in plain text to another
// machine.
void TarvixPOP2SMTP_Main::StartPOPLogin() {
    if (options_.popAuth == PopAuth::XOAuth2) {
        if (!Winsock_POP_Client.IsSecure() && !Winsock_POP_Client.PeerIsLoopback()) {
            return FailPOPSession(
                "XOAUTH2 needs TLS (POPSecurity) for a server on another machine");
        }
        SendPOPDataRow("AUTH XOAUTH2");
        m_POPState = 12;
        return;
    }
    SendPOPDataRow("USER " + m_POPUser);
    m_POPState = 2;
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_Secured() {
    if (m_POPState != 11) return;
    WriteLog("(   POP3) TLS started with " + m_POPServer + ":" + std::to_string(m_POPPort), 99);
    StartPOPLogin();
}

// Gathers a message line; full batches go to the message's temporary spool file. A file that
// cannot be made or written closes the socket at once: no DELE will follow.
void TarvixPOP2SMTP_Main::AddToPOPMessage(std::string_view line) {
    popMessageBytes_ += line.size() + 2;
    if (popFileFailed_) return;
    // A dot that stands first only because CRs before it went, or a lone dot that was more on
    // the wire, gets the dot that stuffing would have given it: as stored, "." would end the
    // message in SMTP, and ".x" would lose its dot there.
    if (!line.empty() && line.front() == '.' &&
        (!m_ReceivedPOPData.StartedWithDot() || line.size() == 1)) {
        m_ReceivedPOPMessage += '.';
    }
    m_ReceivedPOPMessage += line;
    m_ReceivedPOPMessage += "\r\n";
    if (m_ReceivedPOPMessage.size() >= kWriteBatch) FlushPOPMessage();
}

bool TarvixPOP2SMTP_Main::FlushPOPMessage() {
    std::string error;
    if (!popFile_) {
        fileSystem_.CreateDirectory(g_AppPath + "Messages");
        spool_.Changing();
        popFile_ = fileSystem_.CreateNewFile(g_SpoolPath, error);
        spool_.Restamp();
    }
    if (popFile_ && !popFile_->Write(m_ReceivedPOPMessage)) error = popFile_->Error();
    m_ReceivedPOPMessage.clear();
    if (!error.empty()) {
        DropPOPFile();
        popFileFailed_ = true;
        WriteLog("(   POP3) Failed: " + error, 99);
        Winsock_POP_Client.Close();
        return false;
    }
    return true;
}

void TarvixPOP2SMTP_Main::StorePOPMessage() {
    if (POPMessageIndex < 0 || POPMessageIndex >= m_POPMessageCount) {
        // Only a RETR of a listed number leads here; anything else is a confused session.
        WriteLog("(   POP3) Failed: message end outside a retrieval", 99);
        m_ReceivedPOPMessage.clear();
        DropPOPFile();
        Winsock_POP_Client.Close();
        return;
    }
    // After a failure (logged, the socket closed) nothing more is stored in this session.
    if (popFileFailed_) return;
    m_ReceivedPOPMessage += "\r\n";
    if (!FlushPOPMessage()) return;
    m_InternalMessageId = spool::NextCounter(m_InternalMessageId);
    const std::string name = spool::FileBase(clock_.Now(), m_InternalMessageId) + "msg";
    // The counter starts again at 1 in every run: a run restarted within the second of an
    // earlier run's file would reuse its name, and that file may not be delivered yet.
    std::string failure;
    for (const char* extension : {"msg", "snd", "err", "rej", "rcp"}) {
        if (fileSystem_.Exists(g_SpoolPath + spool::WithExtension(name, extension))) {
            failure = "spool name " + spool::WithExtension(name, extension) + " is in use";
        }
    }
    spool_.Changing();
    if (failure.empty()) failure = popFile_->Commit(g_SpoolPath + name);
    if (!failure.empty()) {
        // Without the file, DELE would lose the message: leave it on the server instead.
        DropPOPFile();
        WriteLog("(   POP3) Failed: " + failure, 99);
        Winsock_POP_Client.Close();
        return;
    }
    popFile_.reset();  // committed: closing it changes nothing in the directory
    spool_.Added(name);
    SendPOPDataRow("DELE " + std::to_string(m_POPMessageNumbers[POPMessageIndex]));
    m_POPState = 8;
}

// MaxMessageSize: a message whose LIST size is larger takes none of the session's places and
// stays on the server. Each is logged once per run, not at every poll (a few thousand are
// remembered; past that a message is logged again).
void TarvixPOP2SMTP_Main::PassOver(int32_t number, uint64_t size) {
    if (passedOver_.size() >= kRememberedPassedOver) passedOver_.clear();
    if (!passedOver_.emplace(number, size).second) return;
    WriteLog("(   POP3) Message " + std::to_string(number) + " of " + std::to_string(size) +
                 " bytes is larger than MaxMessageSize: left on the server",
             99);
}

// RETR of the message at POPMessageIndex, or QUIT after the last.
void TarvixPOP2SMTP_Main::RetrieveNextOrQuit() {
    if (POPMessageIndex >= m_POPMessageCount) {
        SendPOPDataRow("QUIT");
        m_POPState = 9;
        return;
    }
    SendPOPDataRow("RETR " + std::to_string(m_POPMessageNumbers[POPMessageIndex]));
    m_POPState = 6;
}

// Whether the message being retrieved, with its unfinished line, has outgrown what its LIST
// line announced by more than the margin.
bool TarvixPOP2SMTP_Main::POPMessageTooLarge() {
    if (POPMessageIndex < 0 || POPMessageIndex >= m_POPMessageCount) return false;
    const uint64_t announced = popSizes_[POPMessageIndex];
    const uint64_t limit =
        announced > (UINT64_MAX - kSizeMargin) / 2 ? UINT64_MAX : announced * 2 + kSizeMargin;
    return popMessageBytes_ + m_ReceivedPOPData.Pending() > limit;
}

// Closes the message's file; one never committed goes, and the spool index knows it was the
// relay's own change.
void TarvixPOP2SMTP_Main::DropPOPFile() {
    if (!popFile_) return;
    spool_.Changing();
    popFile_.reset();
    spool_.Restamp();
}
