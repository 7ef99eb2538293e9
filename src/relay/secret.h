// secret.h - a password or token that is overwritten when it goes.
//
// A secret lives from the moment it is read (configuration, password command) to the login that
// needs it; its bytes are overwritten when it is replaced or destroyed, so that it does not stay
// behind in freed memory. It has no output operator and is never logged: a row that carries one
// is logged with "*****" in its place (Link::SendWithSecret).
#pragma once

#include <string>
#include <string_view>
#include <utility>

// Overwrites the bytes of `text` and empties it. Through a volatile pointer: the compiler may not
// drop stores to memory that is about to be freed.
inline void WipeText(std::string& text) {
    volatile char* bytes = text.data();
    for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = '\0';
    text.clear();
}

class Secret {
  public:
    Secret() = default;
    explicit Secret(std::string text) : text_(std::move(text)) {}
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret(Secret&& other) noexcept { Take(other); }
    Secret& operator=(Secret&& other) noexcept {
        if (this != &other) {
            Wipe();
            Take(other);
        }
        return *this;
    }
    ~Secret() { Wipe(); }

    std::string_view Reveal() const { return text_; }
    bool empty() const { return text_.empty(); }
    void Wipe() { WipeText(text_); }

  private:
    // Swapping leaves no copy behind in `other`, which is wiped (it holds this one's old
    // bytes, already wiped, or nothing).
    void Take(Secret& other) {
        text_.swap(other.text_);
        other.Wipe();
    }
    std::string text_;
};
