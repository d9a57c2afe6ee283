// `npkeystrand trace` reads files that any process of the user may have written: event files,
// session descriptions and the *.fmt format texts. Whatever their bytes, the readers must keep
// inside them, and every record read must print. The first byte chooses the reader: 0 event
// file, 1 session description, 2 format text. Seeds: files of a real traced page run and the
// format files of trace/formats, each behind its selector byte.
#include <dirent.h>

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "host/TraceFormats.h"
#include "platform/advapi32/EtwStore.h"

namespace {

const npk::host::TraceFormats& Formats()
{
    static const npk::host::TraceFormats formats = [] {
        npk::host::TraceFormats f;
        std::string error;
        fuzz::Check(f.AddDirectory(std::string(NPK_FUZZ_DATA_DIR) + "/../../trace/formats", &error));
        return f;
    }();
    return formats;
}

// The file that holds the description of the session "fuzz".
const std::string& SessionFile()
{
    static const std::string path = [] {
        fuzz::PrivateHome();
        npk::etw::SessionInfo info;
        info.Name = "fuzz";
        info.LogFile = npk::etw::DefaultEventFile("fuzz");
        fuzz::Check(npk::etw::WriteSession(info));
        const std::string dir = npk::etw::SessionDirectory();
        DIR* d = opendir(dir.c_str());
        fuzz::Check(d != nullptr);
        std::string found;
        while (struct dirent* entry = readdir(d)) {
            std::string name = entry->d_name;
            if (name != "." && name != ".." && name.find("fuzz") != std::string::npos) found = dir + "/" + name;
        }
        closedir(d);
        fuzz::Check(!found.empty());
        return found;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1 << 17) return 0;
    const uint8_t* body = data + 1;
    const size_t length = size - 1;
    switch (data[0] % 3) {
    case 0: {
        static const std::string path = fuzz::PrivateHome() + "/events.etl";
        fuzz::WriteFile(path, body, length);
        std::vector<npk::etw::EventRecord> records;
        bool damaged = false;
        if (npk::etw::ReadEventFile(path, records, &damaged)) {
            for (const npk::etw::EventRecord& r : records) {
                fuzz::Check(r.Data.size() <= npk::etw::kMaxRecordData);
                (void)npk::host::FormatEventLine(r, Formats());
            }
        }
        break;
    }
    case 1: {
        fuzz::WriteFile(SessionFile(), body, length);
        npk::etw::SessionInfo info;
        (void)npk::etw::ListSessions();
        if (npk::etw::ReadSession("fuzz", info) && info.Name == "fuzz") {
            // What was read is written back and read again unchanged.
            fuzz::Check(npk::etw::WriteSession(info));
            npk::etw::SessionInfo again;
            fuzz::Check(npk::etw::ReadSession("fuzz", again));
            fuzz::Check(again.Handle == info.Handle && again.LogFile == info.LogFile &&
                        again.EnableFlags == info.EnableFlags && again.Providers.size() == info.Providers.size());
        }
        break;
    }
    default: {
        npk::host::TraceFormats formats;
        std::string error;
        std::string text(reinterpret_cast<const char*>(body), length);
        if (formats.AddText(text, "fuzz.fmt", &error)) {
            // Whatever was read formats an event of any bytes.
            npk::etw::EventRecord r;
            r.Header.Kind = npk::etw::RecordKindMessage;
            r.Data.assign(body, body + (length < 64 ? length : 64));
            (void)npk::host::FormatEventLine(r, formats);
        } else {
            fuzz::Check(!error.empty());
        }
        break;
    }
    }
    return 0;
}
