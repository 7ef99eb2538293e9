// status.cpp - what an operator sees of a running relay without its log: the service's status
// line, and the spool report of "/Q".
//
// The status line is "N queued, N failed, N refused; POP3 HH:MM ok; SMTP HH:MM failed: reason":
// the spool's counts by state (".msg" and ".snd" queued, ".err" failed, ".rej" refused) and how
// the last session of each side ended ("-" before the first). It is composed only in a service
// run and handed on only when it changed.
//
// The report lists every waiting spool file: its state, name, age (from the time in its name),
// size and sender, and for a failed or refused one the replies its record keeps; then the counts.
// File names, senders and replies are untrusted: control bytes show as "?".
#include <cstdio>

#include "relay/mail/addresses.h"
#include "relay/main_object.h"
#include "relay/procs.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

constexpr std::size_t kShownReply = 200;

std::string Counts(std::size_t queued, std::size_t failed, std::size_t refused) {
    return std::to_string(queued) + " queued, " + std::to_string(failed) + " failed, " +
           std::to_string(refused) + " refused";
}

// "5s", "3m", "2h", "4d" since the time in a spool name ("yyyymmdd_hhnnss_..."); "?" without one.
std::string Age(const std::string& name, const LocalTime& now) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, end = 0;
    if (std::sscanf(name.c_str(), "%4d%2d%2d_%2d%2d%2d_%n", &y, &mo, &d, &h, &mi, &s, &end) != 6 ||
        end != 16) {
        return "?";
    }
    const int64_t seconds =
        (DayNumber(now.year, now.month, now.day) - DayNumber(y, mo, d)) * 86400 +
        (now.hour - h) * 3600 + (now.minute - mi) * 60 + (now.second - s);
    if (seconds < 0) return "?";
    for (auto [unit, size] : {std::pair{'d', 86400}, {'h', 3600}, {'m', 60}}) {
        if (seconds >= size) return std::to_string(seconds / size) + unit;
    }
    return std::to_string(seconds) + "s";
}

std::string Size(uint64_t bytes) {
    if (bytes < 10 * 1024) return std::to_string(bytes) + " B";
    if (bytes < 10 * 1024 * 1024) return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes / (1024 * 1024)) + " MiB";
}

// The first Return-Path or From address of a spool file, and its size.
std::string SenderAndSize(FileSystem& files, const std::string& path, uint64_t& size) {
    std::string sender;
    uint64_t end = 0;
    auto file = files.OpenForReading(path);
    if (!file) return sender;
    size = file.value()->Size();
    // A file that fails to read shows what was read of it.
    (void)spool::ReadHeaderLines(
        *file.value(),
        [&](std::string_view line) {
            const std::string key = UpperCase(Trim(GetField(line, 0, ":")));
            if (sender.empty() && (key == "FROM" || key == "RETURN-PATH")) {
                sender = mail::BareAddress(Trim(line.substr(line.find(':') + 1)));
            }
        },
        end);
    return sender;
}

// "address: reply; ..." from a recipient record, at most about kShownReply bytes of it.
std::string RecordedReplies(FileSystem& files, const std::string& path) {
    std::string replies;
    uint64_t end = 0;
    auto record = files.OpenForReading(path);
    if (!record) return replies;
    (void)spool::ReadHeaderLines(
        *record.value(),
        [&](std::string_view line) {
            if (replies.size() >= kShownReply) return;
            replies += (replies.empty() ? "" : "; ") + GetField(line, 1, "\t") + ": " +
                       GetField(line, 2, "\t");
        },
        end);
    return replies;
}

}  // namespace

void TarvixPOP2SMTP_Main::RunSpoolReport() {
    const LocalTime now = clock_.Now();
    std::string report;
    std::size_t counts[3] = {0, 0, 0};
    const struct {
        const char* extension;
        const char* state;
        int count;
    } kinds[] = {
        {"msg", "queued", 0}, {"snd", "queued", 0}, {"err", "failed", 1}, {"rej", "refused", 2}};
    for (const auto& kind : kinds) {
        for (const std::string& name :
             fileSystem_.ListFiles(g_SpoolPath, std::string(".") + kind.extension)) {
            ++counts[kind.count];
            uint64_t size = 0;
            const std::string sender = SenderAndSize(fileSystem_, g_SpoolPath + name, size);
            const std::string replies =
                kind.count > 0
                    ? RecordedReplies(fileSystem_, g_SpoolPath + spool::WithExtension(name, "rcp"))
                    : std::string();
            char head[64];
            std::snprintf(head, sizeof head, "%-8s", kind.state);
            report += head + Printable(name) + "  " + Age(name, now) + "  " + Size(size) + "  " +
                      Printable(sender.empty() ? "-" : sender) +
                      (replies.empty() ? "" : "  " + Printable(replies.substr(0, kShownReply))) +
                      "\n";
        }
    }
    report += Counts(counts[0], counts[1], counts[2]);
    frontEnd_.MessageBox(report);
    frontEnd_.EndProcess(0);
}

// `failure` empty: the session ended well.
void TarvixPOP2SMTP_Main::NoteOutcome(Outcome& outcome, std::string_view failure) {
    const LocalTime now = clock_.Now();
    char time[8];
    std::snprintf(time, sizeof time, "%02d:%02d", now.hour % 100, now.minute % 100);
    outcome = {true, failure.empty(), time, std::string(failure.substr(0, kShownReply))};
    UpdateStatus();
}

void TarvixPOP2SMTP_Main::UpdateStatus() {
    if (!g_RunAsService) return;
    auto shown = [](const char* side, const Outcome& o) {
        if (!o.seen) return std::string(side) + " -";
        return std::string(side) + " " + o.time + (o.ok ? " ok" : " failed: " + o.reason);
    };
    std::string text =
        Printable(Counts(spool_.Names("msg").size() + spool_.Names("snd").size(),
                         spool_.Names("err").size(), spool_.Names("rej").size()) +
                  "; " + shown("POP3", popOutcome_) + "; " + shown("SMTP", smtpOutcome_));
    if (text == statusText_) return;
    statusText_ = std::move(text);
    NTService.SetStatus(statusText_);
}
