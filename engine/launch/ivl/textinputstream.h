// Typed values over byte streams: the binary encoding (little-endian integers, float bit
// patterns, C strings with their terminator, 7-bit variable-length counts) and the reader of the
// text encoding (one "T:value" line per value), which also reads plain text lines.
#pragma once
#include <stdint.h>
#include "common/stream/streams.h"
#include "common/containers/zstringbuffer.h"

// Binary writers.
bool PutU8(IOutputStream& out, uint8_t nValue);
bool PutU16(IOutputStream& out, uint16_t nValue);
bool PutU32(IOutputStream& out, uint32_t nValue);
bool PutU64(IOutputStream& out, uint64_t nValue);
// Values from 0 to 2^31 - 1; false as soon as a byte write fails.
bool PutVarInt(IOutputStream& out, int32_t nValue);
// The characters and the terminator (one NUL byte for a null string).
bool PutCString(IOutputStream& out, const char* szText);
// The characters and a line feed.
bool WriteTextLine(IOutputStream& out, const char* szText);

// Binary readers: -1 when the stream ends early.
int32_t GetU16(IInputStream& in);
int64_t GetU32(IInputStream& in);
int64_t GetU64(IInputStream& in);
float GetFloat(IInputStream& in);
double GetDouble(IInputStream& in);
int32_t GetVarInt(IInputStream& in);
// Up to the terminator or the end of the stream.
void ReadCString(IInputStream& in, ZStringBase& text);
// Repeats the read until n bytes came; n, or the first result below 1.
int ReadExact(IInputStream& in, void* pBuffer, int nCount);

// "W<n>:" and two hexadecimal digits a byte, written as one line.
bool WriteBytesLine(IOutputStream& out, const void* pData, int nCount);

// Reader of the text encoding over another input stream. A line that does not scan reads as 0.
// Its table has the input stream's slot order (0 to 7) followed by the typed reads (8 to 15). Not
// an IInputStream: g++ gives that interface's virtual destructor two entries, this table has
// one slot for Destroy.
class TextInputStream final
{
public:
    explicit TextInputStream(IInputStream* pInner) : m_pInner(pInner) {}
    ~TextInputStream() = default;
    TextInputStream(const TextInputStream&) = delete;
    TextInputStream& operator=(const TextInputStream&) = delete;

    virtual bool IsOpen();                         // 0: the wrapped stream's
    virtual void Destroy(int nFlags);              // 1: bit 0 also frees
    virtual int GetRemaining();                    // 2: the wrapped stream's
    virtual int Read(void* pBuffer, int nCount);   // 3: the wrapped stream's raw read
    virtual uint8_t ReadBool();                    // 4: "B:%d"
    virtual const void* GetData(uint32_t* pSize);  // 5: null, the text is not held here
    virtual bool Rewind();                         // 6: the wrapped stream's
    virtual int Skip(int nCount);                  // 7: the input stream's default, through Read
    virtual int64_t ReadInt64();                   // 8: "Q:%d,%d", high then low 32 bits
    virtual int32_t ReadInt32();                   // 9: "D:%d"
    virtual int32_t ReadVarInt();                  // 10: binary from the wrapped stream; no text form
    virtual int16_t ReadInt16();                   // 11: "W:%d"
    virtual float ReadFloat();                     // 12: "F:%e"
    virtual double ReadDouble();                   // 13: "R:%e"
    // 14: "W<n>:" and n bytes as hexadecimal pairs; n, or -1 on any mismatch.
    virtual int ReadBytes(void* pBuffer, int nCount);
    // 15: appends up to a line feed or the end; carriage returns are dropped, the line feed not kept.
    virtual void ReadTextLine(ZStringBase& line);

private:
    IInputStream* m_pInner;
};
