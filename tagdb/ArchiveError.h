#pragma once
// Errors of the configuration archive. They never leave the file layer except
// through the top-level load and save functions, which say what they raise.
#include <stdexcept>

class ArchiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The data ended before the field being read (a truncated file, or a count or
// length that promises more bytes than remain).
class ArchiveEndOfFile : public ArchiveError {
public:
    ArchiveEndOfFile() : ArchiveError("unexpected end of archive") {}
};

// A field whose content cannot be taken (a persisted COM object, a nested
// wide-string marker, a length that does not fit).
class ArchiveFormatError : public ArchiveError {
public:
    using ArchiveError::ArchiveError;
};
