// fuzz_input.h - splits a fuzzer's input into the pieces a target needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The input is read as: one leading byte for the target's own choices, then pieces separated
// by the byte 0xFE (so the fuzzer controls where network reads are cut).
struct FuzzInput {
    FuzzInput(const uint8_t* data, std::size_t size) {
        std::string_view all(reinterpret_cast<const char*>(data), size);
        if (!all.empty()) {
            choice = static_cast<uint8_t>(all.front());
            all.remove_prefix(1);
        }
        for (;;) {
            std::size_t cut = all.find('\xFE');
            pieces.emplace_back(all.substr(0, cut));
            if (cut == std::string_view::npos) break;
            all.remove_prefix(cut + 1);
        }
    }
    std::string Piece(std::size_t i) const { return i < pieces.size() ? pieces[i] : std::string(); }
    uint8_t choice = 0;
    std::vector<std::string> pieces;
};

// A broken promise is a crash the fuzzer reports and keeps.
inline void Check(bool condition) {
    if (!condition) __builtin_trap();
}
