#include "http/http_client.h"
#include "support/loopback_server.h"

#include <QDateTime>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// The expiry seen by a request that accepts any certificate; -1 when the request failed.
qint64 TrustingExpiry(const QString& url)
{
    RequestObject trusting;
    trusting.SetOption(RequestObject::SslErrorIgnoreFlags,
        RequestObject::kIgnoreUnknownCa | RequestObject::kIgnoreCertCnInvalid | RequestObject::kIgnoreCertDateInvalid);
    trusting.Open(u"GET"_s, url);
    trusting.Send();
    return trusting.Status() == 200 ? trusting.CertificateExpiry() : -1;
}

} // namespace

class TestCertExpiry final : public QObject
{
    Q_OBJECT

private slots:
    void expiryReadFromHandshake();
    void leafDateOfAnUntrustedChain();
};

// The loopback certificate is self-signed and valid for 3650 days: the status request refuses it, yet its date
// is known; plain http has none.
void TestCertExpiry::expiryReadFromHandshake()
{
    LoopbackServer https(LoopbackServer::Https);
    LoopbackServer http;
    QVERIFY(https.IsListening() && http.IsListening());
    const qint64 expected = QDateTime::currentSecsSinceEpoch() + 3650LL * 24 * 3600;

    HttpClient client;
    QCOMPARE(client.QueryStatus(https.Url(), false, 10), 0);
    QTRY_VERIFY(https.TlsFailures() >= 1); // the server counts it on its own thread
    QVERIFY2(qAbs(client.CertificateExpiry() - expected) < 120, QByteArray::number(client.CertificateExpiry()));

    QVERIFY(qAbs(TrustingExpiry(https.Url()) - expected) < 120);

    client.Recreate();
    QCOMPARE(client.QueryStatus(http.Url(), false, 10), 200);
    QCOMPARE(client.CertificateExpiry(), 0);
}

// Verification stops at the intermediate whose issuer is unknown, before it reaches the leaf; the leaf's date
// (not the intermediate's) is still the one reported, refused or trusted.
void TestCertExpiry::leafDateOfAnUntrustedChain()
{
    LoopbackServer https(LoopbackServer::Https);
    QVERIFY(https.IsListening() && https.UseCertificateChain());
    const qint64 expected = QDateTime::currentSecsSinceEpoch() + LoopbackServer::kChainLeafDays * 24 * 3600;

    HttpClient client;
    QCOMPARE(client.QueryStatus(https.Url(), false, 10), 0);
    QVERIFY2(qAbs(client.CertificateExpiry() - expected) < 120, QByteArray::number(client.CertificateExpiry()));

    QVERIFY(qAbs(TrustingExpiry(https.Url()) - expected) < 120);
}

QTEST_GUILESS_MAIN(TestCertExpiry)
#include "tst_cert_expiry.moc"
