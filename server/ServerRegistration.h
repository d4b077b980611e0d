#pragma once
// The "RegServer" and "UnregServer" actions of the command line, and the
// component categories they add and remove.
#include <windows.h>

#include <span>

class ServerModule;

// Writes the AppID, class and ProgID keys and the keys of the server's
// component categories (DA 3.0's when `offerDa3`), registers the OPC interfaces' proxy/stub beside the
// program (each interface only where no other proxy serves it), then saves
// the settings (which creates their key). A failure of the class script or
// the categories is shown in a "COM Error" box; the result is the first
// failure, or S_OK.
HRESULT RegisterServer(const ServerModule& module, bool offerDa3);

// Removes what the scripts wrote, then the program's own registry keys, the
// keys of its categories that no other class implements, its last used
// configuration file and its event log file. Never shows a box; the result
// is that of the scripts (the rest is removed whatever it was).
HRESULT UnregisterServer(const ServerModule& module);

struct ComponentCategory {
    GUID id;
    const wchar_t* description;  // English (locale 0x409)
};

// OPC Data Access 1.0 and 2.0.
extern const ComponentCategory kServerCategories[2];
// OPC Data Access 3.0, which the class joins while the program offers it.
extern const ComponentCategory kDa3Category;

// Creates the categories' keys with their descriptions.
HRESULT RegisterCategories(std::span<const ComponentCategory> categories);

// True when a class other than `except` lists the category among its
// implemented categories.
bool CategoryInUse(REFGUID category, REFCLSID except);

// Removes the key of each category that no class but `leaving` implements.
HRESULT UnregisterUnusedCategories(std::span<const ComponentCategory> categories, REFCLSID leaving);

// Puts the registered class into the DA 3.0 category, or takes it out (the
// category's key goes too when no other class implements it). Does nothing
// (S_FALSE) when the class is not registered.
HRESULT ApplyDa3Registration(bool offered);
