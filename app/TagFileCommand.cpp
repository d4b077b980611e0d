#include "TagFileCommand.h"

#include <windows.h>

#include <string>

#include "ConsoleReport.h"
#include "OPCS_Doc.h"
#include "EventLog.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "ProgramPaths.h"
#include "Text.h"

namespace {
std::wstring ChooseConfiguration(const TagFileSwitch& command, const ConsoleReport& console) {
    if (!command.configuration.empty()) return FullPath(command.configuration);
    const std::wstring lastUsed = theSettings.GetLastUsedFile();
    if (lastUsed.empty()) {
        console.Line(L"No configuration file is named and none was used last: name one before the switch.");
    }
    return lastUsed;
}
}  // namespace

int RunTagFileSwitch(const TagFileSwitch& command) {
    const ConsoleReport console;
    if (!command.error.empty()) {
        console.Line(command.error);
        return 1;
    }
    // Without a window, what the document would ask or tell goes to the console.
    SetMessageBoxHandler([&console](const std::wstring& text, const std::wstring&, UINT style) {
        console.Line(text);
        return DefaultAnswer(style);
    });
    struct HandlerReset {
        ~HandlerReset() { SetMessageBoxHandler({}); }
    } resetHandler;

    const std::wstring configuration = ChooseConfiguration(command, console);
    if (configuration.empty()) return 1;
    const bool import = command.action == TagFileSwitch::Action::Import;
    const std::wstring csvFile = FullPath(command.csvFile);
    Configuration devices;
    OPCS_Doc document(devices);
    if (FileExists(configuration)) {
        if (!document.OnOpenDocument(configuration)) {
            console.Line(L"The configuration file " + configuration + L" could not be read.");
            return 1;
        }
    } else if (!import) {  // importing into a file that does not exist yet makes it
        console.Line(L"The configuration file " + configuration + L" does not exist.");
        return 1;
    }
    document.SetPathName(configuration);

    if (!import) {
        std::wstring error;
        if (!document.ExportTags(csvFile, error)) {
            console.Line(error);
            return 1;
        }
        console.Line(L"Tags of " + configuration + L" exported to " + csvFile + L".");
        return 0;
    }
    const TagImportResult result = document.ImportTags(csvFile);
    if (!result.Succeeded()) {
        for (const std::wstring& error : result.errors) console.Line(error);
        console.Line(L"Nothing was imported; " + configuration + L" is unchanged.");
        return 1;
    }
    if (!document.DoSave(configuration)) {
        console.Line(L"The configuration file " + configuration + L" could not be saved.");
        return 1;
    }
    console.Line(L"Tags imported from " + csvFile + L" into " + configuration + L": " + std::to_wstring(result.added) +
                 L" added, " + std::to_wstring(result.updated) + L" updated.");
    return 0;
}
