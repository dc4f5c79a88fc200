// The reading of "patches.txt": lines in any line-end form, and "key: value" entries.
#pragma once

#include <map>
#include <string>

class ZelkDataBuffer;

// Reads one line (without its line end: CR LF, LF CR, LF or CR) into line. False once the end of
// the data was reached before a line end; line then holds the text read so far, which may be a
// last line without a line end.
bool ReadLine(ZelkDataBuffer &buffer, std::string &line);

// Fills values from the "key: value" lines of one entry: spaces trimmed, keys in lowercase, one
// pair of enclosing double quotes removed from a value, later keys overriding earlier ones. False
// when a non-empty line has no ':' (the other lines are still read).
bool ParseKeyValues(ZelkDataBuffer &block, std::map<std::string, std::string> &values);
