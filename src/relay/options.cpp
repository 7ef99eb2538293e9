// options.cpp - reading the optional keys (see options.h).
#include "relay/options.h"

#include <algorithm>
#include <utility>

#include "relay/procs.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

template <typename Value>
using Words = std::initializer_list<std::pair<const char*, Value>>;

// Sets `into` from the word the key holds (letter case ignored). An empty key changes nothing.
template <typename Value>
void ReadWord(const KeyReader& value, const char* key, Words<Value> words, Value& into,
              std::vector<std::string>& unknown) {
    const std::string text(Trim(value(key), " \t"));
    if (text.empty()) return;
    for (const auto& [word, meaning] : words) {
        if (EqualNoCase(text, word)) {
            into = meaning;
            return;
        }
    }
    unknown.push_back(std::string(key) + "=" + text);
}

void ReadText(const KeyReader& value, const char* key, std::string& into) {
    std::string text = value(key);
    if (!text.empty()) into = std::move(text);
}

// "To, Cc": the names, trimmed, empty ones left out.
std::vector<std::string> NameList(std::string_view text) {
    std::vector<std::string> names;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t comma = std::min(text.find(',', at), text.size());
        std::string_view name = Trim(text.substr(at, comma - at), " \t");
        if (!name.empty()) names.emplace_back(name);
        at = comma + 1;
    }
    return names;
}

// A count (bytes, days): plain decimal digits, at least 1; anything else leaves `into` as it was.
void ReadCount(const KeyReader& value, const char* key, uint64_t& into,
               std::vector<std::string>& unknown) {
    const std::string text(Trim(value(key), " \t"));
    if (text.empty()) return;
    uint64_t bytes = 0;
    bool digits = text.size() <= 19;
    for (char c : text) digits = digits && c >= '0' && c <= '9';
    if (digits) {
        for (char c : text) bytes = bytes * 10 + static_cast<uint64_t>(c - '0');
    }
    if (!digits || bytes == 0) return unknown.push_back(std::string(key) + "=" + text);
    into = bytes;
}

}  // namespace

std::vector<std::string> ReadRouteKeys(const KeyReader& value, SmtpRoute& into) {
    std::vector<std::string> unknown;
    ReadWord(value, "SMTPSecurity",
             Words<SmtpSecurity>{{"none", SmtpSecurity::None},
                                 {"tls", SmtpSecurity::Tls},
                                 {"starttls", SmtpSecurity::StartTls}},
             into.security, unknown);
    ReadText(value, "SMTPUser", into.user);
    ReadText(value, "SMTPPassword", into.password);
    ReadText(value, "SMTPPasswordCommand", into.passwordCommand);
    ReadWord(value, "SMTPAuth",
             Words<SmtpAuth>{{"auto", SmtpAuth::Auto},
                             {"plain", SmtpAuth::Plain},
                             {"login", SmtpAuth::Login},
                             {"xoauth2", SmtpAuth::XOAuth2}},
             into.auth, unknown);
    return unknown;
}

std::vector<std::string> ReadOptions(const KeyReader& value, RelayOptions& into) {
    std::vector<std::string> unknown = ReadRouteKeys(value, into.smtp);
    ReadWord(
        value, "POPSecurity",
        Words<PopSecurity>{
            {"none", PopSecurity::None}, {"tls", PopSecurity::Tls}, {"stls", PopSecurity::Stls}},
        into.popSecurity, unknown);
    ReadText(value, "TLSTrustFile", into.tlsTrustFile);
    ReadWord(value, "POPAuth",
             Words<PopAuth>{{"user", PopAuth::User}, {"xoauth2", PopAuth::XOAuth2}}, into.popAuth,
             unknown);
    ReadText(value, "POPPasswordCommand", into.popPasswordCommand);
    ReadWord(value, "ForwardMode", Words<bool>{{"composed", false}, {"original", true}},
             into.forwardOriginal, unknown);
    into.recipientHeaders = NameList(value("RecipientHeaders"));
    ReadText(value, "AllowedRecipients", into.allowedRecipients);
    ReadWord(value, "RefusedMail", Words<bool>{{"drop", false}, {"keep", true}}, into.keepRefused,
             unknown);
    ReadWord(value, "Watchdog", Words<bool>{{"total", false}, {"silence", true}}, into.watchSilence,
             unknown);
    ReadWord(value, "DateZone", Words<bool>{{"fixed", false}, {"local", true}}, into.localDateZone,
             unknown);
    ReadCount(value, "MaxMessageSize", into.maxMessageSize, unknown);
    ReadCount(value, "LogKeepDays", into.logKeepDays, unknown);
    ReadWord(value, "Dispatch", Words<bool>{{"tick", false}, {"continuous", true}}, into.continuous,
             unknown);
    return unknown;
}
