// tovi-opc write: each ITEM=VALUE converted to the item's canonical type and
// written in one synchronous write.
#include <windows.h>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "ErrorText.h"
#include "ItemGroup.h"
#include "ServerConnection.h"
#include "Text.h"
#include "ValueText.h"

int RunWrite(const Arguments& args) {
    if (args.vqt) return RunWriteVqt(args);
    if (args.words.size() < 2) {
        PrintError("write needs a ProgID and at least one ITEM=VALUE (see tovi-opc write --help)");
        return kExitUsage;
    }
    std::vector<std::wstring> ids, texts;
    for (size_t i = 1; i < args.words.size(); ++i) {
        const size_t equals = args.words[i].find(L'=');
        if (equals == std::wstring::npos || equals == 0) {
            // Appended, not "\"" + text: GCC 12 at -O3 sees a false overlap in that insert.
            std::string message(1, '"');
            message += ToUtf8(args.words[i]);
            message += "\" is not ITEM=VALUE";
            PrintError(message);
            return kExitUsage;
        }
        ids.push_back(args.words[i].substr(0, equals));
        texts.push_back(args.words[i].substr(equals + 1));
    }
    ComPtr<IOPCServer> server;
    if (!ConnectOrReport(args.words[0], server)) return kExitFailed;
    ItemGroup group(server.Get());
    if (!group.CreateOrReport(ids, false, 1000)) return kExitFailed;
    HRESULT hr = S_OK;
    std::vector<GroupItem>& items = group.Items();
    // What each item comes to before the write: its own failure, or a place in it.
    std::vector<std::string> outcome(items.size());
    std::vector<size_t> written;
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    for (size_t i = 0; i < items.size(); ++i) {
        if (FAILED(items[i].added)) {
            outcome[i] = "error: " + ResultText(items[i].added);
            continue;
        }
        VARIANT value;
        VariantInit(&value);
        hr = TextToValue(texts[i], items[i].canonicalType, value);
        if (FAILED(hr)) {
            outcome[i] = "error: \"" + ToUtf8(texts[i]) + "\" cannot be converted to " +
                         TypeName(items[i].canonicalType) + ": " + ResultText(hr);
            continue;
        }
        written.push_back(i);
        handles.push_back(items[i].serverHandle);
        values.push_back(value);
    }
    HRESULT* errors = nullptr;
    if (!handles.empty()) {
        ComPtr<IOPCSyncIO> io;
        hr = group.Management()->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(io.GetAddressOf()));
        if (SUCCEEDED(hr)) hr = io->Write(static_cast<DWORD>(handles.size()), handles.data(), values.data(), &errors);
        for (VARIANT& value : values) VariantClear(&value);
        // A failed call may still say per item what failed (E_FAIL when one item was not writable).
        if (FAILED(hr) && errors == nullptr) {
            PrintError("the write failed: " + ResultText(hr));
            if (IsConnectionLost(hr)) group.Abandon();
            return kExitFailed;
        }
        for (size_t k = 0; k < written.size(); ++k) {
            const HRESULT result = errors != nullptr ? errors[k] : E_FAIL;
            outcome[written[k]] = result == S_OK      ? "written"
                                  : SUCCEEDED(result) ? "written, " + ResultText(result)
                                                      : "error: " + ResultText(result);
        }
        CoTaskMemFree(errors);
    }
    bool allGood = true;
    for (size_t i = 0; i < items.size(); ++i) {
        allGood = allGood && outcome[i].rfind("written", 0) == 0;
        PrintLine(ToUtf8(ids[i]) + " = " + ToUtf8(texts[i]) + ": " + outcome[i]);
    }
    return allGood ? kExitOk : kExitFailed;
}
