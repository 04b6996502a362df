#include "StateFiles.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

namespace {

// Copies of files that did not read, kept beside them; no more are made.
constexpr int kKeptAside = 5;
// Lines that did not read, told at most.
constexpr std::size_t kToldLines = 3;

const std::string kNotRegular = "not a regular file";

#ifdef Q_OS_UNIX
std::string Words(int error)
{
    return qt_error_string(error).toStdString();
}
#endif

} // namespace

const std::string kLinkWords = "a symbolic link, not a regular file";

std::string_view Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string Printable(std::string_view line)
{
    std::string text;
    for (const unsigned char byte : line.substr(0, 40)) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        if (byte >= 0x20 && byte < 0x7F)
            text += char(byte);
        else
            text += std::string{'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    }
    return line.size() > 40 ? text + "..." : text;
}

FileText ReadStateFile(const QString& path)
{
    FileText read;
    QFile file;
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    struct stat status{};
    if (fd < 0) {
        read.found = error != ENOENT;
        if (error != ENOENT)
            read.why = error == ELOOP ? kLinkWords : Words(error);
        return read;
    }
    read.found = true;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        read.why = kNotRegular;
        return read;
    }
#else
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isFile()))
        read.why = info.isSymLink() ? kLinkWords : kNotRegular;
    file.setFileName(path);
    read.found = info.exists();
    if (!read.why.empty() || !info.exists() || !file.open(QIODevice::ReadOnly)) {
        if (read.why.empty() && info.exists())
            read.why = file.errorString().toStdString();
        return read;
    }
#endif
    read.text = file.read(kLargestStateFile + 1);
    if (file.error() != QFileDevice::NoError)
        read.why = file.errorString().toStdString();
    return read;
}

std::string WriteStateFile(const QString& folder, const QString& path, const std::string& text)
{
    if (!QDir().mkpath(folder))
        return "the folder cannot be made";
#ifdef Q_OS_UNIX
    const QByteArray final = QFile::encodeName(path);
    struct stat status{};
    if (::lstat(final.constData(), &status) == 0 && !S_ISREG(status.st_mode))
        return S_ISLNK(status.st_mode) ? kLinkWords : kNotRegular;
    // Named for this process: one left by another that was killed is
    // removed when the board next comes into use.
    const QByteArray temporary = final + ".new-" + QByteArray::number(::getpid());
    ::unlink(temporary.constData());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return Words(errno);
    std::string_view rest = text;
    ssize_t written = 0;
    while (!rest.empty() && (written = ::write(fd, rest.data(), rest.size())) > 0)
        rest.remove_prefix(std::size_t(written));
    const bool whole = rest.empty() && ::fsync(fd) == 0;
    const int error = errno;
    if (::close(fd) != 0 || !whole || ::rename(temporary.constData(), final.constData()) != 0) {
        const int reason = whole ? errno : error;
        ::unlink(temporary.constData());
        return Words(reason);
    }
    // The new name is on the disk once the folder is.
    if (const int directory = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return {};
#else
    if (QFileInfo(path).isSymLink())
        return kLinkWords;
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(text.data(), qint64(text.size())) == qint64(text.size()) && file.commit())
        return {};
    return file.errorString().toStdString();
#endif
}

void RemoveLeftovers(const QDir& folder, const QString& file)
{
#ifdef Q_OS_UNIX
    const QString prefix = file + QStringLiteral(".new-");
    for (const QString& name : folder.entryList({prefix + u'*'}, QDir::Files | QDir::System)) {
        bool number = false;
        const int pid = name.mid(prefix.size()).toInt(&number);
        if (number && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
            QFile::remove(folder.filePath(name));
    }
#else
    Q_UNUSED(folder);
    Q_UNUSED(file);
#endif
}

std::string KeepAside(const QDir& folder, const QString& file, bool* kept)
{
    *kept = false;
    const QString path = folder.filePath(file);
    for (int copy = 1; copy <= kKeptAside; ++copy) {
        const QString name = file + QStringLiteral(".unreadable") + (copy > 1 ? QStringLiteral("-%1").arg(copy) : QString());
        const QString aside = folder.filePath(name);
#ifdef Q_OS_UNIX
        // A second name for the file itself: the next write replaces the
        // first name only.
        struct stat original{}, existing{};
        const bool linked = ::link(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0;
        if (!linked && errno != EEXIST)
            return "not kept aside: " + Words(errno);
        const bool same = !linked && ::stat(QFile::encodeName(path).constData(), &original) == 0
            && ::lstat(QFile::encodeName(aside).constData(), &existing) == 0 && original.st_ino == existing.st_ino && original.st_dev == existing.st_dev;
        if (linked || same) {
#else
        if (!QFileInfo::exists(aside) && QFile::copy(path, aside)) {
#endif
            *kept = true;
            return name.toStdString();
        }
    }
    return "not kept aside: " + std::to_string(kKeptAside) + " copies of files that did not read are kept beside it already";
}


std::string UnreadLines(const std::vector<std::string>& unread)
{
    std::string lines;
    for (std::size_t line = 0; line < unread.size() && line < kToldLines; ++line)
        lines += (line ? "; " : "") + unread[line];
    if (unread.size() > kToldLines)
        lines += "; and " + std::to_string(unread.size() - kToldLines) + " more";
    return lines;
}
