// The client side of the parked long-polls in bench/local_server.py, in C++ so that reading 10,000
// answers does not take longer than the server needs to give them.
// Usage: parked_inbox_client PORT COUNT SEQ
// Parks COUNT GET /v1/inbox?since=SEQ on 127.0.0.1:PORT, prints "parked" once they are all sent,
// then waits for the answers (after a wake the caller brings about) and prints
// "answered N right R first_to_last_ms T": each answer must be a 200 carrying "seq":SEQ+1.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int connectTo(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return s;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: parked_inbox_client PORT COUNT SEQ\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int count = std::atoi(argv[2]);
    const long long seq = std::atoll(argv[3]);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);

    const std::string request =
        "GET /v1/inbox?since=" + std::to_string(seq) + " HTTP/1.1\r\nHost: bench\r\n\r\n";
    const std::string wanted = "\"seq\":" + std::to_string(seq + 1);
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<std::string> answers(size_t(count) + 1024);
    for (int i = 0; i < count; ++i) {
        const int s = connectTo(port);
        if (::send(s, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
            std::perror("send");
            return 1;
        }
        ::fcntl(s, F_SETFL, O_NONBLOCK);
        if (size_t(s) >= answers.size()) {
            answers.resize(size_t(s) + 1024);
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = s;
        ::epoll_ctl(poller, EPOLL_CTL_ADD, s, &event);
    }
    std::printf("parked\n");
    std::fflush(stdout);

    int left = count;
    int right = 0;
    Clock::time_point first{};
    Clock::time_point last{};
    std::vector<epoll_event> events(1024);
    std::vector<int> finished;
    char buffer[65536];
    while (left > 0) {
        const int ready = ::epoll_wait(poller, events.data(), int(events.size()), 60000);
        if (ready <= 0) {
            std::fprintf(stderr, "%d parked requests unanswered after 60 s\n", left);
            return 1;
        }
        for (int k = 0; k < ready; ++k) {
            const int s = events[size_t(k)].data.fd;
            for (;;) {
                const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
                if (n > 0) {
                    if (first == Clock::time_point{}) {
                        first = Clock::now();
                    }
                    answers[size_t(s)].append(buffer, size_t(n));
                    continue;
                }
                if (n < 0 && errno == EAGAIN) {
                    break;
                }
                const std::string& answer = answers[size_t(s)];
                right +=
                    answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 && answer.find(wanted) != std::string::npos;
                // Closed after the last answer: the client's own closing is not the server's time.
                ::epoll_ctl(poller, EPOLL_CTL_DEL, s, nullptr);
                finished.push_back(s);
                --left;
                last = Clock::now();
                break;
            }
        }
    }
    for (const int s : finished) {
        ::close(s);
    }
    std::printf("answered %d right %d first_to_last_ms %.1f\n", count, right,
                std::chrono::duration<double, std::milli>(last - first).count());
    return 0;
}
