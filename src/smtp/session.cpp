// session.cpp - the SMTP conversation: HELO, MAIL FROM, RCPT TO, DATA, the composed message,
// ".", QUIT, one command per reply line.
//
// The message gets a header block of the relay's own making (Message-ID from the spool name,
// From, To, Subject, Date, MIME-Version, Content-Type) and the stored body, sent as it is: the
// spool keeps the dot-stuffed form in which the POP3 server sent it, which is the form SMTP
// wants. The reply to the end of data marks the message handed over, whatever its code.
//
// Server lines are untrusted: a line that is no reply reads as code 0 and is refused.
#include <cstdio>

#include "shell/main_object.h"
#include "shell/procs.h"
#include "smtp/compose.h"

using namespace TarvixPOP2SMTP_Procs;

void TarvixPOP2SMTP_Main::Winsock_SMTP_Client_DataArrival(int32_t /*bytesTotal*/) {
    std::string data;
    try {
        Winsock_SMTP_Client.GetData(data);
    } catch (const std::exception&) {
    }
    std::size_t searchFrom = m_ReceivedSMTPData.size();
    m_ReceivedSMTPData += data;

    std::size_t begin = 0;
    std::string line;
    for (std::size_t lf; (lf = m_ReceivedSMTPData.find('\n', searchFrom)) != std::string::npos;) {
        line.assign(m_ReceivedSMTPData, begin, lf - begin);
        std::erase(line, '\r');
        begin = searchFrom = lf + 1;
        WriteLog("(<- SMTP) ", line, 20);
        HandleSMTPLine(RoundToInt16(ReadNumber(line.substr(0, 3))));
        if (begin > m_ReceivedSMTPData.size()) begin = searchFrom = m_ReceivedSMTPData.size();
    }
    m_ReceivedSMTPData.erase(0, begin);
}

void TarvixPOP2SMTP_Main::HandleSMTPLine(int16_t replyCode) {
    const bool positive = replyCode >= 200 && replyCode <= 299;
    switch (m_SMTPState) {
        case 0:  // a line without a session is taken as the greeting
        case 1:
            if (!positive) return Winsock_SMTP_Client.Close();
            SendSMTPDataRow("HELO " + m_SMTPName);
            m_SMTPState = 2;
            return;
        case 2:
            if (!positive) return Winsock_SMTP_Client.Close();
            SendSMTPDataRow("MAIL FROM: <" + compose::AngleAddress(m_SMTPMessage.From));
            m_SMTPState = 3;
            return;
        case 3:
            if (!positive) return Winsock_SMTP_Client.Close();
            SendSMTPDataRow("RCPT TO: <" + compose::AngleAddress(m_SMTPMessage.To));
            m_SMTPState = 4;
            return;
        case 4:
            if (!positive) return Winsock_SMTP_Client.Close();
            SendSMTPDataRow("DATA");
            m_SMTPState = 5;
            return;
        case 5:
            if (replyCode < 300 || replyCode > 399) return Winsock_SMTP_Client.Close();
            SendMessageRows();
            m_SMTPState = 6;
            return;
        case 6:
            // Handed over whatever the reply: the file is deleted and not offered again.
            if (positive) {
                SendSMTPDataRow("QUIT");
                m_SMTPState = 7;
            } else {
                Winsock_SMTP_Client.Close();
            }
            m_SMTPSucceed = true;
            return;
        case 7:
            m_SMTPState = 0;
            Winsock_SMTP_Client.Close();
            return;
        default:
            return;
    }
}

void TarvixPOP2SMTP_Main::SendMessageRows() {
    const SMTPMessage& m = m_SMTPMessage;
    SendSMTPDataRow("Message-ID: <" + m.FileBase + ">");
    SendSMTPDataRow("From: " + m.From);
    SendSMTPDataRow("To: " + m.To);
    SendSMTPDataRow("Subject: " + m.Subject);
    SendSMTPDataRow(compose::DateLine(clock_.Now()));
    SendSMTPDataRow("MIME-Version: 1.0");
    SendSMTPDataRow("Content-Type: text/plain;");
    SendSMTPDataRow("");
    SendSMTPDataRow(m.Body);
    SendSMTPDataRow(".");
}
