// recipients.cpp - RefusedMail=keep with several recipients: each keeps its own outcome.
//
// A recipient accepted by the server, with the end of data accepted too, is done and never sent
// the message again. One that got a 4xx (or whose attempt got no final answer) is deferred and
// tried again on the ".err" schedule; one that got a 5xx is refused. The spool file leaves the
// spool only when every recipient is done; until then a record beside it, NAME.rcp, names who is
// left and who refused, each with the server's reply:
//
//     deferred<TAB>bob@c.test<TAB>451 greylisted
//     refused<TAB>carol@d.test<TAB>550 no such user
//
// A file set aside as ".rej" keeps its record of who refused it; queued again by hand, it goes to
// those. No listing pattern matches the record, so the dispatch scan never takes it for a message.
// The record is replaced by writing a new file and removing the old one just before the new one
// takes its name: a crash between the two loses the record, and the next attempt goes to every
// recipient again (a second copy, never a lost message).
//
// The record is untrusted like every spool file: it is read only up to spool::kMaxHeaderLine per
// line, a line that is not one of the two forms is ignored, and only addresses that the message
// itself names are taken from it, so a stale or edited record can narrow who gets a message but
// never add anyone.
#include <set>

#include "relay/mail/addresses.h"
#include "relay/main_object.h"
#include "relay/procs.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

bool PermanentCode(int16_t code) {
    return code >= 500 && code <= 599;
}

}  // namespace

std::string TarvixPOP2SMTP_Main::RecipientRecordPath() const {
    return spool::WithExtension(m_SMTPFileName, "rcp");
}

// The recipients an earlier attempt left: the deferred ones, or when none is (a ".rej" queued
// again by hand) the refused ones. True, and the message's own recipients kept, when there is
// no record; false when there is one that cannot be read or names none of them.
bool TarvixPOP2SMTP_Main::ReadRecipientRecord(const std::string& path, SMTPMessage& record) {
    if (!fileSystem_.Exists(path)) return true;
    Result<std::unique_ptr<FileReader>> file = fileSystem_.OpenForReading(path);
    if (!file) return false;
    std::vector<std::string> deferred;
    std::vector<std::pair<std::string, std::string>> refused;
    const std::set<std::string_view> named(record.Recipients.begin(), record.Recipients.end());
    uint64_t end = 0;
    auto onLine = [&](std::string_view line) {
        const std::size_t tab = line.find('\t'), second = line.find('\t', tab + 1);
        if (tab == line.npos || second == line.npos) return;
        std::string address(line.substr(tab + 1, second - tab - 1));
        if (!named.contains(address)) return;
        std::string_view state = line.substr(0, tab);
        if (state == "deferred") deferred.push_back(std::move(address));
        if (state == "refused") refused.emplace_back(std::move(address), line.substr(second + 1));
    };
    if (!spool::ReadHeaderLines(*file.value(), onLine, end) ||
        (deferred.empty() && refused.empty())) {
        return false;
    }
    if (deferred.empty()) {
        for (auto& entry : refused) deferred.push_back(std::move(entry.first));
        refused.clear();
    }
    record.Recipients = std::move(deferred);
    record.Refused = std::move(refused);
    return true;
}

// Ends the message's attempt with RefusedMail=keep and several recipients: `delivered` when the
// end of data was accepted, else `code` and `line` are the refusal (0 and "" for no answer) that
// applies to every recipient without one of its own. While anyone is deferred the file waits as
// ".err"; when the rest refused it is set aside as ".rej"; either way the record names them and
// true is returned. False when everyone is done: the file goes as any delivered one.
bool TarvixPOP2SMTP_Main::SettleRecipients(bool delivered, int16_t code, const std::string& line) {
    std::string text, lastDeferred, lastRefused;
    for (const auto& [address, reply] : m_SMTPMessage.Refused) {
        text += "refused\t" + address + "\t" + reply + "\n";
        lastRefused = reply;
    }
    // A recipient without a reply of its own in this attempt (the session ended before its
    // RCPT TO) gets the attempt's.
    for (std::size_t i = 0; i < m_SMTPMessage.Recipients.size(); ++i) {
        RecipientOutcome outcome = i < outcomes_.size() ? outcomes_[i] : RecipientOutcome{};
        if (outcome.code == 0 || (outcome.code >= 200 && outcome.code <= 299)) {
            if (delivered && outcome.code != 0) continue;
            outcome = {code, line};
        }
        const bool permanent = PermanentCode(outcome.code);
        text += (permanent ? "refused\t" : "deferred\t") + m_SMTPMessage.Recipients[i] + "\t" +
                outcome.reply + "\n";
        (permanent ? lastRefused : lastDeferred) =
            outcome.reply.empty() ? "no reply" : outcome.reply;
    }
    if (text.empty()) return false;
    bool deferred = !lastDeferred.empty();
    WriteLog(std::string("(SMTP) ") +
                 (deferred ? "Deferred: " + lastDeferred : "Refused, set aside: " + lastRefused),
             99);
    NoteOutcome(smtpOutcome_, deferred ? lastDeferred : lastRefused);
    // Without its record a retry would go to every recipient, also to those who have the
    // message now: it waits for the operator instead.
    if (!WriteRecipientRecord(text) && delivered) {
        WriteLog("(SMTP) Refused, set aside: the recipients left could not be recorded", 99);
        deferred = false;
    }
    RenameSpoolFile(m_SMTPFileName, deferred ? "err" : "rej");
    return true;
}

// RefusedMail=keep, a delivery that did not end well: `code` and `reply` (0 and the reason when
// there was no reply) decide whether the file waits as ".err" or is set aside as ".rej"; its
// record says why, for whoever looks (/Q), and with several recipients who is left.
void TarvixPOP2SMTP_Main::SetAside(int16_t code, const std::string& reply) {
    // A message handed over, or a file no longer there, is no one's to set aside.
    if (m_SMTPSucceed || !fileSystem_.Exists(m_SMTPFileName)) return;
    if (!m_SMTPMessage.Recipients.empty()) return void(SettleRecipients(false, code, reply));
    const bool lasting = PermanentCode(code);
    WriteLog(std::string("(SMTP) ") + (lasting ? "Refused, set aside: " : "Deferred: ") + reply,
             99);
    WriteRecipientRecord(std::string(lasting ? "refused\t" : "deferred\t") +
                         mail::BareAddress(m_SMTPMessage.To) + "\t" + reply + "\n");
    RenameSpoolFile(m_SMTPFileName, lasting ? "rej" : "err");
}

// Replaces the record of the message in delivery with `text`; false, logged, when it cannot.
bool TarvixPOP2SMTP_Main::WriteRecipientRecord(const std::string& text) {
    const std::string path = RecipientRecordPath();
    spool_.Changing();
    Status written;
    {  // a file not committed is gone before the directory's new stamp is taken
        Result<std::unique_ptr<WritableFile>> file = fileSystem_.CreateNewFile(g_SpoolPath);
        written = file.status();
        if (written) written = file.value()->Write(text);
        if (written) {
            fileSystem_.Remove(path);
            written = file.value()->Commit(path);
        }
    }
    spool_.Restamp();
    if (!written) WriteLog("(SMTP) Failed: cannot record the recipients: " + written.why(), 99);
    return written.ok();
}
