// platform.h - the narrow interfaces between the relay and the machine.
//
// The relay (main object, sessions, dispatch scan, procedures) reaches the outside world only
// through the classes declared here: timers, the socket control, the clock, the file system,
// the service control, the front end (window) and a command runner. Production wires
// implementations from src/linux/; tests wire fakes and call the handlers themselves.
//
// Contract of every implementation: all calls and all callbacks happen on the one event thread;
// a callback is never raised inside a call that the relay made (an immediate failure is posted
// and delivered later), so a handler never runs re-entered.
//
// Untrusted data: everything a SocketControl delivers, every file read through FileSystem and
// the output of a command.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "relay/result.h"

// A periodic timer. The tick callback is set once by the owner; the timer runs from creation.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void SetTickHandler(std::function<void()> onTick) = 0;
    virtual int32_t Interval() const = 0;  // milliseconds
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
};

// Local date and time, broken down, with the host's offset from UTC at that moment.
struct LocalTime {
    int year = 2000;
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int weekday = 6;  // 0 = Sunday .. 6 = Saturday
    int hour = 0;
    int minute = 0;
    int second = 0;
    int utcOffsetMinutes = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    virtual LocalTime Now() = 0;
};

// The events of one socket control instance.
struct SocketEvents {
    std::function<void()> onConnect;
    std::function<void(int32_t bytesTotal)> onDataArrival;
    std::function<void()> onClose;                                                // the peer closed
    std::function<void(int32_t number, const std::string& description)> onError;  // failed
    std::function<void()> onSendComplete;  // everything queued so far has been written
    std::function<void()> onSecured;       // the TLS handshake of StartTls is done
};

// An event-driven TCP client: one connection at a time, bytes in and out unchanged.
class SocketControl {
  public:
    virtual ~SocketControl() = default;
    virtual void SetEvents(SocketEvents events) = 0;
    // Returns at once; the outcome arrives as the Connect or Error event. Fails at once, with
    // the description the caller logs, for an empty host or a port outside 1..65535.
    virtual Status Connect(const std::string& host, int32_t port) = 0;
    // The same with TLS from the first byte: the Connect event comes once the certificate of
    // `host` was checked (against the PEM file `trustFile`, else the system store).
    virtual Status ConnectTls(const std::string& host, int32_t port,
                              const std::string& trustFile) = 0;
    // Upgrades the open connection to TLS (STLS, STARTTLS). Nothing may be waiting unread: bytes
    // received before the upgrade end the connection with an Error event. Secured or Error follows.
    virtual void StartTls(const std::string& trustFile) = 0;
    virtual bool IsSecure() const = 0;
    // The connected peer is on this machine (127.0.0.0/8, ::1).
    virtual bool PeerIsLoopback() const = 0;
    // A count that grows whenever bytes move on the connection in either direction, also while
    // sent data is still leaving the system's buffers; 0 without a connection.
    virtual uint64_t BytesMoved() const = 0;
    // Queues bytes for sending. Fails when no connection is open.
    virtual Status SendData(std::string_view data) = 0;
    // Moves everything received and not yet taken into `into` (replacing its content).
    virtual void GetData(std::string& into) = 0;
    // Closes the connection; harmless in any state; raises no Close event.
    virtual void Close() = 0;
    virtual std::string RemoteHost() const = 0;
    virtual int32_t RemotePort() const = 0;
};

// A file open for reading at any offset.
class FileReader {
  public:
    virtual ~FileReader() = default;
    // Up to `size` bytes from `offset`; 0 at the end, -1 on failure (see Error()).
    virtual long ReadAt(uint64_t offset, char* into, std::size_t size) = 0;
    // The file's size now; 0 when it cannot be told.
    virtual uint64_t Size() = 0;
    virtual std::string Error() const = 0;
};

// A file open for writing: a log file appended to, or a new file that becomes visible under its
// name only by Commit. A new file destroyed without a successful Commit is removed.
class WritableFile {
  public:
    virtual ~WritableFile() = default;
    virtual Status Write(std::string_view bytes) = 0;
    // New files: flushes, syncs, gives the file the name `path` unless that name exists, syncs
    // the directory.
    virtual Status Commit(const std::string& path) = 0;
    // New files, the steps of a Commit one by one, so that a group of files is committed with
    // one sync of their file system (FileSystem::SyncFileSystem) and of their directory: the
    // data made durable; the name `path` unless it exists, without syncing anything.
    virtual Status Sync() = 0;
    virtual Status Publish(const std::string& path) = 0;
};

// File operations of the relay. Paths are full paths; every call reports failure by its result
// and never throws. Nothing but the configuration file is opened through a symbolic link.
class FileSystem {
  public:
    virtual ~FileSystem() = default;
    // Creates one directory (mode 0700); false when it could not be made or already exists.
    virtual bool CreateDirectory(const std::string& path) = 0;
    virtual bool Exists(const std::string& path) = 0;
    // The whole configuration file, read through a symbolic link; false when it cannot be read.
    virtual bool ReadConfiguration(const std::string& path, std::string& content) = 0;
    // A text that stays the same while the file `path` (through a link) is unchanged; empty when
    // that cannot be told, also while the file is so new that a later change could keep its time.
    virtual std::string SettledStamp(const std::string& path) = 0;
    virtual Result<std::unique_ptr<FileReader>> OpenForReading(const std::string& path) = 0;
    // A new file (mode 0600) under a temporary name in `directory` that no listing shows.
    virtual Result<std::unique_ptr<WritableFile>> CreateNewFile(const std::string& directory) = 0;
    // Appends to a file, creating it with mode 0600; null when it cannot be opened.
    virtual std::unique_ptr<WritableFile> OpenForAppend(const std::string& path) = 0;
    // Names (not paths) of the regular files in `directory` whose names end with `suffix`,
    // sorted by name. Temporary files of CreateNewFile never match.
    virtual std::vector<std::string> ListFiles(const std::string& directory,
                                               std::string_view suffix) = 0;
    // A text that stays the same while nothing is added to, renamed in or removed from
    // `directory`; empty when that cannot be told (the caller lists again).
    virtual std::string DirectoryStamp(const std::string& directory) = 0;
    // Renames; fails when `to` exists already (the old name stays).
    virtual bool RenameNoReplace(const std::string& from, const std::string& to) = 0;
    virtual bool Remove(const std::string& path) = 0;
    // Removes the temporary files that an interrupted new file left in `directory`.
    virtual void RemoveStaleTemporaryFiles(const std::string& directory) = 0;
    // Makes durable everything written to the file system that holds `directory`: one call for
    // the data of many new files, where a Sync of each would wait for the disk each time.
    virtual Status SyncFileSystem(const std::string& directory) = 0;
    // Makes the names in `directory` durable.
    virtual Status SyncDirectory(const std::string& directory) = 0;
    // Holds an exclusive lock on `path` for the rest of the process; fails when another
    // process holds it.
    virtual Status LockForThisProcess(const std::string& path) = 0;
};

// The service control: registration as a system service, the settings store, the event log.
// The Windows control also took the set of accepted service requests and a desktop flag; a
// systemd unit has neither (it is stopped by signal and never owns a desktop), so they are gone.
class ServiceControl {
  public:
    virtual ~ServiceControl() = default;
    virtual std::string DisplayName() = 0;
    virtual bool Install() = 0;
    virtual void LogEvent(int16_t eventType, int32_t eventId, const std::string& text) = 0;
    virtual bool Uninstall() = 0;
    virtual void StartService() = 0;
    virtual void SaveSetting(const std::string& section, const std::string& key,
                             const std::string& value) = 0;
    virtual std::string GetSetting(const std::string& section, const std::string& key,
                                   const std::string& defaultValue) = 0;
    // One line for the service manager to show ("systemctl status"); nothing outside a service.
    virtual void SetStatus(const std::string& text) = 0;
};

class ListBox;

// The window: caption, visibility, the list box of the log, the message box, and the end of the
// process. User commands (close, "Run POP now", resize) come back through callbacks of the
// implementation.
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

// Runs a shell command and reports the first line of its output (a password or a token).
class CommandRunner {
  public:
    using Done = std::function<void(bool ok, const std::string& firstLine, const std::string& why)>;
    virtual ~CommandRunner() = default;
    // `done` is called later, once, with ok false when the command could not run, failed or
    // printed nothing.
    virtual void Run(const std::string& command, Done done) = 0;
};
