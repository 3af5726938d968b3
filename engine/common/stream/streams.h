// Byte streams over files, sockets and memory.
#pragma once
#include <stdint.h>
#include <stddef.h>

#include "common/system/file.h"
#include "common/system/socket.h"

class IOutputStream
{
public:
    virtual bool IsOpen() = 0;
    virtual ~IOutputStream() {}
    virtual void Flush() = 0;
    virtual bool WriteByte(uint8_t nByte);
    // True when all nCount bytes were taken.
    virtual bool Write(const void* pData, int nCount) = 0;
};

class IInputStream
{
public:
    virtual bool IsOpen() = 0;
    virtual ~IInputStream() {}
    // Bytes still to come; -1 when the stream cannot tell.
    virtual int GetRemaining() = 0;
    // Bytes read (at most nCount), or -1 at the end or on error.
    virtual int Read(void* pBuffer, int nCount) = 0;
    virtual int ReadByte();
    // The whole content when the stream holds it in memory; null otherwise.
    virtual const void* GetData(uint32_t* pSize);
    virtual bool Rewind();
    virtual int Skip(int nCount);
};

class ZFileInputStream : public IInputStream
{
public:
    explicit ZFileInputStream(const char* pPath);
    ZFileInputStream(const ZFileInputStream& other);
    explicit ZFileInputStream(const File& file);
    ZFileInputStream& operator=(const ZFileInputStream&) = delete;

    bool IsOpen() override;
    int GetRemaining() override;
    int Read(void* pBuffer, int nCount) override;
    int ReadByte() override;
    bool Rewind() override;
    int Skip(int nCount) override;

    File& GetFile() { return m_file; }

private:
    File m_file;
};

class ZFileOutputStream : public IOutputStream
{
public:
    explicit ZFileOutputStream(const char* pPath);
    ZFileOutputStream(const ZFileOutputStream& other);
    explicit ZFileOutputStream(const File& file);
    ZFileOutputStream& operator=(const ZFileOutputStream&) = delete;

    bool IsOpen() override;
    void Flush() override;
    bool WriteByte(uint8_t nByte) override;
    bool Write(const void* pData, int nCount) override;

    File& GetFile() { return m_file; }

private:
    File m_file;
};

class ZSocketStream : public IInputStream, public IOutputStream
{
public:
    ZSocketStream() {}
    ZSocketStream(const ZSocketStream& other) : m_socket(other.m_socket) {}
    explicit ZSocketStream(const Socket& socket) : m_socket(socket) {}
    ZSocketStream& operator=(const ZSocketStream& other)
    {
        m_socket = other.m_socket;
        return *this;
    }

    bool IsOpen() override;
    int GetRemaining() override;
    // Received count, 0 when the peer closed, -1 on error.
    int Read(void* pBuffer, int nCount) override;
    bool Rewind() override { return false; }
    void Flush() override {}
    bool Write(const void* pData, int nCount) override;

    Socket& GetSocket() { return m_socket; }

private:
    Socket m_socket;
};

// Growable stream of heap chunks: written at the end, read from the front.
class ZMemoryStream : public IInputStream, public IOutputStream
{
public:
    explicit ZMemoryStream(int nInitialChunkSize = 4096);
    ~ZMemoryStream() override;
    ZMemoryStream(const ZMemoryStream&) = delete;
    ZMemoryStream& operator=(const ZMemoryStream&) = delete;

    bool IsOpen() override;
    int GetRemaining() override;
    int Read(void* pBuffer, int nCount) override;
    const void* GetData(uint32_t* pSize) override;
    bool Rewind() override;
    int Skip(int nCount) override;
    void Flush() override {}
    bool Write(const void* pData, int nCount) override;

    uint32_t GetSize();
    void Clear();
    void ReadFrom(IInputStream& source);
    // False when the target refused a piece.
    bool WriteTo(IOutputStream& target);

    struct Chunk
    {
        Chunk* m_pNext;
        uint32_t m_nSize;
        // the bytes follow
        uint8_t* Bytes() { return (uint8_t*)(this + 1); }
    };

    struct State
    {
        uint32_t m_nReadPos;     // bytes read or skipped in all
        uint32_t m_nReadOffset;  // offset in m_pReadChunk
        Chunk* m_pReadChunk;
        uint32_t m_nCompactSize;  // content size after the last compaction
        uint32_t m_nNextChunkSize;
        uint32_t m_nCapacity;  // bytes allocated in all chunks
        uint32_t m_nSize;      // bytes written
        uint32_t m_nFree;      // free bytes in the last chunk
        Chunk* m_pLast;
        Chunk* m_pFirst;
    };

    // For tests and diagnostics: the chunk list, first to last.
    const Chunk* GetFirstChunk() const { return m_pState ? m_pState->m_pFirst : nullptr; }

private:
    bool AddChunk(uint32_t nBytes);
    void FreeChunks();
    int Advance(void* pBuffer, int nCount);

    State* m_pState;
};

class ZMemoryReader : public IInputStream
{
public:
    ZMemoryReader(const void* pData, uint32_t nSize) : m_pData((const uint8_t*)pData), m_nSize(nSize), m_nPos(0) {}

    bool IsOpen() override { return true; }
    int GetRemaining() override { return (int)(m_nSize - m_nPos); }
    int Read(void* pBuffer, int nCount) override;
    const void* GetData(uint32_t* pSize) override;
    bool Rewind() override;
    int Skip(int nCount) override;

private:
    const uint8_t* m_pData;
    uint32_t m_nSize;
    uint32_t m_nPos;
};

class ZMemoryWriter : public IOutputStream
{
public:
    ZMemoryWriter(void* pBuffer, uint32_t nSize) : m_pBuffer((uint8_t*)pBuffer), m_nSize(nSize), m_nPos(0) {}

    bool IsOpen() override { return true; }
    void Flush() override {}
    bool Write(const void* pData, int nCount) override;

    uint32_t GetPosition() const { return m_nPos; }

private:
    uint8_t* m_pBuffer;
    uint32_t m_nSize;
    uint32_t m_nPos;
};
