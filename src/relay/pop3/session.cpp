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
//   state (number)      sent before         a positive reply                 next state
//   Greeting (1)        (connected)         USER, or STLS, or AUTH XOAUTH2   UserSent, StlsSent,
//                                                                            XOAuth2Sent
//   UserSent (2)        USER                PASS                             PassSent
//   PassSent (3)        PASS                LIST                             ListSent
//   ListSent (4)        LIST                (the list follows)               ListLines
//   ListLines (5)       -                   each line notes a message;       RetrSent or
//                                           "." sends RETR or QUIT           QuitSent
//   RetrSent (6)        RETR n              (the message follows)            MessageLines
//   MessageLines (7)    -                   each line is stored; "." commits DeleSent
//                                           the file and sends DELE n
//   DeleSent (8)        DELE n              RETR of the next, or QUIT        RetrSent, QuitSent
//   QuitSent (9)        QUIT                the socket is closed             Idle
//   StlsSent (10)       STLS                the TLS handshake starts         StlsHandshake
//   StlsHandshake (11)  -                   (any line fails the session)     -
//   XOAuth2Sent (12)    AUTH XOAUTH2        "+": the token                   TokenSent
//   TokenSent (13)      the token           "+OK": LIST; "+": empty answer   ListSent
//   CapaSent (14)       CAPA                (the list follows); -ERR: LIST   CapaLines, ListSent
//   CapaLines (15)      -                   PIPELINING is noted; "." LIST    ListSent
//
// With Dispatch=continuous the login is followed by CAPA, and the messages are retrieved in
// windows, each committed as a group before its DELEs (window.cpp): RetrSent, MessageLines and
// DeleSent then take several replies in turn.
//
// A negative reply in states 1 to 4, 6 and 8 closes the socket and leaves the state as it is:
// the watchdog ends the session. The optional states fail the session at once.
//
// The server's bytes are untrusted: any line is handled; one longer than ReceivedLines::kMaxLine
// ends the session, and so does a message that grows past twice the size its LIST line
// announced and a MiB more (no DELE: it stays on the server). Only a line that was "." on the
// wire ends a message; one that became a lone dot, or got a leading dot, only because its CRs
// were removed is stored with one more dot, so that SMTP carries it as text. Bytes that arrive
// with the reply to STLS, before TLS, end the session too: they could be an attacker's answers
// to commands not sent yet. A login gives up after kMaxLoginChallenges challenges.
#include "relay/mail/encoding.h"
#include "relay/main_object.h"
#include "relay/procs.h"

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
    popLink_.Receive(pop_.m_ReceivedPOPData);
    if (options_.watchSilence) POPWatchdogTime = 0;

    int16_t replyKind = kPositive;
    std::string line;
    while (pop_.m_ReceivedPOPData.Next(line)) {
        popLink_.LogReceived(line, Level(pop_.m_POPState));
        replyKind = ClassifyPOPLine(line, replyKind, pop_.m_ReceivedPOPData.ExactDot());
        // A refusal closes the socket; the watchdog ends the session later, for this reason.
        if (replyKind == kNegative && pop_.m_POPState != PopState::ListLines &&
            pop_.m_POPState != PopState::MessageLines) {
            pop_.problem = line;
        }
        HandlePOPLine(line, replyKind);
    }
    if (pop_.m_ReceivedPOPData.Overlong()) {
        FailPOPSession("a line longer than " + std::to_string(ReceivedLines::kMaxLine) + " bytes");
    } else if (pop_.m_POPState == PopState::MessageLines && POPMessageTooLarge()) {
        FailPOPSession("message " + std::to_string(m_POPMessageNumbers[POPMessageIndex]) +
                       " is larger than the " + std::to_string(popSizes_[POPMessageIndex]) +
                       " bytes its LIST line announced");
    }
}

void TarvixPOP2SMTP_Main::HandlePOPLine(const std::string& line, int16_t replyKind) {
    const bool positive = replyKind == kPositive;
    switch (pop_.m_POPState) {
        case PopState::Idle:  // a line that comes anyway is taken as the greeting
        case PopState::Greeting:
            return AfterGreeting(replyKind);
        case PopState::UserSent:
            if (!positive) return popLink_.Close();
            // A secret from the password command shows nowhere; a configured one as described.
            if (options_.popPasswordCommand.empty()) {
                SendPOPDataRow("PASS " + m_POPPassword);
            } else {
                popLink_.SendWithSecret("PASS ", Secret(m_POPPassword), Level(pop_.m_POPState));
            }
            return SetPOPState(PopState::PassSent);
        case PopState::PassSent:
            if (!positive) return popLink_.Close();
            return SendListOrCapa();
        case PopState::ListSent:
            if (!positive) return popLink_.Close();
            return SetPOPState(PopState::ListLines);
        case PopState::ListLines:
            return TakeListLine(line, replyKind);
        case PopState::RetrSent:
            if (!positive) return popLink_.Close();
            pop_.messageBytes = 0;
            return SetPOPState(PopState::MessageLines);
        case PopState::MessageLines:
            if (replyKind != kEndMarker) return AddToPOPMessage(line);
            return options_.continuous ? StoreInWindow() : StorePOPMessage();
        case PopState::DeleSent:
            if (!positive) return popLink_.Close();
            if (options_.continuous) return AfterWindowDele();
            POPMessageIndex = SaturatingAdd(POPMessageIndex, 1);
            return RetrieveNextOrQuit();
        case PopState::QuitSent:
            return AfterQuit();
        case PopState::StlsSent:
            return AfterStls(replyKind);
        case PopState::StlsHandshake:  // nothing may come before the TLS handshake
            return FailPOPSession("data before TLS after STLS");
        case PopState::XOAuth2Sent:  // the continuation asks for the token
            if (line.rfind("+", 0) != 0) return FailPOPSession("XOAUTH2 refused: " + line);
            popLink_.SendWithSecret("", mail::XOAuth2Response(m_POPUser, m_POPPassword),
                                    Level(pop_.m_POPState));
            return SetPOPState(PopState::TokenSent);
        case PopState::TokenSent:
            return AfterXOAuth2Token(line, replyKind);
        case PopState::CapaSent:
            if (!positive) return SendList();
            return SetPOPState(PopState::CapaLines);
        case PopState::CapaLines:
            return TakeCapaLine(line, replyKind);
    }
}

// After the login: LIST, or with Dispatch=continuous CAPA first (and LIST after its answer,
// whatever it is).
void TarvixPOP2SMTP_Main::SendListOrCapa() {
    if (!options_.continuous) return SendList();
    SendPOPDataRow("CAPA");
    SetPOPState(PopState::CapaSent);
}

void TarvixPOP2SMTP_Main::SendList() {
    SendPOPDataRow("LIST");
    SetPOPState(PopState::ListSent);
}

void TarvixPOP2SMTP_Main::TakeCapaLine(const std::string& line, int16_t replyKind) {
    if (replyKind == kEndMarker) return SendList();
    if (EqualNoCase(GetField(line, 0, " "), "PIPELINING")) pop_.pipelining = true;
}

void TarvixPOP2SMTP_Main::AfterGreeting(int16_t replyKind) {
    if (replyKind != kPositive) return popLink_.Close();
    if (options_.popSecurity == PopSecurity::Stls && !popLink_.Secure()) {
        SendPOPDataRow("STLS");
        return SetPOPState(PopState::StlsSent);
    }
    StartPOPLogin();
}

// A line of the LIST answer: a message to retrieve, one passed over (MaxMessageSize), or "."
// and the first RETR.
void TarvixPOP2SMTP_Main::TakeListLine(const std::string& line, int16_t replyKind) {
    if (replyKind == kEndMarker) {
        POPMessageIndex = 0;
        return options_.continuous ? RetrieveWindow() : RetrieveNextOrQuit();
    }
    const std::string number = GetField(line, 0, " ");
    if (!IsPlainDecimal(number)) return;
    POPMessageIndex = ReadInt32(number);
    const uint64_t size = ListedSize(line);
    if (options_.maxMessageSize != 0 && size > options_.maxMessageSize) {
        PassOver(POPMessageIndex, size);
    } else if (pop_.m_POPMessageCount < kMaxMessagesPerSession) {
        popSizes_[pop_.m_POPMessageCount] = size;
        m_POPMessageNumbers[pop_.m_POPMessageCount++] = POPMessageIndex;
    }
}

// The reply to QUIT ends the session. One that stopped at the limit left messages behind: with
// Dispatch=continuous the next one starts at once.
void TarvixPOP2SMTP_Main::AfterQuit() {
    const bool more = options_.continuous && pop_.m_POPMessageCount == kMaxMessagesPerSession;
    NoteOutcome(popOutcome_, "");
    SetPOPState(PopState::Idle);
    popLink_.Close();
    if (more) {
        POPWatchdogTime = 0;
        POPConnect();
        m_PollTimer = 0;
    }
}

// Bytes that came with the reply to STLS, before TLS, could be an attacker's answers to
// commands not sent yet.
void TarvixPOP2SMTP_Main::AfterStls(int16_t replyKind) {
    if (replyKind != kPositive) return FailPOPSession("the server refused STLS");
    if (!pop_.m_ReceivedPOPData.empty()) return FailPOPSession("data before TLS after STLS");
    SetPOPState(PopState::StlsHandshake);
    popLink_.Upgrade(options_.tlsTrustFile);
}

void TarvixPOP2SMTP_Main::AfterXOAuth2Token(const std::string& line, int16_t replyKind) {
    if (replyKind == kPositive && line.rfind("+OK", 0) == 0) return SendListOrCapa();
    if (line.rfind("+", 0) != 0) return FailPOPSession("XOAUTH2 login refused: " + line);
    if (++pop_.challenges > kMaxLoginChallenges) {
        return FailPOPSession("XOAUTH2 login: too many challenges");
    }
    SendPOPDataRow("");  // an error challenge: the empty answer ends the attempt
}

// USER, or with POPAuth=xoauth2 "AUTH XOAUTH2", which never goes out in plain text to another
// machine.
void TarvixPOP2SMTP_Main::StartPOPLogin() {
    if (options_.popAuth == PopAuth::XOAuth2) {
        if (!popLink_.LoginAllowed()) {
            return FailPOPSession(
                "XOAUTH2 needs TLS (POPSecurity) for a server on another machine");
        }
        SendPOPDataRow("AUTH XOAUTH2");
        return SetPOPState(PopState::XOAuth2Sent);
    }
    SendPOPDataRow("USER " + m_POPUser);
    SetPOPState(PopState::UserSent);
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_Secured() {
    if (pop_.m_POPState != PopState::StlsHandshake) return;
    popLink_.LogEndpoint("TLS started with ", m_POPServer, m_POPPort);
    StartPOPLogin();
}

// Gathers a message line; full batches go to the message's temporary spool file. A file that
// cannot be made or written closes the socket at once: no DELE will follow.
void TarvixPOP2SMTP_Main::AddToPOPMessage(std::string_view line) {
    pop_.messageBytes += line.size() + 2;
    if (pop_.fileFailed) return;
    // A dot that stands first only because CRs before it went, or a lone dot that was more on
    // the wire, gets the dot that stuffing would have given it: as stored, "." would end the
    // message in SMTP, and ".x" would lose its dot there.
    if (!line.empty() && line.front() == '.' &&
        (!pop_.m_ReceivedPOPData.StartedWithDot() || line.size() == 1)) {
        pop_.m_ReceivedPOPMessage += '.';
    }
    pop_.m_ReceivedPOPMessage += line;
    pop_.m_ReceivedPOPMessage += "\r\n";
    if (pop_.m_ReceivedPOPMessage.size() >= kWriteBatch) FlushPOPMessage();
}

bool TarvixPOP2SMTP_Main::FlushPOPMessage() {
    Status written;
    if (!pop_.file) {
        fileSystem_.CreateDirectory(g_AppPath + "Messages");
        spool_.Changing();
        Result<std::unique_ptr<WritableFile>> created = fileSystem_.CreateNewFile(g_SpoolPath);
        spool_.Restamp();
        if (created) pop_.file = created.take();
        written = created.status();
    }
    if (written) written = pop_.file->Write(pop_.m_ReceivedPOPMessage);
    pop_.m_ReceivedPOPMessage.clear();
    if (!written) {
        DropPOPFile();
        pop_.fileFailed = true;
        popLink_.LogStatus("Failed: " + written.why());
        popLink_.Close();
        return false;
    }
    return true;
}

// The end of a message's lines: its last batch goes to its temporary file. False when there is
// nothing to store: the end came outside a retrieval (the session is closed), or the file failed.
bool TarvixPOP2SMTP_Main::FinishPOPMessage() {
    if (POPMessageIndex < 0 || POPMessageIndex >= pop_.m_POPMessageCount) {
        // Only a RETR of a listed number leads here; anything else is a confused session.
        popLink_.LogStatus("Failed: message end outside a retrieval");
        pop_.m_ReceivedPOPMessage.clear();
        DropPOPFile();
        popLink_.Close();
        return false;
    }
    // After a failure (logged, the socket closed) nothing more is stored in this session.
    if (pop_.fileFailed) return false;
    pop_.m_ReceivedPOPMessage += "\r\n";
    return FlushPOPMessage();
}

// The ".msg" name of the next stored message. The counter starts again at 1 in every run: a run
// restarted within the second of an earlier run's file would reuse its name, and that file may
// not be delivered yet, so a name in use in any state fails.
Result<std::string> TarvixPOP2SMTP_Main::NextSpoolName() {
    m_InternalMessageId = spool::NextCounter(m_InternalMessageId);
    const std::string name = spool::FileBase(clock_.Now(), m_InternalMessageId) + "msg";
    Status free;
    for (const char* extension : {"msg", "snd", "err", "rej", "rcp"}) {
        if (fileSystem_.Exists(g_SpoolPath + spool::WithExtension(name, extension))) {
            free = Status::Failed("spool name " + spool::WithExtension(name, extension) +
                                  " is in use");
        }
    }
    if (!free) return free;
    return name;
}

// Without the file, DELE would lose the message: it stays on the server instead.
void TarvixPOP2SMTP_Main::FailStoring(const Status& failure) {
    DropPOPFile();
    popLink_.LogStatus("Failed: " + failure.why());
    popLink_.Close();
}

void TarvixPOP2SMTP_Main::StorePOPMessage() {
    if (!FinishPOPMessage()) return;
    Result<std::string> name = NextSpoolName();
    spool_.Changing();
    Status committed = name.status();
    if (committed) committed = pop_.file->Commit(g_SpoolPath + name.value());
    if (!committed) return FailStoring(committed);
    pop_.file.reset();  // committed: closing it changes nothing in the directory
    spool_.Added(name.value());
    SendPOPDataRow("DELE " + std::to_string(m_POPMessageNumbers[POPMessageIndex]));
    SetPOPState(PopState::DeleSent);
}

// MaxMessageSize: a message whose LIST size is larger takes none of the session's places and
// stays on the server. Each is logged once per run, not at every poll (a few thousand are
// remembered; past that a message is logged again).
void TarvixPOP2SMTP_Main::PassOver(int32_t number, uint64_t size) {
    if (passedOver_.size() >= kRememberedPassedOver) passedOver_.clear();
    if (!passedOver_.emplace(number, size).second) return;
    popLink_.LogStatus("Message " + std::to_string(number) + " of " + std::to_string(size) +
                       " bytes is larger than MaxMessageSize: left on the server");
}

// RETR of the message at POPMessageIndex, or QUIT after the last.
void TarvixPOP2SMTP_Main::RetrieveNextOrQuit() {
    if (POPMessageIndex >= pop_.m_POPMessageCount) {
        SendPOPDataRow("QUIT");
        return SetPOPState(PopState::QuitSent);
    }
    SendPOPDataRow("RETR " + std::to_string(m_POPMessageNumbers[POPMessageIndex]));
    SetPOPState(PopState::RetrSent);
}

// Whether the message being retrieved, with its unfinished line, has outgrown what its LIST
// line announced by more than the margin.
bool TarvixPOP2SMTP_Main::POPMessageTooLarge() {
    if (POPMessageIndex < 0 || POPMessageIndex >= pop_.m_POPMessageCount) return false;
    const uint64_t announced = popSizes_[POPMessageIndex];
    const uint64_t limit =
        announced > (UINT64_MAX - kSizeMargin) / 2 ? UINT64_MAX : announced * 2 + kSizeMargin;
    return pop_.messageBytes + pop_.m_ReceivedPOPData.Pending() > limit;
}

// Closes the message's file (and those of a window); one never committed goes, and the spool index
// knows it was the relay's own change.
void TarvixPOP2SMTP_Main::DropPOPFile() {
    if (!pop_.file && pop_.retrieved.empty()) return;
    spool_.Changing();
    pop_.file.reset();
    pop_.retrieved.clear();
    spool_.Restamp();
}
