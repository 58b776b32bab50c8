#pragma once

#include <QString>
#include <QStringList>

#include <QCoroTask>

// Runs one shell command with administrator rights; the platform asks for the password itself.
class PrivilegedRunner {
public:
    virtual ~PrivilegedRunner() = default;

    // True exactly when the command could be started and exited with status 0: a cancelled
    // prompt, a wrong password and a failed command are all false.
    virtual QCoro::Task<bool> run(QString command) = 0;
};

// Runs `program` with `leadingArguments` followed by the command as the last argument, for
// example pkexec /bin/sh -c COMMAND. The child is awaited without blocking the caller's thread.
class ProcessPrivilegedRunner final : public PrivilegedRunner {
public:
    ProcessPrivilegedRunner(QString program, QStringList leadingArguments);

    // pkexec /bin/sh -c COMMAND: polkit's own dialog asks for the password.
    static ProcessPrivilegedRunner pkexec();

    QCoro::Task<bool> run(QString command) override;

private:
    QString m_program;
    QStringList m_leadingArguments;
};
