#pragma once

#include "Cps/CCpsString.h"

#include <cstdint>
#include <sys/types.h>

// A file over a system file descriptor with advisory locking and line reading, and class-level
// helpers for whole-file reading and writing, path pieces, deleting, renaming, permissions, folder
// creation and a simple checksum. Instance operations answer the result codes below or what the
// system call answers; nothing throws. One thread at a time per object; the advisory locks exclude
// other processes that lock the same file.
class CCpsFile
{
public:
    static constexpr int kBadPath = -774;
    static constexpr int kLockRefused = -775;
    static constexpr int kAlreadyOpen = -776;
    static constexpr int kNotOpen = -777;

    enum class Origin { Start, Current, End };

    CCpsFile() = default;
    CCpsFile(const CCpsFile &) = delete;
    CCpsFile &operator=(const CCpsFile &) = delete;
    // Closes the file.
    virtual ~CCpsFile();

    // Opens with open(2) flags; a write-only open also takes the exclusive advisory lock (waiting
    // for it). Never follows a symbolic link when the flags allow writing. 0, or -1 when open fails.
    int Open(const char *path, int flags, mode_t permissions = 0600);
    int Close();
    // An exclusive advisory lock; refused after an open, which already locked what it needed.
    int Lock();
    int Unlock();
    std::int64_t Read(void *buffer, std::size_t count);
    // Reads up to maximum bytes of one line into buffer (which holds maximum + 1 bytes) and answers
    // how many were stored; the line feed ends the line and is consumed but not stored.
    int ReadLine(char *buffer, int maximum);
    std::int64_t Write(const void *buffer, std::size_t count);
    std::int64_t GetPosition() const;
    std::int64_t Seek(int offset, Origin origin);
    // Forces the file's data to storage.
    int Flush();
    const CCpsString &GetFilePath() const { return m_path; }
    // Notes whether the text starts with the bytes FF FE and answers its length.
    int CheckUnicodeMark(const char *text);
    bool IsUnicodeText() const { return m_isUnicodeText; }

    // The file's bytes up to the first zero byte (the text ends there); with a maximum other than -1 reading stops
    // after the first line that takes the text past it. "" when the path is not a readable regular file.
    static CCpsString ReadFile(const char *path, std::int64_t maximum = -1);
    // Replaces the file with the text (mode 0600) through a temporary file in the same folder, so a
    // failure leaves the old file as it was and answers false.
    static bool WriteFile(const char *path, const CCpsString &text);
    // These three first turn every "\\" of the path into "/", in the caller's string.
    static bool DeleteFile(CCpsString &path);
    static bool Rename(CCpsString &oldPath, CCpsString &newPath);
    static bool SetPermissions(CCpsString &path, mode_t mode);
    static bool FileExists(const char *path);
    // Creates the folder and its missing parents with mode 0700 (removing one trailing "/" or "\\"
    // from the caller's string); true when the folder exists afterwards.
    static bool CreateFolder(CCpsString &path);
    static CCpsString ChangeExtension(const CCpsString &path, const char *extension);
    static CCpsString GetFileTitle(const CCpsString &path);
    static CCpsString GetFileName(const CCpsString &path);
    static CCpsString GetFolder(const CCpsString &path);
    static CCpsString GetCurrentFolder();
    // The sum of the file's bytes modulo 32768; 0 when it cannot be read.
    static int Checksum(const char *path);

private:
    bool m_isLockedOnOpen = false;
    CCpsString m_path;
    bool m_isUnicodeText = false;
    int m_descriptor = -1;
};
