// Event format texts (*.fmt) and the printing of recorded events with them.
#pragma once

#include "platform/advapi32/EtwStore.h"

#include <map>
#include <string>
#include <utility>

namespace npk::host {

class TraceFormats {
public:
    // Adds the lines of one format file's text; false (with *error) on a malformed line.
    bool AddText(const std::string& text, const std::string& fileName, std::string* error);
    // Adds every *.fmt file of a directory; false when the directory cannot be read.
    bool AddDirectory(const std::string& dir, std::string* error);

    // The format text of an event, or null.
    const std::string* Find(const GUID& guid, uint16_t number) const;
    // The module named by the first comment of the file that describes this GUID, or the GUID.
    std::string ModuleName(const GUID& guid) const;

private:
    typedef std::pair<std::string, uint16_t> Key;  // GUID text, number
    std::map<Key, std::string> m_formats;
    std::map<std::string, std::string> m_modules;  // GUID text -> module
};

// Substitutes %N!type! in a format with the event's arguments, decoded from their bytes in
// order. Arguments that the bytes do not hold print as "<missing>".
std::string FormatEventText(const std::string& format, const uint8_t* data, size_t size);

// One line for a recorded event: sequence, time, process and thread, module, number, text.
// Events without a format line show their GUID, number and argument bytes in hex.
std::string FormatEventLine(const npk::etw::EventRecord& record, const TraceFormats& formats);

}  // namespace npk::host
