// window.cpp - retrieval with Dispatch=continuous: the messages in windows, each window
// committed to the spool as a group before its DELE commands.
//
// In this mode the login is followed by CAPA. The listed messages are retrieved kWindow at a
// time: with PIPELINING offered, every RETR of a window goes out at once and the replies are
// taken in order; without it, one RETR per reply as in the default mode. Each message goes to its
// own temporary spool file as it arrives. When the window's last message is in, the files are
// committed together: the data of all of them made durable with one sync (one fsync for a window
// of one), each given its ".msg" name, the spool directory synced once. Only then do the
// window's DELE commands go out, pipelined where the server allows it and followed in the same
// write by the next window's RETRs; without PIPELINING one DELE per reply.
//
// The promise is the default mode's: no DELE before the message's file is durable. A POP3
// server deletes only when the session ends with QUIT, so a crash at any point leaves each
// message on the server, in the spool, or both (then it is delivered twice), never neither. A
// window that cannot be committed whole is not committed at all: its named files are removed
// again and the socket is closed without DELE, so its messages stay on the server only.
//
// A window is bounded in messages (kWindow), and each message in bytes as in the default mode;
// the server's bytes are untrusted as there.
#include <algorithm>

#include "relay/main_object.h"
#include "relay/procs.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {
constexpr int32_t kWindow = 32;
}  // namespace

// The next window's RETRs, or QUIT after the last message.
void TarvixPOP2SMTP_Main::RetrieveWindow() {
    if (POPMessageIndex >= pop_.m_POPMessageCount) {
        SendPOPDataRow("QUIT");
        return SetPOPState(PopState::QuitSent);
    }
    SendWindowRetrs();
    SetPOPState(PopState::RetrSent);
}

// Opens the window after the last retrieved message: RETR for its first message, or with
// PIPELINING for all of them.
void TarvixPOP2SMTP_Main::SendWindowRetrs() {
    pop_.windowEnd = std::min<int32_t>(pop_.m_POPMessageCount, POPMessageIndex + kWindow);
    pop_.retrSent = POPMessageIndex;
    do {
        SendPOPDataRow("RETR " + std::to_string(m_POPMessageNumbers[pop_.retrSent++]));
    } while (pop_.pipelining && pop_.retrSent < pop_.windowEnd);
}

// A message of the window is in: its file waits for the window's commit.
void TarvixPOP2SMTP_Main::StoreInWindow() {
    if (!FinishPOPMessage()) return;
    pop_.retrieved.push_back(std::move(pop_.file));
    POPMessageIndex = SaturatingAdd(POPMessageIndex, 1);
    if (POPMessageIndex < pop_.windowEnd) {
        if (pop_.retrSent == POPMessageIndex) {  // without PIPELINING: one RETR per reply
            SendPOPDataRow("RETR " + std::to_string(m_POPMessageNumbers[pop_.retrSent++]));
        }
        return SetPOPState(PopState::RetrSent);
    }
    CommitWindow();
}

// The window's files made durable and named together, then its DELEs.
void TarvixPOP2SMTP_Main::CommitWindow() {
    std::vector<std::string> names;
    spool_.Changing();
    Status committed = pop_.retrieved.size() == 1 ? pop_.retrieved.front()->Sync()
                                                  : fileSystem_.SyncFileSystem(g_SpoolPath);
    for (std::size_t i = 0; committed && i < pop_.retrieved.size(); ++i) {
        Result<std::string> name = NextSpoolName();
        committed = name.status();
        if (committed) committed = pop_.retrieved[i]->Publish(g_SpoolPath + name.value());
        if (committed) names.push_back(name.take());
    }
    if (committed) committed = fileSystem_.SyncDirectory(g_SpoolPath);
    if (!committed) {
        for (const std::string& name : names) fileSystem_.Remove(g_SpoolPath + name);
        spool_.Restamp();
        return FailStoring(committed);
    }
    pop_.retrieved.clear();  // named: closing them changes nothing in the directory
    for (const std::string& name : names) spool_.Added(name);
    pop_.deleEnd = POPMessageIndex;
    pop_.deleSent = pop_.deleAnswered = POPMessageIndex - static_cast<int32_t>(names.size());
    SendWindowDeles();
    SetPOPState(PopState::DeleSent);
}

// DELE for the next committed message, or with PIPELINING for all of them and the next window's
// RETRs behind them.
void TarvixPOP2SMTP_Main::SendWindowDeles() {
    do {
        SendPOPDataRow("DELE " + std::to_string(m_POPMessageNumbers[pop_.deleSent++]));
    } while (pop_.pipelining && pop_.deleSent < pop_.deleEnd);
    if (pop_.pipelining && pop_.deleSent == pop_.deleEnd &&
        POPMessageIndex < pop_.m_POPMessageCount) {
        SendWindowRetrs();
    }
}

// A DELE was answered: the next one, or when the window is done the next window's replies.
void TarvixPOP2SMTP_Main::AfterWindowDele() {
    if (++pop_.deleAnswered < pop_.deleEnd) {
        if (pop_.deleSent == pop_.deleAnswered) SendWindowDeles();
        return;
    }
    // With PIPELINING the next window's RETRs went out behind the DELEs.
    if (pop_.retrSent > POPMessageIndex) return SetPOPState(PopState::RetrSent);
    RetrieveWindow();
}
