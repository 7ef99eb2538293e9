// session.cpp - the POP3 conversation: USER, PASS, LIST, then RETR and DELE for each listed
// message (at most 100 per session, one at a time), then QUIT.
//
// Every server line is logged under the number of the state that handles it. A message is
// stored in the spool, durably, before its DELE is sent; when it cannot be stored the socket
// is closed without DELE and the message stays on the server for a later poll.
//
// The server's bytes are untrusted: any line, of any length and content, is handled. Lines are
// cut from the receive buffer by offset and the buffer is compacted once per event, so a large
// message costs time linear in its size.
#include "shell/main_object.h"
#include "shell/procs.h"
#include "spool/spool.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

constexpr int16_t kPositive = 0, kNegative = 1, kEndMarker = 2, kOther = 3;

// The kind of a line; a line that starts with "." and is longer keeps the kind of the line
// before it in the same event.
int16_t ClassifyPOPLine(std::string_view line, int16_t previous) {
    if (line.empty()) return kOther;
    switch (line.front()) {
        case '+':
            return kPositive;
        case '.':
            return line.size() == 1 ? kEndMarker : previous;
        case '-':
            return kNegative;
        default:
            return kOther;
    }
}

bool IsPlainDecimal(const std::string& field) {
    return !field.empty() && field.find_first_not_of("0123456789") == std::string::npos;
}

// A line is everything before its LF, with every CR removed wherever it stands. Most lines end
// in CR LF and hold no other CR: they are viewed in place; the others are copied to `scratch`.
std::string_view TakeLine(const std::string& buffer, std::size_t begin, std::size_t end,
                          std::string& scratch) {
    std::string_view line(buffer.data() + begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find('\r') == std::string_view::npos) return line;
    scratch.assign(line);
    std::erase(scratch, '\r');
    return scratch;
}

}  // namespace

void TarvixPOP2SMTP_Main::Winsock_POP_Client_DataArrival(int32_t /*bytesTotal*/) {
    std::string data;
    try {
        Winsock_POP_Client.GetData(data);
    } catch (const std::exception&) {
    }
    // Between events the buffer holds at most an unfinished line, so only the new bytes can
    // hold the next line feed.
    std::size_t searchFrom = m_ReceivedPOPData.size();
    m_ReceivedPOPData += data;

    int16_t replyKind = kPositive;
    std::size_t begin = 0;
    std::string scratch;
    for (std::size_t lf; (lf = m_ReceivedPOPData.find('\n', searchFrom)) != std::string::npos;) {
        // The view stays valid while the line is handled: nothing in the handling touches the
        // receive buffer.
        const std::string_view line = TakeLine(m_ReceivedPOPData, begin, lf, scratch);
        begin = searchFrom = lf + 1;
        WriteLog("(<- POP3) ", line, m_POPState);
        replyKind = ClassifyPOPLine(line, replyKind);
        HandlePOPLine(line, replyKind);
        if (begin > m_ReceivedPOPData.size()) {  // the session was reset while handling
            begin = searchFrom = m_ReceivedPOPData.size();
        }
    }
    m_ReceivedPOPData.erase(0, begin);
}

void TarvixPOP2SMTP_Main::HandlePOPLine(std::string_view line, int16_t replyKind) {
    switch (m_POPState) {
        case 0:  // idle: a line that comes anyway is taken as the greeting
        case 1:
            if (replyKind != kPositive) return Winsock_POP_Client.Close();
            SendPOPDataRow("USER " + m_POPUser);
            m_POPState = 2;
            return;
        case 2:
            if (replyKind != kPositive) return Winsock_POP_Client.Close();
            SendPOPDataRow("PASS " + m_POPPassword);
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
                if (POPMessageIndex >= m_POPMessageCount) {
                    SendPOPDataRow("QUIT");
                    m_POPState = 9;
                } else {
                    SendPOPDataRow("RETR " + std::to_string(m_POPMessageNumbers[0]));
                    m_POPState = 6;
                }
                return;
            }
            if (std::string number = GetField(line, 0, " "); IsPlainDecimal(number)) {
                POPMessageIndex = ReadInt32(number);
                if (m_POPMessageCount < kMaxMessagesPerSession) {
                    std::string size = GetField(line, 1, " ");
                    listedSizes_[m_POPMessageCount] =
                        IsPlainDecimal(size) && size.size() < 13 ? std::stoll(size) : 0;
                    m_POPMessageNumbers[m_POPMessageCount++] = POPMessageIndex;
                }
            }
            return;
        case 6:
            if (replyKind != kPositive) return Winsock_POP_Client.Close();
            ReserveForListedMessage();
            m_POPState = 7;
            return;
        case 7:
            if (replyKind != kEndMarker) {
                m_ReceivedPOPMessage += line;
                m_ReceivedPOPMessage += "\r\n";
                return;
            }
            StorePOPMessage();
            return;
        case 8:
            if (replyKind != kPositive) return Winsock_POP_Client.Close();
            POPMessageIndex = SaturatingAdd(POPMessageIndex, 1);
            if (POPMessageIndex >= m_POPMessageCount) {
                SendPOPDataRow("QUIT");
                m_POPState = 9;
            } else {
                SendPOPDataRow("RETR " + std::to_string(m_POPMessageNumbers[POPMessageIndex]));
                m_POPState = 6;
            }
            return;
        case 9:
            m_POPState = 0;
            Winsock_POP_Client.Close();
            return;
        default:
            return;
    }
}

// One allocation for the whole message instead of a doubling series: a large message then
// needs about its own size in memory, not up to three times that while the buffer grows.
void TarvixPOP2SMTP_Main::ReserveForListedMessage() {
    constexpr int64_t kLargestHint = int64_t{1} << 30;
    if (POPMessageIndex < 0 || POPMessageIndex >= m_POPMessageCount) return;
    const int64_t listed = listedSizes_[POPMessageIndex];
    if (listed <= 0 || listed > kLargestHint) return;
    try {
        // The listed size leaves out dot-stuffing, which the stored lines keep: some room.
        m_ReceivedPOPMessage.reserve(static_cast<std::size_t>(listed + listed / 256 + 64));
    } catch (const std::exception&) {
        // Without the hint the buffer simply grows as the lines come.
    }
}

void TarvixPOP2SMTP_Main::StorePOPMessage() {
    if (POPMessageIndex < 0 || POPMessageIndex >= m_POPMessageCount) {
        // Only a RETR of a listed number leads here; anything else is a confused session.
        WriteLog("(   POP3) Failed: message end outside a retrieval", 99);
        m_ReceivedPOPMessage.clear();
        Winsock_POP_Client.Close();
        return;
    }
    fileSystem_.CreateDirectory(g_AppPath + "Messages");
    m_InternalMessageId = spool::NextCounter(m_InternalMessageId);
    std::string base = spool::FileBase(clock_.Now(), m_InternalMessageId);
    m_ReceivedPOPMessage += "\r\n";
    std::string failure = spool::StoreMessage(fileSystem_, g_SpoolPath, base, m_ReceivedPOPMessage);
    m_ReceivedPOPMessage.clear();
    m_ReceivedPOPMessage.shrink_to_fit();
    if (!failure.empty()) {
        // Without the file, DELE would lose the message: leave it on the server instead.
        WriteLog("(   POP3) Failed: " + failure, 99);
        Winsock_POP_Client.Close();
        return;
    }
    SendPOPDataRow("DELE " + std::to_string(m_POPMessageNumbers[POPMessageIndex]));
    m_POPState = 8;
}
