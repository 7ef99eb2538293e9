// procs.h - the procedures module: process-wide values and the small shared procedures.
//
// Holds the values fixed once at start-up (program directory, spool directory, log level
// selection, service mode) and the procedures every subsystem uses: the log, configuration
// reading, delimited fields and the number reading. The module also keeps pointers to the
// platform pieces the procedures need (clock, file system, the list box of the window); the main
// object installs them when it is created.
//
// Nothing here throws: every failure is absorbed and the caller goes on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "shell/listbox.h"
#include "shell/platform.h"

namespace TarvixPOP2SMTP_Procs {

inline constexpr const char* kConfigFileName = "TarvixPOP2SMTP.ini";

extern std::string g_AppPath;    // program directory, ending in "/"
extern std::string g_SpoolPath;  // g_AppPath + "Messages/"
extern std::string g_DebugLevel;
extern bool g_RunAsService;

// Platform pieces used by the procedures; set by the main object.
extern Clock* g_Clock;
extern FileSystem* g_FileSystem;
extern ListBox* g_ListDebug;
extern FrontEnd* g_FrontEnd;

// Field `index` (from 0) of `text` split at `delimiter`; empty when out of range.
std::string GetField(std::string_view text, int32_t index, std::string_view delimiter);

// The number reading: blanks, tabs and line feeds skipped anywhere; sign, digits, decimals,
// exponent; &H and &O for hexadecimal and octal; text that is no number reads as 0.
double ReadNumber(std::string_view text);
// Rounds half to even and saturates at the limits of the target type.
int32_t RoundToInt32(double value);
int16_t RoundToInt16(double value);
inline int32_t ReadInt32(std::string_view text) {
    return RoundToInt32(ReadNumber(text));
}

// Blanks (spaces only) removed at both ends, as the relay trims its fields.
std::string TrimSpaces(std::string_view text);
std::string UpperCase(std::string_view text);

// One value of the configuration file g_AppPath + kConfigFileName.
std::string ReadIniValue(const std::string& Section, const std::string& Key,
                         const std::string& Default);
// The section names of the configuration file, each followed by NUL, cut at 20480 characters.
std::string ReadIniSectionNames();

// Whether `level` is selected for the log file by the selection text `debugLevel`.
bool IsLevelSelected(std::string_view debugLevel, int16_t level);
void WriteLog(const std::string& Message, int16_t Level);
// The same for the message `prefix` + `text`, without building that message first: the hot
// paths log every protocol line and whole message bodies.
void WriteLog(std::string_view prefix, std::string_view text, int16_t Level);

// Saturating addition for the millisecond counters.
int32_t SaturatingAdd(int32_t a, int32_t b);

}  // namespace TarvixPOP2SMTP_Procs
