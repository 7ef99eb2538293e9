// rules.cpp - sender routing rules from the "SPECIFIC_" sections.
//
// The rules are rebuilt from the configuration file at every dispatch tick, so an edit takes
// effect at the next tick. The file is read once per build, and parsed again only when its text
// changed (the list is then the one built before); a file that has not changed since the last
// tick, as its time and size tell, is not even read again. Every value comes out as a single key
// read would give it.
#include "relay/spool/rules.h"

#include "relay/main_object.h"
#include "relay/procs.h"
#include "relay/profile.h"

using namespace TarvixPOP2SMTP_Procs;

const std::vector<cTarvixPOP2SMTP_Specific>& TarvixPOP2SMTP_Main::LoadSpecificRules() {
    const std::string path = ConfigPath();
    std::string stamp = fileSystem_.SettledStamp(path);
    if (!stamp.empty() && stamp == rulesStamp_) return rules_;
    rulesStamp_ = std::move(stamp);
    std::string content;
    fileSystem_.ReadConfiguration(path, content);  // missing: no rules
    if (content == rulesText_) return rules_;
    ProfileFile config = ProfileFile::Parse(content);
    std::string names = config.SectionNames();
    const std::string defaultPort = std::to_string(m_SMTPPort);
    std::vector<cTarvixPOP2SMTP_Specific> rules;
    for (int32_t k = 0;; ++k) {
        std::string name = GetField(names, k, std::string_view("\0", 1));
        if (name.empty()) break;
        if (UpperCase(name.substr(0, 9)) != "SPECIFIC_") continue;
        cTarvixPOP2SMTP_Specific rule;
        rule.m_SenderAddresses = config.GetString(name, "SenderAddresses", "");
        rule.m_SMTPServer = config.GetString(name, "SMTPServer", m_SMTPServer);
        rule.m_SMTPPort = ReadInt32(config.GetString(name, "SMTPPort", defaultPort));
        rule.m_Route = options_.smtp;
        ReadRouteKeys([&](const char* key) { return config.GetString(name, key, ""); },
                      rule.m_Route);
        rule.m_Route.server = rule.m_SMTPServer;
        rule.m_Route.port = rule.m_SMTPPort;
        rules.push_back(std::move(rule));
    }
    rulesText_ = std::move(content);
    rules_ = std::move(rules);
    return rules_;
}

namespace TarvixPOP2SMTP_Procs {

bool MatchesPatternList(const std::string& address, const std::string& patterns) {
    const std::string upper = UpperCase(address);
    // An empty entry ends the list, even when more entries follow.
    for (int32_t j = 0;; ++j) {
        std::string entry(Trim(GetField(patterns, j, ",")));
        if (entry.empty()) return false;
        if (MatchWildcard(upper, UpperCase(entry))) return true;
    }
}

const cTarvixPOP2SMTP_Specific* SelectSMTPServer(const std::string& senderAddress,
                                                 const std::vector<cTarvixPOP2SMTP_Specific>& rules,
                                                 std::string& server, int32_t& port) {
    for (const cTarvixPOP2SMTP_Specific& rule : rules) {
        if (MatchesPatternList(senderAddress, rule.m_SenderAddresses)) {
            server = rule.m_SMTPServer;
            port = rule.m_SMTPPort;
            return &rule;
        }
    }
    return nullptr;
}

}  // namespace TarvixPOP2SMTP_Procs
