// The resource reader walks a compiled .res image; a damaged image must be refused, never
// read past its end.
#include <cstdlib>
#include <vector>

#include "kernel32/resources/ResourceImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<BYTE> image(data, data + size);  // exact size, so ASan sees any overread
    std::vector<npk::res::ResourceEntry> entries;
    if (npk::res::ParseResImage(image.data(), image.size(), &entries)) {
        for (const auto& e : entries) {
            if (e.data < image.data() || e.data + e.size > image.data() + image.size()) std::abort();
        }
    }
    return 0;
}
