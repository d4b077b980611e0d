#pragma once
// Opening the event log at start-up as the settings say.
class EventLog;
class OPCS_Registry;

// When the settings enable the log: opens it on their file and then takes
// their size limit if it is at least 1,024 bytes (the opening entry still
// shows the default). Returns whether the log is open.
bool OpenEventLogFromSettings(EventLog& log, const OPCS_Registry& settings);
