// How the threads that drive the transfers weigh on a pass: the status GET a check sends (HTTP/1.1, no redirects,
// body read and dropped, the process's parsed trust store, the connection closed after it), one per URL of a list,
// driven either by a few event-loop threads each with up to concurrency / K transfers on one multi handle, or by
// N workers that each do one transfer at a time on a multi handle of their own, as the program's workers do.
// One attempt per URL, no retries: only the threading differs. Prints "url<TAB>status" lines, then the figures
// to stderr.
//
//   bench_transfer_loop --list FILE --loops K --concurrency C
//   bench_transfer_loop --list FILE --workers N

#include "http/curl_global.h"
#include "http/curl_transfer.h"
#include "http/trust_store.h"
#include "site_farm_client.h"

#include <QElapsedTimer>

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

size_t Drop(char*, size_t size, size_t count, void*)
{
    return size * count;
}

CURLcode OnSslContext(CURL*, void* ctx, void*)
{
    TrustStore::Install(static_cast<SSL_CTX*>(ctx));
    return CURLE_OK;
}

CURL* MakeTransfer(const std::string& url)
{
    CURL* easy = curl_easy_init();
    CurlTransfer::SetCommonOptions(easy);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 20000L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Drop);
    if (TrustStore::Prepare(easy))
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &OnSslContext);
    return easy;
}

struct Pass
{
    std::vector<std::string> urls;
    std::vector<long> status;
    std::atomic<size_t> next { 0 };

    bool Take(size_t* index)
    {
        *index = next.fetch_add(1);
        return *index < urls.size();
    }
};

// One multi handle, up to `capacity` transfers in it, refilled as they end.
void RunLoop(Pass& pass, int capacity)
{
    CURLM* multi = curl_multi_init();
    int inFlight = 0;
    auto refill = [&] {
        size_t index = 0;
        while (inFlight < capacity && pass.Take(&index)) {
            CURL* easy = MakeTransfer(pass.urls[index]);
            curl_easy_setopt(easy, CURLOPT_PRIVATE, reinterpret_cast<void*>(index));
            curl_multi_add_handle(multi, easy);
            ++inFlight;
        }
    };
    refill();
    while (inFlight > 0) {
        int running = 0;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            CURL* easy = message->easy_handle;
            void* index = nullptr;
            curl_easy_getinfo(easy, CURLINFO_PRIVATE, &index);
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &pass.status[reinterpret_cast<size_t>(index)]);
            curl_multi_remove_handle(multi, easy);
            curl_easy_cleanup(easy);
            --inFlight;
        }
        refill();
        if (inFlight > 0)
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    curl_multi_cleanup(multi);
}

// One transfer at a time on a multi handle the worker keeps.
void RunWorker(Pass& pass)
{
    CURLM* multi = curl_multi_init();
    size_t index = 0;
    while (pass.Take(&index)) {
        CURL* easy = MakeTransfer(pass.urls[index]);
        curl_multi_add_handle(multi, easy);
        int running = 1;
        while (running > 0) {
            curl_multi_perform(multi, &running);
            if (running > 0)
                curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &pass.status[index]);
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
    }
    curl_multi_cleanup(multi);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int loops = IntArg(args, u"--loops"_s, 0);
    const int workers = IntArg(args, u"--workers"_s, 0);
    const int concurrency = IntArg(args, u"--concurrency"_s, 200);
    const qsizetype listAt = args.indexOf(u"--list"_s);
    QFile list(listAt >= 0 && listAt + 1 < args.size() ? args.at(listAt + 1) : QString());
    if ((loops > 0) == (workers > 0) || concurrency < 1 || !list.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "usage: bench_transfer_loop --list FILE (--loops K --concurrency C | --workers N)\n");
        return 2;
    }
    RaiseOpenFileLimit();
    EnsureCurlGlobalInit();
    Pass pass;
    while (!list.atEnd()) {
        const QByteArray line = list.readLine().trimmed();
        if (!line.isEmpty())
            pass.urls.emplace_back(line.toStdString());
    }
    pass.status.assign(pass.urls.size(), 0);

    QElapsedTimer wall;
    wall.start();
    std::vector<std::thread> threads;
    if (loops > 0) {
        for (int i = 0; i < loops; ++i)
            threads.emplace_back(RunLoop, std::ref(pass), (concurrency + loops - 1) / loops);
    } else {
        for (int i = 0; i < workers; ++i)
            threads.emplace_back(RunWorker, std::ref(pass));
    }
    for (std::thread& thread : threads)
        thread.join();
    for (size_t i = 0; i < pass.urls.size(); ++i)
        std::printf("%s\t%ld\n", pass.urls[i].c_str(), pass.status[i]);
    std::fprintf(stderr, "%zu transfers on %zu threads in %.2f s\n", pass.urls.size(), threads.size(),
        double(wall.elapsed()) / 1000.0);
    return 0;
}
