// addresses.cpp - addresses in header values: the envelope forms, the recipient fields and the
// RFC 5322 address-list reader.
//
// Header values come from spooled mail and are untrusted: the address-list reader takes any
// bytes, never reads past the text and gives at most the addresses it could recognise.
#include "relay/mail/addresses.h"

#include <algorithm>
#include <set>

#include "relay/procs.h"

namespace mail {

std::string AngleAddress(std::string_view value) {
    std::size_t lt = value.find('<');
    if (lt == std::string_view::npos) return std::string(value) + ">";
    return std::string(value.substr(lt + 1));
}

std::string BareAddress(std::string_view value) {
    using TarvixPOP2SMTP_Procs::GetField;
    using TarvixPOP2SMTP_Procs::Trim;
    if (value.find('<') == std::string_view::npos) return std::string(Trim(value));
    return std::string(Trim(GetField(GetField(value, 1, "<"), 0, ">")));
}

void FieldCollector::Add(std::string_view line) {
    if (line.starts_with(' ') || line.starts_with('\t')) {  // a folded line continues the field
        if (inField_) text_.append(line);
        return;
    }
    const std::size_t colon = std::min(line.find(':'), line.size());
    const std::string_view field = TarvixPOP2SMTP_Procs::Trim(line.substr(0, colon), " \t");
    inField_ = std::any_of(names_.begin(), names_.end(), [&](const std::string& name) {
        return TarvixPOP2SMTP_Procs::EqualNoCase(field, name);
    });
    if (inField_) text_.append(",").append(line.substr(std::min(colon + 1, line.size())));
}

namespace {

// Reads one address list; `at` moves through the text. Quoted strings and comments may hold
// any of the separators, so they are stepped over as a whole.
class AddressListReader {
  public:
    explicit AddressListReader(std::string_view text) : text_(text) {}

    void ReadAll(std::vector<std::string>& addresses) {
        std::string word;     // the current mailbox outside angle brackets: a bare address
        bool angled = false;  // the mailbox had "<...>": that is its address
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '"') {
                // A quoted display name, or the quoted local part of a bare address.
                const std::size_t start = at_;
                SkipQuoted();
                const std::size_t end = std::min(at_, text_.size());
                if (end < text_.size() && text_[end] == '@') {
                    word += text_.substr(start, end - start);
                } else {
                    word.clear();
                }
                continue;
            }
            if (c == '(') {
                SkipComment();
                continue;
            }
            if (c == '<') {
                std::size_t close = text_.find('>', at_ + 1);
                if (close == std::string_view::npos) close = text_.size();
                Add(std::string(
                        TarvixPOP2SMTP_Procs::Trim(text_.substr(at_ + 1, close - at_ - 1), " \t")),
                    addresses);
                angled = true;
                at_ = close + 1;
                continue;
            }
            if (c == ',' || c == ';' || c == ':') {
                // ":" ends a group's name (the words before it were no address), ";" its list.
                if (!angled && c != ':') Add(word, addresses);
                word.clear();
                angled = false;
                ++at_;
                continue;
            }
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                // Blanks between words: a display name, unless an "@" word follows alone.
                if (!word.empty() && word.find('@') == std::string::npos) word.clear();
                ++at_;
                continue;
            }
            word += c;
            ++at_;
        }
        if (!angled) Add(word, addresses);
    }

  private:
    void SkipQuoted() {
        for (++at_; at_ < text_.size() && text_[at_] != '"'; ++at_) {
            if (text_[at_] == '\\') ++at_;
        }
        ++at_;
    }
    void SkipComment() {
        int depth = 0;
        for (; at_ < text_.size(); ++at_) {
            if (text_[at_] == '\\') {
                ++at_;
            } else if (text_[at_] == '(') {
                ++depth;
            } else if (text_[at_] == ')' && --depth == 0) {
                ++at_;
                return;
            }
        }
    }
    // Each address once, compared without case; a set, since a header may list thousands.
    void Add(const std::string& address, std::vector<std::string>& addresses) {
        if (address.find('@') == std::string::npos) return;
        if (known_.empty()) {
            for (const std::string& a : addresses)
                known_.insert(TarvixPOP2SMTP_Procs::UpperCase(a));
        }
        if (!known_.insert(TarvixPOP2SMTP_Procs::UpperCase(address)).second) return;
        addresses.push_back(address);
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::set<std::string> known_;
};

}  // namespace

void AddAddresses(std::string_view list, std::vector<std::string>& addresses) {
    AddressListReader(list).ReadAll(addresses);
}

}  // namespace mail
