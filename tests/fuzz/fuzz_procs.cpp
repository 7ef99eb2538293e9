// fuzz_procs.cpp - the text procedures on arbitrary input: the profile-file reader, GetField,
// MatchWildcard and the number reading. Besides not crashing, each keeps its basic promises.
#include "fuzz_input.h"
#include "shell/procs.h"
#include "shell/profile.h"
#include "spool/rules.h"

using namespace TarvixPOP2SMTP_Procs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::string a = in.Piece(0), b = in.Piece(1);

    ProfileFile profile = ProfileFile::Parse(a);
    Check(profile.GetString(b, in.Piece(2), "d").size() <= 2047);
    Check(profile.SectionNames().size() <= 20478);

    if (!b.empty()) {
        const int32_t index = static_cast<int8_t>(in.choice);
        std::string field = GetField(a, index, b);
        Check(field.find(b) == std::string::npos);
        Check(field.empty() || a.find(field) != std::string::npos);
    }

    const bool matched = MatchWildcard(a, b);
    if (b.find_first_of("*?") == std::string::npos) Check(matched == (!a.empty() && a == b));
    if (b == "*") Check(matched);

    double number = ReadNumber(a);
    Check(number == number || a.find_first_of("0123456789") != std::string::npos);
    (void)ReadInt32(a);
    (void)RoundToInt16(number);
    (void)IsLevelSelected(a, static_cast<int16_t>(in.choice));
    return 0;
}
