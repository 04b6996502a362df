#pragma once

// The program itself, run as a user would from a shell without a display.

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStringList>

// What the program printed and how it ended (-1: killed or never ended).
struct Run
{
    int code = -1;
    QString out, err;
};

// A file it wrote, or another, as text; empty where it cannot be read.
inline QString ReadText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// This process's environment without a display; `config` and `runtime`, where
// given, are its settings and runtime folders.
inline QProcessEnvironment NoDisplay(const QString& config = {}, const QString& runtime = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "RUNTIME_DIRECTORY"})
        environment.remove(QString::fromLatin1(name));
    if (!config.isEmpty())
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    if (!runtime.isEmpty())
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    return environment;
}

// Its outcome once it has ended, while this process's event loop runs (so
// that an owner in this process can answer it).
inline Run Finished(QProcess& process)
{
    if (process.state() != QProcess::NotRunning && !QSignalSpy(&process, &QProcess::finished).wait(30000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()), QString::fromLocal8Bit(process.readAllStandardError())};
}

// `command` first, then its arguments: the program unless another is named.
inline Run Execute(QStringList command, const QProcessEnvironment& environment = NoDisplay())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(command.takeFirst(), command);
    return Finished(process);
}

#ifdef RFSWITCH_BINARY
inline void Start(QProcess& process, const QStringList& arguments, const QProcessEnvironment& environment = NoDisplay())
{
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(RFSWITCH_BINARY), arguments);
}

inline Run Program(const QStringList& arguments, const QProcessEnvironment& environment = NoDisplay())
{
    return Execute(QStringList{QStringLiteral(RFSWITCH_BINARY)} + arguments, environment);
}
#endif
