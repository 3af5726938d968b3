#pragma once

#include "common/containers/zarray.h"
#include "common/containers/zstringbuffer.h"

// Array of 16-byte-inline strings (32-byte elements on 32-bit builds).
class ZStringArray : public ZLinearArray<ZStringBuffer<16>>
{
public:
    typedef ZStringBuffer<16> Element;

    explicit ZStringArray(unsigned nGrowMin = 0) : ZLinearArray<Element>(nGrowMin) {}
    ZStringArray(const ZStringArray& other) : ZLinearArray<Element>(other) {}
    ZStringArray& operator=(const ZStringArray& other);

    // Tokens after the first (the first is the program in command lines).
    int GetArgCount() const;
    // Text of element nIndex + 1, or "" outside the tokens.
    const char* GetArgText(int nIndex) const;

    Element* Add(const char* szText);
    // Appends the pieces between separators; an empty last piece is dropped.
    void Split(const char* szText, char cSeparator);
    Element Join(char cSeparator) const;
};
