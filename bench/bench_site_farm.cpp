// A loopback site farm for the pass benchmarks: many listening ports on 127.0.0.1, so that
// thousands of checks never share a connection or run out of client ports, served by one or
// two epoll threads. Every answer closes its connection.
//
//   bench_site_farm [--ports N] [--base-port P] [--threads T] [--delay-ms D] [--body-bytes B]
//                   [--abnormal-every K] [--list COUNT:FILE]... [--curl-config COUNT:FILE]...
//
// Paths: "/status/NNN/..." answers NNN, anything else 200 with a small HTML page.
// With --abnormal-every K, every K-th generated URL asks for a 500.
// Prints "ready FIRST_PORT PORT_COUNT" on stdout once it listens; runs until SIGINT or SIGTERM.

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <queue>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

std::atomic<bool> g_stop { false };

struct FarmConfig
{
    int ports = 100;
    int basePort = 0; // 0: ephemeral ports chosen by the kernel
    int threads = 2;
    int delayMs = 0;
    int bodyBytes = 512;
    int abnormalEvery = 0;
    std::vector<std::pair<int, std::string>> lists;
    std::vector<std::pair<int, std::string>> curlConfigs;
};

struct Connection
{
    std::string in;
    std::string out;
    size_t sent = 0;
    bool replying = false;
};

using Clock = std::chrono::steady_clock;

struct Pending
{
    Clock::time_point due;
    int fd;
    bool operator>(const Pending& other) const { return due > other.due; }
};

void OnSignal(int)
{
    g_stop.store(true);
}

[[noreturn]] void Usage(const char* message)
{
    std::fprintf(stderr, "bench_site_farm: %s\n", message);
    std::exit(2);
}

std::pair<int, std::string> CountAndFile(const char* arg)
{
    const char* colon = std::strchr(arg, ':');
    if (!colon || colon == arg || colon[1] == '\0')
        Usage("expected COUNT:FILE");
    return { std::atoi(arg), std::string(colon + 1) };
}

FarmConfig ParseArgs(int argc, char** argv)
{
    FarmConfig config;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc)
                Usage("option needs a value");
            return argv[++i];
        };
        if (arg == "--ports")
            config.ports = std::atoi(value());
        else if (arg == "--base-port")
            config.basePort = std::atoi(value());
        else if (arg == "--threads")
            config.threads = std::atoi(value());
        else if (arg == "--delay-ms")
            config.delayMs = std::atoi(value());
        else if (arg == "--body-bytes")
            config.bodyBytes = std::atoi(value());
        else if (arg == "--abnormal-every")
            config.abnormalEvery = std::atoi(value());
        else if (arg == "--list")
            config.lists.push_back(CountAndFile(value()));
        else if (arg == "--curl-config")
            config.curlConfigs.push_back(CountAndFile(value()));
        else
            Usage("unknown option");
    }
    if (config.ports < 1 || config.threads < 1 || config.threads > 16 || config.delayMs < 0 || config.bodyBytes < 0)
        Usage("bad option value");
    return config;
}

std::string ReasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

std::string Response(const std::string& request, int bodyBytes)
{
    int status = 200;
    const size_t pathStart = request.find(' ');
    if (pathStart != std::string::npos && request.compare(pathStart + 1, 8, "/status/") == 0) {
        const int asked = std::atoi(request.c_str() + pathStart + 9);
        if (asked >= 100 && asked <= 599)
            status = asked;
    }
    std::string body = "<html><head><title>farm</title></head><body>site farm page ";
    while (static_cast<int>(body.size()) < bodyBytes)
        body += "lorem ipsum ";
    body += "</body></html>\n";
    const bool head = request.compare(0, 5, "HEAD ") == 0;
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status)
        + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + std::to_string(body.size())
        + "\r\nConnection: close\r\n\r\n";
    if (!head)
        out += body;
    return out;
}

// One epoll thread: accepts on every listening socket (shared with the other threads through
// EPOLLEXCLUSIVE), reads a request head, answers after the delay and closes.
void Serve(const std::vector<int>& listeners, const FarmConfig& config)
{
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (int listener : listeners) {
        epoll_event event {};
        event.events = EPOLLIN | EPOLLEXCLUSIVE;
        event.data.fd = listener;
        epoll_ctl(ep, EPOLL_CTL_ADD, listener, &event);
    }
    const std::vector<bool> isListener = [&] {
        std::vector<bool> flags;
        for (int fd : listeners) {
            if (fd >= static_cast<int>(flags.size()))
                flags.resize(fd + 1, false);
            flags[fd] = true;
        }
        return flags;
    }();
    std::unordered_map<int, Connection> connections;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<>> pending;
    std::vector<epoll_event> events(512);

    auto closeConnection = [&](int fd) {
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        connections.erase(fd);
    };
    auto trySend = [&](int fd, Connection& connection) {
        while (connection.sent < connection.out.size()) {
            const ssize_t n = send(
                fd, connection.out.data() + connection.sent, connection.out.size() - connection.sent, MSG_NOSIGNAL);
            if (n > 0) {
                connection.sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                epoll_event event {};
                event.events = EPOLLOUT;
                event.data.fd = fd;
                epoll_ctl(ep, EPOLL_CTL_MOD, fd, &event);
                return;
            }
            break;
        }
        closeConnection(fd);
    };
    auto startReply = [&](int fd, Connection& connection) {
        connection.out = Response(connection.in, config.bodyBytes);
        trySend(fd, connection);
    };

    while (!g_stop.load()) {
        // Nanosecond time-outs: whole milliseconds would make every delayed answer up to 1 ms late.
        std::chrono::nanoseconds wait = std::chrono::milliseconds(200);
        if (!pending.empty())
            wait = std::clamp<std::chrono::nanoseconds>(pending.top().due - Clock::now(), {}, wait);
        const timespec timeout { 0, static_cast<long>(wait.count()) };
        const int n = epoll_pwait2(ep, events.data(), static_cast<int>(events.size()), &timeout, nullptr);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd < static_cast<int>(isListener.size()) && isListener[fd]) {
                for (;;) {
                    const int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (client < 0)
                        break;
                    const int one = 1;
                    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    connections[client] = Connection {};
                    epoll_event event {};
                    event.events = EPOLLIN | EPOLLRDHUP;
                    event.data.fd = client;
                    epoll_ctl(ep, EPOLL_CTL_ADD, client, &event);
                }
                continue;
            }
            auto it = connections.find(fd);
            if (it == connections.end())
                continue;
            Connection& connection = it->second;
            if (connection.replying) {
                if (events[i].events & EPOLLOUT)
                    trySend(fd, connection);
                else if (events[i].events & (EPOLLHUP | EPOLLERR))
                    closeConnection(fd);
                continue;
            }
            char buffer[4096];
            bool closed = false;
            for (;;) {
                const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
                if (got > 0) {
                    connection.in.append(buffer, static_cast<size_t>(got));
                    if (connection.in.size() > 65536) {
                        closed = true;
                        break;
                    }
                    continue;
                }
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                    break;
                closed = true;
                break;
            }
            if (connection.in.find("\r\n\r\n") != std::string::npos) {
                connection.replying = true;
                epoll_event event {};
                event.events = 0;
                event.data.fd = fd;
                epoll_ctl(ep, EPOLL_CTL_MOD, fd, &event);
                if (config.delayMs > 0)
                    pending.push({ Clock::now() + std::chrono::milliseconds(config.delayMs), fd });
                else
                    startReply(fd, connection);
            } else if (closed) {
                closeConnection(fd);
            }
        }
        const auto now = Clock::now();
        while (!pending.empty() && pending.top().due <= now) {
            const int fd = pending.top().fd;
            pending.pop();
            auto it = connections.find(fd);
            if (it != connections.end())
                startReply(fd, it->second);
        }
    }
    for (auto& entry : connections)
        close(entry.first);
    close(ep);
}

std::string Url(int index, const std::vector<int>& ports, int abnormalEvery)
{
    const int port = ports[static_cast<size_t>(index) % ports.size()];
    std::string path = "/site/" + std::to_string(index);
    if (abnormalEvery > 0 && (index + 1) % abnormalEvery == 0)
        path = "/status/500/" + std::to_string(index);
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

void WriteLists(const FarmConfig& config, const std::vector<int>& ports)
{
    for (const auto& [count, file] : config.lists) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < count; ++i)
            out << Url(i, ports, config.abnormalEvery) << '\n';
        if (!out)
            Usage("cannot write a list file");
    }
    for (const auto& [count, file] : config.curlConfigs) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < count; ++i)
            out << "url = \"" << Url(i, ports, config.abnormalEvery) << "\"\noutput = \"/dev/null\"\n";
        if (!out)
            Usage("cannot write a curl config file");
    }
}

} // namespace

int main(int argc, char** argv)
{
    const FarmConfig config = ParseArgs(argc, argv);

    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    struct sigaction action
    {
    };
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<int> listeners;
    std::vector<int> ports;
    for (int i = 0; i < config.ports; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(config.basePort ? config.basePort + i : 0));
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4096) != 0) {
            std::perror("bench_site_farm: bind/listen");
            return 1;
        }
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        listeners.push_back(fd);
        ports.push_back(ntohs(address.sin_port));
    }
    WriteLists(config, ports);

    std::vector<std::thread> threads;
    for (int i = 0; i < config.threads; ++i)
        threads.emplace_back([&] { Serve(listeners, config); });
    std::printf("ready %d %d\n", ports.front(), static_cast<int>(ports.size()));
    std::fflush(stdout);
    for (auto& thread : threads)
        thread.join();
    for (int fd : listeners)
        close(fd);
    return 0;
}
