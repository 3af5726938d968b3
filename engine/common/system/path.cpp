#include "common/system/path.h"
#include "common/system/file.h"
#include "common/containers/zmemorybuffer.h"
#include "common/containers/zstringarray.h"
#include <cstring>

namespace
{

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

}  // namespace

char GetPathSeparator()
{
    return '\\';
}

void NormalizePath(ZStringBase& out, const char* szPath)
{
    ZStringBuffer<256> s(szPath ? szPath : "");
    s.Replace('/', '\\');
    int n = s.GetLength();
    while (n > 1 && s.GetData()[n - 1] == '\\')
        --n;
    s.Truncate(n);
    out.Assign(s.c_str());
}

void JoinPath2(ZStringBase& out, const char* szA, const char* szB)
{
    ZStringBuffer<256> a, b;
    NormalizePath(a, szA);
    NormalizePath(b, szB);
    a.AppendChar('\\');
    a.Append(b);
    out.Assign(a.c_str());
}

void JoinPath3(ZStringBase& out, const char* szA, const char* szB, const char* szC)
{
    ZStringBuffer<256> ab, c;
    JoinPath2(ab, szA, szB);
    NormalizePath(c, szC);
    ab.AppendChar('\\');
    ab.Append(c);
    out.Assign(ab.c_str());
}

void JoinPath4(ZStringBase& out, const char* szA, const char* szB, const char* szC, const char* szD)
{
    ZStringBuffer<256> abc, d;
    JoinPath3(abc, szA, szB, szC);
    NormalizePath(d, szD);
    abc.AppendChar('\\');
    abc.Append(d);
    out.Assign(abc.c_str());
}

bool GetParentDirectory(const char* szPath, ZStringBase& out)
{
    ZStringBuffer<256> s;
    NormalizePath(s, szPath);
    int i = s.ReverseFind('\\');
    if (i <= 0)
        return false;
    char cBefore = s.GetData()[i - 1];
    if (cBefore == ':' || cBefore == '\\')
        return false;
    out.Assign(s.c_str(), i);
    return true;
}

bool CreateDirectoryPath(const char* szPath)
{
    // Any length is handled, so long paths can be created too.
    ZStringBuffer<256> sPath(szPath ? szPath : "");
    int n = sPath.GetLength();
    if (n > 0 && IsSeparator(sPath.GetData()[n - 1]))
        sPath.Truncate(n - 1);
    char* pText = sPath.GetData();
    bool bSeparatorBefore = false;
    for (char* p = pText; *p; ++p) {
        if (!IsSeparator(*p))
            continue;
        // The part before the first separator (a drive or the first relative folder) is left alone.
        if (bSeparatorBefore) {
            char c = *p;
            *p = 0;
            bool bOk = File::CreateDirectory(pText);
            *p = c;
            if (!bOk)
                return false;
        }
        bSeparatorBefore = true;
    }
    return File::CreateDirectory(pText);
}

void DeleteTree(const char* szFolder)
{
    ZStringBuffer<256> sFolder(szFolder);
    sFolder.AppendChar('\\');
    ZStringBuffer<256> sPattern(sFolder);
    sPattern.Append("*");

    ZStringArray folders(0);
    File::ListDirectories(folders, sPattern.c_str());
    for (unsigned i = 0; i < folders.Size(); ++i) {
        ZStringBuffer<256> sSub(sFolder);
        sSub.Append(*folders.At(i));
        DeleteTree(sSub.c_str());
    }
    ZStringArray files(0);
    File::ListFiles(files, sPattern.c_str());
    for (unsigned i = 0; i < files.Size(); ++i) {
        ZStringBuffer<256> sFile(sFolder);
        sFile.Append(*files.At(i));
        File::Delete(sFile.c_str());
    }
    File::RemoveDirectory(sFolder.c_str());
}

size_t ReadFileToBuffer(const char* szPath, ZMemoryBuffer* pBuffer)
{
    if (!pBuffer)
        return 0;
    File file = File::Open(szPath, 1);
    if (!file.IsOpen())
        return 0;
    file.SeekEnd();
    long nSize = file.Tell();
    file.Seek(0);
    if (nSize <= 0)
        return 0;
    // A file too large for this address space reads as nothing (callers compare sizes).
    if (!pBuffer->Reserve(static_cast<unsigned>(nSize)))
        return 0;
    size_t nRead = file.Read(pBuffer->GetData() + pBuffer->GetSize(), static_cast<size_t>(nSize));
    // Only the bytes read count (the file may have shrunk meanwhile); they are already in place.
    pBuffer->AppendSpace(static_cast<unsigned>(nRead));
    return nRead;
}

bool WriteBufferToFile(const char* szPath, const void* pData, size_t nSize)
{
    File file = File::Open(szPath, 6);
    if (!file.IsOpen())
        return false;
    return nSize == 0 || file.Write(pData, nSize) == nSize;
}

bool WriteMemoryBufferToFile(const char* szPath, const ZMemoryBuffer* pBuffer)
{
    if (!pBuffer)
        return false;
    return WriteBufferToFile(szPath, pBuffer->GetData(), pBuffer->GetSize());
}

bool AppendBufferToFile(const char* szPath, const void* pData, size_t nSize)
{
    File file = File::Open(szPath, 10);
    if (!file.IsOpen())
        return false;
    return nSize == 0 || file.Write(pData, nSize) == nSize;
}

bool AppendTextToFile(const char* szPath, const void* pData, size_t nSize)
{
    File file = File::Open(szPath, 26);
    if (!file.IsOpen())
        return false;
    if (nSize > 0)
        file.Write(pData, nSize);
    return true;
}
