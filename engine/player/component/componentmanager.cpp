#include "player/component/componentmanager.h"

#include <string.h>

#include <algorithm>

#include "common/containers/zstr.h"
#include "common/system/zlog.h"

namespace
{

void LogLine(const char* szText)
{
    ZLog::Write(ZLOG_CATEGORY, __FILE__, szText);
}

}  // namespace

// ---- ComponentConstructor ----

ComponentConstructor::ComponentConstructor(ComponentManager* pManager)
    : m_pManager(pManager ? pManager : &ComponentManager::Get()), m_pRedirect(nullptr), m_nTypeId(0)
{
    m_pManager->RegisterConstructor(this);
}

void ComponentConstructor::Redirect(const char* szOtherName)
{
    ComponentConstructor* pRecord = m_pManager->FindConstructor(GetName());
    ComponentConstructor* pOther = m_pManager->FindConstructor(szOtherName);
    if (pRecord)
        pRecord->m_pRedirect = pOther;
}

// ---- ComponentInstance ----

ComponentInstance::ComponentInstance(const char* szName)
{
    ZStrCopyN(m_szName, NameSize, szName ? szName : "");
}

// ---- ComponentManager ----

ComponentManager& ComponentManager::Get()
{
    // Built by the first record's static initialiser, so it outlives every record.
    static ComponentManager s_Manager;
    return s_Manager;
}

ComponentManager::ComponentManager() : m_nNextTypeId(1), m_nRecordCount(0), m_nInstanceCount(0)
{
    memset(m_pRecords, 0, sizeof(m_pRecords));
    memset(m_pInstances, 0, sizeof(m_pInstances));
}

ComponentManager::~ComponentManager()
{
}

void ComponentManager::CallForward(LifecycleStep pfnStep)
{
    for (uint32_t i = 0; i < m_nInstanceCount; ++i)
        (m_pInstances[i]->*pfnStep)();
}

void ComponentManager::CallBackward(LifecycleStep pfnStep)
{
    for (uint32_t i = m_nInstanceCount; i-- > 0;)
        (m_pInstances[i]->*pfnStep)();
}

void ComponentManager::Broadcast2()
{
    CallForward(&ComponentInstance::Lifecycle2);
}

void ComponentManager::Broadcast3()
{
    CallForward(&ComponentInstance::Lifecycle3);
}

void ComponentManager::Broadcast4()
{
    CallBackward(&ComponentInstance::Lifecycle4);
}

void ComponentManager::Broadcast5()
{
    CallForward(&ComponentInstance::Lifecycle5);
}

void ComponentManager::Broadcast6()
{
    CallBackward(&ComponentInstance::Lifecycle6);
}

void ComponentManager::Broadcast7()
{
    CallBackward(&ComponentInstance::Lifecycle7);
}

void ComponentManager::Broadcast0And1()
{
    CallForward(&ComponentInstance::Lifecycle0);
    CallForward(&ComponentInstance::Lifecycle1);
}

void ComponentManager::Shutdown()
{
    ZLockGuard lock(m_Lock);
    // Looked-up records first, the one looked up last (highest type id) going first.
    ComponentConstructor* pLookedUp[MaxConstructors];
    uint32_t nLookedUp = 0;
    for (uint32_t i = 0; i < m_nRecordCount; ++i)
        if (m_pRecords[i]->m_nTypeId != 0)
            pLookedUp[nLookedUp++] = m_pRecords[i];
    std::sort(pLookedUp, pLookedUp + nLookedUp,
              [](const ComponentConstructor* a, const ComponentConstructor* b) { return a->m_nTypeId > b->m_nTypeId; });
    for (uint32_t i = 0; i < nLookedUp; ++i)
        pLookedUp[i]->Shutdown();
    for (uint32_t i = 0; i < m_nRecordCount; ++i)
        if (m_pRecords[i]->m_nTypeId == 0)
            m_pRecords[i]->Shutdown();
    m_nRecordCount = 0;
    m_nInstanceCount = 0;
}

int ComponentManager::AddInstance(ComponentInstance* pInstance)
{
    if (m_nInstanceCount >= (uint32_t)MaxInstances) {
        LogLine(
            ZLogText("Component instance table full, %s not added\n", pInstance ? pInstance->GetName() : "").GetData());
        return -1;
    }
    m_pInstances[m_nInstanceCount] = pInstance;
    return (int)m_nInstanceCount++;
}

ComponentInstance* ComponentManager::FindInstance(const char* szName)
{
    for (uint32_t i = 0; i < m_nInstanceCount; ++i)
        if (ZStrICompare(m_pInstances[i]->GetName(), szName ? szName : "") == 0)
            return m_pInstances[i];
    return nullptr;
}

bool ComponentManager::RegisterConstructor(ComponentConstructor* pRecord)
{
    ZLockGuard lock(m_Lock);
    if (m_nRecordCount >= (uint32_t)MaxConstructors) {
        // Records register from their base's constructor: their name is not reachable yet.
        LogLine(ZLogText("Component constructor table full (%d), record not registered\n", MaxConstructors).GetData());
        return false;
    }
    m_pRecords[m_nRecordCount++] = pRecord;
    return true;
}

ComponentConstructor* ComponentManager::FindConstructor(const char* szName)
{
    ZLockGuard lock(m_Lock);
    const char* szKey = szName ? szName : "";
    for (uint32_t i = 0; i < m_nRecordCount; ++i) {
        ComponentConstructor* p = m_pRecords[i];
        if (ZStrICompare(p->GetName(), szKey) != 0)
            continue;
        if (p->m_nTypeId == 0)
            p->m_nTypeId = m_nNextTypeId++;
        return p->m_pRedirect ? p->m_pRedirect : p;
    }
    LogLine(ZLogText("Unable to find component constructor %s\n", szKey).GetData());
    return nullptr;
}

int ComponentManager::GetInstanceCount()
{
    return (int)m_nInstanceCount;
}

ComponentInstance** ComponentManager::GetInstances()
{
    return m_pInstances;
}

// ---- TypeIndexRegistry ----

TypeIndexRegistry& TypeIndexRegistry::Get()
{
    static TypeIndexRegistry s_Registry;
    return s_Registry;
}

int TypeIndexRegistry::Register(const void* pDescriptor)
{
    if (m_nCount >= MaxTypes) {
        LogLine(ZLogText("Type index table full\n").GetData());
        return -1;
    }
    m_pDescriptors[m_nCount] = pDescriptor;
    return m_nCount++;
}

const void* TypeIndexRegistry::GetDescriptor(int nIndex) const
{
    return nIndex >= 0 && nIndex < m_nCount ? m_pDescriptors[nIndex] : nullptr;
}

// ---- TypeDescriptor ----

TypeDescriptor::TypeDescriptor(const char* szName) : m_szName(szName), m_nIndex(TypeIndexRegistry::Get().Register(this))
{
}

// Initialised in this order: indexes 0 to 5 unless another descriptor registers first.
const TypeDescriptor g_BoolType("bool");
const TypeDescriptor g_IntType("int");
const TypeDescriptor g_LongType("long");
const TypeDescriptor g_FloatType("float");
const TypeDescriptor g_DoubleType("double");
const TypeDescriptor g_StringType("string");
