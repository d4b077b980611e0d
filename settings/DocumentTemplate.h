#pragma once
// Fields of the document template string (string resource
// IDS_DOCUMENT_TEMPLATE), which names the configuration file type.
#include <string>

enum class DocumentTemplateField : unsigned {
    WindowTitle = 0,
    DocumentName = 1,  // "ToviConfig": the default file's base name
    FileTypeName = 2,
    FilterName = 3,       // "Tovi Explorer Config (*.tvf)"
    FilterExtension = 4,  // ".tvf"
    RegistryTypeId = 5,
    RegistryTypeName = 6,
};

// The field's text; empty when the string or the field is missing.
std::wstring GetDocumentTemplateField(DocumentTemplateField field);
