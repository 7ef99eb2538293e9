// options.h - the optional keys of [General] that go beyond the relay's described behaviour.
//
// Each is read once at start-up; absent or empty, the relay behaves exactly as described. A value
// that is not one of a key's words is logged at level 99 and the default is used. The SMTP keys
// marked "route" may also stand in a SPECIFIC_ section, for the server that section names.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class PopSecurity { None, Tls, Stls };
enum class SmtpSecurity { None, Tls, StartTls };
enum class PopAuth { User, XOAuth2 };
enum class SmtpAuth { Auto, Plain, Login, XOAuth2 };

// How to reach one SMTP server and log in to it.
struct SmtpRoute {
    std::string server;
    int port = 0;
    SmtpSecurity security = SmtpSecurity::None;
    std::string user, password, passwordCommand;
    SmtpAuth auth = SmtpAuth::Auto;

    bool WantsEhlo() const { return security == SmtpSecurity::StartTls || !user.empty(); }
    bool operator==(const SmtpRoute&) const = default;
};

struct RelayOptions {
    PopSecurity popSecurity = PopSecurity::None;
    std::string tlsTrustFile;  // empty: the system store
    PopAuth popAuth = PopAuth::User;
    std::string popPasswordCommand;
    SmtpRoute smtp;  // the [General] values of the route keys; server and port are not used
    bool forwardOriginal = false;               // ForwardMode=original
    std::vector<std::string> recipientHeaders;  // empty: one RCPT TO from the To value
    std::string allowedRecipients;              // empty: any
    bool keepRefused = false;                   // RefusedMail=keep
    bool watchSilence = false;                  // Watchdog=silence
    bool localDateZone = false;                 // DateZone=local
    bool continuous = false;                    // Dispatch=continuous
    uint64_t maxMessageSize = 0;                // MaxMessageSize: 0 is no limit
    uint64_t logKeepDays = 0;                   // LogKeepDays: 0 keeps every day file
};

// Reads the optional keys through `value` (the text of a key, empty when absent). `into` keeps
// its value for every key that is absent or empty; a value that is not understood is named in
// the returned list ("key=value") and leaves the key as it was.
using KeyReader = std::function<std::string(const char* key)>;
std::vector<std::string> ReadRouteKeys(const KeyReader& value, SmtpRoute& into);
std::vector<std::string> ReadOptions(const KeyReader& value, RelayOptions& into);
