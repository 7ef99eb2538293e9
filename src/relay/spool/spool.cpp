// spool.cpp - spool file names, the spool index and the spool file readers (see spool.h).
#include "relay/spool/spool.h"

#include <cstdio>
#include <cstring>

namespace spool {

int32_t NextCounter(int32_t counter) {
    return counter >= 65535 ? 0 : counter + 1;
}

std::string FileBase(const LocalTime& t, int32_t counter) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d_%02d%02d%02d_%05x.", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, static_cast<unsigned>(counter) & 0xFFFFFu);
    return buf;
}

std::string WithExtension(std::string_view name, std::string_view extension) {
    std::string out(name.substr(0, name.size() >= 3 ? name.size() - 3 : 0));
    out += extension;
    return out;
}

Status ReadHeaderLines(FileReader& file, const std::function<void(std::string_view)>& onLine,
                       uint64_t& bodyOffset) {
    constexpr std::size_t kRead = 64 * 1024;
    const auto chunk = std::make_unique_for_overwrite<char[]>(kRead);  // not zeroed: read into
    std::string line;
    bool cut = false;
    uint64_t offset = 0;
    for (;;) {
        long n = file.ReadAt(offset, chunk.get(), kRead);
        if (n < 0) return Status::Failed(file.Error());
        if (n == 0) break;
        std::string_view data(chunk.get(), static_cast<std::size_t>(n));
        for (std::size_t at = 0; at < data.size();) {
            std::size_t lf = data.find('\n', at);
            std::string_view piece = data.substr(at, lf == data.npos ? data.npos : lf - at);
            if (!cut) {
                line.append(piece.substr(0, kMaxHeaderLine - line.size()));
                cut = line.size() >= kMaxHeaderLine;
            }
            if (lf == data.npos) break;
            at = lf + 1;
            if (!line.empty() && line.back() == '\r' && !cut) line.pop_back();
            if (line.empty()) {
                bodyOffset = offset + at;
                return Status::Ok();
            }
            onLine(line);
            line.clear();
            cut = false;
        }
        offset += static_cast<uint64_t>(n);
    }
    if (!line.empty() && line.back() == '\r' && !cut) line.pop_back();
    if (!line.empty()) onLine(line);
    bodyOffset = offset;
    return Status::Ok();
}

}  // namespace spool

// Line ends and lone CRs come here (an LF always right after its CR); runs of ordinary text are
// appended by Convert. CR LF pairs, and a CR after them, are held back until text shows that
// they do not end the body.
void BodySource::Emit(char c) {
    if (c == '\r' && !held_.empty() && held_.back() == '\r') {
        out_ += held_;
        held_.clear();
    }
    held_ += c;
    // Over a MiB of empty lines goes out even when nothing follows them: a message's worth of
    // them is not held in memory. With keepEmptyLines the last two pairs stay, as they may be
    // the ones that Finish drops.
    if (c == '\n' && held_.size() >= kMaxHeld) {
        const std::size_t kept = keepEmptyLines_ ? 4 : 0;
        out_.append(held_, 0, held_.size() - kept);
        held_.erase(0, held_.size() - kept);
    }
}

void BodySource::Convert(std::string_view in) {
    const char* p = in.data();
    const char* const end = p + in.size();
    while (p < end) {
        // The next CR or LF; what comes before it is ordinary text, taken as a run.
        const char* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char* stop = lf ? lf : end;
        const char* cr =
            static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(stop - p)));
        const char* special = cr ? cr : stop;
        if (special > p) {
            if (pendingCR_) Emit('\r');
            pendingCR_ = false;
            out_ += held_;
            held_.clear();
            out_.append(p, static_cast<std::size_t>(special - p));
        }
        if (special == end) break;
        if (*special == '\n') {
            // A CR right before the LF belongs to the line end, which becomes CR LF.
            pendingCR_ = false;
            Emit('\r');
            Emit('\n');
        } else {
            if (pendingCR_) Emit('\r');
            pendingCR_ = true;
        }
        p = special + 1;
    }
}

void BodySource::Finish() {
    // A CR that ends the text is dropped; its line is ended like the others. (A last line of
    // plain text needs nothing: a CR LF after it would be held and dropped below.)
    if (pendingCR_) {
        Emit('\r');
        Emit('\n');
    }
    pendingCR_ = false;
    // Held pairs are the end of the text; an odd CR left over is text.
    if (held_.size() % 2 == 1) {
        out_ += held_;
    } else if (keepEmptyLines_ && held_.size() > 4) {
        out_.append(held_, 0, held_.size() - 4);
    }
    held_.clear();
    done_ = true;
}

bool BodySource::Next(std::string_view& piece) {
    out_.clear();
    while (out_.empty() && !done_) {
        if (!file_) {
            failed_ = done_ = true;
            break;
        }
        if (!in_) in_ = std::make_unique_for_overwrite<char[]>(chunk_);  // not zeroed: read into
        long n = file_->ReadAt(position_, in_.get(), chunk_);
        if (n < 0) {
            failed_ = done_ = true;
            break;
        }
        if (n == 0) {
            Finish();
            break;
        }
        position_ += static_cast<uint64_t>(n);
        Convert(std::string_view(in_.get(), static_cast<std::size_t>(n)));
        // A regular file gives less than asked for only at its end: no need to read again.
        if (static_cast<std::size_t>(n) < chunk_) Finish();
    }
    piece = out_;
    return !out_.empty();
}

std::set<std::string>* SpoolIndex::SetFor(std::string_view name) {
    if (name.size() < 4 || name[name.size() - 4] != '.') return nullptr;
    std::string_view extension = name.substr(name.size() - 3);
    if (extension == "msg") return &msg_;
    if (extension == "snd") return &snd_;
    if (extension == "err") return &err_;
    if (extension == "rej") return &rej_;
    return nullptr;
}

void SpoolIndex::Refresh(const std::string& directory, bool listAgain) {
    std::string stamp = files_.DirectoryStamp(directory);
    if (!listAgain && directory == directory_ && !stamp.empty() && stamp == stamp_) return;
    directory_ = directory;
    stamp_ = stamp;
    msg_.clear();
    snd_.clear();
    err_.clear();
    rej_.clear();
    for (const char* extension : {".msg", ".snd", ".err", ".rej"}) {
        for (std::string& name : files_.ListFiles(directory, extension)) {
            SetFor(name)->insert(std::move(name));
        }
    }
}

std::string SpoolIndex::First(std::string_view extension) const {
    const std::set<std::string>& names = Names(extension);
    return names.empty() ? std::string() : *names.begin();
}

const std::set<std::string>& SpoolIndex::Names(std::string_view extension) const {
    if (extension == "msg") return msg_;
    if (extension == "snd") return snd_;
    if (extension == "rej") return rej_;
    return err_;
}

void SpoolIndex::Added(const std::string& name) {
    if (auto* names = SetFor(name)) names->insert(name);
    Restamp();
}

void SpoolIndex::Removed(const std::string& name) {
    if (auto* names = SetFor(name)) names->erase(name);
    Restamp();
}

void SpoolIndex::Renamed(const std::string& from, const std::string& to) {
    if (auto* names = SetFor(from)) names->erase(from);
    Added(to);
}
