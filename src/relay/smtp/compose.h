// compose.h - pieces of the composed SMTP message, the envelope and the login answers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "relay/platform.h"

namespace compose {

// "Fri, 4 Dec 2026 07:31:07 +0100": English names, the day without a leading zero, and the zone
// +0100, or the host's own offset when `hostZone` is set.
std::string DateText(const LocalTime& t, bool hostZone);
// "Date: " and the date text.
std::string DateLine(const LocalTime& t, bool hostZone = false);
// What follows "<" in an envelope command: the text after the first "<" of a header value, or
// the whole value and a closing ">" when it holds no "<".
std::string AngleAddress(std::string_view value);
// The address inside the first "<...>" of a value, trimmed; the whole value trimmed when it holds
// no "<".
std::string BareAddress(std::string_view value);

std::string Base64(std::string_view bytes);
// SASL answers: PLAIN is "\0user\0password", XOAUTH2 "user=U\x01auth=Bearer T\x01\x01".
std::string PlainResponse(std::string_view user, std::string_view password);
std::string XOAuth2Response(std::string_view user, std::string_view token);

// The values of the named header fields (RecipientHeaders), gathered from header lines given one
// at a time: folded lines joined, the fields one comma-separated list.
class FieldCollector {
  public:
    explicit FieldCollector(const std::vector<std::string>& names) : names_(names) {}
    void Add(std::string_view line);
    const std::string& Text() const { return text_; }

  private:
    const std::vector<std::string>& names_;
    std::string text_;
    bool inField_ = false;
};

// The addresses of RFC 5322 address lists (header values, unfolded): display names, quoted
// strings, comments and groups are skipped; each address once (letter case ignored), in order.
void AddAddresses(std::string_view list, std::vector<std::string>& addresses);

}  // namespace compose
