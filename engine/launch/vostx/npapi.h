// The Netscape plug-in interface (NPAPI) as this plug-in and its test host use it: the types,
// the browser's and the plug-in's function tables and the scripting objects, written from the
// interface's public documentation. Windows conventions: table entries are __cdecl, the
// exported entry points __stdcall.
#pragma once
#include <cstdint>

#define NP_CALLBACK __cdecl
#define NP_EXPORT_CALL __stdcall

typedef int16_t NPError;
typedef unsigned char NPBool;
typedef char NPUTF8;
typedef void* NPIdentifier;
typedef uint16_t NPMIMEType_Mode;

enum
{
    NPERR_NO_ERROR = 0,
    NPERR_GENERIC_ERROR = 1,
    NPERR_INVALID_INSTANCE_ERROR = 2,
    NPERR_INVALID_FUNCTABLE_ERROR = 3,
    NPERR_MODULE_LOAD_FAILED_ERROR = 4,
    NPERR_OUT_OF_MEMORY_ERROR = 5,
};

// The browser's record of one plug-in instance.
struct NPP_t
{
    void* pdata;  // the plug-in's
    void* ndata;  // the browser's
};
typedef NPP_t* NPP;

struct NPSavedData
{
    int32_t len;
    void* buf;
};

// What the browser asks the plug-in for (NPP_GetValue) and the plug-in the browser (NPN_GetValue).
enum NPPVariable
{
    NPPVpluginNameString = 1,
    NPPVpluginDescriptionString = 2,
    NPPVpluginNeedsXEmbed = 14,
    NPPVpluginScriptableNPObject = 15,
};
enum NPNVariable
{
    NPNVWindowNPObject = 15,
    NPNVPluginElementNPObject = 16,
};

struct NPString
{
    const NPUTF8* UTF8Characters;
    uint32_t UTF8Length;
};

enum NPVariantType
{
    NPVariantType_Void = 0,
    NPVariantType_Null = 1,
    NPVariantType_Bool = 2,
    NPVariantType_Int32 = 3,
    NPVariantType_Double = 4,
    NPVariantType_String = 5,
    NPVariantType_Object = 6,
};

struct NPObject;

struct NPVariant
{
    NPVariantType type;
    union
    {
        bool boolValue;
        int32_t intValue;
        double doubleValue;
        NPString stringValue;
        NPObject* objectValue;
    } value;
};

struct NPClass;

// Header of every scriptable object; the owner's data follows it.
struct NPObject
{
    NPClass* _class;
    uint32_t referenceCount;
};

typedef NPObject*(NP_CALLBACK* NPAllocateFunctionPtr)(NPP npp, NPClass* aClass);
typedef void(NP_CALLBACK* NPDeallocateFunctionPtr)(NPObject* npobj);
typedef void(NP_CALLBACK* NPInvalidateFunctionPtr)(NPObject* npobj);
typedef bool(NP_CALLBACK* NPHasMethodFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool(NP_CALLBACK* NPInvokeFunctionPtr)(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                                               uint32_t argCount, NPVariant* result);
typedef bool(NP_CALLBACK* NPInvokeDefaultFunctionPtr)(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                                      NPVariant* result);
typedef bool(NP_CALLBACK* NPHasPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool(NP_CALLBACK* NPGetPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name, NPVariant* result);
typedef bool(NP_CALLBACK* NPSetPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name, const NPVariant* value);
typedef bool(NP_CALLBACK* NPRemovePropertyFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool(NP_CALLBACK* NPEnumerationFunctionPtr)(NPObject* npobj, NPIdentifier** value, uint32_t* count);
typedef bool(NP_CALLBACK* NPConstructFunctionPtr)(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                                  NPVariant* result);

enum
{
    NP_CLASS_STRUCT_VERSION = 3
};

struct NPClass
{
    uint32_t structVersion;
    NPAllocateFunctionPtr allocate;
    NPDeallocateFunctionPtr deallocate;
    NPInvalidateFunctionPtr invalidate;
    NPHasMethodFunctionPtr hasMethod;
    NPInvokeFunctionPtr invoke;
    NPInvokeDefaultFunctionPtr invokeDefault;
    NPHasPropertyFunctionPtr hasProperty;
    NPGetPropertyFunctionPtr getProperty;
    NPSetPropertyFunctionPtr setProperty;
    NPRemovePropertyFunctionPtr removeProperty;
    NPEnumerationFunctionPtr enumerate;
    NPConstructFunctionPtr construct;
};

typedef void* NPGenericFunc;  // table entries this plug-in neither offers nor calls

// The plug-in's table, filled by NP_GetEntryPoints.
typedef NPError(NP_CALLBACK* NPP_NewProcPtr)(const char* pluginType, NPP instance, uint16_t mode, int16_t argc,
                                             char* argn[], char* argv[], NPSavedData* saved);
typedef NPError(NP_CALLBACK* NPP_DestroyProcPtr)(NPP instance, NPSavedData** save);
typedef NPError(NP_CALLBACK* NPP_SetWindowProcPtr)(NPP instance, void* window);
typedef int16_t(NP_CALLBACK* NPP_HandleEventProcPtr)(NPP instance, void* event);
typedef NPError(NP_CALLBACK* NPP_GetValueProcPtr)(NPP instance, NPPVariable variable, void* ret_value);

struct NPPluginFuncs
{
    uint16_t size;
    uint16_t version;
    NPP_NewProcPtr newp;
    NPP_DestroyProcPtr destroy;
    NPP_SetWindowProcPtr setwindow;
    NPGenericFunc newstream;
    NPGenericFunc destroystream;
    NPGenericFunc asfile;
    NPGenericFunc writeready;
    NPGenericFunc write;
    NPGenericFunc print;
    NPP_HandleEventProcPtr event;
    NPGenericFunc urlnotify;
    void* javaClass;
    NPP_GetValueProcPtr getvalue;
    NPGenericFunc setvalue;
    NPGenericFunc gotfocus;
    NPGenericFunc lostfocus;
    NPGenericFunc urlredirectnotify;
    NPGenericFunc clearsitedata;
    NPGenericFunc getsitesforclearing;
    NPGenericFunc didComposite;
};

// The browser's table, handed to NP_Initialize.
typedef void(NP_CALLBACK* NPPluginThreadAsyncCallFunc)(void* userData);

struct NPNetscapeFuncs
{
    uint16_t size;
    uint16_t version;
    NPGenericFunc geturl;
    NPGenericFunc posturl;
    NPGenericFunc requestread;
    NPGenericFunc newstream;
    NPGenericFunc write;
    NPGenericFunc destroystream;
    NPGenericFunc status;
    NPGenericFunc uagent;
    void*(NP_CALLBACK* memalloc)(uint32_t size);
    void(NP_CALLBACK* memfree)(void* ptr);
    NPGenericFunc memflush;
    NPGenericFunc reloadplugins;
    NPGenericFunc getJavaEnv;
    NPGenericFunc getJavaPeer;
    NPGenericFunc geturlnotify;
    NPGenericFunc posturlnotify;
    NPError(NP_CALLBACK* getvalue)(NPP instance, NPNVariable variable, void* ret_value);
    NPGenericFunc setvalue;
    NPGenericFunc invalidaterect;
    NPGenericFunc invalidateregion;
    NPGenericFunc forceredraw;
    NPIdentifier(NP_CALLBACK* getstringidentifier)(const NPUTF8* name);
    NPGenericFunc getstringidentifiers;
    NPGenericFunc getintidentifier;
    NPGenericFunc identifierisstring;
    NPUTF8*(NP_CALLBACK* utf8fromidentifier)(NPIdentifier identifier);
    NPGenericFunc intfromidentifier;
    NPObject*(NP_CALLBACK* createobject)(NPP npp, NPClass* aClass);
    NPObject*(NP_CALLBACK* retainobject)(NPObject* obj);
    void(NP_CALLBACK* releaseobject)(NPObject* obj);
    bool(NP_CALLBACK* invoke)(NPP npp, NPObject* obj, NPIdentifier methodName, const NPVariant* args, uint32_t argCount,
                              NPVariant* result);
    NPGenericFunc invokeDefault;
    NPGenericFunc evaluate;
    bool(NP_CALLBACK* getproperty)(NPP npp, NPObject* obj, NPIdentifier propertyName, NPVariant* result);
    NPGenericFunc setproperty;
    NPGenericFunc removeproperty;
    NPGenericFunc hasproperty;
    bool(NP_CALLBACK* hasmethod)(NPP npp, NPObject* obj, NPIdentifier propertyName);
    void(NP_CALLBACK* releasevariantvalue)(NPVariant* variant);
    void(NP_CALLBACK* setexception)(NPObject* obj, const NPUTF8* message);
    NPGenericFunc pushpopupsenabledstate;
    NPGenericFunc poppopupsenabledstate;
    NPGenericFunc enumerate;
    void(NP_CALLBACK* pluginthreadasynccall)(NPP instance, NPPluginThreadAsyncCallFunc func, void* userData);
    NPGenericFunc construct;
};

// Exported entry points of a Windows plug-in DLL.
typedef NPError(NP_EXPORT_CALL* NP_GetEntryPointsFunc)(NPPluginFuncs* pFuncs);
typedef NPError(NP_EXPORT_CALL* NP_InitializeFunc)(NPNetscapeFuncs* bFuncs);
typedef NPError(NP_EXPORT_CALL* NP_ShutdownFunc)();

static_assert(sizeof(void*) != 4 || sizeof(NPVariant) == 16, "NPVariant layout on 32-bit Windows");
static_assert(sizeof(void*) != 4 || sizeof(NPObject) == 8, "NPObject header on 32-bit Windows");
