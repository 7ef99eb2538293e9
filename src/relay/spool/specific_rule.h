// specific_rule.h - one sender routing rule, as read from a "SPECIFIC_" section.
#pragma once

#include <cstdint>
#include <string>

#include "relay/options.h"

class cTarvixPOP2SMTP_Specific {
  public:
    std::string m_SenderAddresses;  // comma-separated sender-address patterns
    std::string m_SMTPServer;
    int32_t m_SMTPPort = 0;
    // The optional SMTP keys of the section, each defaulting to its [General] value.
    SmtpRoute m_Route;
};
