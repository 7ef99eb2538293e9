// addresses.h - addresses in the header values of spooled mail, for the dispatch scan (who gets
// a message, who sent it) and the SMTP session (the envelope).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mail {

// What follows "<" in an envelope command: the text after the first "<" of a header value, or
// the whole value and a closing ">" when it holds no "<".
std::string AngleAddress(std::string_view value);
// The address inside the first "<...>" of a value, trimmed; the whole value trimmed when it holds
// no "<".
std::string BareAddress(std::string_view value);

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

}  // namespace mail
