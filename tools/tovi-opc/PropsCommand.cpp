// tovi-opc props: the properties of items (OPC DA 2.0's IOPCItemProperties),
// each item's ID followed by one line per property.
#include <windows.h>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "ErrorText.h"
#include "ItemProperties.h"
#include "ServerConnection.h"
#include "Text.h"

int RunProps(const Arguments& args) {
    if (args.words.size() < 2) {
        PrintError("props needs a ProgID and at least one item ID (see tovi-opc props --help)");
        return kExitUsage;
    }
    ComPtr<IOPCServer> server;
    if (!ConnectOrReport(args.words[0], server)) return kExitFailed;
    ComPtr<IOPCItemProperties> properties;
    HRESULT hr = server.As(&properties);
    if (FAILED(hr)) {
        PrintError("the server has no item properties (IOPCItemProperties, OPC DA 2.0): " + ResultText(hr));
        return kExitFailed;
    }
    bool allGood = true;
    std::vector<std::string> lines;
    for (size_t i = 1; i < args.words.size(); ++i) {
        const std::string id = ToUtf8(args.words[i]);
        hr = PropertyLines(properties.Get(), args.words[i], lines);
        if (FAILED(hr)) {
            PrintLine(id + ": error: " + ResultText(hr));
            if (IsConnectionLost(hr)) {
                properties.Detach();  // proxies of a server that is gone are let go unused
                server.Detach();
                return kExitFailed;
            }
            allGood = false;
            continue;
        }
        allGood = allGood && hr == S_OK;
        PrintLine(id);
        for (const std::string& line : lines) PrintLine(line);
    }
    return allGood ? kExitOk : kExitFailed;
}
