// What reading the certificate's expiry adds to an https status check: the CPU time of status checks against a
// loopback HTTPS server, next to the CPU time of the extra work the handshake's verify callback does per check
// (the leaf's notAfter read and converted), repeated on the same certificate.
//
//   bench_cert_cost [--checks N]   (default 500)

#include "http/curl_global.h"
#include "http/http_client.h"
#include "site_farm_client.h"
#include "support/loopback_server.h"

#include <QCoreApplication>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sys/resource.h>

#include <cstdio>
#include <ctime>

using namespace Qt::StringLiterals;

namespace {

double CpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int checks = IntArg(app.arguments(), u"--checks"_s, 500);
    EnsureCurlGlobalInit();
    LoopbackServer server(LoopbackServer::Https);
    if (!server.IsListening())
        return 1;

    // Server threads share the process: their handshake half counts too, as a real server's wouldn't.
    const double before = CpuSeconds();
    qint64 seen = 0;
    for (int i = 0; i < checks; ++i) {
        HttpClient client;
        client.QueryStatus(server.Url(), false, 10);
        seen += client.CertificateExpiry() > 0 ? 1 : 0;
    }
    const double perCheck = (CpuSeconds() - before) / checks;

    const QByteArray pem = LoopbackServer::CertificatePem();
    BIO* bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    constexpr int kRepeats = 1'000'000;
    const double start = CpuSeconds();
    qint64 sum = 0;
    for (int i = 0; i < kRepeats; ++i) {
        std::tm tm {};
        if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &tm) == 1)
            sum += qint64(timegm(&tm));
    }
    const double perRead = (CpuSeconds() - start) / kRepeats;
    X509_free(cert);

    std::printf("https status check: %.3f ms CPU (client and loopback server), expiry known for %lld of %d\n",
        perCheck * 1e3, seen, checks);
    std::printf("expiry read per check: %.3f us CPU = %.3f %% of a check (checksum %lld)\n", perRead * 1e6,
        100.0 * perRead / perCheck, sum % 1000);
    return 0;
}
