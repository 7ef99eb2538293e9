// connection.cpp - the connection side of an SMTP delivery: start, reset, send one line, and
// the socket's Connect, Close and Error events.
//
// A socket error marks the delivery as failed in the spool by renaming its file to ".err"; the
// dispatch scan re-queues such files every 30000 ms of idle ticks. A close by the server leaves
// the file queued, so it is taken again at the next idle tick.
#include "shell/main_object.h"
#include "shell/procs.h"
#include "spool/spool.h"

using namespace TarvixPOP2SMTP_Procs;

void TarvixPOP2SMTP_Main::SMTPSend(const std::string& SMTPServer, int32_t SMTPPort) {
    std::string failure;
    CloseAndShutdownSMTPClient();
    WriteLog("(   SMTP) Trying to connect to " + SMTPServer + ":" + std::to_string(SMTPPort), 99);
    m_SMTPState = 1;
    try {
        Winsock_SMTP_Client.Connect(SMTPServer, SMTPPort);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) WriteLog("(   SMTP) Failed: " + failure, 99);
}

void TarvixPOP2SMTP_Main::CloseAndShutdownSMTPClient() {
    Winsock_SMTP_Client.Close();
    m_ReceivedSMTPData.clear();
    m_SMTPState = 0;
}

void TarvixPOP2SMTP_Main::SendSMTPDataRow(const std::string& Message) {
    try {
        // Queued back to back, so the bytes leave as one row; the body is not copied for it.
        Winsock_SMTP_Client.SendData(Message);
        Winsock_SMTP_Client.SendData("\r\n");
    } catch (const std::exception&) {
        // A failed send is left to the watchdog; the row is logged all the same.
    }
    WriteLog("(-> SMTP) ", Message, 20);
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_Connect() {
    WriteLog("(   SMTP) Connected to " + Winsock_SMTP_Client.RemoteHost() + ":" +
                 std::to_string(Winsock_SMTP_Client.RemotePort()),
             99);
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_Close() {
    WriteLog("(   SMTP) Closed " + Winsock_SMTP_Client.RemoteHost() + ":" +
                 std::to_string(Winsock_SMTP_Client.RemotePort()),
             99);
    CloseAndShutdownSMTPClient();
}

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_Error(int32_t /*Number*/,
                                                    const std::string& Description) {
    CloseAndShutdownSMTPClient();
    WriteLog("(   SMTP) Socket Error: " + Description, 99);
    if (!m_SMTPFileName.empty()) {
        fileSystem_.RenameNoReplace(m_SMTPFileName, spool::WithExtension(m_SMTPFileName, "err"));
    }
}
