// spool.cpp - spool file names and the durable store of a retrieved message.
//
// The store runs before the message is deleted on the POP3 server, so it must either leave a
// complete ".msg" file on disk or report failure; FileSystem::WriteNewFileDurably gives that.
#include "spool/spool.h"

#include <cstdio>

namespace spool {

int32_t NextCounter(int32_t counter) {
    int32_t next = counter + 1;
    return (next > 65535 || next < 0) ? 0 : next;
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

std::string StoreMessage(FileSystem& fs, const std::string& spoolPath, const std::string& base,
                         std::string_view content) {
    // The counter starts again at 1 in every run: a run restarted within the second of an
    // earlier run's file would reuse its name, and that file may not be delivered yet.
    for (const char* extension : {"msg", "snd", "err"}) {
        if (fs.Exists(spoolPath + base + extension)) {
            return "spool name " + base + extension + " is in use";
        }
    }
    return fs.WriteNewFileDurably(spoolPath + base + "msg", content);
}

}  // namespace spool
