// Loading and saving of the configuration file (completed with the file format).
#include "Document.h"

bool OPCS_Doc::LoadFrom(const std::wstring&) { return false; }

bool OPCS_Doc::DoSave(const std::wstring&) { return false; }
