// profile.h - reader of INI-style profile files with the rules of the Windows profile functions.
//
// Rules: lines end at LF (a CR before it is dropped) and are trimmed of blanks and tabs; a line
// starting with ";" is a comment; "[name]" starts a section; "key=value" is split at the first
// "=", both sides trimmed; names match without regard to case and the first matching section,
// and in it the first matching key, wins; one pair of matching quotes around a value is dropped;
// values are cut to 2047 characters.
//
// The file is untrusted: any bytes give some result, never a failure.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class ProfileFile {
  public:
    static constexpr std::size_t kValueBuffer = 2048;
    static constexpr std::size_t kSectionNamesBuffer = 20480;

    // Parses the text of a profile file.
    static ProfileFile Parse(std::string_view text);

    // The value, or `defaultValue` (trailing blanks removed) when section or key is missing.
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue) const;
    // Every section name followed by NUL, in file order, cut to fit the buffer.
    std::string SectionNames() const;

  private:
    struct Entry {
        std::string key;
        std::string value;
        bool hasValue = false;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    std::vector<Section> sections_;
};
