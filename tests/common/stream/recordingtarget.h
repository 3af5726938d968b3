// An output stream for tests: records what it is given; refuses everything once m_bFull is set.
#pragma once
#include <string>
#include <vector>
#include "common/stream/streams.h"

class RecordingTarget : public IOutputStream
{
public:
    bool IsOpen() override { return true; }
    void Flush() override { ++m_nFlushes; }
    bool Write(const void* pData, int nCount) override
    {
        if (m_bFull)
            return false;
        m_anWrites.push_back(nCount);
        m_data.append((const char*)pData, (size_t)nCount);
        return true;
    }
    std::string m_data;
    std::vector<int> m_anWrites;
    int m_nFlushes = 0;
    bool m_bFull = false;
};
