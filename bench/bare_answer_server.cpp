// The floor for the parked long-polls of bench/local_server.py: the least a server can do to answer
// COUNT waiting connections at once, in one thread. It listens on 127.0.0.1, prints "port N", takes
// COUNT connections and reads a request from each; on a line on standard input it sends each the
// answer in ANSWER_FILE and closes it, as the program does (the answer and the end of the
// connection in one segment), then exits.
// Usage: bare_answer_server COUNT ANSWER_FILE
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bare_answer_server COUNT ANSWER_FILE\n");
        return 2;
    }
    const int count = std::atoi(argv[1]);
    std::string answer;
    if (FILE* file = std::fopen(argv[2], "rb")) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
            answer.append(chunk, n);
        }
        std::fclose(file);
    }
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (answer.empty() || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 4096) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("bare_answer_server");
        return 1;
    }
    std::printf("port %d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    std::vector<int> waiting;
    char request[4096];
    while (int(waiting.size()) < count) {
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0 || ::recv(connection, request, sizeof request, 0) <= 0) {
            std::perror("bare_answer_server");
            return 1;
        }
        waiting.push_back(connection);
    }
    if (!std::fgets(request, sizeof request, stdin)) {
        return 1;
    }
    for (const int connection : waiting) {
        ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_MORE);
        ::close(connection);
    }
    return 0;
}
