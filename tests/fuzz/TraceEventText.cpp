// `trace show` formats event bytes that any process may have written to a session file:
// a format text and arbitrary argument bytes must never make it read past the event.
#include <string>
#include <vector>

#include "host/TraceFormats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte splits the input into a format text and the argument bytes.
    if (size == 0) return 0;
    size_t split = data[0] % size;
    std::string format(reinterpret_cast<const char*>(data + 1), split > 0 ? split - 1 : 0);
    std::vector<uint8_t> args(data + split + (split == 0 ? 1 : 0), data + size);
    (void)npk::host::FormatEventText(format, args.data(), args.size());
    (void)npk::host::FormatEventText("%1!s! %2!ws! %3!d! %4!I64x! %5!08x!", args.data(), args.size());
    return 0;
}
