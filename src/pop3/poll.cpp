// poll.cpp - when the relay talks to its POP3 server, and the connection side of a session.
//
// Timer_POP counts idle time towards the poll interval and busy time towards the 10000 ms
// watchdog; the menu command makes the next idle tick poll at once. The session itself (the
// reply lines) is in session.cpp. Both counters advance by the timer's nominal interval and
// saturate, so a huge configured interval cannot wrap them round to a negative number.
#include "shell/main_object.h"
#include "shell/procs.h"

using namespace TarvixPOP2SMTP_Procs;

void TarvixPOP2SMTP_Main::Timer_POP_Timer() {
    if (m_POPState == 0) {
        m_PollTimer = SaturatingAdd(m_PollTimer, Timer_POP.Interval());
        if (m_PollTimer >= m_POPInterval) {
            POPWatchdogTime = 0;
            POPConnect();
            m_PollTimer = 0;
        }
    } else {
        POPWatchdogTime = SaturatingAdd(POPWatchdogTime, Timer_POP.Interval());
        if (POPWatchdogTime > kWatchdogMs) CloseAndShutdownPOPClient();
    }
}

void TarvixPOP2SMTP_Main::Menu_RunPOP_Click() {
    m_PollTimer = m_POPInterval;
}

void TarvixPOP2SMTP_Main::POPConnect() {
    std::string failure;
    CloseAndShutdownPOPClient();
    WriteLog("(   POP3) Trying to connect to " + m_POPServer + ":" + std::to_string(m_POPPort), 99);
    m_POPState = 1;
    try {
        Winsock_POP_Client.Connect(m_POPServer, m_POPPort);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) WriteLog("(   POP3) Failed: " + failure, 99);
}

void TarvixPOP2SMTP_Main::CloseAndShutdownPOPClient() {
    Winsock_POP_Client.Close();
    m_ReceivedPOPData.clear();
    m_ReceivedPOPMessage.clear();
    m_POPState = 0;
    m_POPMessageCount = 0;
}

void TarvixPOP2SMTP_Main::SendPOPDataRow(const std::string& Message) {
    try {
        Winsock_POP_Client.SendData(Message + "\r\n");
    } catch (const std::exception&) {
        // A failed send is left to the watchdog; the command is logged all the same.
    }
    WriteLog("(-> POP3) ", Message, m_POPState);
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_Connect() {
    WriteLog("(   POP3) Connected to " + m_POPServer + ":" + std::to_string(m_POPPort), 99);
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_Close() {
    WriteLog("(   POP3) Closed " + m_POPServer + ":" + std::to_string(m_POPPort), 99);
    CloseAndShutdownPOPClient();
}

void TarvixPOP2SMTP_Main::Winsock_POP_Client_Error(int32_t /*Number*/,
                                                   const std::string& Description) {
    CloseAndShutdownPOPClient();
    WriteLog("(   POP3) Socket Error: " + Description, 99);
}
