#pragma once
// The list writer and reader shared by the device, group and tag lists.
//
// Writing: the count of the elements that pass the validity test, then for
// each its class code and record; each record written or read is logged (a
// tag list: its count, once). Counting only what is written keeps the
// file readable when a list holds a stale element. A record that fails to
// write is logged and the failure goes on to the caller: a file with a
// missing record could not be read back past it.
//
// Reading: each record goes into a fresh object. The first record that
// cannot be created or read ends the list (logged, object deleted); what was
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
    // Set for the tag list: one entry with the count of the records written
    // or read replaces the entry per record, which at a million tags would
    // cost more than the file itself and push everything else out of the log.
    const wchar_t* storedCount = nullptr;
    const wchar_t* loadedCount = nullptr;
};

inline void LogRecordCount(const wchar_t* what, size_t count) {
    if (count != 0) theEventLog << what << static_cast<unsigned long long>(count) << EventLog::EndEntry;
}

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
        if (texts.storedCount == nullptr) theEventLog << texts.stored << element->GetName() << EventLog::EndEntry;
    }
    if (texts.storedCount != nullptr) LogRecordCount(texts.storedCount, valid.size());
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
    size_t kept = 0;
    struct CountEntry {
        const wchar_t* what;
        const size_t& kept;
        ~CountEntry() {
            if (what != nullptr) LogRecordCount(what, kept);
        }
    } countEntry{texts.loadedCount, kept};
    for (DWORD i = 0; i < count; ++i) {
        const DWORD classCode = archive.ReadDword();
        std::unique_ptr<T> object;
        try {
            object = make();
        } catch (const std::bad_alloc&) {}
        if (!object) {
            LogRecordListFailure(texts, texts.createFailed, i, classCode);
            archive.NoteDroppedRecord();
            return;
        }
        try {
            object->Serialize(archive);
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
        if (texts.loadedCount == nullptr) theEventLog << texts.loaded << object->GetName() << EventLog::EndEntry;
        keep(std::move(object));
        ++kept;
    }
}
