#include "common/system/zwin.h"  // bzlib.h includes windows.h: Winsock must come first

#include "common/stream/bzipstream.h"

#include <stdlib.h>
#include <string.h>

#include <bzlib.h>

#include "common/system/zlog.h"

namespace
{
const int kWorkBufferSize = 65536;
}

struct ZBzipWork
{
    char m_acBuffer[kWorkBufferSize];
    bz_stream m_stream;
};

static ZBzipWork* NewWork()
{
    ZBzipWork* pWork = (ZBzipWork*)malloc(sizeof(ZBzipWork));
    if (!pWork)
        return nullptr;  // the stream stays inactive: reads fail, writes do nothing
    memset(&pWork->m_stream, 0, sizeof(pWork->m_stream));
    return pWork;
}

// Only reached on an inconsistency inside the library itself; going on would use broken state.
extern "C" void bz_internal_error(int nErrorCode)
{
    ZLog::Write(ZLOG_CATEGORY, __FILE__, ZLogTextLevel(ZLOG_ERROR, "bzip2 internal error %d", nErrorCode).GetData());
    abort();
}

// ---- decompression ----

ZBzipInputStream::ZBzipInputStream(IInputStream* pSource, bool bSmall)
    : ZForwardInputStream(pSource), m_pWork(NewWork()), m_bActive(false), m_bEnded(false), m_bNotBzip2(false)
{
    if (!m_pWork)
        return;
    m_bActive = BZ2_bzDecompressInit(&m_pWork->m_stream, 0, bSmall ? 1 : 0) == BZ_OK;
}

ZBzipInputStream::~ZBzipInputStream()
{
    // A stream not read to its end still holds the library's block memory.
    if (m_bActive)
        BZ2_bzDecompressEnd(&m_pWork->m_stream);
    free(m_pWork);
}

bool ZBzipInputStream::IsOpen()
{
    return m_pInner && m_pInner->IsOpen();
}

int ZBzipInputStream::GetRemaining()
{
    return m_pWork ? (int)m_pWork->m_stream.avail_out : -1;
}

bool ZBzipInputStream::Rewind()
{
    return m_pInner && m_pInner->Rewind();
}

int ZBzipInputStream::Read(void* pBuffer, int nCount)
{
    if (nCount == 0)
        return 0;
    if (nCount < 0 || !m_bActive || !m_pInner)
        return -1;
    bz_stream& s = m_pWork->m_stream;
    s.next_out = (char*)pBuffer;
    s.avail_out = (unsigned int)nCount;
    for (;;) {
        // The decompressor may hold a decoded block: it gives that out before it needs input,
        // so the source is asked only once everything decodable has come out.
        int nResult = BZ2_bzDecompress(&s);
        if (nResult == BZ_STREAM_END) {
            BZ2_bzDecompressEnd(&s);
            m_bActive = false;
            m_bEnded = true;
            return nCount - (int)s.avail_out;
        }
        if (nResult != BZ_OK) {
            // The library's state is not usable after an error; later reads fail too.
            BZ2_bzDecompressEnd(&s);
            m_bActive = false;
            m_bNotBzip2 = nResult == BZ_DATA_ERROR_MAGIC;
            return -1;
        }
        if (s.avail_out == 0)
            return nCount;
        // BZ_OK with room left: all input is used up.
        int nRead = m_pInner->Read(m_pWork->m_acBuffer, kWorkBufferSize);
        if (nRead <= 0)
            return nCount - (int)s.avail_out;  // cut short: HasEnded() stays false
        s.next_in = m_pWork->m_acBuffer;
        s.avail_in = (unsigned int)nRead;
    }
}

// ---- compression ----

ZBzipOutputStream::ZBzipOutputStream(IOutputStream* pTarget, int nBlockSize, int nWorkFactor)
    : ZForwardOutputStream(pTarget), m_pWork(NewWork()), m_bActive(false)
{
    if (!m_pWork)
        return;
    m_bActive = BZ2_bzCompressInit(&m_pWork->m_stream, nBlockSize, 0, nWorkFactor) == BZ_OK;
    m_pWork->m_stream.next_out = m_pWork->m_acBuffer;
    m_pWork->m_stream.avail_out = kWorkBufferSize;
}

void ZBzipOutputStream::WriteOut()
{
    bz_stream& s = m_pWork->m_stream;
    int nUsed = kWorkBufferSize - (int)s.avail_out;
    if (nUsed > 0 && m_pInner)
        m_pInner->Write(m_pWork->m_acBuffer, nUsed);
    s.next_out = m_pWork->m_acBuffer;
    s.avail_out = kWorkBufferSize;
}

ZBzipOutputStream::~ZBzipOutputStream()
{
    if (m_bActive) {
        bz_stream& s = m_pWork->m_stream;
        for (;;) {
            int nResult = BZ2_bzCompress(&s, BZ_FINISH);
            WriteOut();
            if (nResult != BZ_FINISH_OK)
                break;  // BZ_STREAM_END, or an error that repeating would not cure
        }
        BZ2_bzCompressEnd(&s);
        if (m_pInner)
            m_pInner->Flush();
    }
    free(m_pWork);
}

bool ZBzipOutputStream::Write(const void* pData, int nCount)
{
    if (!m_bActive || nCount <= 0)
        return true;
    bz_stream& s = m_pWork->m_stream;
    s.next_in = (char*)pData;
    s.avail_in = (unsigned int)nCount;
    while (s.avail_in > 0) {
        BZ2_bzCompress(&s, BZ_RUN);
        if (s.avail_out == 0)
            Flush();
    }
    s.next_in = nullptr;
    return true;
}

bool ZBzipOutputStream::WriteByte(uint8_t nByte)
{
    return Write(&nByte, 1);
}

void ZBzipOutputStream::Flush()
{
    if (m_bActive) {
        bz_stream& s = m_pWork->m_stream;
        while (s.avail_in > 0 || s.avail_out < (unsigned int)kWorkBufferSize) {
            WriteOut();
            BZ2_bzCompress(&s, BZ_RUN);
        }
    }
    if (m_pInner)
        m_pInner->Flush();
}
