#include "support/smtp_sink.h"

#include "support/loopback_server.h"

#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>

#include <mutex>
#include <utility>

using namespace Qt::StringLiterals;

struct SmtpSink::State
{
    QString user;
    QString password;
    QStringList refused;
    mutable std::mutex mutex;
    QList<Mail> mails;
    quint16 port = 0;
    QThread thread;
};

namespace {

class Server final : public QTcpServer
{
public:
    explicit Server(SmtpSink::State* state)
        : m_state(state)
    { }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setLocalCertificate(QSslCertificate(LoopbackServer::CertificatePem()));
        socket->setPrivateKey(QSslKey(LoopbackServer::CertificateKeyPem(), QSsl::Ec));
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        auto session = std::make_shared<Session>();
        connect(socket, &QSslSocket::readyRead, socket, [this, socket, session] { Serve(socket, *session); });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        socket->write("220 sink ESMTP\r\n");
    }

private:
    struct Session
    {
        bool loggedIn = false;
        bool awaitingLogin = false; // "AUTH PLAIN" sent without its credentials
        bool inData = false;
        SmtpSink::Mail mail;
    };

    static QString Address(const QByteArray& line)
    {
        const qsizetype open = line.indexOf('<');
        return QString::fromUtf8(line.mid(open + 1, line.indexOf('>') - open - 1));
    }

    QByteArray Login(Session& s, const QByteArray& base64)
    {
        const QList<QByteArray> parts = QByteArray::fromBase64(base64).split('\0');
        s.loggedIn = QString::fromUtf8(parts.value(1)) == m_state->user
            && QString::fromUtf8(parts.value(2)) == m_state->password;
        return s.loggedIn ? "235 2.7.0 ok" : "535 5.7.8 bad credentials";
    }

    QByteArray Answer(QSslSocket* socket, Session& s, const QByteArray& line)
    {
        if (std::exchange(s.awaitingLogin, false))
            return Login(s, line);
        const QList<QByteArray> words = line.split(' ');
        const QByteArray verb = words.first().toUpper();
        if (verb == "EHLO" || verb == "HELO")
            return socket->isEncrypted() ? "250-sink\r\n250-AUTH PLAIN\r\n250 8BITMIME" : "250-sink\r\n250 STARTTLS";
        if (verb == "STARTTLS" && !socket->isEncrypted())
            return "220 2.0.0 go ahead";
        if (verb == "AUTH" && socket->isEncrypted() && words.value(1).toUpper() == "PLAIN") {
            s.awaitingLogin = words.size() < 3;
            return s.awaitingLogin ? "334 " : Login(s, words.at(2));
        }
        if (verb == "MAIL") {
            s.mail = {};
            s.mail.from = Address(line);
            return s.loggedIn ? "250 2.1.0 ok" : "530 5.7.0 authentication required";
        }
        if (verb == "RCPT") {
            if (m_state->refused.contains(Address(line)))
                return "550 5.1.1 no such user";
            s.mail.to.append(Address(line));
            return "250 2.1.5 ok";
        }
        if (verb == "DATA") {
            s.inData = true;
            return "354 end with .";
        }
        return verb == "QUIT" ? "221 2.0.0 bye" : "502 5.5.2 not implemented";
    }

    void Serve(QSslSocket* socket, Session& s)
    {
        while (socket->canReadLine()) {
            const QByteArray raw = socket->readLine();
            const QByteArray line = raw.chopped(raw.endsWith("\r\n") ? 2 : 1);
            if (s.inData && line != ".") {
                s.mail.data += (line.startsWith('.') ? line.mid(1) : line) + "\r\n";
                continue;
            }
            if (s.inData) {
                s.inData = false;
                s.mail.tls = socket->isEncrypted();
                std::lock_guard lock(m_state->mutex);
                m_state->mails.append(std::exchange(s.mail, {}));
                socket->write("250 2.0.0 queued\r\n");
                continue;
            }
            const QByteArray answer = Answer(socket, s, line);
            socket->write(answer + "\r\n");
            if (answer.startsWith("220 "))
                socket->startServerEncryption();
            else if (answer.startsWith("221 "))
                socket->disconnectFromHost();
        }
    }

    SmtpSink::State* m_state;
};

} // namespace

SmtpSink::SmtpSink(const QString& user, const QString& password, const QStringList& refused)
    : m_state(std::make_shared<State>())
{
    m_state->user = user;
    m_state->password = password;
    m_state->refused = refused;
    auto* server = new Server(m_state.get());
    server->moveToThread(&m_state->thread);
    QObject::connect(&m_state->thread, &QThread::finished, server, &QObject::deleteLater);
    m_state->thread.start();
    QMetaObject::invokeMethod(
        server,
        [this, server] {
            if (server->listen(QHostAddress::LocalHost))
                m_state->port = server->serverPort();
        },
        Qt::BlockingQueuedConnection);
}

SmtpSink::~SmtpSink()
{
    m_state->thread.quit();
    m_state->thread.wait();
}

quint16 SmtpSink::Port() const
{
    return m_state->port;
}

QList<SmtpSink::Mail> SmtpSink::Mails() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->mails;
}
