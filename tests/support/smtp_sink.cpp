#include "support/smtp_sink.h"

#include "support/loopback_server.h"

#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>

#include <mutex>

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
    {
    }

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
        QByteArray authStep; // "PLAIN", "USER", "PASS" while a login waits for its next line
        QString loginUser;
        bool inData = false;
        SmtpSink::Mail mail;
    };

    static QString Address(const QByteArray& line)
    {
        const qsizetype open = line.indexOf('<');
        return QString::fromUtf8(line.mid(open + 1, line.indexOf('>') - open - 1));
    }

    void CheckLogin(QSslSocket* socket, Session& s, const QString& user, const QString& password)
    {
        s.loggedIn = user == m_state->user && password == m_state->password;
        socket->write(s.loggedIn ? "235 2.7.0 ok\r\n" : "535 5.7.8 bad credentials\r\n");
    }

    void Serve(QSslSocket* socket, Session& s)
    {
        while (socket->canReadLine()) {
            const QByteArray raw = socket->readLine();
            const QByteArray line = raw.chopped(raw.endsWith("\r\n") ? 2 : 1);
            if (s.inData) {
                if (line == ".") {
                    s.inData = false;
                    s.mail.tls = socket->isEncrypted();
                    {
                        std::lock_guard lock(m_state->mutex);
                        m_state->mails.append(s.mail);
                    }
                    s.mail = {};
                    socket->write("250 2.0.0 queued\r\n");
                } else {
                    s.mail.data += (line.startsWith('.') ? line.mid(1) : line) + "\r\n";
                }
                continue;
            }
            if (!s.authStep.isEmpty()) {
                const QByteArray decoded = QByteArray::fromBase64(line);
                if (s.authStep == "PLAIN") {
                    const QList<QByteArray> parts = decoded.split('\0');
                    s.authStep.clear();
                    CheckLogin(socket, s, QString::fromUtf8(parts.value(1)), QString::fromUtf8(parts.value(2)));
                } else if (s.authStep == "USER") {
                    s.loginUser = QString::fromUtf8(decoded);
                    s.authStep = "PASS";
                    socket->write("334 UGFzc3dvcmQ6\r\n");
                } else {
                    s.authStep.clear();
                    CheckLogin(socket, s, s.loginUser, QString::fromUtf8(decoded));
                }
                continue;
            }
            const QList<QByteArray> words = line.split(' ');
            const QByteArray verb = words.first().toUpper();
            if (verb == "EHLO" || verb == "HELO") {
                socket->write(socket->isEncrypted() ? "250-sink\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n"
                                                    : "250-sink\r\n250-STARTTLS\r\n250 8BITMIME\r\n");
            } else if (verb == "STARTTLS" && !socket->isEncrypted()) {
                socket->write("220 2.0.0 go ahead\r\n");
                socket->startServerEncryption();
            } else if (verb == "AUTH" && socket->isEncrypted() && words.size() >= 2) {
                const QByteArray mechanism = words.at(1).toUpper();
                if (mechanism == "PLAIN" && words.size() >= 3) {
                    const QList<QByteArray> parts = QByteArray::fromBase64(words.at(2)).split('\0');
                    CheckLogin(socket, s, QString::fromUtf8(parts.value(1)), QString::fromUtf8(parts.value(2)));
                } else if (mechanism == "PLAIN") {
                    s.authStep = "PLAIN";
                    socket->write("334 \r\n");
                } else if (mechanism == "LOGIN") {
                    s.authStep = "USER";
                    socket->write("334 VXNlcm5hbWU6\r\n");
                } else {
                    socket->write("504 5.5.4 unknown mechanism\r\n");
                }
            } else if (verb == "MAIL") {
                if (!s.loggedIn) {
                    socket->write("530 5.7.0 authentication required\r\n");
                } else {
                    s.mail = {};
                    s.mail.from = Address(line);
                    socket->write("250 2.1.0 ok\r\n");
                }
            } else if (verb == "RCPT") {
                const QString to = Address(line);
                if (m_state->refused.contains(to)) {
                    socket->write("550 5.1.1 no such user\r\n");
                } else {
                    s.mail.to.append(to);
                    socket->write("250 2.1.5 ok\r\n");
                }
            } else if (verb == "DATA") {
                s.inData = true;
                socket->write("354 end with .\r\n");
            } else if (verb == "QUIT") {
                socket->write("221 2.0.0 bye\r\n");
                socket->disconnectFromHost();
                return;
            } else if (verb == "RSET" || verb == "NOOP") {
                socket->write("250 2.0.0 ok\r\n");
            } else {
                socket->write("502 5.5.2 not implemented\r\n");
            }
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
