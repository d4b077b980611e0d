#pragma once
// Resource identifiers of the settings layer.

// The document template string: seven "\n"-separated fields (window title,
// document name, file type name, filter name, filter extension, registry file
// type id, registry file type name).
#define IDS_DOCUMENT_TEMPLATE        128

// Help messages.
#define IDS_HELP_FILE_MISSING        61219
#define IDS_HTMLHELP_MISSING         61220
