/* The registration of a proxy/stub DLL, for regsvr32, the program and the
 * installer alike.  Interface ids are public: another product's proxy may
 * already serve some of them, and its clients rely on it, so an interface is
 * registered only where none serves it yet or this proxy already does.  Each
 * one registered is remembered under this proxy's CLSID key; unregistration
 * removes those that still name this proxy, and the CLSID key once nothing
 * of this proxy is left.  In a 32-bit process on 64-bit Windows all of this
 * lands in the 32-bit registry view, which is where 32-bit clients look. */
#include <windows.h>
#include <objbase.h>
#include <rpcproxy.h>
#include <wchar.h>

/* Emitted by the generated dlldata.c: the interface tables and the CLSID. */
void RPC_ENTRY GetProxyDllInfo(const ProxyFileInfo ***files, const CLSID **clsid);

extern IMAGE_DOS_HEADER __ImageBase;

#define GUID_CHARS 39
#define KEY_CHARS 128

static const WCHAR kRecordName[] = L"Registered Interfaces";

typedef enum { SERVED_BY_NONE, SERVED_BY_THIS, SERVED_BY_OTHER } Server;

typedef struct {
    WCHAR clsid[GUID_CHARS];
    WCHAR classKey[KEY_CHARS];
    WCHAR recordKey[KEY_CHARS];
} Identity;

static void GetIdentity(Identity *identity, const ProxyFileInfo ***files) {
    const CLSID *clsid = NULL;
    GetProxyDllInfo(files, &clsid);
    StringFromGUID2(clsid, identity->clsid, GUID_CHARS);
    swprintf(identity->classKey, KEY_CHARS, L"CLSID\\%ls", identity->clsid);
    swprintf(identity->recordKey, KEY_CHARS, L"%ls\\%ls", identity->classKey, kRecordName);
}

static void InterfaceKey(WCHAR *key, const WCHAR *iid, const WCHAR *below) {
    swprintf(key, KEY_CHARS, below ? L"Interface\\%ls\\%ls" : L"Interface\\%ls", iid, below);
}

static LONG SetText(const WCHAR *key, const WCHAR *name, const WCHAR *text) {
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key, name, REG_SZ, text,
                           (DWORD)((wcslen(text) + 1) * sizeof(WCHAR)));
}

static Server ProxyOf(const Identity *identity, const WCHAR *iid) {
    WCHAR key[KEY_CHARS];
    WCHAR clsid[GUID_CHARS + 8];
    DWORD size = sizeof(clsid);
    InterfaceKey(key, iid, L"ProxyStubClsid32");
    const LONG status = RegGetValueW(HKEY_CLASSES_ROOT, key, NULL, RRF_RT_REG_SZ, NULL, clsid, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return SERVED_BY_NONE;
    }
    /* Unreadable or too long for a CLSID: someone else's, in any case. */
    return status == ERROR_SUCCESS && _wcsicmp(clsid, identity->clsid) == 0 ? SERVED_BY_THIS : SERVED_BY_OTHER;
}

static LONG RegisterInterface(const Identity *identity, HKEY record, const WCHAR *iid, const char *name,
                              ULONG methods) {
    WCHAR key[KEY_CHARS];
    WCHAR wideName[KEY_CHARS] = L"";
    WCHAR count[16];
    MultiByteToWideChar(CP_ACP, 0, name ? name : "", -1, wideName, KEY_CHARS - 1);
    swprintf(count, 16, L"%lu", methods);
    InterfaceKey(key, iid, NULL);
    /* Remembered first: an interface that names this proxy is always in the record. */
    LONG status = RegSetValueExW(record, iid, 0, REG_SZ, (const BYTE *)wideName,
                                 (DWORD)((wcslen(wideName) + 1) * sizeof(WCHAR)));
    if (status == ERROR_SUCCESS) status = SetText(key, NULL, wideName);
    if (status == ERROR_SUCCESS) {
        InterfaceKey(key, iid, L"NumMethods");
        status = SetText(key, NULL, count);
    }
    if (status == ERROR_SUCCESS) {
        InterfaceKey(key, iid, L"ProxyStubClsid32");
        status = SetText(key, NULL, identity->clsid);
    }
    return status;
}

/* Takes away what registration wrote below the interface's key, and the key
 * itself unless something else still hangs below it. */
static LONG UnregisterInterface(const WCHAR *iid) {
    WCHAR key[KEY_CHARS];
    InterfaceKey(key, iid, L"ProxyStubClsid32");
    LONG status = RegDeleteKeyW(HKEY_CLASSES_ROOT, key);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    InterfaceKey(key, iid, L"NumMethods");
    RegDeleteKeyW(HKEY_CLASSES_ROOT, key);
    InterfaceKey(key, iid, NULL);
    HKEY interfaceKey = NULL;
    DWORD subkeys = 0;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &interfaceKey) == ERROR_SUCCESS) {
        status = RegQueryInfoKeyW(interfaceKey, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL,
                                  NULL);
        RegCloseKey(interfaceKey);
        if (status == ERROR_SUCCESS && subkeys == 0) {
            status = RegDeleteKeyW(HKEY_CLASSES_ROOT, key);
        }
    }
    return status;
}

static DWORD RecordedCount(HKEY record) {
    DWORD values = 0;
    return RegQueryInfoKeyW(record, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL) ==
                   ERROR_SUCCESS
               ? values
               : 1;
}

STDAPI DllRegisterServer(void) {
    const ProxyFileInfo **files = NULL;
    Identity identity;
    GetIdentity(&identity, &files);
    WCHAR module[MAX_PATH];
    const DWORD length = GetModuleFileNameW((HMODULE)&__ImageBase, module, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return HRESULT_FROM_WIN32(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    }
    WCHAR server[KEY_CHARS];
    swprintf(server, KEY_CHARS, L"%ls\\InprocServer32", identity.classKey);
    /* The class before any interface that names it. */
    LONG status = SetText(identity.classKey, NULL, L"PSFactoryBuffer");
    if (status == ERROR_SUCCESS) status = SetText(server, NULL, module);
    if (status == ERROR_SUCCESS) status = SetText(server, L"ThreadingModel", L"Both");
    HKEY record = NULL;
    if (status == ERROR_SUCCESS) {
        status = RegCreateKeyExW(HKEY_CLASSES_ROOT, identity.recordKey, 0, NULL, 0, KEY_READ | KEY_WRITE, NULL,
                                 &record, NULL);
    }
    for (; status == ERROR_SUCCESS && *files != NULL; ++files) {
        for (unsigned short i = 0; status == ERROR_SUCCESS && i < (*files)->TableSize; ++i) {
            const CInterfaceStubHeader *stub = &(*files)->pStubVtblList[i]->header;
            WCHAR iid[GUID_CHARS];
            StringFromGUID2(stub->piid, iid, GUID_CHARS);
            if (ProxyOf(&identity, iid) == SERVED_BY_OTHER) {
                /* Taken over since an earlier registration: no longer ours. */
                RegDeleteValueW(record, iid);
            } else {
                status = RegisterInterface(&identity, record, iid, (*files)->pNamesArray[i], stub->DispatchTableCount);
            }
        }
    }
    if (record != NULL) {
        const DWORD recorded = RecordedCount(record);
        RegCloseKey(record);
        if (status == ERROR_SUCCESS && recorded == 0) {
            /* Every interface has another proxy: this one serves nothing. */
            RegDeleteTreeW(HKEY_CLASSES_ROOT, identity.classKey);
        }
    }
    return HRESULT_FROM_WIN32(status);
}

STDAPI DllUnregisterServer(void) {
    const ProxyFileInfo **files = NULL;
    Identity identity;
    GetIdentity(&identity, &files);
    LONG failure = ERROR_SUCCESS;
    /* An interface of this DLL that names this proxy is ours even when no
     * record says so (a registration from before records were kept). */
    for (; *files != NULL; ++files) {
        for (unsigned short i = 0; i < (*files)->TableSize; ++i) {
            WCHAR iid[GUID_CHARS];
            StringFromGUID2((*files)->pStubVtblList[i]->header.piid, iid, GUID_CHARS);
            if (ProxyOf(&identity, iid) == SERVED_BY_THIS) {
                const LONG removed = UnregisterInterface(iid);
                if (removed != ERROR_SUCCESS) failure = removed;
            }
        }
    }
    /* Then what the record names beyond them (another version's interfaces). */
    HKEY record = NULL;
    LONG status = RegOpenKeyExW(HKEY_CLASSES_ROOT, identity.recordKey, 0, KEY_READ, &record);
    if (status == ERROR_SUCCESS) {
        const DWORD count = RecordedCount(record);
        WCHAR(*names)[GUID_CHARS] = HeapAlloc(GetProcessHeap(), 0, (count + 1) * sizeof(*names));
        if (names == NULL) {
            RegCloseKey(record);
            return E_OUTOFMEMORY;
        }
        DWORD found = 0;
        for (DWORD index = 0; found < count; ++index) {
            DWORD chars = GUID_CHARS;
            status = RegEnumValueW(record, index, names[found], &chars, NULL, NULL, NULL, NULL);
            if (status == ERROR_SUCCESS) {
                ++found;
            } else if (status != ERROR_MORE_DATA) {  /* longer than an interface id: not one */
                break;
            }
        }
        for (DWORD i = 0; i < found; ++i) {
            if (ProxyOf(&identity, names[i]) == SERVED_BY_THIS) {
                const LONG removed = UnregisterInterface(names[i]);
                if (removed != ERROR_SUCCESS) failure = removed;
            }
        }
        HeapFree(GetProcessHeap(), 0, names);
        RegCloseKey(record);
    } else if (status != ERROR_FILE_NOT_FOUND) {
        return HRESULT_FROM_WIN32(status);
    }
    /* The class key goes, with the record, once no interface names it. */
    if (failure == ERROR_SUCCESS) {
        status = RegDeleteTreeW(HKEY_CLASSES_ROOT, identity.classKey);
        if (status != ERROR_FILE_NOT_FOUND) failure = status;
    }
    return HRESULT_FROM_WIN32(failure);
}
