// spool.h - names and states of spool files.
//
// A spool file is named by the time it was written and a counter, "yyyymmdd_hhnnss_xxxxx.", and
// an extension that alone records its state: "msg" stored, "snd" queued or in delivery, "err"
// failed and waiting for the next re-queue.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "shell/platform.h"

namespace spool {

// The counter after `counter`: 1 to 65535, then 0 again.
int32_t NextCounter(int32_t counter);
// "yyyymmdd_hhnnss_" and five lower-case hexadecimal digits of the counter, then ".".
std::string FileBase(const LocalTime& now, int32_t counter);
// `name` with its last three characters replaced by `extension`.
std::string WithExtension(std::string_view name, std::string_view extension);

// Stores a retrieved message as `spoolPath + base + "msg"`, durably. A base already in use by a
// stored, queued or failed file is never overwritten. Returns an empty text or the reason.
std::string StoreMessage(FileSystem& fs, const std::string& spoolPath, const std::string& base,
                         std::string_view content);

}  // namespace spool
