// bzip2 decompression and compression over other streams (libbz2).
#pragma once
#include "common/stream/streams.h"

// Passes every operation to an inner stream it does not own.
class ZForwardInputStream : public IInputStream
{
public:
    explicit ZForwardInputStream(IInputStream* pInner) : m_pInner(pInner) {}

    bool IsOpen() override { return m_pInner && m_pInner->IsOpen(); }
    int GetRemaining() override { return m_pInner ? m_pInner->GetRemaining() : -1; }
    int Read(void* pBuffer, int nCount) override { return m_pInner ? m_pInner->Read(pBuffer, nCount) : -1; }
    bool Rewind() override { return m_pInner && m_pInner->Rewind(); }

protected:
    IInputStream* m_pInner;
};

class ZForwardOutputStream : public IOutputStream
{
public:
    explicit ZForwardOutputStream(IOutputStream* pInner) : m_pInner(pInner) {}

    bool IsOpen() override { return m_pInner && m_pInner->IsOpen(); }
    void Flush() override
    {
        if (m_pInner)
            m_pInner->Flush();
    }
    bool Write(const void* pData, int nCount) override { return m_pInner && m_pInner->Write(pData, nCount); }

protected:
    IOutputStream* m_pInner;
};

struct ZBzipWork;

class ZBzipInputStream : public ZForwardInputStream
{
public:
    // bSmall: the library's slower low-memory mode.
    explicit ZBzipInputStream(IInputStream* pSource, bool bSmall = false);
    ~ZBzipInputStream() override;
    ZBzipInputStream(const ZBzipInputStream&) = delete;
    ZBzipInputStream& operator=(const ZBzipInputStream&) = delete;

    bool IsOpen() override;
    // Part of the last Read request that stayed unfilled.
    int GetRemaining() override;
    // Bytes produced; -1 on corrupt data and after the stream has ended.
    int Read(void* pBuffer, int nCount) override;
    // Rewinds the source only; the decompressor is not reset.
    bool Rewind() override;
    // True once the end marker was read and every block's CRC matched. A source that ends
    // before it reads as a short stream (0 at the end), not as complete.
    bool HasEnded() const { return m_bEnded; }
    // True when the source did not begin as bzip2 data (as opposed to damaged bzip2 data).
    bool IsNotBzip2() const { return m_bNotBzip2; }

private:
    ZBzipWork* m_pWork;
    bool m_bActive;    // the decompressor is initialised and not yet ended
    bool m_bEnded;     // the end marker was reached
    bool m_bNotBzip2;  // the library refused the source's first bytes
};

class ZBzipOutputStream : public ZForwardOutputStream
{
public:
    // nBlockSize in 100 kB units (1..9); nWorkFactor 0..250 (0: the library's default).
    ZBzipOutputStream(IOutputStream* pTarget, int nBlockSize = 9, int nWorkFactor = 0);
    // Finishes the compressed stream into the target.
    ~ZBzipOutputStream() override;
    ZBzipOutputStream(const ZBzipOutputStream&) = delete;
    ZBzipOutputStream& operator=(const ZBzipOutputStream&) = delete;

    void Flush() override;
    bool WriteByte(uint8_t nByte) override;
    bool Write(const void* pData, int nCount) override;

private:
    void WriteOut();

    ZBzipWork* m_pWork;
    bool m_bActive;
};
