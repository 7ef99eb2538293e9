// platform.h - the narrow interfaces between the relay and the machine.
//
// The relay logic (main object, sessions, dispatch scan, procedures) reaches the outside world
// only through the classes declared here: timers, the socket control, the clock, the file system,
// the service control and the front end (window). Production code wires implementations over
// Asio, POSIX, systemd and ncurses; tests wire fakes and call the handlers themselves.
//
// Contract of every implementation: all calls and all callbacks happen on the one event thread;
// a callback is never raised inside a call that the relay made (an immediate failure is posted
// and delivered later), so a handler never runs re-entered.
//
// Untrusted data: everything a SocketControl delivers, and every file read through FileSystem.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A periodic timer. The tick callback is set once by the owner; the timer runs from creation.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void SetTickHandler(std::function<void()> onTick) = 0;
    virtual int32_t Interval() const = 0;  // milliseconds
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
};

// Local date and time, broken down.
struct LocalTime {
    int year = 2000;
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int weekday = 6;  // 0 = Sunday .. 6 = Saturday
    int hour = 0;
    int minute = 0;
    int second = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    virtual LocalTime Now() = 0;
};

// Raised by SocketControl::Connect for arguments that can never work, and by SendData when no
// connection is open. The description is what the caller logs.
class SocketFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The events of one socket control instance.
struct SocketEvents {
    std::function<void()> onConnect;
    std::function<void(int32_t bytesTotal)> onDataArrival;
    std::function<void()> onClose;                                                // the peer closed
    std::function<void(int32_t number, const std::string& description)> onError;  // failed
};

// An event-driven TCP client: one connection at a time, bytes in and out unchanged.
class SocketControl {
  public:
    virtual ~SocketControl() = default;
    virtual void SetEvents(SocketEvents events) = 0;
    // Returns at once; the outcome arrives as the Connect or Error event. Throws SocketFailure
    // for an empty host or a port outside 1..65535.
    virtual void Connect(const std::string& host, int32_t port) = 0;
    // Queues bytes for sending. Throws SocketFailure when no connection is open.
    virtual void SendData(std::string_view data) = 0;
    // Moves everything received and not yet taken into `into` (replacing its content).
    virtual void GetData(std::string& into) = 0;
    // Closes the connection; harmless in any state; raises no Close event.
    virtual void Close() = 0;
    virtual std::string RemoteHost() const = 0;
    virtual int32_t RemotePort() const = 0;
};

// File operations of the relay. Paths are full paths; every call reports failure by its result
// and never throws.
class FileSystem {
  public:
    virtual ~FileSystem() = default;
    // Creates one directory (mode 0700); false when it could not be made or already exists.
    virtual bool CreateDirectory(const std::string& path) = 0;
    virtual bool Exists(const std::string& path) = 0;
    // Reads a whole regular file; false (with `error` set) when it cannot be opened or read.
    virtual bool ReadFile(const std::string& path, std::string& content, std::string& error) = 0;
    // Appends to a file, creating it with mode 0600.
    virtual bool AppendFile(const std::string& path, std::string_view data) = 0;
    // Stores a new file durably: a temporary name in the same directory, all bytes written,
    // fsync, rename to `path` without replacing an existing file, fsync of the directory.
    // Returns an empty text on success, else a readable reason; nothing is left behind.
    virtual std::string WriteNewFileDurably(const std::string& path, std::string_view content) = 0;
    // Names (not paths) of the regular files in `directory` whose names end with `suffix`,
    // sorted by name. Temporary files of WriteNewFileDurably never match.
    virtual std::vector<std::string> ListFiles(const std::string& directory,
                                               std::string_view suffix) = 0;
    // Renames; fails when `to` exists already (the old name stays).
    virtual bool RenameNoReplace(const std::string& from, const std::string& to) = 0;
    virtual bool Remove(const std::string& path) = 0;
    // Removes the temporary files that an interrupted WriteNewFileDurably left in `directory`.
    virtual void RemoveStaleTemporaryFiles(const std::string& directory) = 0;
};

// The service control: registration as a system service, the settings store, the event log.
class ServiceControl {
  public:
    virtual ~ServiceControl() = default;
    virtual void SetControlsAccepted(int32_t controls) = 0;
    virtual std::string DisplayName() = 0;
    virtual void SetInteractive(bool interactive) = 0;
    virtual bool Install() = 0;
    virtual void LogEvent(int16_t eventType, int32_t eventId, const std::string& text) = 0;
    virtual bool Uninstall() = 0;
    virtual void StartService() = 0;
    virtual void SaveSetting(const std::string& section, const std::string& key,
                             const std::string& value) = 0;
    virtual std::string GetSetting(const std::string& section, const std::string& key,
                                   const std::string& defaultValue) = 0;
};

class ListBox;

// The window: caption, visibility, the list box of the log, the message box, and the end of the
// process. User commands (close, "Run POP now", resize) come back through FrontEndCommands.
class FrontEnd {
  public:
    virtual ~FrontEnd() = default;
    virtual std::string Caption() = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    // The list changed: `newest` was added (older lines may have been removed).
    virtual void ListLineAdded(const ListBox& list, const std::string& newest) = 0;
    // Sizes the list to the client area.
    virtual void FitListToClientArea() = 0;
    virtual void MessageBox(const std::string& prompt) = 0;
    // Ends the process with the given status; production does not return.
    virtual void EndProcess(int status) = 0;
};
