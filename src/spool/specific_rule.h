// specific_rule.h - one sender routing rule, as read from a "SPECIFIC_" section.
#pragma once

#include <cstdint>
#include <string>

class cTarvixPOP2SMTP_Specific {
  public:
    std::string m_SenderAddresses;  // comma-separated sender-address patterns
    std::string m_SMTPServer;
    int32_t m_SMTPPort = 0;
};
