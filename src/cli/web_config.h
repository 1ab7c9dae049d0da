#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <map>

// The metrics server's TLS and basic auth, read from a file in the layout Prometheus exporters use:
//   tls_server_config: { cert_file: PATH, key_file: PATH, min_version: TLS12|TLS13 }
//   basic_auth_users: { NAME: BCRYPT_HASH, ... }
// Paths are relative to the file. Unknown keys, unreadable certificates or keys, hashes other than bcrypt of
// cost kMinBcryptCost or more, TLS below 1.2 and basic auth without TLS are refused with a message.
struct WebConfig
{
    static constexpr int kMinBcryptCost = 10;

    QList<QSslCertificate> certificateChain; // empty: plain HTTP
    QSslKey privateKey;
    bool tls13Only = false;
    std::map<QByteArray, QByteArray> users; // empty: no auth

    bool HasTls() const { return !certificateChain.isEmpty(); }
    bool HasAuth() const { return !users.empty(); }
};

bool LoadWebConfig(const QString& path, WebConfig* config, QString* error);

// Checks an Authorization header value against the users. Takes the same time whether or not the user exists;
// a hash check costs tens of milliseconds, so callers remember the headers that passed (see BasicAuthCache).
bool CheckBasicAuth(const WebConfig& config, const QByteArray& authorization);
