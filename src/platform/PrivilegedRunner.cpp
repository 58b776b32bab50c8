#include "platform/PrivilegedRunner.h"

#include <QProcess>

#include <QCoroProcess>
#include <QCoroSignal>

#include <memory>

ProcessPrivilegedRunner::ProcessPrivilegedRunner(QString program, QStringList leadingArguments)
    : m_program(std::move(program))
    , m_leadingArguments(std::move(leadingArguments)) {}

ProcessPrivilegedRunner ProcessPrivilegedRunner::pkexec() {
    return ProcessPrivilegedRunner(QStringLiteral("pkexec"),
                                   {QStringLiteral("/bin/sh"), QStringLiteral("-c")});
}

QCoro::Task<bool> ProcessPrivilegedRunner::run(QString command) {
    // Owned by this coroutine's frame: the child lives exactly as long as the wait for it.
    auto process = std::make_unique<QProcess>();
    process->setProgram(m_program);
    process->setArguments(m_leadingArguments + QStringList{command});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    if (!co_await qCoro(*process).start()) {
        co_return false;
    }
    // No time limit: the password prompt stays up as long as the user needs.
    if (process->state() != QProcess::NotRunning) {
        co_await qCoro(process.get(), &QProcess::finished);
    }
    co_return process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
}
