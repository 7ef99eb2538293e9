// fuzz_procs.cpp - the text procedures on arbitrary input: the profile-file reader, GetField,
// MatchWildcard, the number reading, the level selection and address lists. Besides not
// crashing, each keeps its basic promises.
#include "fuzz_input.h"
#include "relay/log.h"
#include "relay/procs.h"
#include "relay/profile.h"
#include "relay/smtp/compose.h"

using namespace TarvixPOP2SMTP_Procs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::string a = in.Piece(0), b = in.Piece(1);
    const ProfileFile profile = ProfileFile::Parse(a);
    Check(profile.GetString(b, in.Piece(2), "d").size() <= 2047);
    Check(profile.SectionNames().size() <= 20478);
    if (!b.empty()) {
        const std::string field = GetField(a, static_cast<int8_t>(in.choice), b);
        Check(field.find(b) == std::string::npos && (field.empty() || a.find(field) != a.npos));
    }
    const bool matched = MatchWildcard(a, b);
    if (b.find_first_of("*?") == std::string::npos) Check(matched == (!a.empty() && a == b));
    (void)ReadInt32(a);
    (void)LevelSelection(a).Selects(static_cast<int16_t>(in.choice));
    std::vector<std::string> addresses;
    compose::AddAddresses(a, addresses);
    for (const std::string& address : addresses) Check(address.find('@') != std::string::npos);
    return 0;
}
