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

// One row of an object's interface table: an IID and the object seen as that interface.
template <class T>
struct ComInterface
{
    const IID* m_pIid;
    IUnknown* (*m_pfnAs)(T* pObject);
};

template <class T, class TInterface>
IUnknown* ComAs(T* pObject)
{
    return static_cast<TInterface*>(pObject);
}

// The interface of the first row naming riid, answered as above.
template <class T, size_t N>
HRESULT ComAnswer(void** ppv, REFIID riid, T* pObject, const ComInterface<T> (&table)[N])
{
    for (const ComInterface<T>& row : table)
        if (riid == *row.m_pIid)
            return ComAnswer(ppv, row.m_pfnAs(pObject));
    return ComAnswer(ppv, nullptr);
}

// The slot holds pNew, with a reference, in place of what it held (either may be null).
template <class T>
void ComReplace(T*& pSlot, T* pNew)
{
    if (pNew)
        pNew->AddRef();
    if (pSlot)
        pSlot->Release();
    pSlot = pNew;
}

// What a slot holds, handed out with a reference for the caller (null stays null).
template <class T>
void ComHandOut(T** ppOut, T* pHeld)
{
    *ppOut = pHeld;
    if (pHeld)
        pHeld->AddRef();
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
