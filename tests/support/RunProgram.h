#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Runs a program to its end with the input on its standard input, the way tests call outside
// judges (zstd, protoc, python3). Its standard output (empty, never null, when it printed nothing),
// or a null array when it could not start, failed or ran longer than a minute; then its standard
// error goes to the test log.
QByteArray runProgram(const QString& program, const QStringList& arguments, const QByteArray& input = {},
                      const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
