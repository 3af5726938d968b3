// The heap record behind the engine's value handles: copies of a handle share one record with a
// use count, and the last release closes what the record holds and frees it.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// For handles that their owners copy and release under a lock of their own.
class ZPlainUseCount
{
public:
    ZPlainUseCount() : m_nCount(1) {}
    void Add() { ++m_nCount; }
    // True when the last user went.
    bool Drop() { return --m_nCount == 0; }

private:
    uint32_t m_nCount;
};

// For handles that threads copy and release freely.
class ZAtomicUseCount
{
public:
    ZAtomicUseCount() : m_nCount(1) {}
    void Add() { m_nCount.fetch_add(1, std::memory_order_relaxed); }
    // True when the last user went; what the others did to the record is then seen.
    bool Drop() { return m_nCount.fetch_sub(1, std::memory_order_acq_rel) == 1; }

private:
    std::atomic<uint32_t> m_nCount;
};

// Payload: what the record holds, with a Close() that the last release calls.
template <class Payload, class UseCount>
class ZSharedRecord
{
public:
    ZSharedRecord() : m_pRecord(nullptr) {}
    ZSharedRecord(const ZSharedRecord& other) : m_pRecord(other.m_pRecord)
    {
        if (m_pRecord)
            m_pRecord->m_Count.Add();
    }
    ZSharedRecord& operator=(const ZSharedRecord& other)
    {
        Record* pRecord = other.m_pRecord;  // other may be this one
        if (pRecord)
            pRecord->m_Count.Add();
        Release();
        m_pRecord = pRecord;
        return *this;
    }
    ~ZSharedRecord() { Release(); }

    // A new record of its own holding the payload (after releasing the one before).
    void Create(const Payload& payload)
    {
        Release();
        m_pRecord = new Record(payload);
    }
    void Release()
    {
        Record* pRecord = m_pRecord;
        m_pRecord = nullptr;
        if (!pRecord || !pRecord->m_Count.Drop())
            return;
        pRecord->m_Payload.Close();
        delete pRecord;
    }

    Payload* Get() const { return m_pRecord ? &m_pRecord->m_Payload : nullptr; }
    Payload* operator->() const { return &m_pRecord->m_Payload; }
    explicit operator bool() const { return m_pRecord != nullptr; }
    bool operator==(const ZSharedRecord& other) const { return m_pRecord == other.m_pRecord; }
    bool operator!=(const ZSharedRecord& other) const { return m_pRecord != other.m_pRecord; }

private:
    struct Record
    {
        explicit Record(const Payload& payload) : m_Payload(payload) {}
        UseCount m_Count;
        Payload m_Payload;
    };

    Record* m_pRecord;
};

// A handle stays one pointer wide, and the atomic count takes no lock on either build.
static_assert(sizeof(ZSharedRecord<int, ZAtomicUseCount>) == sizeof(void*), "a handle is one pointer");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "use counts without a lock");
