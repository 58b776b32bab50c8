#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>

// Helpers shared by the engine benchmarks and the inbox scan harness.
namespace BenchSupport {

using Clock = std::chrono::steady_clock;

// A .cube as Resolve exports it: a short header, then size³ lines of three values with six
// decimals, red varying fastest, of a CDL-like grade applied to the identity. `grade` picks one
// of a few grades; `title` makes files of the same grade differ. 33 points give about 1 MB.
QByteArray cubeText(int size, int grade, const QByteArray& title);

// The bytes this process has read so far through read-like system calls (rchar of
// /proc/self/io), page cache included; -1 when the kernel does not say.
qint64 bytesRead();

// Processor time used so far by one thread of this process, from its schedstat, in
// milliseconds; the main thread's id is the process id.
double threadMilliseconds(int threadId);
// The id of the first thread of this process whose name starts with `prefix`, or 0.
int threadNamed(const QByteArray& prefix);

// The three load averages of /proc/loadavg, for printing beside the figures.
QString loadAverage();

// Writes a file plainly (no atomic replace, no flush to disk): for setting up a benchmark only.
bool writePlain(const QString& path, const QByteArray& bytes);

// Runs `client` on a thread of its own while this thread's event loop serves the engine; returns
// once the client is done.
void runBeside(const std::function<void()>& client);

// A blocking loopback client for the local server: connects to 127.0.0.1:`port`, sends
// `request` whole and reads until the server closes. `sent` (if given) runs once everything is
// sent. Answers the whole response, or nothing on a socket failure.
QByteArray exchange(quint16 port, const QByteArray& request, const std::function<void()>& sent = {});

double milliseconds(Clock::duration duration);

// main() of a benchmark executable that needs an event loop (Qt's application object).
int runBenchmarks(int argc, char** argv);

} // namespace BenchSupport
