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
     "tovi-opc: a command-line client of OPC Data Access 1.0a, 2.0 and 3.0 servers, and of OPC UA servers.\n"
     "\n"
     "  tovi-opc servers                          list the OPC DA servers registered here\n"
     "  tovi-opc browse PROGID [BRANCH...] [--flat] [--da3 [--page N]]\n"
     "                                            print the address space\n"
     "  tovi-opc read PROGID ITEM... [--device | --async2 | --max-age MS [--group]]\n"
     "                                            read items\n"
     "  tovi-opc write PROGID ITEM=VALUE...       write items\n"
     "  tovi-opc write PROGID --vqt ITEM=VALUE[,QUALITY[,TIMESTAMP]]... [--group]\n"
     "                                            write values with qualities and timestamps\n"
     "  tovi-opc watch PROGID ITEM... [--rate MS] [--format text|csv|json] [--for SECONDS] [--v1 | --v2]\n"
     "                 [--keep-alive MS]          print every change of the items\n"
     "  tovi-opc props PROGID ITEM...             list the items' properties (OPC DA 2.0)\n"
     "  tovi-opc fault PROGID DEVICE quality|service|delay|freeze|storm VALUE\n"
     "                                            make a Tovi Explorer device misbehave\n"
     "  tovi-opc replay PROGID FILE [--speed N] [--loop] | PROGID --stop\n"
     "                                            play recorded values into a Tovi Explorer server\n"
     "  tovi-opc alarms --ua URL [NODE] [--format text|csv|json] [--for SECONDS]\n"
     "                                            print the retained alarms, then every event\n"
     "  tovi-opc refresh --ua URL [NODE]          print the retained alarms\n"
     "  tovi-opc ack|confirm --ua URL ITEM [COMMENT], comment --ua URL ITEM COMMENT,\n"
     "  tovi-opc enable|disable --ua URL ITEM     act on an alarm (an OPC UA condition)\n"
     "  tovi-opc history --ua URL ITEM... --from T --to T [--aggregate NAME --interval MS] | --at T,...\n"
     "                                            print the items' recorded history\n"
     "\n"
     "PROGID is a server's ProgID or its CLSID in braces. \"tovi-opc COMMAND --help\" explains a command.\n"
     "\n"
     "OPC UA: browse, read, write and watch take --ua URL in place of PROGID and speak OPC UA to the\n"
     "endpoint at URL (opc.tcp://localhost:4840/), with the same ITEM arguments and the same output:\n"
     "  tovi-opc read --ua opc.tcp://localhost:4840/ Plant.Flow\n"
     "ITEM is a Tovi Explorer item ID: the node ns=N;s=ITEM, N being the index of the namespace\n"
     "urn:Zelkor:ToviExplorer:Tags on that server. An ITEM that starts with ns= or i= is a NodeId as it\n"
     "stands (i=2258, ns=1;s=Name). Where DA shows the quality, UA shows the status code's name (Good,\n"
     "UncertainLastUsableValue, BadNoCommunication; \", low limited\" and the like for the limit bits), and\n"
     "the quality code columns of csv and json hold the 32-bit status code. Types are the UA ones (Double,\n"
     "Int32, Boolean, DateTime); a DateTime value is printed like the timestamps. Errors are status codes\n"
     "with their numbers: \"BadNodeIdUnknown (0x80340000)\".\n"
     "--ua URL               the OPC UA endpoint\n"
     "--ua-security POLICY   None (default), Basic256Sha256, Aes128_Sha256_RsaOaep or Aes256_Sha256_RsaPss;\n"
     "                       the tool makes itself a certificate for the run and accepts the server's\n"
     "--ua-mode MODE         Sign or SignAndEncrypt (the default with a policy)\n"
     "\n"
     "Exit code: 0 when every item succeeded, 1 when anything failed, 2 for a command line that cannot be used."},
    {L"servers",
     "tovi-opc servers\n"
     "\n"
     "Lists the OPC Data Access 1.0, 2.0 and 3.0 servers that the machine's component categories name:\n"
     "ProgID, CLSID, vendor text and the DA versions it registers (\"DA 1.0, DA 2.0, DA 3.0\"), one server\n"
     "per line."},
    {L"browse",
     "tovi-opc browse PROGID [BRANCH...] [--flat] [--da3 [--page N]]\n"
     "tovi-opc browse --ua URL [BRANCH...] [--flat]\n"
     "\n"
     "Prints the server's address space as an indented tree: items as their names, branches followed by \"/\".\n"
     "BRANCH names lead down from the root, one level each, to the part to print.\n"
     "--flat    prints the full item ID of every item instead, one per line.\n"
     "--da3     browses through OPC DA 3.0's IOPCBrowse, each branch by its item ID, and prints the same lines\n"
     "          as the 2.0 browse of the same server; an error (E_NOINTERFACE) on a server without it.\n"
     "--page N  with --da3: asks for N elements a call (default 1000, 0 for all at once) and follows the\n"
     "          server's continuation points to the last page.\n"
     "With --ua, branches are the folders (objects) and items the variables below the Objects folder, of\n"
     "the tags' namespace only; BRANCH may also be a folder's whole path (Plant.Area) or a NodeId (i=2253)."},
    {L"read",
     "tovi-opc read PROGID ITEM... [--device | --async2 | --max-age MS [--group]]\n"
     "tovi-opc read --ua URL ITEM...\n"
     "\n"
     "Reads the items once and prints per item: ID = value, its type, its quality and its timestamp (UTC),\n"
     "or the item's error in words with its result code.\n"
     "With --ua: ID = value, its UA type, its status code's name and its source timestamp (the server's\n"
     "where the source gives none): \"Plant.Flow = 12.5  Double  Good  2024-05-01T12:34:56.789Z\"; a bad\n"
     "status without a value is the item's error (\"Plant.None: error: BadNodeIdUnknown (0x80340000)\").\n"
     "--device  reads from the device instead of the server's cache.\n"
     "--async2  reads through OPC DA 2.0's IOPCAsyncIO2 (always from the device) and waits up to 10 s for\n"
     "          the server's answer in the data callback; an error on a server without it.\n"
     "--max-age MS  reads through OPC DA 3.0 by item ID, without a group (IOPCItemIO): a value no older than\n"
     "          MS milliseconds may come from the server's cache, else the device is read. MS is a whole\n"
     "          number, device (0) or cache (4294967295: the cache, whatever its age).\n"
     "--group   with --max-age: reads in a group instead (IOPCSyncIO2's ReadMaxAge)."},
    {L"write",
     "tovi-opc write PROGID ITEM=VALUE...\n"
     "tovi-opc write PROGID --vqt ITEM=VALUE[,QUALITY[,TIMESTAMP]]... [--group]\n"
     "tovi-opc write --ua URL ITEM=VALUE...\n"
     "\n"
     "Converts each value to the item's canonical type (in the invariant locale: \"2.5\", \"True\")\n"
     "and writes all of them at once; prints per item \"written\" or the error in words.\n"
     "With --ua the value becomes the node's DataType (read first): Boolean, SByte to UInt64, Float,\n"
     "Double, String, DateTime (2024-05-01T12:34:56.789Z, UTC); prints \"written\", \"written,\" with a good\n"
     "status the server adds (\"written, GoodClamped (0x00300000)\": the value was held to the tag's limits),\n"
     "or \"error:\" with the status (BadNotWritable, BadNodeIdUnknown); text that is no value of the\n"
     "type gives BadTypeMismatch, a number beyond the type's range BadOutOfRange.\n"
     "--vqt     writes through OPC DA 3.0 (WriteVQT) each value with the quality and timestamp given, by item\n"
     "          ID (IOPCItemIO, the type from IOPCBrowse); prints \"ID = VALUE  QUALITY  TIME: written\" or the\n"
     "          error. A server that does not write qualities or timestamps refuses the item with\n"
     "          OPC_E_NOTSUPPORTED and writes nothing of it.\n"
     "          VALUE runs to the first comma; a value with a comma is written in double quotes, a quote\n"
     "          inside them doubled (Plant.Mode=\"a, b\",good). The quotes must reach the tool: on the command\n"
     "          line that is \"Plant.Mode=\\\"a, b\\\",good\".\n"
     "          QUALITY is a name as fault takes it (good, uncertain, comm-failure, ...) or a number 0 to 255\n"
     "          (192, 0xC0); TIMESTAMP is ISO 8601 in UTC (2024-05-01T12:34:56.789Z, as read prints it) or\n"
     "          now. Either may be left empty (Plant.Flow=2.5,,now): the server then gives its own.\n"
     "--group   with --vqt: writes in a group instead (IOPCSyncIO2), the type from AddItems."},
    {L"watch",
     "tovi-opc watch PROGID ITEM... [--rate MS] [--format text|csv|json] [--for SECONDS] [--v1 | --v2]\n"
     "               [--keep-alive MS]\n"
     "tovi-opc watch --ua URL ITEM... [--rate MS] [--format text|csv|json] [--for SECONDS]\n"
     "\n"
     "Subscribes to the items and prints one line per change until Ctrl+C, the time is up or the\n"
     "server goes away (an error, exit code 1). The subscription is OPC DA 2.0's data callback where the\n"
     "server offers it, else OPC DA 1.0a's data-change stream. With --ua it is a UA subscription whose\n"
     "items sample every change (sampling interval 0); the lines are those of read --ua.\n"
     "--rate MS           the update rate asked of the server, with --ua the publishing interval\n"
     "                    (default 1000)\n"
     "--format FORMAT     text (default), csv (with a header line) or json (one object per line)\n"
     "--for SECONDS       stop after this time\n"
     "--v1, --v2          subscribe only through the 1.0a stream, or only through the 2.0 callback\n"
     "--keep-alive MS     asks the group for a keep-alive (OPC DA 3.0, 0 for none): when MS pass without a\n"
     "                    change, the server calls back with no items, printed as a line of its own when it\n"
     "                    arrives: \"keep-alive  TIME\", in csv \"(keep-alive),,,,,TIME\", in json\n"
     "                    {\"keepAlive\":true,\"timestamp\":\"TIME\"}. A value the server revises is told on the\n"
     "                    error stream; a group without keep-alive is an error. Not with --v1."},
    {L"fault",
     "tovi-opc fault PROGID DEVICE quality|service|delay|freeze|storm VALUE\n"
     "\n"
     "Writes one control item of a Tovi Explorer device (DEVICE._Control.ITEM); the server's option\n"
     "\"Allow fault control through OPC\" must be on.\n"
     "quality VALUE   a quality number (192 Good, 24 Comm Failure, ...) or name: none, good,\n"
     "                local-override, uncertain, last-usable, sensor-not-accurate, eu-exceeded,\n"
     "                sub-normal, bad, config-error, not-connected, device-failure, sensor-failure,\n"
     "                last-known, comm-failure, out-of-service; none gives the tags their own quality\n"
     "service on|off  puts the device in or out of service\n"
     "delay MS        makes its device reads and writes take MS milliseconds (0 to 60000)\n"
     "freeze on|off   stops or restarts its values' own changes\n"
     "storm N         drives its alarmed tags into alarm and back, N transitions a second (0 stops)"},
    {L"replay",
     "tovi-opc replay PROGID FILE [--speed N] [--loop]\n"
     "tovi-opc replay PROGID --stop\n"
     "\n"
     "Plays FILE, a CSV of Timestamp,ItemID,Value[,Quality] rows, into a Tovi Explorer server at its\n"
     "recorded pace, through the control items _Control.Replay.* (the server's option \"Allow fault\n"
     "control through OPC\" must be on), and prints what the server says: the replay playing, or every\n"
     "bad row of the file (nothing plays then). The server reads FILE itself: give a path it can reach.\n"
     "--speed N   play N times as fast (default 1)\n"
     "--loop      start again after the last row\n"
     "--stop      stop the replay that plays"},
    {L"history",
     "tovi-opc history --ua URL ITEM... --from T --to T [--format text|csv|json]\n"
     "tovi-opc history --ua URL ITEM... --from T --to T --aggregate NAME [--interval MS] [--format ...]\n"
     "tovi-opc history --ua URL ITEM... --at T,T,... [--format ...]\n"
     "\n"
     "Prints each item's history as the server keeps it, one value per line in the shapes of watch: the\n"
     "values recorded from --from up to --to (backwards when --to comes first); with --aggregate, one\n"
     "value per interval of --interval milliseconds (0, the default: one for the whole range) computed\n"
     "by the server's aggregate of that name (Average, Minimum, Maximum, Count, TimeAverage, Interpolative,\n"
     "... as the server lists them); with --at, the value at each time, interpolated between samples.\n"
     "Every page the server gives is read. A time is ISO 8601 in UTC (2026-03-01T08:00:00Z, seconds\n"
     "optional), now, or relative to now: -1h, -90s, +15m, -2d, -500ms.\n"
     "  tovi-opc history --ua opc.tcp://localhost:4840/ Plant.Flow --from -1h --to now --aggregate Average\n"
     "      --interval 60000\n"
     "An item without history prints its error (BadHistoryOperationUnsupported) and the exit code is 1."},
    {L"alarms",
     "tovi-opc alarms --ua URL [NODE] [--format text|csv|json] [--for SECONDS] [--rate MS]\n"
     "tovi-opc refresh --ua URL [NODE]\n"
     "\n"
     "Subscribes to the events of NODE (the Server object, i=2253, unless a folder's path such as\n"
     "Plant.Area or a NodeId is named: a Tovi Explorer device or group folder has the alarms below it),\n"
     "asks for the retained conditions (ConditionRefresh) and prints one line per event:\n"
     "  2024-05-01T12:34:56.789Z  Plant.Level  Active High  500  Unacked  Plant.Level High  EventId=0a1b...\n"
     "time (UTC), source, state (Active with the limit, Inactive or Disabled), severity, acknowledged\n"
     "(\"Acked/Unconfirmed\" while a confirmation is awaited), message and EventId in hex. csv and\n"
     "json add the comment and the condition's NodeId. A field an event lacks stays empty.\n"
     "alarms goes on until Ctrl+C, the time is up or the server goes away (an error, exit code 1);\n"
     "refresh ends once the server has sent every retained condition.\n"
     "--rate MS   the publishing interval asked of the server (default 1000)"},
    {L"ack",
     "tovi-opc ack --ua URL ITEM [COMMENT] [--event HEX]\n"
     "tovi-opc confirm --ua URL ITEM [COMMENT] [--event HEX]\n"
     "tovi-opc comment --ua URL ITEM COMMENT [--event HEX]\n"
     "tovi-opc enable --ua URL ITEM\n"
     "tovi-opc disable --ua URL ITEM\n"
     "\n"
     "Calls the condition's Acknowledge, Confirm, AddComment, Enable or Disable method and prints\n"
     "\"ITEM: acknowledged\" (confirmed, commented, enabled, disabled) or \"ITEM: error:\" with the status\n"
     "(BadConditionBranchAlreadyAcked, BadEventIdUnknown, BadUserAccessDenied, ...).\n"
     "ITEM is a Tovi Explorer item ID (the alarm of that tag, in the namespace\n"
     "urn:Zelkor:ToviExplorer:Alarms) or the condition's NodeId on any server.\n"
     "--event HEX   the EventId to act on, as alarms prints it; without it the condition's latest"},
    {L"props",
     "tovi-opc props PROGID ITEM...\n"
     "\n"
     "Lists the properties of each item (OPC DA 2.0's IOPCItemProperties): the item's ID, then per\n"
     "property its number, description, value and type (\"   1  Item Canonical DataType = 5 (Double)  Short\"),\n"
     "or the property's error in words. An error on a server without item properties."},
};
}  // namespace

bool PrintHelp(const std::wstring& command) {
    // Commands that share a page.
    std::wstring shown = command;
    if (shown == L"refresh") shown = L"alarms";
    if (shown == L"confirm" || shown == L"comment" || shown == L"enable" || shown == L"disable") shown = L"ack";
    for (const Page& page : kPages) {
        if (shown == page.command) {
            PrintLine(page.text);
            return true;
        }
    }
    return false;
}
