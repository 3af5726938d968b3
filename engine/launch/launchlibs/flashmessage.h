// Messages of the local command protocol between the page's Flash front end and the sync
// program: code, session id and text parameters; on the wire "code;id[;param...]" and a NUL.
#pragma once
#include <cstdint>
#include "common/containers/zstringbuffer.h"
#include "common/containers/zstringarray.h"

class Socket;

enum FlashCode
{
    // Replies to a command
    ERR_OK = 1,
    ERR_FAILED = 2,
    ERR_UNKNOWNCMD = 3,
    ERR_MALFORMED = 4,
    ERR_PARAMCOUNT = 5,
    ERR_BUSY = 6,
    ERR_SESSIONEXISTS = 7,
    ERR_NOSESSION = 8,
    ERR_ELEVATING = 9,

    // Status reports of a running session
    STATUS_STOPPED = 100,
    STATUS_PROGRESS = 101,
    STATUS_FINISHED = 102,
    STATUS_PINGRESULT = 103,
    STATUS_SESSIONREMOVED = 200,

    // Commands of the front end
    CMD_DOWNLOAD = 1000,
    CMD_RUN_IVL = 1001,
    CMD_PING = 1002,
    CMD_DOWNLOADNAMED = 1003,
    CMD_VERIFY = 1004,
    CMD_CANCEL = 2000,
    CMD_CLOSE = 2001,
};

class FlashMessage
{
public:
    FlashMessage();
    FlashMessage(int nCode, int nSessionId);
    // The text is split at ';' into the parameters.
    FlashMessage(int nCode, int nSessionId, const char* szText);

    // Replaces the message with the one read from a received text.
    void Parse(const char* szText);
    // Code and session id both non-zero.
    bool IsValid() const { return m_nCode != 0 && m_nSessionId != 0; }

    ZStringBuffer<256> ToString() const;
    // The text and its NUL in one send call; the result is not looked at.
    void Send(Socket& connection) const;

    int GetCode() const { return m_nCode; }
    int GetSessionId() const { return m_nSessionId; }
    int GetParamCount() const { return (int)m_Params.Size(); }
    // The text of parameter nIndex; "" outside the list.
    const char* GetParam(int nIndex) const;
    const ZStringArray& GetParams() const { return m_Params; }

private:
    int32_t m_nCode;
    int32_t m_nSessionId;
    ZStringArray m_Params;
};
