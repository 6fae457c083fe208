#include "PortLock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#include <fcntl.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Tarsyn {

PortLock::~PortLock()
{
    release();
}

QString PortLock::lockFileName(bool input, const QString &portName)
{
    // A readable part of the name for whoever looks into the folder, and a hash of the
    // whole for uniqueness: port names may hold any character.
    QString readable;
    for (const QChar c : portName.left(40))
        readable += c.isLetterOrNumber() && c.unicode() < 128 ? c : QLatin1Char('_');
    const QByteArray key = (input ? "in:" : "out:") + portName.toUtf8();
    const QByteArray hash = QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("tarsyn-port-%1-%2-%3.lock")
        .arg(input ? QLatin1String("in") : QLatin1String("out"), readable, QString::fromLatin1(hash));
}

#ifdef _WIN32

QString PortLock::lockFolder(QString *error)
{
    const QString folder = QDir::tempPath();
    if (!QDir(folder).exists()) {
        *error = QStringLiteral("no temporary folder");
        return {};
    }
    return folder;
}

int PortLock::lockOne(const QString &folder, bool input, const QString &portName, Result *result, QString *lockPath)
{
    const QString path = QDir::toNativeSeparators(QDir(folder).filePath(lockFileName(input, portName)));
    *lockPath = path;
    HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_SHARING_VIOLATION) {
            *result = Result::Busy;
            busyPort_ = portName;
        } else {
            *result = Result::Unavailable;
            error_ = QStringLiteral("cannot create %1").arg(path);
        }
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR);
    if (fd < 0) {
        CloseHandle(handle);
        *result = Result::Unavailable;
        error_ = QStringLiteral("cannot use %1").arg(path);
    }
    return fd;
}

void PortLock::unlockOne(int &fd, const QString &)
{
    if (fd >= 0)
        _close(fd);   // FILE_FLAG_DELETE_ON_CLOSE removes the file
    fd = -1;
}

#else

QString PortLock::lockFolder(QString *error)
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists())
        return QString::fromLocal8Bit(runtime);

    // A folder of our own under /tmp: made private, and trusted only when it is ours and
    // nobody else can write to it (anyone may create a name in /tmp first).
    const QByteArray folder = "/tmp/tarsyn-" + QByteArray::number(qulonglong(::getuid()));
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot create %1: %2").arg(QString::fromLocal8Bit(folder), QString::fromLocal8Bit(std::strerror(errno)));
        return {};
    }
    struct stat info = {};
    if (::lstat(folder.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()
        || (info.st_mode & 0022) != 0) {
        *error = QStringLiteral("%1 is not a private folder of this user").arg(QString::fromLocal8Bit(folder));
        return {};
    }
    return QString::fromLocal8Bit(folder);
}

int PortLock::lockOne(const QString &folder, bool input, const QString &portName, Result *result, QString *lockPath)
{
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(lockFileName(input, portName)));
    // A holder removes the file on release: a lock taken on a file that has lost its name
    // meanwhile holds nothing, and the name is tried again (a few times: each retry means
    // another holder came and went).
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            *result = Result::Unavailable;
            error_ = QStringLiteral("cannot open %1: %2").arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno)));
            return -1;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int why = errno;
            if (why == EWOULDBLOCK) {
                *result = Result::Busy;
                busyPort_ = portName;
                char text[32] = {};
                const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
                busyHolder_ = got > 0 ? QByteArray(text, int(got)).trimmed().toLongLong() : 0;
            } else {
                *result = Result::Unavailable;
                error_ = QStringLiteral("cannot lock %1: %2").arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(why)));
            }
            ::close(fd);
            return -1;
        }
        struct stat opened = {}, named = {};
        if (::fstat(fd, &opened) != 0 || ::lstat(path.constData(), &named) != 0 || opened.st_dev != named.st_dev
            || opened.st_ino != named.st_ino) {
            ::close(fd);
            continue;
        }
        // Ours: note who holds it.
        const QByteArray pid = QByteArray::number(qlonglong(::getpid())) + '\n';
        if (::ftruncate(fd, 0) == 0)
            [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.constData(), size_t(pid.size()), 0);
        *lockPath = QFile::decodeName(path);
        return fd;
    }
    *result = Result::Unavailable;
    error_ = QStringLiteral("cannot lock %1: it keeps being replaced").arg(QFile::decodeName(path));
    return -1;
}

void PortLock::unlockOne(int &fd, const QString &path)
{
    if (fd >= 0) {
        // Removed while still locked, so that no newcomer can hold the name meanwhile.
        ::unlink(QFile::encodeName(path).constData());
        ::close(fd);   // closing the only descriptor of the open file drops the flock
    }
    fd = -1;
}

#endif

PortLock::Result PortLock::acquire(const QString &inputName, const QString &outputName)
{
    release();
    busyPort_.clear();
    busyHolder_ = 0;
    error_.clear();
    const QString folder = lockFolder(&error_);
    if (folder.isEmpty())
        return Result::Unavailable;
    Result result = Result::Acquired;
    inputFd_ = lockOne(folder, true, inputName, &result, &inputPath_);
    if (inputFd_ >= 0)
        outputFd_ = lockOne(folder, false, outputName, &result, &outputPath_);
    if (result != Result::Acquired)
        release();
    return result;
}

void PortLock::release()
{
    unlockOne(inputFd_, inputPath_);
    unlockOne(outputFd_, outputPath_);
}

} // namespace Tarsyn
