#include "common/stream/streams.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

// ---- interface defaults ----

bool IOutputStream::WriteByte(uint8_t nByte)
{
    return Write(&nByte, 1);
}

int IInputStream::ReadByte()
{
    uint8_t nByte;
    if (Read(&nByte, 1) != 1)
        return -1;
    return nByte;
}

const void* IInputStream::GetData(uint32_t* pSize)
{
    return nullptr;
}

bool IInputStream::Rewind()
{
    return false;
}

int IInputStream::Skip(int nCount)
{
    if (nCount <= 0)
        return 0;
    uint8_t abBuffer[4096];
    int nTotal = 0;
    while (nTotal < nCount) {
        int nPiece = nCount - nTotal;
        if (nPiece > (int)sizeof(abBuffer))
            nPiece = (int)sizeof(abBuffer);
        int nRead = Read(abBuffer, nPiece);
        if (nRead <= 0)
            break;
        nTotal += nRead;
        if (nRead < nPiece)
            break;
    }
    return nTotal;
}

// ---- files ----

ZFileInputStream::ZFileInputStream(const char* szPath) : m_file(File::Open(szPath, File::MODE_READ))
{
}

ZFileInputStream::ZFileInputStream(const ZFileInputStream& other) : IInputStream(), m_file(other.m_file)
{
}

ZFileInputStream::ZFileInputStream(const File& file)
{
    if (file.IsReadable())
        m_file = file;
}

bool ZFileInputStream::IsOpen()
{
    return m_file.IsOpen();
}

int ZFileInputStream::GetRemaining()
{
    if (!m_file.IsOpen())
        return 0;
    long nPos = m_file.Tell();
    m_file.SeekEnd();
    long nEnd = m_file.Tell();
    m_file.Seek(nPos);
    long nRemaining = nEnd - nPos;
    if (nRemaining < 0)
        return 0;
    return nRemaining > INT_MAX ? INT_MAX : (int)nRemaining;
}

int ZFileInputStream::Read(void* pBuffer, int nCount)
{
    if (!m_file.IsOpen() || m_file.IsEof() || nCount < 0)
        return -1;
    if (nCount == 0)
        return 0;
    size_t nRead = m_file.Read(pBuffer, (size_t)nCount);
    // A read that ends exactly at the end of the file leaves the end flag clear: report the end
    // now rather than a 0 that readers could take for "try again".
    if (nRead == 0)
        return -1;
    return (int)nRead;
}

int ZFileInputStream::ReadByte()
{
    if (!m_file.IsOpen() || m_file.IsEof())
        return -1;
    return m_file.GetChar();
}

bool ZFileInputStream::Rewind()
{
    if (!m_file.IsOpen())
        return false;
    return m_file.Seek(0);
}

int ZFileInputStream::Skip(int nCount)
{
    if (!m_file.IsOpen() || nCount <= 0)
        return 0;
    long nPos = m_file.Tell();
    // Seeking past the end would succeed and report bytes that were never there.
    int nRemaining = GetRemaining();
    if (nCount > nRemaining)
        nCount = nRemaining;
    m_file.Seek(nPos + nCount);
    return (int)(m_file.Tell() - nPos);
}

ZFileOutputStream::ZFileOutputStream(const char* szPath)
    : m_file(File::Open(szPath, File::MODE_WRITE | File::MODE_CREATE))
{
}

ZFileOutputStream::ZFileOutputStream(const ZFileOutputStream& other) : IOutputStream(), m_file(other.m_file)
{
}

ZFileOutputStream::ZFileOutputStream(const File& file)
{
    if (file.IsWritable())
        m_file = file;
}

bool ZFileOutputStream::IsOpen()
{
    return m_file.IsOpen();
}

void ZFileOutputStream::Flush()
{
    m_file.Flush();
}

bool ZFileOutputStream::WriteByte(uint8_t nByte)
{
    return m_file.PutChar(nByte);
}

bool ZFileOutputStream::Write(const void* pData, int nCount)
{
    if (nCount < 0)
        return false;
    if (nCount == 0)
        return m_file.IsOpen();
    return m_file.Write(pData, (size_t)nCount) == (size_t)nCount;
}

// ---- sockets ----

bool ZSocketStream::IsOpen()
{
    return m_socket.IsValid();
}

int ZSocketStream::GetRemaining()
{
    if (!m_socket.IsValid())
        return -1;
    return m_socket.GetBytesAvailable();
}

int ZSocketStream::Read(void* pBuffer, int nCount)
{
    if (!m_socket.IsValid() || nCount < 0)
        return -1;
    int nResult = m_socket.Receive(pBuffer, nCount, 0);
    return nResult < 0 ? -1 : nResult;
}

bool ZSocketStream::Write(const void* pData, int nCount)
{
    if (!m_socket.IsValid() || nCount < 0)
        return false;
    if (nCount == 0)
        return true;
    return m_socket.SendAll(pData, nCount, 0) == nCount;
}

// ---- memory stream ----

namespace
{
const uint32_t kMaxChunkSize = 1048576;
const uint32_t kDefaultChunkSize = 4096;

// Content bytes of a chunk: all but the last chunk are full.
inline uint32_t ChunkContent(const ZMemoryStream::State* pState, const ZMemoryStream::Chunk* pChunk)
{
    return pChunk == pState->m_pLast ? pChunk->m_nSize - pState->m_nFree : pChunk->m_nSize;
}
}  // namespace

ZMemoryStream::ZMemoryStream(int nInitialChunkSize)
{
    m_pState = (State*)calloc(1, sizeof(State));
    m_pState->m_nNextChunkSize = nInitialChunkSize < 1 ? 1 : (uint32_t)nInitialChunkSize;
}

ZMemoryStream::~ZMemoryStream()
{
    if (m_pState) {
        FreeChunks();
        free(m_pState);
        m_pState = nullptr;
    }
}

void ZMemoryStream::FreeChunks()
{
    Chunk* pChunk = m_pState->m_pFirst;
    while (pChunk) {
        Chunk* pNext = pChunk->m_pNext;
        free(pChunk);
        pChunk = pNext;
    }
    m_pState->m_pFirst = m_pState->m_pLast = m_pState->m_pReadChunk = nullptr;
}

bool ZMemoryStream::AddChunk(uint32_t nBytes)
{
    State* s = m_pState;
    uint32_t nSize = nBytes > s->m_nNextChunkSize ? nBytes : s->m_nNextChunkSize;
    // Content fed from outside can exhaust the address space: the write fails, nothing changes.
    if (nSize > 0xFFFFFFFFu - sizeof(Chunk))
        return false;
    Chunk* pChunk = (Chunk*)malloc(sizeof(Chunk) + nSize);
    if (!pChunk)
        return false;
    pChunk->m_pNext = nullptr;
    pChunk->m_nSize = nSize;
    s->m_nNextChunkSize = s->m_nNextChunkSize >= kMaxChunkSize / 2 ? kMaxChunkSize : s->m_nNextChunkSize * 2;
    s->m_nCapacity += nSize;
    if (s->m_pLast)
        s->m_pLast->m_pNext = pChunk;
    else
        s->m_pFirst = pChunk;
    s->m_pLast = pChunk;
    s->m_nFree = nSize;
    return true;
}

bool ZMemoryStream::IsOpen()
{
    return m_pState != nullptr;
}

bool ZMemoryStream::Write(const void* pData, int nCount)
{
    if (nCount <= 0)
        return true;
    State* s = m_pState;
    const uint8_t* p = (const uint8_t*)pData;
    uint32_t n = (uint32_t)nCount;
    if (n > 0xFFFFFFFFu - s->m_nSize)
        return false;
    // Free space of the last chunk is filled first; the new chunk for the rest is had before
    // any byte moves, so a write that fails leaves the content as it was.
    Chunk* pFill = s->m_pLast;
    uint32_t nFill = pFill ? s->m_nFree : 0;
    if (nFill < n) {
        if (!AddChunk(n - nFill))
            return false;
        if (nFill) {
            memcpy(pFill->Bytes() + (pFill->m_nSize - nFill), p, nFill);
            p += nFill;
            n -= nFill;
        }
    }
    memcpy(s->m_pLast->Bytes() + (s->m_pLast->m_nSize - s->m_nFree), p, n);
    s->m_nFree -= n;
    s->m_nSize += (uint32_t)nCount;
    return true;
}

int ZMemoryStream::Advance(void* pBuffer, int nCount)
{
    State* s = m_pState;
    uint8_t* pOut = (uint8_t*)pBuffer;
    if (!s->m_pReadChunk) {
        s->m_pReadChunk = s->m_pFirst;
        s->m_nReadOffset = 0;
    }
    uint32_t nWanted = (uint32_t)nCount;
    uint32_t nLeft = s->m_nSize - s->m_nReadPos;
    if (nWanted > nLeft)
        nWanted = nLeft;
    uint32_t nDone = 0;
    while (nDone < nWanted && s->m_pReadChunk) {
        uint32_t nAvail = ChunkContent(s, s->m_pReadChunk) - s->m_nReadOffset;
        if (nAvail == 0) {
            if (!s->m_pReadChunk->m_pNext)
                break;
            s->m_pReadChunk = s->m_pReadChunk->m_pNext;
            s->m_nReadOffset = 0;
            continue;
        }
        uint32_t nTake = nWanted - nDone < nAvail ? nWanted - nDone : nAvail;
        if (pOut)
            memcpy(pOut + nDone, s->m_pReadChunk->Bytes() + s->m_nReadOffset, nTake);
        s->m_nReadOffset += nTake;
        nDone += nTake;
    }
    s->m_nReadPos += nDone;
    return (int)nDone;
}

int ZMemoryStream::Read(void* pBuffer, int nCount)
{
    State* s = m_pState;
    if (s->m_nReadPos >= s->m_nSize || !s->m_pFirst || nCount < 0)
        return -1;
    if (nCount == 0)
        return 0;
    return Advance(pBuffer, nCount);
}

int ZMemoryStream::Skip(int nCount)
{
    if (nCount < 0)
        return -1;
    if (nCount == 0 || !m_pState->m_pFirst)
        return 0;
    return Advance(nullptr, nCount);
}

int ZMemoryStream::GetRemaining()
{
    return (int)(m_pState->m_nSize - m_pState->m_nReadPos);
}

const void* ZMemoryStream::GetData(uint32_t* pSize)
{
    State* s = m_pState;
    if (pSize)
        *pSize = s->m_nSize;
    if (!s->m_pFirst || s->m_pFirst != s->m_pLast) {
        Chunk* pChunk = (Chunk*)malloc(sizeof(Chunk) + s->m_nSize);
        if (!pChunk)
            return nullptr;  // no memory for one block: the chunks stay as they are
        pChunk->m_pNext = nullptr;
        pChunk->m_nSize = s->m_nSize;
        uint32_t nCopied = 0;
        for (Chunk* p = s->m_pFirst; p && nCopied < s->m_nSize; p = p->m_pNext) {
            uint32_t n = ChunkContent(s, p);
            if (n > s->m_nSize - nCopied)
                n = s->m_nSize - nCopied;
            memcpy(pChunk->Bytes() + nCopied, p->Bytes(), n);
            nCopied += n;
        }
        FreeChunks();
        s->m_pFirst = s->m_pLast = s->m_pReadChunk = pChunk;
        s->m_nReadOffset = s->m_nReadPos;
        s->m_nFree = 0;
        s->m_nCapacity = s->m_nSize;
        s->m_nCompactSize = s->m_nSize;
    }
    return s->m_pFirst->Bytes();
}

bool ZMemoryStream::Rewind()
{
    m_pState->m_nReadPos = 0;
    m_pState->m_nReadOffset = 0;
    m_pState->m_pReadChunk = m_pState->m_pFirst;
    return true;
}

uint32_t ZMemoryStream::GetSize()
{
    return m_pState->m_nSize;
}

void ZMemoryStream::Clear()
{
    FreeChunks();
    memset(m_pState, 0, sizeof(State));
    m_pState->m_nNextChunkSize = kDefaultChunkSize;
}

void ZMemoryStream::ReadFrom(IInputStream& source)
{
    Clear();
    uint8_t abBuffer[4096];
    for (;;) {
        int n = source.Read(abBuffer, (int)sizeof(abBuffer));
        if (n <= 0 || !Write(abBuffer, n))
            break;
    }
}

bool ZMemoryStream::WriteTo(IOutputStream& target)
{
    State* s = m_pState;
    uint32_t nWritten = 0;
    for (Chunk* p = s->m_pFirst; p && nWritten < s->m_nSize; p = p->m_pNext) {
        uint32_t n = ChunkContent(s, p);
        if (n > s->m_nSize - nWritten)
            n = s->m_nSize - nWritten;
        if (n > 0 && !target.Write(p->Bytes(), (int)n))
            return false;
        nWritten += n;
    }
    return true;
}

// ---- fixed memory ----

int ZMemoryReader::Read(void* pBuffer, int nCount)
{
    if (nCount < 0)
        return -1;
    uint32_t nLeft = m_nSize - m_nPos;
    uint32_t m = (uint32_t)nCount < nLeft ? (uint32_t)nCount : nLeft;
    if (m == 0)
        return -1;
    memcpy(pBuffer, m_pData + m_nPos, m);
    m_nPos += m;
    return (int)m;
}

const void* ZMemoryReader::GetData(uint32_t* pSize)
{
    if (pSize)
        *pSize = m_nSize;
    return m_pData;
}

bool ZMemoryReader::Rewind()
{
    m_nPos = 0;
    return true;
}

int ZMemoryReader::Skip(int nCount)
{
    if (nCount <= 0)
        return 0;
    uint32_t nLeft = m_nSize - m_nPos;
    uint32_t m = (uint32_t)nCount < nLeft ? (uint32_t)nCount : nLeft;
    m_nPos += m;
    return (int)m;
}

bool ZMemoryWriter::Write(const void* pData, int nCount)
{
    if (nCount < 0 || (uint32_t)nCount > m_nSize - m_nPos)
        return false;
    memcpy(m_pBuffer + m_nPos, pData, (size_t)nCount);
    m_nPos += (uint32_t)nCount;
    return true;
}
