#include "http/mail_transfer.h"

#include "http/curl_global.h"

#include <QUrl>

#include <cstring>

using namespace Qt::StringLiterals;

namespace {

struct Upload
{
    const QByteArray* data = nullptr;
    qsizetype offset = 0;
    const std::atomic<bool>* cancel = nullptr;
};

size_t ReadMessage(char* buffer, size_t size, size_t count, void* userData)
{
    auto* upload = static_cast<Upload*>(userData);
    const size_t n = std::min(size * count, size_t(upload->data->size() - upload->offset));
    std::memcpy(buffer, upload->data->constData() + upload->offset, n);
    upload->offset += qsizetype(n);
    return n;
}

int CheckCancel(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* upload = static_cast<const Upload*>(userData);
    return upload->cancel && upload->cancel->load() ? 1 : 0;
}

QString FailureText(CURLcode code, const char* detail)
{
    switch (code) {
    case CURLE_LOGIN_DENIED:
        return u"登录被拒绝"_s;
    case CURLE_USE_SSL_FAILED:
        return u"服务器不支持 STARTTLS"_s;
    case CURLE_PEER_FAILED_VERIFICATION:
        return u"服务器证书验证失败"_s;
    case CURLE_COULDNT_RESOLVE_HOST:
        return u"无法解析主机名"_s;
    case CURLE_COULDNT_CONNECT:
        return u"无法连接"_s;
    case CURLE_OPERATION_TIMEDOUT:
        return u"超时"_s;
    case CURLE_ABORTED_BY_CALLBACK:
        return u"已取消"_s;
    default:
        // "RCPT failed: 550" and the like: libcurl's own words name the step that failed.
        return QString::fromUtf8(*detail ? detail : curl_easy_strerror(code));
    }
}

} // namespace

QString SendMail(const MailTransfer& mail)
{
    const QUrl parsed(mail.server);
    const QString scheme = parsed.scheme().toLower();
    if ((scheme != u"smtp"_s && scheme != u"smtps"_s) || parsed.host().isEmpty())
        return u"邮件服务器需要 smtp:// 或 smtps:// 网址"_s;
    QUrl server;
    server.setScheme(scheme);
    server.setHost(parsed.host());
    server.setPort(parsed.port());

    EnsureCurlGlobalInit();
    const CurlInUse inUse;
    CURL* easy = curl_easy_init();
    if (!easy)
        return u"无法创建连接"_s;
    char detail[CURL_ERROR_SIZE] = {};
    Upload upload { &mail.message, 0, mail.cancel.get() };
    curl_slist* recipients = nullptr;
    for (const QString& to : mail.to)
        recipients = curl_slist_append(recipients, ('<' + to.toUtf8() + '>').constData());
    const QByteArray url = server.toString(QUrl::FullyEncoded).toUtf8();
    const QByteArray from = '<' + mail.from.toUtf8() + '>';
    const QByteArray user = mail.user.toUtf8();
    const QByteArray password = mail.password.toUtf8();
    const QByteArray caFile = mail.caFile.toUtf8();

    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(easy, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, ""); // no proxy variable of the environment takes mail anywhere
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, detail);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(mail.timeoutMs));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(mail.timeoutMs));
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &upload);
    if (!user.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, password.constData());
    }
    if (!caFile.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());
    curl_easy_setopt(easy, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, ReadMessage);
    curl_easy_setopt(easy, CURLOPT_READDATA, &upload);
    curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(mail.message.size()));
    OpenSocketsCloseOnExec(easy);

    const CURLcode result = curl_easy_perform(easy);
    long reply = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply);
    curl_slist_free_all(recipients);
    curl_easy_cleanup(easy);
    if (result == CURLE_OK)
        return {};
    const QString why = FailureText(result, detail);
    return reply > 0 ? u"应答码 %1：%2"_s.arg(reply).arg(why) : why;
}
