#include "ShellFileTypes.h"

#include <string>

#include "DocumentTemplate.h"
#include "ProgramPaths.h"
#include "RegIO.h"
#include "ScriptRegistrar.h"

namespace {
bool WriteDefault(const std::wstring& path, const std::wstring& value) {
    RegIO key;
    return key.Create(L"HKEY_CLASSES_ROOT\\" + path) && key.WriteText(L"", value);
}
}  // namespace

bool RegisterShellFileTypes() {
    const std::wstring extension = GetDocumentTemplateField(DocumentTemplateField::FilterExtension);
    const std::wstring typeId = GetDocumentTemplateField(DocumentTemplateField::RegistryTypeId);
    const std::wstring typeName = GetDocumentTemplateField(DocumentTemplateField::RegistryTypeName);
    if (extension.empty() || typeId.empty()) {
        return false;
    }
    const std::wstring program = ScriptRegistrar::ModuleReplacement(GetModulePath());
    bool written = WriteDefault(typeId, typeName) && WriteDefault(typeId + L"\\DefaultIcon", program + L",0") &&
                   WriteDefault(typeId + L"\\shell\\open\\command", program + L" \"%1\"");
    // An extension that another program has claimed is left to it.
    std::wstring owner;
    {
        RegIO key;
        if (key.Open(L"HKEY_CLASSES_ROOT\\" + extension, true)) {
            key.ReadText(L"", owner);
        }
    }
    if (owner.empty() || owner == typeId) {
        written = WriteDefault(extension, typeId) && written;
    }
    return written;
}
