// dispatch.cpp - the dispatch scan: the tick of Timer_SMTP that moves spooled mail to delivery.
//
// Each tick rebuilds the routing rules from the configuration file and takes one of three
// branches: busy (count towards the 10000 ms watchdog of the running SMTP session), delivered
// (delete the handed-over file), or idle (re-queue ".err" files every 30000 ms, queue one
// ".msg", take the first ".snd", read its envelope headers and start its delivery). The spool
// directory is not listed at every tick: the index follows the relay's own changes and lists it
// again when the directory changed otherwise, and at every re-queue.
//
// With Dispatch=continuous a delivery that ends well takes the next file at once and, when it
// goes to the same server, sends it on the same connection.
//
// Spool files are untrusted input: a file without the needed headers is dropped with a log line
// (set aside with RefusedMail=keep); a file that cannot be read is parked as ".err" so that it
// cannot block the queue.
#include "relay/mail/addresses.h"
#include "relay/main_object.h"
#include "relay/procs.h"
#include "relay/spool/rules.h"

using namespace TarvixPOP2SMTP_Procs;

void TarvixPOP2SMTP_Main::Timer_SMTP_Timer() {
    const std::vector<cTarvixPOP2SMTP_Specific>& rules = LoadSpecificRules();

    if (smtp_.m_SMTPState != SmtpState::Idle) {
        if (smtpLink_.WatchdogExpired(SMTPBusyTime, Timer_SMTP.Interval(), options_.watchSilence)) {
            // No reply in time: with RefusedMail=keep the file waits for the next re-queue.
            if (!SessionBeforeHandover(smtp_.m_SMTPState)) return CloseAndShutdownSMTPClient();
            EndSMTPSessionUnanswered("no reply within 10 s");
        }
        return;
    }
    if (m_SMTPSucceed) {
        DeleteDeliveredMessage();
        return UpdateStatus();
    }

    ErrRetryTime = SaturatingAdd(ErrRetryTime, Timer_SMTP.Interval());
    const bool requeue = ErrRetryTime >= kErrRetryMs;
    spool_.Refresh(g_SpoolPath, requeue);
    if (requeue) {
        const std::set<std::string> failed = spool_.Names("err");
        for (const std::string& name : failed) RenameSpoolFile(g_SpoolPath + name, "snd");
        ErrRetryTime = 0;
    }
    QueueOneStoredMessage();
    SmtpRoute route;
    if (TakeQueuedMessage(rules, route)) {
        SMTPBusyTime = 0;
        route_ = route;
        SMTPSend(route.server, route.port);
    }
    UpdateStatus();
}

void TarvixPOP2SMTP_Main::QueueOneStoredMessage() {
    const std::string stored = spool_.First("msg");
    if (!stored.empty()) RenameSpoolFile(g_SpoolPath + stored, "snd");
}

// False when the file stays: it is then offered again, as a file that was never sent.
bool TarvixPOP2SMTP_Main::DeleteDeliveredMessage() {
    m_SMTPSucceed = false;
    m_SMTPMessage.Body.file.reset();  // a large message's disk space is freed with the name
    spool_.Changing();
    if (!fileSystem_.Remove(m_SMTPFileName)) {
        WriteLog("(SMTP) Failed: cannot remove " + m_SMTPFileName, 99);
        return false;
    }
    spool_.Removed(m_SMTPFileName.substr(g_SpoolPath.size()));
    // A record of recipients left by earlier attempts goes with its message.
    if (options_.keepRefused) fileSystem_.Remove(RecipientRecordPath());
    return true;
}

// Renames a spool file to another extension, keeping the index in step; false when the file
// is gone or the new name is taken.
bool TarvixPOP2SMTP_Main::RenameSpoolFile(const std::string& path, const char* extension) {
    const std::string renamed = spool::WithExtension(path, extension);
    if (path.empty()) return false;
    spool_.Changing();
    if (!fileSystem_.RenameNoReplace(path, renamed)) return false;
    if (path.compare(0, g_SpoolPath.size(), g_SpoolPath) == 0) {
        spool_.Renamed(path.substr(g_SpoolPath.size()), renamed.substr(g_SpoolPath.size()));
    }
    return true;
}

SmtpRoute TarvixPOP2SMTP_Main::RouteFor(const cTarvixPOP2SMTP_Specific* rule,
                                        const std::string& server, int32_t port) const {
    SmtpRoute route = rule ? rule->m_Route : options_.smtp;
    route.server = server;
    route.port = port;
    return route;
}

// Takes the first queued file: reads its envelope headers into the message record, chooses the
// server by its From address, and keeps the file open for the body. False when there is none, or
// when it was parked, dropped or set aside instead.
bool TarvixPOP2SMTP_Main::TakeQueuedMessage(const std::vector<cTarvixPOP2SMTP_Specific>& rules,
                                            SmtpRoute& route) {
    const std::string name = spool_.First("snd");
    if (name.empty()) return false;
    m_SMTPFileName = g_SpoolPath + name;
    SMTPMessage record;
    record.FileBase = name.substr(0, name.size() - 3);

    Result<std::unique_ptr<FileReader>> opened = fileSystem_.OpenForReading(m_SMTPFileName);
    std::shared_ptr<FileReader> file = opened.take();
    std::string server = m_SMTPServer;
    int32_t port = m_SMTPPort;
    const cTarvixPOP2SMTP_Specific* rule = nullptr;
    mail::FieldCollector recipientFields(options_.recipientHeaders);
    auto onLine = [&](std::string_view line) {
        recipientFields.Add(line);
        // Only the text between the first and the second colon is the value: "Subject: Re: x"
        // gives "Re". Folded continuation lines are judged as lines of their own.
        const std::string key = UpperCase(Trim(GetField(line, 0, ":")));
        if (key != "RETURN-PATH" && key != "FROM" && key != "TO" && key != "SUBJECT") return;
        std::string value(Trim(GetField(line, 1, ":")));
        if (key == "RETURN-PATH") {
            record.ReturnPath = std::move(value);
        } else if (key == "FROM") {
            const std::string address(Trim(GetField(GetField(value, 1, "<"), 0, ">")));
            if (!address.empty()) {
                if (auto* matched = SelectSMTPServer(address, rules, server, port)) rule = matched;
            }
            record.From = std::move(value);
        } else if (key == "TO") {
            record.To = std::move(value);
        } else {
            record.Subject = std::move(value);
        }
    };
    const Status read =
        file ? spool::ReadHeaderLines(*file, onLine, record.Body.offset) : opened.status();
    if (!read) {
        WriteLog("(SMTP) Failed: " + read.why(), 99);
        RenameSpoolFile(m_SMTPFileName, "err");
        return false;
    }
    record.Body.file = std::move(file);
    mail::AddAddresses(recipientFields.Text(), record.Recipients);
    // Recipients that earlier attempts left, when they left a record (RefusedMail=keep). A
    // record that names none of them cannot say who already has the message: set aside.
    if (options_.keepRefused && !record.Recipients.empty() &&
        !ReadRecipientRecord(spool::WithExtension(m_SMTPFileName, "rcp"), record)) {
        WriteLog("(SMTP) Refused, set aside: its recipient record names none of its recipients",
                 99);
        RenameSpoolFile(m_SMTPFileName, "rej");
        return false;
    }

    const bool named =
        options_.recipientHeaders.empty() ? !record.To.empty() : !record.Recipients.empty();
    // A message forwarded as retrieved to the recipients its own fields name needs no sender:
    // the envelope sender is its Return-Path or "<>", and the default route takes it.
    const bool sender = (options_.forwardOriginal && !options_.recipientHeaders.empty()) ||
                        (!record.ReturnPath.empty() && !record.From.empty());
    if (!sender || !named) {
        WriteLog("(SMTP) Missing data in message", 99);
        if (!options_.keepRefused) {
            spool_.Changing();
            if (fileSystem_.Remove(m_SMTPFileName)) spool_.Removed(name);
        } else {
            RenameSpoolFile(m_SMTPFileName, "rej");
        }
        return false;
    }
    if (!options_.allowedRecipients.empty() && !KeepAllowedRecipients(record)) {
        WriteLog("(SMTP) Refused, set aside: no allowed recipient", 99);
        RenameSpoolFile(m_SMTPFileName, "rej");
        return false;
    }
    m_SMTPMessage = std::move(record);
    outcomes_.clear();  // the replies of the last message's attempt are not this one's
    route = RouteFor(rule, server, port);
    return true;
}

// AllowedRecipients: recipients that match no pattern are not relayed (logged). False when none
// is left.
bool TarvixPOP2SMTP_Main::KeepAllowedRecipients(SMTPMessage& record) {
    auto allowed = [&](const std::string& address) {
        if (MatchesPatternList(address, options_.allowedRecipients)) return true;
        WriteLog("(SMTP) Not relayed to " + address + ": not an allowed recipient", 99);
        return false;
    };
    if (record.Recipients.empty()) return allowed(mail::BareAddress(record.To));
    std::erase_if(record.Recipients, [&](const std::string& a) { return !allowed(a); });
    return !record.Recipients.empty();
}

// Dispatch=continuous, after the end of data was accepted: the file goes at once and the next
// queued file is taken; on the same route it follows on this connection, else after QUIT. A
// file that cannot be removed is left to the next tick rather than sent again at once.
void TarvixPOP2SMTP_Main::DeliverNextOnThisConnection(bool fileKept) {
    const bool removed = fileKept || DeleteDeliveredMessage();
    const std::vector<cTarvixPOP2SMTP_Specific>& rules = LoadSpecificRules();
    spool_.Refresh(g_SpoolPath, false);
    if (spool_.First("snd").empty()) QueueOneStoredMessage();
    SmtpRoute next;
    if (removed && TakeQueuedMessage(rules, next)) {
        SMTPBusyTime = 0;
        if (next == route_) return SendMailFrom();
        smtp_.nextRoute = next;
    }
    SendSMTPDataRow("QUIT");
    smtp_.m_SMTPState = SmtpState::QuitSent;
}

void TarvixPOP2SMTP_Main::StartTakenDelivery() {
    route_ = *smtp_.nextRoute;
    SMTPBusyTime = 0;
    SMTPSend(route_.server, route_.port);
}
