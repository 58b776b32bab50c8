#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace BenchSupport {

namespace {

struct Grade {
    std::array<double, 3> slope, offset, power;
    double saturation;
};

constexpr std::array<Grade, 4> grades{{
    {{1.06, 1.0, 0.94}, {0.01, 0.0, -0.01}, {1.0, 1.0, 1.0}, 1.1},
    {{0.95, 1.0, 1.08}, {-0.005, 0.0, 0.01}, {1.05, 1.0, 0.97}, 0.9},
    {{1.12, 1.1, 1.08}, {-0.03, -0.03, -0.03}, {1.1, 1.1, 1.1}, 1.25},
    {{1.0, 0.98, 0.9}, {0.02, 0.01, 0.0}, {0.95, 1.0, 1.02}, 1.0},
}};

// "%.6f" for a value in [0, 1], without the cost of printf for millions of numbers.
char* putValue(char* out, double value) {
    const long micro = std::lround(std::clamp(value, 0.0, 1.0) * 1e6);
    *out++ = char('0' + micro / 1000000);
    *out++ = '.';
    long rest = micro % 1000000;
    for (long digit = 100000; digit > 0; digit /= 10) {
        *out++ = char('0' + rest / digit);
        rest %= digit;
    }
    return out;
}

// The values of one grade, computed once per size and grade: files differ by their title.
const QByteArray& cubeBody(int size, int grade) {
    static std::map<std::pair<int, int>, QByteArray> bodies;
    QByteArray& body = bodies[{size, grade}];
    if (!body.isEmpty()) {
        return body;
    }
    const Grade& g = grades[size_t(grade)];
    constexpr int lineLength = 27; // "0.000000 0.000000 0.000000\n"
    body.resize(qsizetype(size) * size * size * lineLength);
    char* out = body.data();
    const double step = 1.0 / (size - 1);
    for (int b = 0; b < size; ++b) {
        for (int gr = 0; gr < size; ++gr) {
            for (int r = 0; r < size; ++r) {
                std::array<double, 3> rgb{r * step, gr * step, b * step};
                for (size_t c = 0; c < 3; ++c) {
                    rgb[c] = std::pow(std::max(0.0, rgb[c] * g.slope[c] + g.offset[c]), g.power[c]);
                }
                const double luma = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
                for (size_t c = 0; c < 3; ++c) {
                    out = putValue(out, luma + g.saturation * (rgb[c] - luma));
                    *out++ = c < 2 ? ' ' : '\n';
                }
            }
        }
    }
    return body;
}

} // namespace

QByteArray cubeText(int size, int grade, const QByteArray& title) {
    return "# Created by: DaVinci Resolve\nTITLE \"" + title + "\"\nLUT_3D_SIZE " + QByteArray::number(size) +
           "\nLUT_3D_INPUT_RANGE 0.0000000000 1.0000000000\n\n" + cubeBody(size, grade % int(grades.size()));
}

qint64 bytesRead() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:")) {
            return line.mid(6).trimmed().toLongLong();
        }
    }
    return -1;
}

double threadMilliseconds(int threadId) {
    QFile schedstat(QStringLiteral("/proc/self/task/%1/schedstat").arg(threadId));
    if (!schedstat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return double(schedstat.readAll().split(' ').value(0).toLongLong()) / 1e6;
}

int threadNamed(const QByteArray& prefix) {
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith(prefix)) {
            return task.toInt();
        }
    }
    return 0;
}

QString loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("unknown");
    }
    return QString::fromLatin1(file.readAll().split(' ').mid(0, 3).join(' '));
}

bool writePlain(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

void runBeside(const std::function<void()>& client) {
    QEventLoop loop;
    std::thread thread([&loop, &client] {
        client();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    thread.join();
}

QByteArray exchange(quint16 port, const QByteArray& request, const std::function<void()>& sent) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return {};
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray response;
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    for (qsizetype at = 0; ok && at < request.size();) {
        const ssize_t n = ::send(fd, request.constData() + at, size_t(request.size() - at), MSG_NOSIGNAL);
        ok = n > 0;
        at += ok ? n : 0;
    }
    if (ok && sent) {
        sent();
    }
    char buffer[16384];
    for (ssize_t n = 0; ok && (n = ::recv(fd, buffer, sizeof buffer, 0)) != 0;) {
        ok = n > 0;
        response.append(buffer, ok ? n : 0);
    }
    ::close(fd);
    return ok ? response : QByteArray();
}

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

int runBenchmarks(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("load average at end: %s\n", qPrintable(loadAverage()));
    return 0;
}

} // namespace BenchSupport
