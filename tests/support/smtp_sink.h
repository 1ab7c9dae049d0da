#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// A mail server on 127.0.0.1 for the tests, on a thread of its own: EHLO, STARTTLS with the loopback
// certificate, AUTH PLAIN (offered only under TLS, as real servers do), MAIL, RCPT, DATA, QUIT.
// Mail before a login is refused with 530, a wrong login with 535, a recipient in the refused list with 550.
class SmtpSink final
{
public:
    struct Mail
    {
        QString from;
        QStringList to;
        QByteArray data; // as received, dots unstuffed, without the final "."
        bool tls = false;
    };

    SmtpSink(const QString& user, const QString& password, const QStringList& refused = {});
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    quint16 Port() const; // 0 when it could not listen
    QList<Mail> Mails() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};
