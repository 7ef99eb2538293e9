// result.h - failures as values at the boundary between the relay and the machine.
//
// A platform call that can fail returns a Status (nothing but whether it worked, and why not) or
// a Result<T> (a value, or why there is none). The reason is a text for the log: it names the
// operation and the object ("cannot create a file in /x/Messages/: No space left on device") and
// never holds a secret. Both are [[nodiscard]]: a failure that is dropped must be dropped on
// purpose, with a (void) cast and a comment saying why.
#pragma once

#include <string>
#include <utility>

class [[nodiscard]] Status {
  public:
    Status() = default;
    static Status Ok() { return {}; }
    static Status Failed(std::string why) {
        Status s;
        s.failed_ = true;
        s.why_ = std::move(why);
        return s;
    }
    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    // The reason of a failure; empty for success.
    const std::string& why() const { return why_; }

  private:
    bool failed_ = false;
    std::string why_;
};

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}            // NOLINT: a value converts implicitly
    Result(Status failure) : status_(std::move(failure)) {}  // NOLINT: and so does a failure
    bool ok() const { return status_.ok(); }
    explicit operator bool() const { return ok(); }
    const std::string& why() const { return status_.why(); }
    const Status& status() const { return status_; }
    T& value() { return value_; }
    T take() { return std::move(value_); }

  private:
    T value_{};
    Status status_;
};
