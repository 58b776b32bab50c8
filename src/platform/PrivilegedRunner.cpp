#include "platform/PrivilegedRunner.h"

#include "platform/Descriptors.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <QCoroSignal>

#include <memory>

ProcessPrivilegedRunner::ProcessPrivilegedRunner(QString program, QStringList leadingArguments)
    : m_program(std::move(program))
    , m_leadingArguments(std::move(leadingArguments)) {}

ProcessPrivilegedRunner ProcessPrivilegedRunner::pkexec() {
    return ProcessPrivilegedRunner(QStringLiteral("pkexec"),
                                   {QStringLiteral("/bin/sh"), QStringLiteral("-c")});
}

QCoro::Task<PrivilegedRunner::Outcome> ProcessPrivilegedRunner::run(QString command) {
    if (QStandardPaths::findExecutable(m_program).isEmpty()) {
        co_return Outcome{false, QFileInfo(m_program).fileName()};
    }
    // Owned by this coroutine's frame: the child lives exactly as long as the wait for it.
    auto process = std::make_unique<QProcess>();
    process->setChildProcessModifier(Descriptors::restoreInChild);
    process->setProgram(m_program);
    process->setArguments(m_leadingArguments + QStringList{command});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start();
    // Starting ends in Running, or in NotRunning with no `started` and no `finished` when the
    // program cannot be executed (QCoro's start() would sit out its 30-second timeout then); which
    // one is known as soon as the fork returns. No time limit after that: the password prompt stays
    // up as long as the user needs. (`finished` is awaited, not `stateChanged`: a private signal's
    // tag reaches QCoro's slot as a reference bound to null, which UBSan stops.)
    process->waitForStarted(-1);
    while (process->state() != QProcess::NotRunning) {
        co_await qCoro(process.get(), &QProcess::finished);
    }
    co_return Outcome{process->error() != QProcess::FailedToStart &&
                          process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0,
                      std::nullopt};
}
