#include "cli/web_config.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <crypt.h>
#include <openssl/crypto.h>
#include <yaml-cpp/yaml.h>

#include <cstring>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

QString Text(const std::string& s)
{
    return QString::fromStdString(s);
}

bool IsBcrypt(const std::string& hash, int* cost)
{
    // $2b$10$ + 53 characters of salt and digest
    if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' || hash[3] != '$' || hash[6] != '$')
        return false;
    if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y')
        return false;
    if (!isdigit(static_cast<unsigned char>(hash[4])) || !isdigit(static_cast<unsigned char>(hash[5])))
        return false;
    *cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    return true;
}

bool ReadKey(const QByteArray& pem, QSslKey* key)
{
    for (QSsl::KeyAlgorithm algorithm : { QSsl::Rsa, QSsl::Ec, QSsl::Dsa }) {
        QSslKey candidate(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!candidate.isNull()) {
            *key = candidate;
            return true;
        }
    }
    return false;
}

bool LoadTls(const YAML::Node& node, const QDir& base, WebConfig* config, QString* error)
{
    QString certPath;
    QString keyPath;
    for (const auto& entry : node) {
        const std::string name = entry.first.as<std::string>();
        const std::string value = entry.second.IsScalar() ? entry.second.as<std::string>() : std::string();
        if (name == "cert_file") {
            certPath = base.absoluteFilePath(Text(value));
        } else if (name == "key_file") {
            keyPath = base.absoluteFilePath(Text(value));
        } else if (name == "min_version") {
            if (value == "TLS10" || value == "TLS11") {
                *error = u"tls_server_config.min_version %1 太弱，请用 TLS12 或 TLS13"_s.arg(Text(value));
                return false;
            }
            if (value != "TLS12" && value != "TLS13") {
                *error = u"tls_server_config.min_version 应为 TLS12 或 TLS13，而不是“%1”"_s.arg(Text(value));
                return false;
            }
            config->tls13Only = value == "TLS13";
        } else {
            *error = u"tls_server_config 中不支持的设置：%1"_s.arg(Text(name));
            return false;
        }
    }
    if (certPath.isEmpty() || keyPath.isEmpty()) {
        *error = u"tls_server_config 需要 cert_file 和 key_file"_s;
        return false;
    }
    QFile certFile(certPath);
    if (!certFile.open(QIODevice::ReadOnly)) {
        *error = u"无法读取证书文件 %1：%2"_s.arg(certPath, certFile.errorString());
        return false;
    }
    config->certificateChain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
    if (config->certificateChain.isEmpty()) {
        *error = u"证书文件 %1 中没有 PEM 证书"_s.arg(certPath);
        return false;
    }
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        *error = u"无法读取私钥文件 %1：%2"_s.arg(keyPath, keyFile.errorString());
        return false;
    }
    if (!ReadKey(keyFile.readAll(), &config->privateKey)) {
        *error = u"私钥文件 %1 中没有可用的 PEM 私钥（不支持加密的私钥）"_s.arg(keyPath);
        return false;
    }
    if (config->privateKey.algorithm() != config->certificateChain.constFirst().publicKey().algorithm()) {
        *error = u"私钥 %1 与证书 %2 不匹配"_s.arg(keyPath, certPath);
        return false;
    }
    return true;
}

bool LoadUsers(const YAML::Node& node, WebConfig* config, QString* error)
{
    for (const auto& entry : node) {
        const std::string name = entry.first.as<std::string>();
        const std::string hash = entry.second.IsScalar() ? entry.second.as<std::string>() : std::string();
        int cost = 0;
        if (name.empty() || name.find(':') != std::string::npos) {
            *error = u"basic_auth_users 中的用户名“%1”不可用"_s.arg(Text(name));
            return false;
        }
        if (!IsBcrypt(hash, &cost)) {
            *error = u"用户 %1 的密码不是 bcrypt 散列（$2y$ / $2b$）"_s.arg(Text(name));
            return false;
        }
        if (cost < WebConfig::kMinBcryptCost) {
            *error
                = u"用户 %1 的 bcrypt 代价 %2 太低，至少 %3"_s.arg(Text(name)).arg(cost).arg(WebConfig::kMinBcryptCost);
            return false;
        }
        config->users[QByteArray::fromStdString(name)] = QByteArray::fromStdString(hash);
    }
    return true;
}

} // namespace

bool LoadWebConfig(const QString& path, WebConfig* config, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = u"无法读取 --web-config 文件 %1：%2"_s.arg(path, file.errorString());
        return false;
    }
    const QByteArray text = file.readAll();
    WebConfig result;
    QString problem;
    try {
        const YAML::Node root = YAML::Load(text.toStdString());
        if (!root.IsNull() && !root.IsMap()) {
            problem = u"顶层应是键值表"_s;
        } else {
            const QDir base = QFileInfo(path).absoluteDir();
            for (const auto& entry : root) {
                const std::string name = entry.first.as<std::string>();
                const YAML::Node& value = entry.second;
                if (!value.IsNull() && !value.IsMap()) {
                    problem = u"%1 应是键值表"_s.arg(Text(name));
                    break;
                }
                if (name == "tls_server_config") {
                    if (!LoadTls(value, base, &result, &problem))
                        break;
                } else if (name == "basic_auth_users") {
                    if (!LoadUsers(value, &result, &problem))
                        break;
                } else {
                    problem = u"不支持的设置：%1"_s.arg(Text(name));
                    break;
                }
            }
        }
    } catch (const YAML::Exception& e) {
        problem = Text(e.what());
    }
    if (problem.isEmpty() && result.HasAuth() && !result.HasTls())
        problem = u"basic_auth_users 需要 tls_server_config：否则密码以明文传送"_s;
    if (!problem.isEmpty()) {
        *error = u"--web-config %1：%2"_s.arg(path, problem);
        return false;
    }
    *config = std::move(result);
    return true;
}

bool CheckBasicAuth(const WebConfig& config, const QByteArray& authorization)
{
    // Unknown users are checked against a hash of the same cost, so that the time tells nothing.
    static const QByteArray kDummy = [] {
        char setting[CRYPT_GENSALT_OUTPUT_SIZE] = {};
        auto data = std::make_unique<crypt_data>();
        if (!crypt_gensalt_rn("$2b$", WebConfig::kMinBcryptCost, nullptr, 0, setting, int(sizeof setting)))
            return QByteArray();
        const char* hash = crypt_rn("", setting, data.get(), int(sizeof(crypt_data)));
        return QByteArray(hash ? hash : "");
    }();
    QByteArray user;
    QByteArray password;
    const bool scheme = authorization.startsWith("Basic ");
    if (scheme) {
        const auto decoded = QByteArray::fromBase64Encoding(
            authorization.mid(6).trimmed(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
        const qsizetype colon = decoded ? (*decoded).indexOf(':') : -1;
        if (colon > 0) {
            user = (*decoded).left(colon);
            password = (*decoded).mid(colon + 1);
        }
    }
    const auto found = config.users.find(user);
    const bool known = !user.isEmpty() && found != config.users.end();
    const QByteArray& hash = known ? found->second : kDummy;
    auto data = std::make_unique<crypt_data>(); // value-initialised: zeroed as crypt_rn wants
    const char* result = crypt_rn(password.constData(), hash.constData(), data.get(), int(sizeof(crypt_data)));
    const bool match = result && std::strlen(result) == size_t(hash.size())
        && CRYPTO_memcmp(result, hash.constData(), size_t(hash.size())) == 0;
    return known && match;
}
