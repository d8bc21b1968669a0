// The numbers a reply's header section gives, read strictly: a reply whose
// status or length cannot be read exactly is no reply to store.
#pragma once

#include <cstdint>

// What readLengthList finds in a Content-Length value.
enum LengthListReading {
    lengthRead = 0,     // one byte count, once or repeated
    lengthNotCount,     // an element that is not a byte count
    lengthsDiffer,      // two counts that are not the same
};

// Returns the status code of a status line (a protocol word, blanks, then
// exactly three digits, then blanks or the line's end), or -1 when the line
// has none.
int statusCodeOf(const char* line);

// Reads a Content-Length value: byte counts up to kLargestByteCount, each
// with blanks around it, separated by commas. Returns a LengthListReading;
// on lengthRead, length holds the count.
int readLengthList(const char* value, std::int64_t& length);
