#include "support/RunProgram.h"

#include <QDebug>
#include <QProcess>

QByteArray runProgram(const QString& program, const QStringList& arguments, const QByteArray& input,
                      const QProcessEnvironment& environment) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        qWarning() << program << "could not be started";
        return {};
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning() << program << process.readAllStandardError();
        return {};
    }
    QByteArray output = process.readAllStandardOutput();
    return output.isNull() ? QByteArray("") : output;
}
