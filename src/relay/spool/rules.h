// rules.h - sender routing: the choice of the SMTP server by the sender's address.
//
// Works on untrusted texts (sender addresses from spooled mail, patterns from the configuration
// file) and gives an answer for any input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "relay/spool/specific_rule.h"

namespace TarvixPOP2SMTP_Procs {

// Replaces `server` and `port` by those of the first rule, in order, with an entry matching
// `senderAddress` (letter case ignored) and returns that rule; leaves them unchanged and returns
// null when none matches.
const cTarvixPOP2SMTP_Specific* SelectSMTPServer(const std::string& senderAddress,
                                                 const std::vector<cTarvixPOP2SMTP_Specific>& rules,
                                                 std::string& server, int32_t& port);

// Whether `address` matches an entry of a comma-separated pattern list (SenderAddresses,
// AllowedRecipients): entries trimmed, tried from the left, the list ending at its first empty
// entry; letter case ignored.
bool MatchesPatternList(const std::string& address, const std::string& patterns);

}  // namespace TarvixPOP2SMTP_Procs
