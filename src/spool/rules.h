// rules.h - sender routing: the wildcard matcher and the choice of the SMTP server.
//
// Both work on untrusted texts (sender addresses from spooled mail, patterns from the
// configuration file) and give an answer for any input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "spool/specific_rule.h"

namespace TarvixPOP2SMTP_Procs {

// `text` against `pattern` with "*" and "?": leftmost match of each star's literal, no
// backtracking, at most 31 pattern segments.
bool MatchWildcard(std::string_view text, std::string_view pattern);

// Replaces `server` and `port` by those of the first rule, in order, with an entry matching
// `senderAddress` (letter case ignored); leaves them unchanged when none matches.
void SelectSMTPServer(const std::string& senderAddress,
                      const std::vector<cTarvixPOP2SMTP_Specific>& rules, std::string& server,
                      int32_t& port);

}  // namespace TarvixPOP2SMTP_Procs
