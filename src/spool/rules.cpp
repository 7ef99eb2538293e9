// rules.cpp - sender routing rules from the "SPECIFIC_" sections, and the wildcard matcher.
//
// The rules are rebuilt from the configuration file at every dispatch tick, so an edit takes
// effect at the next tick. The file is read and parsed once per build; every value comes out
// as a single key read would give it.
#include "spool/rules.h"

#include <vector>

#include "shell/main_object.h"
#include "shell/procs.h"
#include "shell/profile.h"

using namespace TarvixPOP2SMTP_Procs;

std::vector<cTarvixPOP2SMTP_Specific> TarvixPOP2SMTP_Main::LoadSpecificRules() {
    std::vector<cTarvixPOP2SMTP_Specific> rules;
    std::string content, error;
    if (!fileSystem_.ReadFile(g_AppPath + kConfigFileName, content, error)) return rules;
    ProfileFile config = ProfileFile::Parse(content);
    std::string names = config.SectionNames();
    const std::string defaultPort = std::to_string(m_SMTPPort);
    for (int32_t k = 0;; ++k) {
        std::string name = GetField(names, k, std::string_view("\0", 1));
        if (name.empty()) break;
        if (UpperCase(name.substr(0, 9)) != "SPECIFIC_") continue;
        cTarvixPOP2SMTP_Specific rule;
        rule.m_SenderAddresses = config.GetString(name, "SenderAddresses", "");
        rule.m_SMTPServer = config.GetString(name, "SMTPServer", m_SMTPServer);
        rule.m_SMTPPort = ReadInt32(config.GetString(name, "SMTPPort", defaultPort));
        rules.push_back(std::move(rule));
    }
    return rules;
}

namespace TarvixPOP2SMTP_Procs {

void SelectSMTPServer(const std::string& senderAddress,
                      const std::vector<cTarvixPOP2SMTP_Specific>& rules, std::string& server,
                      int32_t& port) {
    const std::string sender = UpperCase(senderAddress);
    for (const cTarvixPOP2SMTP_Specific& rule : rules) {
        // An empty entry ends the list of its rule, even when more entries follow.
        for (int32_t j = 0;; ++j) {
            std::string entry = TrimSpaces(GetField(rule.m_SenderAddresses, j, ","));
            if (entry.empty()) break;
            if (MatchWildcard(sender, UpperCase(entry))) {
                server = rule.m_SMTPServer;
                port = rule.m_SMTPPort;
                return;
            }
        }
    }
}

namespace {

struct Segment {
    enum Kind { kLiteral, kSkip, kStar } kind;
    std::string_view literal;  // kLiteral and kStar
    std::size_t count = 0;     // kSkip
};

constexpr std::size_t kMaxSegments = 31;

std::vector<Segment> SplitPattern(std::string_view pattern) {
    std::vector<Segment> segments;
    std::size_t i = 0;
    auto literalEnd = [&](std::size_t from) {
        std::size_t end = pattern.find_first_of("*?", from);
        return end == std::string_view::npos ? pattern.size() : end;
    };
    while (i < pattern.size() && segments.size() < kMaxSegments) {
        if (pattern[i] == '*') {
            std::size_t end = literalEnd(i + 1);
            segments.push_back({Segment::kStar, pattern.substr(i + 1, end - i - 1)});
            i = end;
        } else if (pattern[i] == '?') {
            std::size_t end = pattern.find_first_not_of('?', i);
            if (end == std::string_view::npos) end = pattern.size();
            segments.push_back({Segment::kSkip, {}, end - i});
            i = end;
        } else {
            std::size_t end = literalEnd(i);
            segments.push_back({Segment::kLiteral, pattern.substr(i, end - i)});
            i = end;
        }
    }
    return segments;
}

}  // namespace

bool MatchWildcard(std::string_view text, std::string_view pattern) {
    if (pattern == "*") return true;
    if (text.empty()) return false;
    std::vector<Segment> segments = SplitPattern(pattern);
    if (segments.empty()) return false;
    std::string_view rest = text;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const Segment& seg = segments[s];
        switch (seg.kind) {
            case Segment::kLiteral:
                if (rest.substr(0, seg.literal.size()) != seg.literal) return false;
                rest.remove_prefix(seg.literal.size());
                break;
            case Segment::kSkip:
                if (rest.size() < seg.count) return false;
                rest.remove_prefix(seg.count);
                break;
            case Segment::kStar:
                if (seg.literal.empty()) {
                    if (s + 1 == segments.size()) rest = {};
                } else {
                    // The leftmost occurrence only: no later one is ever tried.
                    std::size_t hit = rest.find(seg.literal);
                    if (hit == std::string_view::npos) return false;
                    rest.remove_prefix(hit + seg.literal.size());
                }
                break;
        }
    }
    return rest.empty();
}

}  // namespace TarvixPOP2SMTP_Procs
