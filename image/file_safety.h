// Files read without ever blocking and stored without ever replacing a file unasked: the file
// system calls under image_io and the tool, and which file a name reaches.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>
#include <sys/types.h>

class QFile;

// Which file a name reaches: its device and inode. Every name of one file has the same identity:
// hard links, symbolic links, and names that differ only in case on a disk that ignores case.
// FUSE file systems (exFAT and FAT camera cards mounted through exfat-fuse) number each name
// they are asked for anew, so there the path stands for the file instead, symbolic links
// resolved and every part spelled as its folder lists it.
struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    QString listedPath; // FUSE only
    bool exists = false;

    bool operator==(const FileIdentity &other) const
    {
        return exists && other.exists && device == other.device && inode == other.inode
            && listedPath == other.listedPath;
    }
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};

inline uint qHash(const FileIdentity &identity, uint seed = 0)
{
    return qHash(quint64(identity.device), seed) ^ qHash(quint64(identity.inode), seed)
        ^ qHash(identity.listedPath, seed);
}

// The identity of what the path names, symbolic links followed; `exists` false when nothing is
// there (or it cannot be reached).
FileIdentity fileIdentity(const QString &path);

// Why a file system call failed, worded for a user ("permission denied", "no such file").
QString systemReason(int error);

// The system's own text for the error ("No space left on device"); safe on any thread.
QString systemErrorText(int error);

// A file open for reading, or why it is not.
struct OpenedFile
{
    std::unique_ptr<QFile> file; // named as the path, so that its suffix hints at the format
    QString errorText; // set when file is null: "is a folder", "permission denied", ...
};

// Opens the path for reading only when it names a regular file (or a link to one). The type is
// checked before the open, which never blocks (O_NONBLOCK: a FIFO cannot hold it up), and again
// on the open descriptor, so a file swapped for something else in between is refused as well.
OpenedFile openRegularFile(const QString &path);

// Makes the bytes the file `fileName` only if no file of that name exists when it is committed:
// written to a temporary file beside it, synced, then renamed into place with RENAME_NOREPLACE.
// Where the file system refuses that flag (FAT and exFAT through FUSE), the name is claimed first
// with an exclusive create and the finished file renamed over that placeholder of its own. A new
// file gets the mode a created file gets (0666 less the umask). No temporary file is left on any
// failure. Returns an empty string, or the reason: "exists" when the name was taken.
QString storeNewFile(const QByteArray &bytes, const QString &fileName);

// The reason storeNewFile gives when the name is taken.
QString existsText();

// Tests only: the next RENAME_NOREPLACE rename fails with this error, as on FAT and exFAT.
void failNextNoReplaceRename(int error);
