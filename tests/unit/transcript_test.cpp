// transcript_test.cpp - runs the conversations of tests/transcripts/*.txt against the main object
// on fakes: the POP3 session, the SMTP session, the dispatch scan and start-up.
//
// A transcript file holds cases; "=== name" starts one. Each line is a directive (escapes \r \n
// \t \0 \\ \xNN, \z \Z for 64 KiB of z or CR LF, \k for 1 KiB of k in texts; {dir} is the
// program directory, {spool} its Messages/):
//   config LINE            a line of TarvixPOP2SMTP.ini (written before start-up)
//   configfile NAME; servicerun     the platform names another configuration; a service run
//   load [ARGS]            Form_Load with the command line (implied before the first action)
//   setting TEXT           the stored RunAsService value;  refuse install|uninstall
//   stop; unload           the service's stop event; closing the window
//   clock Y M D h m s WD [OFFSET]   (before load: the time start-up sees)
//   file NAME TEXT         writes Messages/NAME;  remove NAME  removes it
//   tick pop|smtp [N]      N ticks (default 1);  menu: Run POP now
//   <pop TEXT  <smtp TEXT  the server sends TEXT and CR LF, as one event
//   <pop~ TEXT             the same without CR LF;  hold: from here on nothing sent completes
//   >pop TEXT  >smtp TEXT  the next thing the relay did on that socket: a line it sent, or
//                          [connect H:P], [tls H:P], [starttls], [close];  >pop~ TEXT  no CR LF
//   event pop|smtp connect|close|secured|error TEXT
//   fail pop|smtp TEXT     the next Connect fails with TEXT;  fail create;  fail write;  fail read
//   NAME;
//                          fail lock (before load: another relay holds the directory)
//   plain pop|smtp         the peer is not on this machine (no TLS)
//   command ok TEXT | command fail TEXT   answers the oldest waiting command;  run TEXT: expects it
//   spool NAME...          the spool directory holds exactly these names ("-" for none; a
//                          temporary file as ".incoming-")
//   content NAME TEXT      a spool file's bytes;  logfile DATE TEXT  a log file's bytes
//   log TEXT               a list line (without its time) logged since the last log check
//   listed TEXT            the newest list line, with its time
//   nolog TEXT             no list line since the last check contains TEXT
//   state NAME VALUE       a member of the main object;  set NAME VALUE  sets one
//   state pop|smtp STATE   the session's state by name (RetrSent);  set pop|smtp STATE
//   service CALL; box TEXT; ended N; shown; hidden     the service calls, message boxes, end
// Before every action and at the end of a case everything the relay sent must have been
// expected: a transcript lists every command.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "fakes.h"
#include "relay/mail/addresses.h"
#include "relay/procs.h"
#include "relay/profile.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

struct Case {
    std::string name, file;
    std::vector<std::pair<int, std::string>> lines;
    friend void PrintTo(const Case& c, std::ostream* out) { *out << c.file << ": " << c.name; }
};

std::string Unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'x' && i + 2 < s.size() + 1) {
            out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else if (c == 'k') {  // 1 KiB of "k"
            out.append(1024, 'k');
        } else if (c == 'z' || c == 'Z') {  // 64 KiB of "z" or of CR LF pairs
            for (int k = 0; k < 32 * 1024; ++k) out += c == 'z' ? "zz" : "\r\n";
        } else {
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c == '0' ? '\0' : c;
        }
    }
    return out;
}

std::vector<Case> LoadCases() {
    std::vector<Case> cases;
    for (const auto& entry : std::filesystem::directory_iterator(TRANSCRIPT_DIR)) {
        std::ifstream in(entry.path());
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            if (line.rfind("=== ", 0) == 0) {
                cases.push_back({line.substr(4), entry.path().filename().string(), {}});
            } else if (!cases.empty() && !line.empty() && line[0] != '#') {
                cases.back().lines.emplace_back(number, line);
            }
        }
    }
    return cases;
}

class Player {
  public:
    explicit Player(const Case& c) : case_(c) {}

    void Play() {
        std::ofstream config;
        for (const auto& [number, line] : case_.lines) {
            where_ = case_.file + ":" + std::to_string(number) + ": " + line;
            std::size_t blank = line.find(' ');
            const std::string verb = line.substr(0, blank);
            arg_ = blank == std::string::npos ? "" : line.substr(blank + 1);
            if (verb == "config") {
                configText_ += arg_ + "\n";
            } else if (verb == "setting") {
                setting_ = arg_;
            } else if (verb == "refuse") {
                refused_ = arg_;
            } else if (verb == "configfile" || verb == "servicerun") {
                (verb == "servicerun" ? serviceRun_ : configName_) = arg_.empty() ? "1" : arg_;
            } else if (verb == "clock" && !relay_) {
                clockText_ = arg_;  // the time start-up sees
            } else if (verb == "fail" && arg_ == "lock" && !relay_) {
                failLock_ = true;
            } else if (verb == "file" && !relay_) {
                early_.emplace_back(Word(0), arg_.substr(arg_.find(' ') + 1));  // there at start-up
            } else {
                Do(verb);
                Drain();  // the events of the relay's own sends: a body is pulled as they come
                if (::testing::Test::HasFailure()) return;
            }
        }
        Start("");
        CheckAllExpected();
    }

  private:
    void Start(const std::string& args) {
        if (relay_) return;
        relay_ = std::make_unique<Relay>(args, configName_, !serviceRun_.empty());
        const std::string config =
            relay_->dir + (configName_.empty() ? "TarvixPOP2SMTP.ini" : configName_);
        std::ofstream(config) << configText_;
        // Old enough for its stamp to count: an unchanged configuration is not read again.
        std::filesystem::last_write_time(
            config, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(10));
        // The relay makes its directories itself; only files put there before it starts need them.
        for (const auto& [name, text] : early_) {
            const std::string path = Dir() + "Messages/" + name;
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            std::ofstream(path) << Subst(text);
        }
        relay_->service.stored = setting_;
        relay_->service.installOk = refused_ != "install";
        relay_->service.uninstallOk = refused_ != "uninstall";
        relay_->files.failLock = failLock_;
        if (!clockText_.empty()) SetClock(clockText_);
        relay_->main.Form_Load();
    }
    std::string Dir() const { return relay_->dir; }
    void SetClock(const std::string& text) {
        LocalTime& t = relay_->clock.now;
        std::sscanf(text.c_str(), "%d %d %d %d %d %d %d %d", &t.year, &t.month, &t.day, &t.hour,
                    &t.minute, &t.second, &t.weekday, &t.utcOffsetMinutes);
    }
    std::string Subst(std::string s) const {
        for (auto [key, value] :
             {std::pair<std::string, std::string>{"{spool}", Dir() + "Messages/"},
              {"{dir}", Dir()}}) {
            for (std::size_t at; (at = s.find(key)) != std::string::npos;)
                s.replace(at, key.size(), value);
        }
        return Unescape(s);
    }
    std::string Word(std::size_t index) const {
        std::istringstream in(arg_);
        std::string w;
        for (std::size_t i = 0; i <= index; ++i) {
            if (!(in >> w)) return "";
        }
        return w;
    }
    // The text after the first `words` words.
    std::string Rest(std::size_t words) const {
        std::size_t at = 0;
        for (std::size_t i = 0; i < words && at != std::string::npos; ++i) {
            at = arg_.find(' ', at);
            if (at != std::string::npos) ++at;
        }
        return at == std::string::npos ? "" : Subst(arg_.substr(at));
    }
    FakeSocket& Socket(const std::string& which) {
        return which == "pop" ? relay_->pop : relay_->smtp;
    }

    void Do(const std::string& verb) {
        if (verb == "load") return Start(arg_);
        Start("");
        if (verb[0] == '<') return Deliver(verb.substr(1));
        if (verb[0] == '>')
            return Expect(Socket(verb.substr(1, verb.find('~') - 1)), verb.back() == '~');
        if (Procedure(verb)) return;
        if (verb == "tick") return Tick();
        if (verb == "hold") return void(held_ = true);
        if (verb == "menu") return relay_->main.Menu_RunPOP_Click();
        if (verb == "stop") return relay_->main.NTService_Stop();
        if (verb == "unload") return relay_->main.Form_Unload();
        if (verb == "event") return Event();
        if (verb == "command") return Answer();
        if (verb == "log" || verb == "nolog") return CheckLog(verb == "log");
        if (verb == "state") return CheckState();
        if (verb == "set") return SetState();
        if (verb == "spool") return CheckSpool();
        if (verb == "content") {
            return Compare(Relay::Read(Dir() + "Messages/" + Word(0)), Rest(1), "content");
        }
        if (verb == "logfile") {
            return Compare(Relay::Read(Dir() + "LogFiles/" + Word(0) + ".Log"), Rest(1),
                           "log file");
        }
        if (verb == "remove") {
            ++relay_->files.outsideChanges;
            return void(std::filesystem::remove(Dir() + "Messages/" + Word(0)));
        }
        if (verb == "file") {
            ++relay_->files.outsideChanges;
            return void(std::ofstream(Dir() + "Messages/" + Word(0)) << Rest(1));
        }
        if (verb == "clock") return SetClock(arg_);
        if (verb == "listed") {
            return Compare(relay_->front.added.empty() ? "" : relay_->front.added.back(), Rest(0),
                           "list line");
        }
        if (verb == "fail") {
            if (Word(0) == "create") relay_->files.failCreate = true;
            if (Word(0) == "write") relay_->files.failWrite = true;
            if (Word(0) == "read") relay_->files.failRead = Word(1);
            if (Word(0) == "pop" || Word(0) == "smtp") Socket(Word(0)).failConnectWith = Rest(1);
            return;
        }
        if (verb == "plain") return void(Socket(Word(0)).loopback = false);
        if (verb == "run") return Pop(relay_->commands.commands, Rest(0), "command");
        if (verb == "service") return Pop(relay_->service.calls, Rest(0), "service call");
        if (verb == "box") return Pop(relay_->front.boxes, Rest(0), "message box");
        if (verb == "ended")
            return Compare(std::to_string(relay_->front.ended.value_or(-1)), arg_, "end");
        if (verb == "shown") return Compare(std::to_string(relay_->front.shown), "1", "shown");
        if (verb == "hidden") return Compare(std::to_string(relay_->front.hidden), "1", "hidden");
        ADD_FAILURE() << "unknown directive: " << where_;
    }

    // The procedures, as data: fields separated by " | ", "{}" for the empty text, the expected
    // result last.
    bool Procedure(const std::string& verb) {
        std::vector<std::string> f;
        for (std::size_t at = 0;;) {
            const std::size_t bar = arg_.find(" | ", at);
            const std::string field = arg_.substr(at, bar - at);
            f.push_back(field == "{}" ? "" : Unescape(field));
            if (bar == std::string::npos) break;
            at = bar + 3;
        }
        auto expect = [&](const std::string& actual) { Compare(actual, f.back(), "result"); };
        std::string found;
        if (verb == "field") {
            expect(GetField(f[0], std::stoi(f[1]), f[2]));
        } else if (verb == "number") {
            EXPECT_DOUBLE_EQ(ReadNumber(f[0]), std::stod(f[1])) << where_;
        } else if (verb == "int") {
            expect(std::to_string(ReadInt32(f[0])));
        } else if (verb == "match") {
            expect(std::to_string(MatchWildcard(f[0], f[1])));
        } else if (verb == "level") {
            expect(std::to_string(
                LevelSelection(f[0]).Selects(static_cast<int16_t>(std::stoi(f[1])))));
        } else if (verb == "ini") {
            profile_ = ProfileFile::Parse(f[0]);
        } else if (verb == "profile") {
            expect(profile_.GetString(f[0], f[1], f[2]));
        } else if (verb == "sections") {
            expect(profile_.SectionNames());
        } else if (verb == "sectionsize") {
            expect(std::to_string(profile_.SectionNames().size()));
        } else if (verb == "day") {
            expect(std::to_string(DayNumber(std::stoi(f[0]), std::stoi(f[1]), std::stoi(f[2]))));
        } else if (verb == "addresses") {
            std::vector<std::string> addresses;
            mail::AddAddresses(f[0], addresses);
            for (const std::string& a : addresses) found += (found.empty() ? "" : " ") + a;
            expect(found);
        } else {
            return false;
        }
        return true;
    }

    void Compare(const std::string& actual, const std::string& expected, const char* what) {
        EXPECT_EQ(actual, expected) << what << " at " << where_;
    }
    void Pop(std::deque<std::string>& from, const std::string& expected, const char* what) {
        ASSERT_FALSE(from.empty()) << "no " << what << " at " << where_;
        Compare(from.front(), expected, what);
        from.pop_front();
    }

    void Drain() {
        if (held_) return;
        while (relay_->smtp.sendPending || relay_->pop.sendPending) {
            for (FakeSocket* s : {&relay_->pop, &relay_->smtp}) {
                if (!s->sendPending) continue;
                s->sendPending = false;
                if (s->open) s->ev.onSendComplete();
            }
        }
    }

    void CheckAllExpected() {
        Drain();
        for (const char* which : {"pop", "smtp"}) {
            std::string rest;
            for (const std::string& d : Socket(which).done) rest += d;
            EXPECT_EQ(rest, "") << "not expected on " << which << " before " << where_;
            Socket(which).done.clear();
        }
    }

    void Deliver(const std::string& how) {
        CheckAllExpected();
        const bool raw = how.back() == '~';
        FakeSocket& s = Socket(raw ? how.substr(0, how.size() - 1) : how);
        s.pending += Subst(arg_) + (raw ? "" : "\r\n");
        s.ev.onDataArrival(static_cast<int32_t>(s.pending.size()));
    }

    void Expect(FakeSocket& s, bool raw) {
        const std::string expected = Subst(arg_);
        ASSERT_FALSE(s.done.empty()) << "nothing sent, expected at " << where_;
        std::string& front = s.done.front();
        if (expected.front() == '[' || front.front() == '[') {
            return Compare(front, expected, "action"), s.done.pop_front();
        }
        const std::string line = expected + (raw ? "" : "\r\n");
        ASSERT_EQ(front.substr(0, line.size()), line) << "sent at " << where_;
        front.erase(0, line.size());
        if (front.empty()) s.done.pop_front();
    }

    void Tick() {
        CheckAllExpected();
        const int n = Word(1).empty() ? 1 : std::stoi(Word(1));
        for (int i = 0; i < n; ++i) {
            (Word(0) == "pop" ? relay_->timerPOP : relay_->timerSMTP).tick();
            Drain();
        }
    }

    void Event() {
        CheckAllExpected();
        FakeSocket& s = Socket(Word(0));
        const std::string what = Word(1);
        if (what == "connect") s.ev.onConnect();
        if (what == "close") s.open = false, s.ev.onClose();
        if (what == "error") s.open = false, s.ev.onError(10054, Rest(2));
        if (what == "secured") s.secure = true, s.ev.onSecured();
    }

    void Answer() {
        CheckAllExpected();
        auto& waiting = relay_->commands.waiting;
        ASSERT_FALSE(waiting.empty()) << "no command waits at " << where_;
        auto done = std::move(waiting.front());
        waiting.pop_front();
        done(Word(0) == "ok", Word(0) == "ok" ? Rest(1) : "", Rest(1));
    }

    void CheckLog(bool present) {
        auto& added = relay_->front.added;
        const std::string expected = Subst(arg_);
        if (!present) {
            for (const std::string& l : added) EXPECT_EQ(l.find(expected), l.npos) << where_;
            return;
        }
        while (!added.empty() && added.front().substr(9) != expected) added.pop_front();
        ASSERT_FALSE(added.empty()) << "not logged: " << where_;
        added.pop_front();
    }

    // A temporary file of a spool file being written shows as its prefix alone.
    void CheckSpool() {
        std::multiset<std::string> names;
        std::error_code missing;
        for (auto& e : std::filesystem::directory_iterator(Dir() + "Messages", missing)) {
            const std::string name = e.path().filename();
            names.insert(name.starts_with(PosixFileSystem::kTempPrefix)
                             ? PosixFileSystem::kTempPrefix
                             : name);
        }
        std::string listed;
        for (const std::string& n : names) listed += (listed.empty() ? "" : " ") + n;
        Compare(listed.empty() ? "-" : listed, arg_, "spool");
    }

    // The members a transcript may look at, as text.
    std::map<std::string, std::string> Members() const {
        TarvixPOP2SMTP_Main& m = relay_->main;
        const POPSession& pop = RelayProbe::POP(m);
        const SMTPSession& smtp = RelayProbe::SMTP(m);
        const SMTPMessage& msg = m.m_SMTPMessage;
        auto n = [](auto v) { return std::to_string(v); };
        // clang-format off
        return {{"pop", std::string(Name(pop.m_POPState))},
                {"smtp", std::string(Name(smtp.m_SMTPState))},
                {"m_SMTPSucceed", n(m.m_SMTPSucceed)}, {"m_POPMessageCount", n(pop.m_POPMessageCount)},
                {"m_PollTimer", n(m.m_PollTimer)}, {"POPWatchdogTime", n(m.POPWatchdogTime)},
                {"SMTPBusyTime", n(m.SMTPBusyTime)}, {"ErrRetryTime", n(m.ErrRetryTime)},
                {"m_SMTPFileName", m.m_SMTPFileName}, {"m_POPServer", m.m_POPServer},
                {"m_POPPort", n(m.m_POPPort)}, {"m_POPInterval", n(m.m_POPInterval)},
                {"m_POPUser", m.m_POPUser}, {"m_POPPassword", m.m_POPPassword},
                {"m_SMTPServer", m.m_SMTPServer}, {"m_SMTPPort", n(m.m_SMTPPort)},
                {"m_SMTPName", m.m_SMTPName}, {"g_DebugLevel", g_DebugLevel},
                {"g_AppPath", g_AppPath}, {"g_SpoolPath", g_SpoolPath},
                {"g_RunAsService", n(g_RunAsService)}, {"caption", relay_->front.caption},
                {"status", relay_->service.status},
                {"ReceivedPOPData", n(pop.m_ReceivedPOPData.empty())},
                {"ReceivedSMTPData", n(smtp.m_ReceivedSMTPData.empty())},
                {"From", msg.From}, {"To", msg.To}, {"Subject", msg.Subject},
                {"ReturnPath", msg.ReturnPath}, {"FileBase", msg.FileBase},
                {"timers", n(relay_->timerPOP.enabled) + n(relay_->timerSMTP.enabled)}};
        // clang-format on
    }

    void CheckState() {
        auto members = Members();
        ASSERT_TRUE(members.count(Word(0))) << "unknown member at " << where_;
        Compare(members[Word(0)], Rest(1), "member");
    }

    // A session's state by its name; false for a name no state has.
    template <class State, std::size_t N>
    static bool StateNamed(const std::string& name, const StateName<State> (&table)[N],
                           State& into) {
        for (const auto& entry : table) {
            if (entry.name == name) return into = entry.state, true;
        }
        return false;
    }

    void SetState() {
        TarvixPOP2SMTP_Main& m = relay_->main;
        if (Word(0) == "pop" || Word(0) == "smtp") {
            const bool known =
                Word(0) == "pop"
                    ? StateNamed(Word(1), kPopStateNames, RelayProbe::POP(m).m_POPState)
                    : StateNamed(Word(1), kSmtpStateNames, RelayProbe::SMTP(m).m_SMTPState);
            ASSERT_TRUE(known) << "unknown state at " << where_;
            return;
        }
        const std::map<std::string, int32_t*> numbers{
            {"m_InternalMessageId", &m.m_InternalMessageId},
            {"m_PollTimer", &m.m_PollTimer},
            {"ErrRetryTime", &m.ErrRetryTime}};
        const int value = std::stoi(Word(1));
        if (numbers.count(Word(0))) *numbers.at(Word(0)) = value;
        if (Word(0) == "m_POPMessageCount") {
            RelayProbe::POP(m).m_POPMessageCount = static_cast<int16_t>(value);
        }
        if (Word(0) == "m_SMTPSucceed") m.m_SMTPSucceed = value;
        ASSERT_TRUE(numbers.count(Word(0)) || Word(0) == "m_SMTPSucceed" ||
                    Word(0) == "m_POPMessageCount")
            << "unknown member at " << where_;
    }

    const Case& case_;
    std::string configText_, setting_, refused_, arg_, where_, configName_, serviceRun_, clockText_;
    std::vector<std::pair<std::string, std::string>> early_;
    bool held_ = false, failLock_ = false;
    std::unique_ptr<Relay> relay_;
    ProfileFile profile_ = ProfileFile::Parse("");
};

class Transcript : public ::testing::TestWithParam<Case> {};

TEST_P(Transcript, Plays) {
    Player(GetParam()).Play();
}

INSTANTIATE_TEST_SUITE_P(, Transcript, ::testing::ValuesIn(LoadCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name =
                                 info.param.file.substr(0, info.param.file.find('.')) + "_" +
                                 info.param.name;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

}  // namespace
