#include "OperationLog.h"

OperationLog::OperationLog(const QString& path) : file_(path)
{
    file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
}

bool OperationLog::Append(const std::string& line)
{
    if (!file_.isOpen())
        return false;
    const std::string text = line + '\n';
    return file_.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size()) && file_.flush();
}

std::string OperationLog::Error() const
{
    return (file_.fileName() + QStringLiteral(": ") + file_.errorString()).toStdString();
}
