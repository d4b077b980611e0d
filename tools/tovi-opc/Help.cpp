// The tool's --help texts.
#include <string>

#include "Commands.h"
#include "Console.h"

namespace {
struct Page {
    const wchar_t* command;
    const char* text;
};

const Page kPages[] = {
    {L"",
     "tovi-opc: a command-line client of OPC Data Access 1.0a servers.\n"
     "\n"
     "  tovi-opc servers                          list the OPC DA servers registered here\n"
     "  tovi-opc browse PROGID [BRANCH...] [--flat]   print the address space\n"
     "  tovi-opc read PROGID ITEM... [--device]   read items\n"
     "  tovi-opc write PROGID ITEM=VALUE...       write items\n"
     "  tovi-opc watch PROGID ITEM... [--rate MS] [--format text|csv|json] [--for SECONDS]\n"
     "                                            print every change of the items\n"
     "\n"
     "PROGID is a server's ProgID or its CLSID in braces. \"tovi-opc COMMAND --help\" explains a command.\n"
     "Exit code: 0 when every item succeeded, 1 when anything failed, 2 for a command line that cannot be used."},
    {L"servers",
     "tovi-opc servers\n"
     "\n"
     "Lists the OPC Data Access 1.0 and 2.0 servers that the machine's component categories name:\n"
     "ProgID, CLSID, vendor text and the categories, one server per line."},
    {L"browse",
     "tovi-opc browse PROGID [BRANCH...] [--flat]\n"
     "\n"
     "Prints the server's address space as an indented tree: items as their names, branches followed by \"/\".\n"
     "BRANCH names lead down from the root, one level each, to the part to print.\n"
     "--flat  prints the full item ID of every item instead, one per line."},
    {L"read",
     "tovi-opc read PROGID ITEM... [--device]\n"
     "\n"
     "Reads the items once and prints per item: ID = value, its type, its quality and its timestamp (UTC),\n"
     "or the item's error in words with its result code.\n"
     "--device  reads from the device instead of the server's cache."},
    {L"write",
     "tovi-opc write PROGID ITEM=VALUE...\n"
     "\n"
     "Converts each value to the item's canonical type (in the invariant locale: \"2.5\", \"True\")\n"
     "and writes all of them at once; prints per item \"written\" or the error in words."},
    {L"watch",
     "tovi-opc watch PROGID ITEM... [--rate MS] [--format text|csv|json] [--for SECONDS]\n"
     "\n"
     "Subscribes to the items and prints one line per change until Ctrl+C, the time is up or the\n"
     "server goes away (an error, exit code 1).\n"
     "--rate MS           the update rate asked of the server (default 1000)\n"
     "--format FORMAT     text (default), csv (with a header line) or json (one object per line)\n"
     "--for SECONDS       stop after this time"},
};
}  // namespace

bool PrintHelp(const std::wstring& command) {
    for (const Page& page : kPages) {
        if (command == page.command) {
            PrintLine(page.text);
            return true;
        }
    }
    return false;
}
