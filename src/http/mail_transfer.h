#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

// One mail handed to an SMTP server by libcurl: STARTTLS is required on smtp://, TLS from the first byte on
// smtps://, the server's certificate is always verified. Runs on the calling thread, bounded by timeoutMs.
struct MailTransfer
{
    QString server; // "smtp://host:port" or "smtps://host:port"; anything after the port is ignored
    QString user; // empty: no login
    QString password;
    QString from;
    QStringList to;
    QByteArray message; // headers and body, CR LF line ends
    QString caFile {}; // a self-hosted server's CA bundle (PEM); empty: the system's
    int timeoutMs = 10'000;
    std::shared_ptr<const std::atomic<bool>> cancel {};
};

// Empty when the server took the mail, else why not, with its last reply code ("应答码 535：登录被拒绝").
// The password is never part of the text.
QString SendMail(const MailTransfer& mail);
