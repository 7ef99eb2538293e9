// profile.cpp - the profile-file reader (see profile.h for the rules it keeps).
#include "relay/profile.h"

#include <algorithm>

#include "relay/procs.h"

namespace {

using TarvixPOP2SMTP_Procs::EqualNoCase;

std::string_view TrimBlanks(std::string_view s) {
    return TarvixPOP2SMTP_Procs::Trim(s, " \t\r");
}

std::string_view DropMatchingQuotes(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

std::string CutToBuffer(std::string_view v) {
    return std::string(v.substr(0, ProfileFile::kValueBuffer - 1));
}

}  // namespace

ProfileFile ProfileFile::Parse(std::string_view text) {
    ProfileFile file;
    // A UTF-8 byte-order mark at the start is not part of the first line.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    Section* current = nullptr;  // lines before the first section belong to no section
    while (!text.empty()) {
        std::size_t lf = text.find('\n');
        std::string_view line = TrimBlanks(text.substr(0, lf));
        text = (lf == std::string_view::npos) ? std::string_view() : text.substr(lf + 1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            std::size_t close = line.find(']');
            if (close == std::string_view::npos) continue;  // not a section header
            file.sections_.push_back(
                Section{std::string(TrimBlanks(line.substr(1, close - 1))), {}});
            current = &file.sections_.back();
            continue;
        }
        if (current == nullptr) continue;
        std::size_t eq = line.find('=');
        Entry entry;
        entry.key = std::string(TrimBlanks(line.substr(0, eq)));
        if (eq != std::string_view::npos) {
            entry.value = CutToBuffer(DropMatchingQuotes(TrimBlanks(line.substr(eq + 1))));
            entry.hasValue = true;
        }
        current->entries.push_back(std::move(entry));
    }
    return file;
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key,
                                   std::string_view defaultValue) const {
    auto sec = std::find_if(sections_.begin(), sections_.end(),
                            [&](const Section& s) { return EqualNoCase(s.name, section); });
    if (sec != sections_.end()) {
        for (const Entry& e : sec->entries) {
            if (EqualNoCase(e.key, key)) {
                if (e.hasValue) return e.value;
                break;
            }
        }
    }
    while (!defaultValue.empty() && defaultValue.back() == ' ') defaultValue.remove_suffix(1);
    return CutToBuffer(defaultValue);
}

std::string ProfileFile::SectionNames() const {
    // The buffer ends in two NULs of its own; what does not fit before them is cut.
    const std::size_t room = kSectionNamesBuffer - 2;
    std::string names;
    for (const Section& s : sections_) {
        if (s.name.empty()) continue;
        names += s.name;
        names += '\0';
        if (names.size() >= room) {
            names.resize(room);
            break;
        }
    }
    return names;
}
