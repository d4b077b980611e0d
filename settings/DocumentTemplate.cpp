#include "DocumentTemplate.h"

#include "Text.h"
#include "resource.h"

std::wstring GetDocumentTemplateField(DocumentTemplateField field) {
    const std::wstring whole = LoadResString(IDS_DOCUMENT_TEMPLATE);
    size_t start = 0;
    for (unsigned i = 0; i < static_cast<unsigned>(field); ++i) {
        start = whole.find(L'\n', start);
        if (start == std::wstring::npos) {
            return {};
        }
        ++start;
    }
    const size_t end = whole.find(L'\n', start);
    return whole.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}
