// states.h - the states of the POP3 and SMTP sessions, with their names for traces and tests.
//
// The numbers are part of what the relay shows: a POP3 line is logged at the level of the state
// that sends or handles it, so DebugLevel=6,7 selects the retrieval lines. They keep their
// values; 0 is "no session" for both. The optional steps (TLS, logins, EHLO) have numbers from
// 10 on. The session files (pop3/session.cpp, smtp/session.cpp) open with a table of what each
// state sent and what its reply does.
#pragma once

#include <cstdint>
#include <string_view>

enum class PopState : int16_t {
    Idle = 0,
    Greeting = 1,  // connecting, then the greeting is awaited
    UserSent = 2,
    PassSent = 3,
    ListSent = 4,
    ListLines = 5,  // the lines of the LIST answer, up to "."
    RetrSent = 6,
    MessageLines = 7,  // the lines of a message, up to "."
    DeleSent = 8,
    QuitSent = 9,
    StlsSent = 10,
    StlsHandshake = 11,
    XOAuth2Sent = 12,  // "AUTH XOAUTH2": the continuation asks for the token
    TokenSent = 13,
    CapaSent = 14,  // Dispatch=continuous: the capabilities asked for after the login
    CapaLines = 15,
};

enum class SmtpState : int16_t {
    Idle = 0,
    Greeting = 1,
    HeloSent = 2,
    MailSent = 3,
    RcptSent = 4,
    DataSent = 5,
    BodySent = 6,  // the message and "." are leaving; the reply to the end of data is awaited
    QuitSent = 7,
    EhloSent = 10,
    StartTlsSent = 11,
    StartTlsHandshake = 12,
    AuthSent = 13,
    LoginUserSent = 14,
    LoginPasswordSent = 15,
};

template <class State>
struct StateName {
    State state;
    std::string_view name;
};

inline constexpr StateName<PopState> kPopStateNames[] = {
    {PopState::Idle, "Idle"},
    {PopState::Greeting, "Greeting"},
    {PopState::UserSent, "UserSent"},
    {PopState::PassSent, "PassSent"},
    {PopState::ListSent, "ListSent"},
    {PopState::ListLines, "ListLines"},
    {PopState::RetrSent, "RetrSent"},
    {PopState::MessageLines, "MessageLines"},
    {PopState::DeleSent, "DeleSent"},
    {PopState::QuitSent, "QuitSent"},
    {PopState::StlsSent, "StlsSent"},
    {PopState::StlsHandshake, "StlsHandshake"},
    {PopState::XOAuth2Sent, "XOAuth2Sent"},
    {PopState::TokenSent, "TokenSent"},
    {PopState::CapaSent, "CapaSent"},
    {PopState::CapaLines, "CapaLines"},
};

inline constexpr StateName<SmtpState> kSmtpStateNames[] = {
    {SmtpState::Idle, "Idle"},
    {SmtpState::Greeting, "Greeting"},
    {SmtpState::HeloSent, "HeloSent"},
    {SmtpState::MailSent, "MailSent"},
    {SmtpState::RcptSent, "RcptSent"},
    {SmtpState::DataSent, "DataSent"},
    {SmtpState::BodySent, "BodySent"},
    {SmtpState::QuitSent, "QuitSent"},
    {SmtpState::EhloSent, "EhloSent"},
    {SmtpState::StartTlsSent, "StartTlsSent"},
    {SmtpState::StartTlsHandshake, "StartTlsHandshake"},
    {SmtpState::AuthSent, "AuthSent"},
    {SmtpState::LoginUserSent, "LoginUserSent"},
    {SmtpState::LoginPasswordSent, "LoginPasswordSent"},
};

// The name of a state; "?" for a value outside the enum.
template <class State, std::size_t N>
constexpr std::string_view NameOf(State state, const StateName<State> (&table)[N]) {
    for (const auto& entry : table) {
        if (entry.state == state) return entry.name;
    }
    return "?";
}
inline constexpr std::string_view Name(PopState s) {
    return NameOf(s, kPopStateNames);
}
inline constexpr std::string_view Name(SmtpState s) {
    return NameOf(s, kSmtpStateNames);
}

// The log level of the lines of a state: its number.
inline constexpr int16_t Level(PopState s) {
    return static_cast<int16_t>(s);
}

// A running SMTP session that has not had the reply to its end of data (QuitSent follows it).
inline constexpr bool SessionBeforeHandover(SmtpState s) {
    return s != SmtpState::Idle && s != SmtpState::QuitSent;
}
