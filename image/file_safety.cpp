// Non-blocking opens checked on the descriptor, file identities, and the no-replace commit.
#include "image/file_safety.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <system_error>
#include <unistd.h>

namespace {

std::atomic<int> injectedRenameError {0};

QString tr(const char *text)
{
    return QCoreApplication::translate("FileSafety", text);
}

// What a stat found that is not a regular file, or an empty string for one.
QString typeReason(const struct stat &status)
{
    if (S_ISREG(status.st_mode))
        return {};
    if (S_ISDIR(status.st_mode))
        return tr("is a folder");
    return tr("is not a regular file");
}

int renameNoReplace(const char *from, const char *to)
{
    if (const int error = injectedRenameError.exchange(0)) {
        errno = error;
        return -1;
    }
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

// Writes every byte and syncs it; errno is kept from the failed call.
bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, std::size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            errno = written == 0 ? ENOSPC : errno;
            return false;
        }
        data += written;
        left -= written;
    }
    // A full disk may only show at the sync (delayed allocation, network file systems).
    return ::fsync(fd) == 0;
}

// A new, empty file beside `target` under a hidden name of its own; its descriptor, or -1.
int createTemporary(const QString &target, QByteArray *name)
{
    const QFileInfo info(target);
    for (int attempt = 0; attempt < 64; ++attempt) {
        // Short whatever the target's name, which may already be as long as a name can be.
        *name = QFile::encodeName(info.absolutePath() + QStringLiteral("/.pelta-")
            + QString::number(QRandomGenerator::global()->generate64(), 36));
        const int fd = ::open(name->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Renames the finished temporary file to `target` unless a file of that name exists; 0 or the
// error.
int commitNoReplace(const char *temporary, const char *target)
{
    if (renameNoReplace(temporary, target) == 0)
        return 0;
    const int error = errno;
    if (error != EINVAL && error != ENOSYS && error != EOPNOTSUPP)
        return error;
    // The file system has no such flag. A placeholder made by an exclusive create holds the name
    // for this process alone; a plain rename over it then replaces nothing of anyone else's.
    const int claim = ::open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (claim < 0)
        return errno;
    ::close(claim);
    if (::rename(temporary, target) == 0)
        return 0;
    const int renameError = errno;
    ::unlink(target);
    return renameError;
}

// The absolute path with every part spelled as its folder lists it: on a disk that ignores case,
// ".../dcim/img_0001.jpg" becomes ".../DCIM/IMG_0001.JPG".
QString listedSpelling(const QString &absolute)
{
    const QStringList parts = absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString path;
    for (const QString &part : parts) {
        const QDir folder(path.isEmpty() ? QStringLiteral("/") : path);
        const QStringList names = folder.entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
        QString listed = part;
        if (!names.contains(part)) {
            const auto same = std::find_if(names.begin(), names.end(),
                [&](const QString &name) { return name.compare(part, Qt::CaseInsensitive) == 0; });
            listed = same != names.end() ? *same : part;
        }
        path += QLatin1Char('/') + listed;
    }
    return path;
}

} // namespace

FileIdentity fileIdentity(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status = {};
    if (::stat(name.constData(), &status) != 0)
        return {};
    struct statfs system = {};
    constexpr decltype(system.f_type) kFuseMagic = 0x65735546;
    if (::statfs(name.constData(), &system) == 0 && system.f_type == kFuseMagic)
        return {status.st_dev, 0, listedSpelling(QFileInfo(path).canonicalFilePath()), true};
    return {status.st_dev, status.st_ino, QString(), true};
}

QString systemReason(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return tr("no such file");
    case EACCES:
    case EPERM:
        return tr("permission denied");
    case EISDIR:
        return tr("is a folder");
    case EEXIST:
        return existsText();
    default:
        return systemErrorText(error);
    }
}

QString systemErrorText(int error)
{
    // strerror may share one buffer between threads; the category's message does not.
    return QString::fromStdString(std::generic_category().message(error));
}

OpenedFile openRegularFile(const QString &path)
{
    OpenedFile opened;
    const QByteArray name = QFile::encodeName(path);
    struct stat status = {};
    if (::stat(name.constData(), &status) != 0) {
        opened.errorText = systemReason(errno);
        return opened;
    }
    opened.errorText = typeReason(status);
    if (!opened.errorText.isEmpty())
        return opened;
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        opened.errorText = systemReason(errno);
        return opened;
    }
    if (::fstat(fd, &status) != 0)
        opened.errorText = systemReason(errno);
    else
        opened.errorText = typeReason(status);
    // Reads of a regular file never wait; the flag goes so that no reader sees EAGAIN.
    if (opened.errorText.isEmpty() && ::fcntl(fd, F_SETFL, 0) != 0)
        opened.errorText = systemReason(errno);
    auto file = std::make_unique<QFile>(path);
    if (opened.errorText.isEmpty()
        && !file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        opened.errorText = file->errorString();
    if (!opened.errorText.isEmpty()) {
        ::close(fd);
        return opened;
    }
    opened.file = std::move(file);
    return opened;
}

QString existsText()
{
    return tr("exists");
}

QString storeNewFile(const QByteArray &bytes, const QString &fileName)
{
    QByteArray temporary;
    const int fd = createTemporary(fileName, &temporary);
    if (fd < 0)
        return systemReason(errno);
    int error = writeAll(fd, bytes) ? 0 : errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0)
        error = commitNoReplace(temporary.constData(), QFile::encodeName(fileName).constData());
    if (error == 0)
        return {};
    ::unlink(temporary.constData());
    return systemReason(error);
}

void failNextNoReplaceRename(int error)
{
    injectedRenameError.store(error);
}
