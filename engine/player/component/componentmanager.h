// Process-wide registry of component constructors and component instances. Constructor records
// register themselves from static initialisers; instances receive the lifecycle broadcasts.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/system/zlock.h"

class ComponentManager;

// What the Destroy slot of a component layer class does: destroys the object, and frees it when
// bit 0 of the flags is set.
template <class T>
void DestroyComponentObject(T* pObject, int nFlags)
{
    if (nFlags & 1)
        delete pObject;
    else
        pObject->~T();
}

// Base of every constructor record; constructing one registers it with a manager (the process
// one unless a test hands its own).
class ComponentConstructor
{
public:
    // Slot 0, where g++ would put a virtual destructor's two entries: destroys the record, and
    // frees it when bit 0 of the flags is set.
    virtual void Destroy(int nFlags) = 0;
    // Slot 1: releases what the record created (called by ComponentManager::Shutdown).
    virtual void Shutdown() = 0;
    // A new component, owned by the caller.
    virtual void* Create() = 0;
    // The record's shared component, made on first request.
    virtual void* GetShared() = 0;
    // Slot 4: the name the record is looked up by.
    virtual const char* GetName() const = 0;

    ComponentConstructor* GetRedirect() const { return m_pRedirect; }
    uint32_t GetTypeId() const { return m_nTypeId; }
    // Later lookups of this record's name give the record found under szOtherName.
    void Redirect(const char* szOtherName);

protected:
    explicit ComponentConstructor(ComponentManager* pManager = nullptr);
    ~ComponentConstructor() = default;

private:
    friend class ComponentManager;
    ComponentManager* m_pManager;
    ComponentConstructor* m_pRedirect;
    uint32_t m_nTypeId;  // 0 until the first successful lookup
};

// A component instance: the name text sits right after the table pointer; operations 0 to 7
// are the lifecycle steps the manager broadcasts.
class ComponentInstance
{
public:
    enum
    {
        NameSize = 64
    };

    virtual void Lifecycle0() {}
    virtual void Lifecycle1() {}
    virtual void Lifecycle2() {}
    virtual void Lifecycle3() {}
    virtual void Lifecycle4() {}
    virtual void Lifecycle5() {}
    virtual void Lifecycle6() {}
    virtual void Lifecycle7() {}

    const char* GetName() const { return m_szName; }

protected:
    explicit ComponentInstance(const char* szName);  // cut to NameSize - 1 bytes
    ~ComponentInstance() {}

    char m_szName[NameSize];
};

class ComponentManager
{
public:
    enum
    {
        MaxConstructors = 1024,
        MaxInstances = 32
    };

    // The process's manager, created on first use and destroyed at process exit.
    static ComponentManager& Get();

    ComponentManager();
    ~ComponentManager();
    ComponentManager(const ComponentManager&) = delete;
    ComponentManager& operator=(const ComponentManager&) = delete;

    // Broadcasts of the instances' lifecycle operations, in the manager's slot order.
    virtual void Broadcast2();      // first to last
    virtual void Broadcast3();      // first to last
    virtual void Broadcast4();      // last to first
    virtual void Broadcast5();      // first to last
    virtual void Broadcast6();      // last to first
    virtual void Broadcast7();      // last to first
    virtual void Broadcast0And1();  // 0 on all first to last, then 1 on all first to last
    // Shuts the looked-up records down newest type id first, then the others in registration
    // order, and empties both tables.
    virtual void Shutdown();
    // Index of the appended instance, or -1 (logged) when the table is full.
    virtual int AddInstance(ComponentInstance* pInstance);
    // First instance whose name matches ignoring case, or null.
    virtual ComponentInstance* FindInstance(const char* szName);
    // False (logged) when the table is full.
    virtual bool RegisterConstructor(ComponentConstructor* pRecord);
    // Case-insensitive; gives the record a type id on its first lookup; returns its redirect
    // when set. Null (logged) when no record carries the name.
    virtual ComponentConstructor* FindConstructor(const char* szName);
    virtual int GetInstanceCount();
    virtual ComponentInstance** GetInstances();

    int GetConstructorCount() const { return (int)m_nRecordCount; }

private:
    typedef void (ComponentInstance::*LifecycleStep)();
    // The step on every instance; forward reads the count again after each call, so that an
    // instance added by a step gets it too.
    void CallForward(LifecycleStep pfnStep);
    void CallBackward(LifecycleStep pfnStep);

    ComponentConstructor* m_pRecords[MaxConstructors];
    uint32_t m_nNextTypeId;
    uint32_t m_nRecordCount;
    ComponentInstance* m_pInstances[MaxInstances];
    uint32_t m_nInstanceCount;
    ZCriticalSection m_Lock;
};

// Type-index registry: each registered type descriptor gets the next small index, which also
// selects the Python host's value converter for that type.
class TypeIndexRegistry
{
public:
    enum
    {
        MaxTypes = 100
    };

    static TypeIndexRegistry& Get();

    TypeIndexRegistry() : m_nCount(0) {}
    // The descriptor's index, or -1 (logged) when the table is full.
    int Register(const void* pDescriptor);
    // Null outside the registered indexes.
    const void* GetDescriptor(int nIndex) const;
    int GetCount() const { return m_nCount; }

private:
    const void* m_pDescriptors[MaxTypes];
    int m_nCount;
};

// A value type known by its index in the process's type-index registry; constructing one
// registers it.
struct TypeDescriptor
{
    explicit TypeDescriptor(const char* szName);

    const char* m_szName;
    int m_nIndex;  // -1 when the registry was full
};

// The value types registered before WinMain. The Python host stores parsed arguments into
// destinations of these types (int and long, both 32-bit on Windows, share its integer
// converter); it has no converter for double.
extern const TypeDescriptor g_BoolType;
extern const TypeDescriptor g_IntType;
extern const TypeDescriptor g_LongType;
extern const TypeDescriptor g_FloatType;
extern const TypeDescriptor g_DoubleType;
extern const TypeDescriptor g_StringType;  // a string buffer (ZStringBase)

// Records under one or more names that hand out one shared T (made with new on first request,
// deleted by the first record shut down). T::IsComponentType can ask HasTypeId.
template <class T>
class SharedComponentConstructor final : public ComponentConstructor
{
public:
    explicit SharedComponentConstructor(const char* szName, ComponentManager* pManager = nullptr)
        : ComponentConstructor(pManager), m_szName(szName)
    {
        for (ComponentConstructor*& pSlot : s_pRecords)
            if (!pSlot) {
                pSlot = this;
                break;
            }
    }

    void Destroy(int nFlags) override { DestroyComponentObject(this, nFlags); }
    void Shutdown() override
    {
        delete s_pShared;
        s_pShared = nullptr;
    }
    void* Create() override { return new T(); }
    void* GetShared() override
    {
        if (!s_pShared)
            s_pShared = new T();
        return s_pShared;
    }
    const char* GetName() const override { return m_szName; }

    // True when nTypeId is the type id that a lookup gave one of T's records.
    static bool HasTypeId(uint32_t nTypeId)
    {
        if (nTypeId == 0)
            return false;
        for (ComponentConstructor* pRecord : s_pRecords)
            if (pRecord && pRecord->GetTypeId() == nTypeId)
                return true;
        return false;
    }

private:
    const char* m_szName;
    static inline T* s_pShared = nullptr;
    static inline ComponentConstructor* s_pRecords[2] = {nullptr, nullptr};
};
