// fuzz_input.h - splits a fuzzer's input into the pieces a target needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One leading byte for the target's own choices, then pieces separated by the byte 0xFE (so the
// fuzzer controls where network reads are cut).
struct FuzzInput {
    FuzzInput(const uint8_t* data, std::size_t size) : choice(size ? data[0] : 0) {
        std::string all(reinterpret_cast<const char*>(data) + (size ? 1 : 0), size ? size - 1 : 0);
        for (std::size_t at = 0, cut = 0; cut != std::string::npos; at = cut + 1) {
            pieces.push_back(all.substr(at, (cut = all.find('\xFE', at)) - at));
        }
    }
    std::string Piece(std::size_t i) const { return i < pieces.size() ? pieces[i] : std::string(); }
    uint8_t choice;
    std::vector<std::string> pieces;
};

// A broken promise is a crash the fuzzer reports and keeps.
inline void Check(bool condition) {
    if (!condition) __builtin_trap();
}
