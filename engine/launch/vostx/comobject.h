// What every COM object of the control and of its test containers repeats: the answer of
// QueryInterface and a reference count that deletes its object.
#pragma once
#include <ole2.h>

#include <atomic>

// The interface found (null: none), handed out with a reference for the caller.
inline HRESULT ComAnswer(void** ppv, IUnknown* pInterface)
{
    if (!ppv)
        return E_POINTER;
    *ppv = pInterface;
    if (!pInterface)
        return E_NOINTERFACE;
    pInterface->AddRef();
    return S_OK;
}

// Starts at one, for the object's maker; the object goes with its last reference (its class
// makes ComRefs a friend when its destructor is private).
class ComRefs
{
public:
    ULONG Add() { return (ULONG)++m_nRefs; }
    template <class T>
    ULONG Drop(T* pObject)
    {
        long n = --m_nRefs;
        if (n == 0)
            delete pObject;
        return (ULONG)n;
    }

private:
    std::atomic<long> m_nRefs{1};
};
