#include "launch/launchlibs/flashmessage.h"

#include <cstdint>
#include "common/system/socket.h"

namespace
{
// Parameter arrays grow to 32 elements on their first growth.
const unsigned kParamGrowMin = 32;

// The number at the start of the text as atoi reads it (leading blanks, a sign, digits, the rest
// ignored; no digits give 0), except that one that does not fit 32 bits gives 0 as well: wrapped,
// it would read as another valid code or session.
int32_t ReadNumber(const char* p)
{
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool bNegative = *p == '-';
    if (*p == '+' || *p == '-')
        ++p;
    int64_t nValue = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        nValue = nValue * 10 + (*p - '0');
        if (nValue > (int64_t)INT32_MAX + 1)
            return 0;
    }
    if (bNegative)
        nValue = -nValue;
    return nValue < INT32_MIN || nValue > INT32_MAX ? 0 : (int32_t)nValue;
}
}

FlashMessage::FlashMessage() : m_nCode(0), m_nSessionId(0), m_Params(kParamGrowMin)
{
}

FlashMessage::FlashMessage(int nCode, int nSessionId)
    : m_nCode(nCode), m_nSessionId(nSessionId), m_Params(kParamGrowMin)
{
}

FlashMessage::FlashMessage(int nCode, int nSessionId, const char* szText)
    : m_nCode(nCode), m_nSessionId(nSessionId), m_Params(kParamGrowMin)
{
    m_Params.Split(szText ? szText : "", ';');
}

void FlashMessage::Parse(const char* szText)
{
    m_nCode = 0;
    m_nSessionId = 0;
    m_Params.Clear();
    m_Params.Split(szText ? szText : "", ';');
    if (m_Params.Size() < 2)
        return;
    m_nCode = ReadNumber(m_Params.At(0)->GetData());
    m_nSessionId = ReadNumber(m_Params.At(1)->GetData());
    m_Params.Erase(m_Params.At(0));
    m_Params.Erase(m_Params.At(0));
}

const char* FlashMessage::GetParam(int nIndex) const
{
    if (nIndex < 0 || (unsigned)nIndex >= m_Params.Size())
        return "";
    return m_Params.At((unsigned)nIndex)->GetData();
}

ZStringBuffer<256> FlashMessage::ToString() const
{
    ZStringBuffer<256> sText;
    sText.Format("%d;%d", m_nCode, m_nSessionId);
    for (unsigned i = 0; i < m_Params.Size(); ++i) {
        sText.AppendChar(';');
        sText.Append(m_Params.At(i)->GetData());
    }
    return sText;
}

void FlashMessage::Send(Socket& connection) const
{
    if (!connection.IsValid())
        return;
    ZStringBuffer<256> sText = ToString();
    // The terminator goes with the text: the receiver reads each message up to its NUL.
    connection.Send(sText.GetData(), sText.GetLength() + 1, 0);
}
