#include "http/http_client.h"
#include "http/trust_store.h"
#include "support/loopback_server.h"
#include "support/test_files.h"

#include <QTemporaryDir>
#include <QTest>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

using namespace Qt::StringLiterals;

namespace {

// A CA that signed nothing the servers use: a bundle of it loads, yet trusts none of them.
QByteArray UnrelatedCaPem()
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME_add_entry_by_txt(
        X509_get_subject_name(cert), "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("other"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_sign(cert, key, EVP_sha256());
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    const QByteArray pem(data, size);
    BIO_free(bio);
    X509_free(cert);
    EVP_PKEY_free(key);
    return pem;
}

} // namespace

// The trust store and the share of one client's transfers, seen from a loopback HTTPS server: which handshakes
// resumed a session, and which certificates the status request accepts.
class TestTransferShare final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void laterRequestsOfAClientResume();
    void pageFetchRidesTheStatusConnection_data();
    void pageFetchRidesTheStatusConnection();
    void fetchThatTrustsAnyCertificateLeavesNoSession();
    void fetchOfAMismatchedNameStillReads();
    void changedBundleIsReadAgain();

private:
    QTemporaryDir m_dir;
    QString m_bundle;
};

void TestTransferShare::init()
{
    m_bundle = m_dir.filePath(u"bundle.pem"_s);
    QVERIFY(WriteFileBytes(m_bundle, LoopbackServer::CertificatePem()));
    TrustStore::UseBundleFile(m_bundle);
}

void TestTransferShare::cleanup()
{
    TrustStore::UseBundleFile({});
}

// The status request makes the one full handshake; the page fetch after it and a retry resume its session, and
// the bundle is parsed once for all of them.
void TestTransferShare::laterRequestsOfAClientResume()
{
    LoopbackServer server(LoopbackServer::Https);
    QVERIFY(server.IsListening());
    const int loads = TrustStore::LoadCount();
    HttpClient client;
    QCOMPARE(client.QueryStatus(server.Url(), false, 10), 200);
    QCOMPARE(client.FetchPage(server.Url()), u"OK"_s);
    client.Recreate();
    QCOMPARE(client.QueryStatus(server.Url(), false, 10), 200);
    QTRY_COMPARE(server.TotalConnections(), 3);
    QCOMPARE(server.ResumedHandshakes(), 2);
    QCOMPARE(TrustStore::LoadCount(), loads + 1);

    // Another client (another site's check) starts with a full handshake of its own.
    HttpClient other;
    QCOMPARE(other.QueryStatus(server.Url(), false, 10), 200);
    QTRY_COMPARE(server.TotalConnections(), 4);
    QCOMPARE(server.ResumedHandshakes(), 2);
}

// A client that shares connections sends the page fetch over the status request's connection when the server
// keeps it; a fresh attempt still opens its own, and a closed connection is simply made again.
void TestTransferShare::pageFetchRidesTheStatusConnection_data()
{
    QTest::addColumn<bool>("https");
    QTest::addColumn<bool>("serverCloses");
    QTest::newRow("http, kept") << false << false;
    QTest::newRow("https, kept") << true << false;
    QTest::newRow("https, closed") << true << true;
}

void TestTransferShare::pageFetchRidesTheStatusConnection()
{
    QFETCH(bool, https);
    QFETCH(bool, serverCloses);
    LoopbackServer server(https ? LoopbackServer::Https : LoopbackServer::Http);
    QVERIFY(server.IsListening());
    LoopbackResponse page = LoopbackResponse::Ok("the page");
    page.closeConnection = serverCloses;
    server.SetDefault(page);
    HttpClient client(true);
    client.GetRequestObject()->SetKeepConnection(true);
    QCOMPARE(client.QueryStatus(server.Url(), false, 10), 200);
    QCOMPARE(client.FetchPage(server.Url()), u"the page"_s);
    QCOMPARE(server.RequestCount(), 2);
    QTRY_COMPARE(server.TotalConnections(), serverCloses ? 2 : 1);
    QCOMPARE(server.ResumedHandshakes(), https && serverCloses ? 1 : 0);

    client.Recreate();
    client.GetRequestObject()->SetFreshConnection(true);
    QCOMPARE(client.QueryStatus(server.Url(), false, 10), 200);
    QTRY_COMPARE(server.TotalConnections(), serverCloses ? 3 : 2);
}

// The page fetch accepts any certificate: a session it made would let a later status request skip verification.
void TestTransferShare::fetchThatTrustsAnyCertificateLeavesNoSession()
{
    QVERIFY(WriteFileBytes(m_bundle, UnrelatedCaPem()));
    LoopbackServer server(LoopbackServer::Https);
    QVERIFY(server.IsListening());
    HttpClient client;
    QCOMPARE(client.FetchPage(server.Url()), u"OK"_s);
    QCOMPARE(client.QueryStatus(server.Url(), false, 10), 0);
    QVERIFY(IsTlsFailure(client.StatusFailure().reason));
    QCOMPARE(server.ResumedHandshakes(), 0);
}

// The chain's leaf names no address: the fetch that would resume a session fails libcurl's name check, and the
// page is read unverified as before.
void TestTransferShare::fetchOfAMismatchedNameStillReads()
{
    LoopbackServer server(LoopbackServer::Https);
    QVERIFY(server.IsListening() && server.UseCertificateChain());
    server.SetDefault(LoopbackResponse::Ok("chained page"));
    HttpClient client;
    QCOMPARE(client.QueryStatus(server.Url(), false, 10), 0);
    QCOMPARE(client.FetchPage(server.Url()), u"chained page"_s);
}

// A replaced bundle reaches every later handshake, also those on libcurl handles a finished client left behind.
void TestTransferShare::changedBundleIsReadAgain()
{
    QVERIFY(WriteFileBytes(m_bundle, "not a certificate\n"));
    LoopbackServer server(LoopbackServer::Https);
    QVERIFY(server.IsListening());
    HttpClient client;
    QCOMPARE(client.QueryStatus(server.Url(), false, 10), 0);
    QVERIFY(IsTlsFailure(client.StatusFailure().reason));

    QVERIFY(WriteFileBytes(m_bundle, LoopbackServer::CertificatePem()));
    {
        HttpClient after;
        after.GetRequestObject()->SetKeepConnection(false); // its libcurl handles go on to serve the next client
        QCOMPARE(after.QueryStatus(server.Url(), false, 10), 200);
    }

    QVERIFY(WriteFileBytes(m_bundle, UnrelatedCaPem()));
    HttpClient next;
    QCOMPARE(next.QueryStatus(server.Url(), false, 10), 0);
    QVERIFY(IsTlsFailure(next.StatusFailure().reason));
}

QTEST_GUILESS_MAIN(TestTransferShare)
#include "tst_transfer_share.moc"
