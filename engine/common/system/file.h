// File handles (shared, reference-counted C runtime streams) and the engine's file-system
// operations. Paths are UTF-8; every path operation works on the full "\\?\" UTF-16 form so that
// paths longer than MAX_PATH work.
#pragma once
#include "common/system/zwin.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/zsharedrecord.h"
#include <cstdarg>
#include <cstdint>
#include <cstdio>

// The A/W macros of windows.h would rename these members in some units and not in others.
#undef CreateDirectory
#undef RemoveDirectory
#undef SetCurrentDirectory
#undef GetCurrentDirectory
#undef GetTempPath
#undef GetTempFileName

class ZStringArray;

// A FILETIME value (100-ns units since 1601, UTC); -1 means no time.
struct FileTime
{
    FileTime() : m_nTime(-1) {}
    explicit FileTime(int64_t nTime) : m_nTime(nTime) {}
    bool IsSet() const { return m_nTime != -1; }
    bool operator==(const FileTime& other) const { return m_nTime == other.m_nTime; }
    bool operator!=(const FileTime& other) const { return m_nTime != other.m_nTime; }

    int64_t m_nTime;
};

class File
{
public:
    // Open mode bits; the valid sets are listed with File::Open.
    enum
    {
        MODE_READ = 1,
        MODE_WRITE = 2,
        MODE_CREATE = 4,
        MODE_APPEND = 8,
        MODE_TEXT = 16,
    };

    File() {}

    // An unlisted mode (for example read with create) gives an empty handle.
    static File Open(const char* szPath, int nMode);
    static File FromStream(FILE* pStream, int nMode);
    static File StdIn();
    static File StdOut();
    static File StdErr();

    void Close() { m_Record.Release(); }
    bool IsOpen() const { return (bool)m_Record; }
    bool IsReadable() const;
    bool IsWritable() const;
    bool IsEof() const;
    int GetChar();
    bool PutChar(int nByte);
    size_t Read(void* pBuffer, size_t nCount);
    size_t Write(const void* pBuffer, size_t nCount);
    long Tell() const;
    bool Seek(long nPosition);
    bool Rewind() { return Seek(0); }
    bool SeekEnd();
    bool Flush();
    bool Truncate();
    int Printf(const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
    int PrintfV(const char* szFormat, va_list args);
    // The stream's OS handle; this handle's reference is released.
    HANDLE DetachHandle();
    FILE* GetStream() const;

    // File-system operations
    static bool Exists(const char* szPath);
    static int64_t GetSize(const char* szPath);  // -1 when not found
    static bool Delete(const char* szPath);
    static bool Copy(const char* szFrom, const char* szTo);  // overwrites
    static bool Move(const char* szFrom, const char* szTo);  // no overwrite
    // The file at szFrom takes the name szTo, in place of a file that was there.
    static bool MoveReplacing(const char* szFrom, const char* szTo);
    static bool CreateLink(const char* szExisting, const char* szLink);
    static bool IsDirectory(const char* szPath);
    static bool IsReadOnly(const char* szPath);
    static bool CreateDirectory(const char* szPath);  // true when it already exists
    static bool RemoveDirectory(const char* szPath);
    static void SetCurrentDirectory(const char* szPath);
    static ZStringBuffer<256> GetCurrentDirectory();
    static ZStringBuffer<256> GetTempPath();  // with its trailing '\'
    static ZStringBuffer<256> GetTempFileName(const char* szSuffix);

    static FileTime GetCreationTime(const char* szPath);
    static FileTime GetLastWriteTime(const char* szPath);
    static FileTime GetLastAccessTime(const char* szPath);
    static bool SetCreationTime(const char* szPath, FileTime time);
    static bool SetLastWriteTime(const char* szPath, FileTime time);
    static bool SetLastAccessTime(const char* szPath, FileTime time);
    static FileTime GetSystemTime();
    static HANDLE OpenHandle(const char* szPath, DWORD nAccess, DWORD nShare, DWORD nDisposition);
    // Local time as "day/month/year hh:mm:ss".
    static ZStringBuffer<256> GetFileTimeText(FileTime time);

    // Full path with substituted drives resolved; "" on failure.
    static ZStringBuffer<256> GetFullPath(const char* szPath);
    // The folder "Ironvale" in the user's low-integrity application-data folder.
    static ZStringBuffer<256> GetAppDataFolder();

    // Append the names of the files / folders matching the pattern.
    static void ListFiles(ZStringArray& names, const char* szPattern);
    static void ListDirectories(ZStringArray& names, const char* szPattern);
    // Copies a folder tree; returns the files handled, first error in *pFirstError.
    static int CopyTree(const char* szFrom, const char* szTo, bool bGoOn, DWORD* pFirstError);

    // Path pieces ('/' and '\' both separate)
    static char GetDriveLetter(const char* szPath);
    static ZStringBuffer<256> GetFileName(const char* szPath);
    static ZStringBuffer<256> GetExtension(const char* szPath);
    static ZStringBuffer<256> GetFileNameWithoutExtension(const char* szPath);
    static ZStringBuffer<256> RemoveExtension(const char* szPath);
    static ZStringBuffer<256> GetDirectory(const char* szPath);
    static ZStringBuffer<256> StripDrive(const char* szPath);
    static ZStringBuffer<256> ToBackslashes(const char* szPath);
    static ZStringBuffer<256> GetRelativePath(const char* szFrom, const char* szTo);

private:
    struct Stream
    {
        uint8_t m_nFlags;  // bit 0 readable, bit 1 writable, bit 2 close on last release
        FILE* m_pStream;
        void Close();
    };
    enum
    {
        FLAG_READABLE = 1,
        FLAG_WRITABLE = 2,
        FLAG_CLOSE = 4,
    };

    static File Wrap(FILE* pStream, uint8_t nFlags);

    ZSharedRecord<Stream, ZAtomicUseCount> m_Record;
};
