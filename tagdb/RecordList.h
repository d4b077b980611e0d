#pragma once
// The list writer and reader shared by the device, group and tag lists.
//
// Writing: the count of the elements that pass the validity test, then for
// each its class code and record, each logged (nothing is made for that
// while the log is closed). Counting only what is written keeps the file
// readable when a list holds a stale element. A record that fails to
// write is logged and the failure goes on to the caller: a file with a
// missing record could not be read back past it.
//
// Reading: each record goes into a fresh object. The first record that
// cannot be read ends the list (logged, object deleted); what was
// read before it stays, and the enclosing record goes on from wherever the
// stream stands. A record read whole whose name holds a NUL is refused
// alone. The end of the data met outside a record (the count or a class
// code) goes on to the caller, and so does a count that promises more
// elements than the remaining bytes can hold.
#include <windows.h>

#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "Archive.h"
#include "Dll.h"
#include "EventLog.h"
#include "TreeLimits.h"

struct RecordListTexts {
    const wchar_t* stored;
    const wchar_t* storeFailed;
    const wchar_t* createFailed;
    const wchar_t* loadFailed;
    const wchar_t* loaded;
    bool fromConfigFile;  // the tag list's failure entries end with "from config file"
};

template <class T, class IsValid, class ClassCodeOf>
void StoreRecordList(Archive& archive, const Dll<T*>& list, const RecordListTexts& texts, IsValid isValid,
                     ClassCodeOf classCodeOf) {
    std::vector<T*> valid;
    valid.reserve(static_cast<size_t>(list.Count()));
    for (T* element : list) {
        if (isValid(element)) valid.push_back(element);
    }
    archive.WriteDword(static_cast<DWORD>(valid.size()));
    for (T* element : valid) {
        try {
            archive.WriteDword(classCodeOf(*element));
            element->Serialize(archive);
        } catch (...) {
            theEventLog << texts.storeFailed << element->GetName() << EventLog::EndEntry;
            throw;
        }
        // The check spares a copy of every name while the log is closed.
        if (theEventLog.IsOpen()) theEventLog << texts.stored << element->GetName() << EventLog::EndEntry;
    }
}

inline void LogRecordListFailure(const RecordListTexts& texts, const wchar_t* what, DWORD index, DWORD classCode) {
    const unsigned long i = index, code = classCode;
    if (texts.fromConfigFile) {
        theEventLog << what << i << L"of type:" << code << L"from config file" << EventLog::EndEntry;
    } else {
        theEventLog << what << i << L"of type:" << code << EventLog::EndEntry;
    }
}

// make() gives a fresh object; keep(std::unique_ptr<T>) takes each one read.
template <class T, class Make, class Keep>
void LoadRecordList(Archive& archive, const RecordListTexts& texts, Make make, Keep keep) {
    // Every element is at least its class code and its record's version.
    constexpr size_t kSmallestElement = 4 + 8;
    const DWORD count = archive.ReadCount(kSmallestElement);
    for (DWORD i = 0; i < count; ++i) {
        const DWORD classCode = archive.ReadDword();
        // Running out of memory is not damage of the file: it goes on to the
        // caller, which drops the whole load.
        std::unique_ptr<T> object = make();
        if (!object) {
            LogRecordListFailure(texts, texts.createFailed, i, classCode);
            archive.NoteDroppedRecord();
            return;
        }
        try {
            object->Serialize(archive);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception&) {
            object.reset();
            LogRecordListFailure(texts, texts.loadFailed, i, classCode);
            archive.NoteDroppedRecord();
            return;
        }
        if (const std::wstring name = object->GetName();
            name.find(L'\0') != std::wstring::npos || name.size() > kMaxNameLength) {
            // A name with a NUL (a corrupted byte) would be listed cut at the
            // NUL and never be reached by what was listed; one past the
            // longest no view or protocol is made for. The record itself
            // was read whole, so the list goes on after it.
            object.reset();
            LogRecordListFailure(texts, texts.loadFailed, i, classCode);
            archive.NoteDroppedRecord();
            continue;
        }
        if (theEventLog.IsOpen()) theEventLog << texts.loaded << object->GetName() << EventLog::EndEntry;
        keep(std::move(object));
    }
}
