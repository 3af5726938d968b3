#include "launch/ivl/textinputstream.h"
#include <stdio.h>
#include <string.h>

namespace
{
template <typename T>
bool PutLittleEndian(IOutputStream& out, T nValue)
{
    uint8_t aBytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i)
        aBytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(nValue) >> (8 * i));
    return out.Write(aBytes, sizeof(T));
}

template <typename T>
bool GetLittleEndian(IInputStream& in, T& nValue)
{
    uint8_t aBytes[sizeof(T)];
    if (in.Read(aBytes, sizeof(T)) != static_cast<int>(sizeof(T)))
        return false;
    uint64_t n = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        n |= static_cast<uint64_t>(aBytes[i]) << (8 * i);
    nValue = static_cast<T>(n);
    return true;
}

// A float or double from its little-endian bits; -1 when the stream ends first.
template <typename TReal, typename TBits>
TReal GetReal(IInputStream& in)
{
    static_assert(sizeof(TReal) == sizeof(TBits), "the bits fill the value");
    TBits nBits;
    if (!GetLittleEndian(in, nBits))
        return static_cast<TReal>(-1);
    TReal value;
    memcpy(&value, &nBits, sizeof(value));
    return value;
}

bool ReadOne(IInputStream& in, char& c)
{
    return in.Read(&c, 1) == 1;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
}  // namespace

bool PutU8(IOutputStream& out, uint8_t nValue)
{
    return PutLittleEndian(out, nValue);
}
bool PutU16(IOutputStream& out, uint16_t nValue)
{
    return PutLittleEndian(out, nValue);
}
bool PutU32(IOutputStream& out, uint32_t nValue)
{
    return PutLittleEndian(out, nValue);
}
bool PutU64(IOutputStream& out, uint64_t nValue)
{
    return PutLittleEndian(out, nValue);
}

bool PutVarInt(IOutputStream& out, int32_t nValue)
{
    uint32_t v = static_cast<uint32_t>(nValue);
    do {
        uint8_t nByte = static_cast<uint8_t>(v & 0x7F);
        if (v > 127)
            nByte |= 0x80;
        if (!out.Write(&nByte, 1))
            return false;
        v >>= 7;
    } while (v != 0);
    return true;
}

bool PutCString(IOutputStream& out, const char* szText)
{
    bool bOk = true;
    if (szText)
        for (const char* p = szText; *p; ++p)
            bOk = out.Write(p, 1) && bOk;
    char cZero = 0;
    return out.Write(&cZero, 1) && bOk;
}

bool WriteTextLine(IOutputStream& out, const char* szText)
{
    bool bOk = true;
    if (szText && *szText)
        bOk = out.Write(szText, static_cast<int>(strlen(szText)));
    return out.Write("\n", 1) && bOk;
}

int32_t GetU16(IInputStream& in)
{
    uint16_t n;
    return GetLittleEndian(in, n) ? n : -1;
}

int64_t GetU32(IInputStream& in)
{
    uint32_t n;
    return GetLittleEndian(in, n) ? n : -1;
}

int64_t GetU64(IInputStream& in)
{
    uint64_t n;
    return GetLittleEndian(in, n) ? static_cast<int64_t>(n) : -1;
}

float GetFloat(IInputStream& in)
{
    return GetReal<float, uint32_t>(in);
}

double GetDouble(IInputStream& in)
{
    return GetReal<double, uint64_t>(in);
}

int32_t GetVarInt(IInputStream& in)
{
    uint32_t nValue = 0;
    int nShift = 0;
    uint8_t nByte;
    do {
        if (in.Read(&nByte, 1) != 1)
            return -1;
        if (nShift < 32)
            nValue |= static_cast<uint32_t>(nByte & 0x7F) << nShift;
        nShift += 7;
    } while (nByte & 0x80);
    return static_cast<int32_t>(nValue);
}

void ReadCString(IInputStream& in, ZStringBase& text)
{
    char aChunk[1024];
    int n = 0;
    char c;
    while (ReadOne(in, c) && c != 0) {
        aChunk[n++] = c;
        if (n == 1023) {
            aChunk[n] = 0;
            text.Append(aChunk);
            n = 0;
        }
    }
    aChunk[n] = 0;
    text.Append(aChunk);
}

int ReadExact(IInputStream& in, void* pBuffer, int nCount)
{
    uint8_t* p = static_cast<uint8_t*>(pBuffer);
    int nDone = 0;
    while (nDone < nCount) {
        int n = in.Read(p + nDone, nCount - nDone);
        if (n < 1)
            return n;
        nDone += n;
    }
    return nCount;
}

bool WriteBytesLine(IOutputStream& out, const void* pData, int nCount)
{
    ZStringBuffer<256> text("W%d:", nCount);
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    for (int i = 0; i < nCount; ++i)
        text.AppendFormat("%02x", p[i]);
    return WriteTextLine(out, text.c_str());
}

bool TextInputStream::IsOpen()
{
    return m_pInner && m_pInner->IsOpen();
}

void TextInputStream::Destroy(int nFlags)
{
    if (nFlags & 1)
        delete this;
    else
        this->~TextInputStream();
}

int TextInputStream::GetRemaining()
{
    return m_pInner ? m_pInner->GetRemaining() : -1;
}

int TextInputStream::Read(void* pBuffer, int nCount)
{
    return m_pInner ? m_pInner->Read(pBuffer, nCount) : -1;
}

const void* TextInputStream::GetData(uint32_t*)
{
    return nullptr;
}

bool TextInputStream::Rewind()
{
    return m_pInner && m_pInner->Rewind();
}

int TextInputStream::Skip(int nCount)
{
    // The default skip reads through the raw read, which is the wrapped stream's.
    return m_pInner ? m_pInner->IInputStream::Skip(nCount) : 0;
}

int32_t TextInputStream::ReadVarInt()
{
    return m_pInner ? GetVarInt(*m_pInner) : -1;
}

void TextInputStream::ReadTextLine(ZStringBase& line)
{
    char c;
    while (m_pInner && ReadOne(*m_pInner, c) && c != '\n')
        if (c != '\r')
            line.AppendChar(c);
}

namespace
{
// One line of the text encoding, scanned with its format; the outputs stay 0 when it does not scan.
template <typename... T>
void ScanLine(TextInputStream& in, const char* szFormat, T*... pOutputs)
{
    ZStringBuffer<64> line;
    in.ReadTextLine(line);
    if (sscanf(line.c_str(), szFormat, pOutputs...) != static_cast<int>(sizeof...(T)))
        ((*pOutputs = 0), ...);
}
}  // namespace

uint8_t TextInputStream::ReadBool()
{
    int n = 0;
    ScanLine(*this, "B:%d", &n);
    return static_cast<uint8_t>(n);
}

int64_t TextInputStream::ReadInt64()
{
    int nHigh = 0, nLow = 0;
    ScanLine(*this, "Q:%d,%d", &nHigh, &nLow);
    return static_cast<int64_t>(static_cast<uint64_t>(static_cast<int64_t>(nHigh)) << 32) + static_cast<uint32_t>(nLow);
}

int32_t TextInputStream::ReadInt32()
{
    int n = 0;
    ScanLine(*this, "D:%d", &n);
    return n;
}

int16_t TextInputStream::ReadInt16()
{
    int n = 0;
    ScanLine(*this, "W:%d", &n);
    return static_cast<int16_t>(n);
}

float TextInputStream::ReadFloat()
{
    float f = 0;
    ScanLine(*this, "F:%e", &f);
    return f;
}

double TextInputStream::ReadDouble()
{
    double d = 0;
    ScanLine(*this, "R:%le", &d);
    return d;
}

int TextInputStream::ReadBytes(void* pBuffer, int nCount)
{
    if (!m_pInner)
        return -1;
    char c;
    if (!ReadOne(*m_pInner, c) || c != 'W')
        return -1;
    int64_t nLength = 0;
    int nDigits = 0;
    for (;;) {
        if (!ReadOne(*m_pInner, c) || c == '\n')
            return -1;
        if (c == ':')
            break;
        if (c < '0' || c > '9' || nLength > 0x7FFFFFFF)
            return -1;
        nLength = nLength * 10 + (c - '0');
        ++nDigits;
    }
    if (nDigits == 0 || nLength != nCount)
        return -1;
    uint8_t* p = static_cast<uint8_t*>(pBuffer);
    for (int i = 0; i < nCount; ++i) {
        char cHigh, cLow;
        if (!ReadOne(*m_pInner, cHigh) || !ReadOne(*m_pInner, cLow))
            return -1;
        int nHigh = HexDigit(cHigh), nLow = HexDigit(cLow);
        if (nHigh < 0 || nLow < 0)
            return -1;
        p[i] = static_cast<uint8_t>(nHigh * 16 + nLow);
    }
    if (!ReadOne(*m_pInner, c))
        return -1;
    if (c == '\r' && !ReadOne(*m_pInner, c))
        return -1;
    return c == '\n' ? nCount : -1;
}
