// spool.h - spool file names, the index of the spool directory, and reading a spool file.
//
// A spool file is named by the time it was written and a counter, "yyyymmdd_hhnnss_xxxxx.", and
// an extension that alone records its state: "msg" stored, "snd" queued or in delivery, "err"
// failed and waiting for the next re-queue, "rej" refused and set aside (RefusedMail=keep).
//
// Spool files are untrusted input (a file may be put there by hand): any bytes give some result.
// A file is read in pieces, so memory does not grow with the size of a message.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "relay/log.h"
#include "relay/platform.h"

namespace spool {

// The counter after `counter`: 1 to 65535, then 0 again.
int32_t NextCounter(int32_t counter);
// "yyyymmdd_hhnnss_" and five lower-case hexadecimal digits of the counter, then ".".
std::string FileBase(const LocalTime& now, int32_t counter);
// `name` with its last three characters replaced by `extension`.
std::string WithExtension(std::string_view name, std::string_view extension);

// Reads the lines of a spool file up to its first empty line, giving each to `onLine`. A line
// ends at LF, one CR before the LF is not part of it, text after the last LF is a line of its
// own; a line is cut to its first kMaxHeaderLine bytes. `bodyOffset` is where the text after the
// empty line starts (the file size when there is none). Fails when reading fails.
inline constexpr std::size_t kMaxHeaderLine = std::size_t{1} << 20;
Status ReadHeaderLines(FileReader& file, const std::function<void(std::string_view)>& onLine,
                       uint64_t& bodyOffset);

}  // namespace spool

// Where a message's text lies in its open spool file, and whether its empty lines at the end are
// part of it (the message as retrieved) or not (the body of a composed message).
struct SpoolBody {
    std::shared_ptr<FileReader> file;
    uint64_t offset = 0;
    bool keepEmptyLines = false;
};

// The text of a spool file from an offset, as the SMTP session sends it before "\r\n.\r\n":
// every line followed by CR LF (a line ends at LF, one CR before the LF dropped), then all CR LF
// pairs at the end removed; with keepEmptyLines only the last two (the end of the last line and
// the spool's own closing line), so that trailing empty lines of the message go out too.
class BodySource : public TextSource {
  public:
    static constexpr std::size_t kChunk = 256 * 1024, kMaxHeld = 1024 * 1024;
    // `chunk`: how much is read at a time (less when only the start of the text is wanted).
    explicit BodySource(const SpoolBody& body, std::size_t chunk = kChunk)
        : file_(body.file),
          position_(body.offset),
          chunk_(chunk),
          keepEmptyLines_(body.keepEmptyLines) {}
    bool Next(std::string_view& piece) override;
    bool Failed() const { return failed_; }
    bool Done() const { return done_; }
    std::string Error() const { return file_ ? file_->Error() : "no file"; }

  private:
    void Emit(char c);
    void Convert(std::string_view in);
    void Finish();

    std::shared_ptr<FileReader> file_;
    uint64_t position_;
    std::size_t chunk_;
    std::unique_ptr<char[]> in_;
    std::string out_;
    std::string held_;  // CR LF pairs (and a last CR) that may turn out to end the text
    bool keepEmptyLines_;
    bool pendingCR_ = false, done_ = false, failed_ = false;
};

// The names of the spool files by state, kept in step with the directory without listing it at
// every tick: it is listed again when its stamp changes behind the relay's back (a file put
// there by hand) or when asked; the relay reports its own changes.
class SpoolIndex {
  public:
    SpoolIndex(FileSystem& files) : files_(files) {}
    void Refresh(const std::string& directory, bool listAgain);
    // The first name (oldest) with the extension ("msg", "snd", "err", "rej"); empty when none.
    std::string First(std::string_view extension) const;
    const std::set<std::string>& Names(std::string_view extension) const;
    void Added(const std::string& name);
    void Removed(const std::string& name);
    void Renamed(const std::string& from, const std::string& to);
    // Called before each change the relay makes to the directory: a change made by someone
    // else since the last look must not pass for the relay's own, so it forgets the stamp and
    // the next Refresh lists the directory again.
    void Changing() {
        if (!stamp_.empty() && files_.DirectoryStamp(directory_) != stamp_) stamp_.clear();
    }
    // After the relay's own change (also one that leaves the spool names as they are, such as
    // a temporary file): the new stamp, unless an outside change is still to be listed.
    void Restamp() {
        if (!stamp_.empty()) stamp_ = files_.DirectoryStamp(directory_);
    }

  private:
    std::set<std::string>* SetFor(std::string_view name);
    FileSystem& files_;
    std::string directory_, stamp_;
    std::set<std::string> msg_, snd_, err_, rej_;
};
