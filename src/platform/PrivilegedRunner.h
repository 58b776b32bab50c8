#pragma once

#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <optional>

// Runs one shell command with administrator rights; the platform asks for the password itself.
class PrivilegedRunner {
public:
    struct Outcome {
        // The command could be started and exited with status 0: a cancelled prompt, a wrong
        // password and a failed command are all false.
        bool ok = false;
        // The program that asks for the password, when it is not installed and nothing ran.
        std::optional<QString> missingProgram;
    };

    virtual ~PrivilegedRunner() = default;

    virtual QCoro::Task<Outcome> run(QString command) = 0;
};

// Runs `program` with `leadingArguments` followed by the command as the last argument, for
// example pkexec /bin/sh -c COMMAND. The child is awaited without blocking the caller's thread.
class ProcessPrivilegedRunner final : public PrivilegedRunner {
public:
    ProcessPrivilegedRunner(QString program, QStringList leadingArguments);

    // pkexec /bin/sh -c COMMAND: polkit's own dialog asks for the password.
    static ProcessPrivilegedRunner pkexec();

    QCoro::Task<Outcome> run(QString command) override;

private:
    QString m_program;
    QStringList m_leadingArguments;
};
