// dispatch.cpp - the dispatch scan: the tick of Timer_SMTP that moves spooled mail to delivery.
//
// Each tick rebuilds the routing rules from the configuration file and takes one of three
// branches: busy (count towards the 10000 ms watchdog of the running SMTP session), delivered
// (delete the handed-over file), or idle (re-queue ".err" files every 30000 ms, queue one
// ".msg", take the first ".snd", read it and start its delivery).
//
// Spool files are untrusted input: a file without the needed headers is dropped with a log
// line; a file that cannot be read is parked as ".err" so that it cannot block the queue.
#include <algorithm>

#include "shell/main_object.h"
#include "shell/procs.h"
#include "spool/rules.h"
#include "spool/spool.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

// Splits a spool file into lines at LF; a CR before the LF is not part of the line. Text after
// the last LF is a last line of its own.
class LineReader {
  public:
    explicit LineReader(std::string_view text) : text_(text) {}
    bool Next(std::string_view& line) {
        if (pos_ >= text_.size()) return false;
        std::size_t lf = text_.find('\n', pos_);
        std::size_t end = (lf == std::string_view::npos) ? text_.size() : lf;
        line = text_.substr(pos_, end - pos_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos_ = end + 1;
        return true;
    }
    // Where the text not read yet begins.
    std::size_t Offset() const { return std::min(pos_, text_.size()); }
    // Everything not read yet.
    std::string_view Rest() const {
        return pos_ < text_.size() ? text_.substr(pos_) : std::string_view();
    }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// Every line of `text` ends with CR LF: then the text is its own lines joined with CR LF.
bool IsCrLfText(std::string_view text) {
    if (!text.empty() && text.back() != '\n') return false;
    for (std::size_t lf = text.find('\n'); lf != std::string_view::npos;
         lf = text.find('\n', lf + 1)) {
        if (lf == 0 || text[lf - 1] != '\r') return false;
    }
    return true;
}

bool HasExtension(std::string_view name, std::string_view extension) {
    return name.size() >= extension.size() &&
           name.substr(name.size() - extension.size()) == extension;
}

void RemoveTrailingLineBreaks(std::string& body) {
    while (body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0)
        body.resize(body.size() - 2);
}

}  // namespace

void TarvixPOP2SMTP_Main::Timer_SMTP_Timer() {
    std::vector<cTarvixPOP2SMTP_Specific> rules = LoadSpecificRules();
    std::string server = m_SMTPServer;
    int32_t port = m_SMTPPort;

    if (m_SMTPState != 0) {
        SMTPBusyTime = SaturatingAdd(SMTPBusyTime, Timer_SMTP.Interval());
        if (SMTPBusyTime > kWatchdogMs) CloseAndShutdownSMTPClient();
        return;
    }
    if (m_SMTPSucceed) {
        fileSystem_.Remove(m_SMTPFileName);
        m_SMTPSucceed = false;
        return;
    }

    // One listing serves the whole tick; the renames made below are applied to it.
    std::vector<std::string> names = fileSystem_.ListFiles(g_SpoolPath, "");
    auto requeue = [&](std::string& listed) {
        std::string renamed = spool::WithExtension(listed, "snd");
        if (fileSystem_.RenameNoReplace(g_SpoolPath + listed, g_SpoolPath + renamed)) {
            listed = std::move(renamed);
        }
    };
    ErrRetryTime = SaturatingAdd(ErrRetryTime, Timer_SMTP.Interval());
    if (ErrRetryTime >= kErrRetryMs) {
        for (std::string& name : names) {
            if (HasExtension(name, ".err")) requeue(name);
        }
        ErrRetryTime = 0;
    }
    auto first = [&](std::string_view extension) {
        auto it = names.end();
        for (auto n = names.begin(); n != names.end(); ++n) {
            if (HasExtension(*n, extension) && (it == names.end() || *n < *it)) it = n;
        }
        return it;
    };
    if (auto stored = first(".msg"); stored != names.end()) requeue(*stored);
    auto queued = first(".snd");
    if (queued == names.end()) return;

    const std::string name = *queued;
    m_SMTPFileName = g_SpoolPath + name;
    SMTPMessage record;
    record.FileBase = name.substr(0, name.size() - 3);
    if (!ReadSpoolFile(m_SMTPFileName, record, server, port, rules)) return;

    if (!record.ReturnPath.empty() && !record.From.empty() && !record.To.empty()) {
        SMTPBusyTime = 0;
        m_SMTPMessage = std::move(record);
        SMTPSend(server, port);
    } else {
        WriteLog("(SMTP) Missing data in message", 99);
        fileSystem_.Remove(m_SMTPFileName);
    }
}

// Reads the envelope headers and the body of a queued file into `record`, choosing the server
// by the From address on the way. A file that cannot be read is renamed to ".err".
bool TarvixPOP2SMTP_Main::ReadSpoolFile(const std::string& path, SMTPMessage& record,
                                        std::string& server, int32_t& port,
                                        const std::vector<cTarvixPOP2SMTP_Specific>& rules) {
    std::string content, error;
    if (!fileSystem_.ReadFile(path, content, error)) {
        WriteLog("(SMTP) Failed: " + error, 99);
        fileSystem_.RenameNoReplace(path, spool::WithExtension(path, "err"));
        return false;
    }
    LineReader reader(content);
    std::string_view line;
    while (reader.Next(line)) {
        if (line.empty()) {
            // The body is every remaining line followed by CR LF. A file written by the relay
            // is in that form already and is taken in one piece.
            if (IsCrLfText(reader.Rest())) {
                // Moved, not copied: a large message is then held once, not twice.
                content.erase(0, reader.Offset());
                record.Body = std::move(content);
            } else {
                while (reader.Next(line)) {
                    record.Body += line;
                    record.Body += "\r\n";
                }
            }
            RemoveTrailingLineBreaks(record.Body);
            break;
        }
        // Only the text between the first and the second colon is the value: "Subject: Re: x"
        // gives "Re". Folded continuation lines are judged as lines of their own.
        std::string key = UpperCase(TrimSpaces(GetField(line, 0, ":")));
        if (key != "RETURN-PATH" && key != "FROM" && key != "TO" && key != "SUBJECT") continue;
        std::string value = TrimSpaces(GetField(line, 1, ":"));
        if (key == "RETURN-PATH") {
            record.ReturnPath = value;
        } else if (key == "FROM") {
            std::string address = TrimSpaces(GetField(GetField(value, 1, "<"), 0, ">"));
            if (!address.empty()) SelectSMTPServer(address, rules, server, port);
            record.From = std::move(value);
        } else if (key == "TO") {
            record.To = std::move(value);
        } else {
            record.Subject = std::move(value);
        }
    }
    return true;
}
