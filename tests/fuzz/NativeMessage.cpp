// The bridge's input comes from a browser, but a page decides much of it: whatever the bytes,
// the native-message reader answers every fault with an error and goes on, never holds more
// than its limits, finds the same messages however the stream is cut into reads, and what the
// JSON reader accepts the writer writes back to the same value. Messages the host writes in
// chunks are joined back into the same text. Seeded from real messages of the extension.
#include <cstdlib>
#include <string>
#include <vector>

#include "host/bridge/Json.h"
#include "host/bridge/NativeMessage.h"

namespace {

using npk::bridge::Inbound;
using npk::bridge::JsonValue;
using npk::bridge::MessageReader;

void Check(bool condition)
{
    if (!condition) std::abort();
}

constexpr size_t kMaxFrame = 2048;
constexpr size_t kMaxAssembled = 8192;

const char* const kSeeds[] = {
    "{\"id\":1,\"type\":\"open\",\"doc\":\"d1\",\"origin\":\"https://example.org\"}",
    "{\"id\":2,\"type\":\"call\",\"doc\":\"d1\",\"method\":\"SignMessage\",\"args\":[\"hello\",\"SHA-1\"]}",
    "{\"id\":3,\"type\":\"call\",\"doc\":\"d1\",\"method\":\"SelectSignCertificateByPFXFile\","
    "\"args\":[\"/home/u/signer.pfx\",\"npkeystrand\"]}",
    "{\"id\":4,\"type\":\"call\",\"doc\":\"d1\",\"method\":\"DecryptEnvelopeMessagePKCS7\",\"args\":[\"MIIB\",5]}",
    "{\"id\":5,\"type\":\"call\",\"doc\":\"d2\",\"method\":\"VerifyMessageSignatureDetached\","
    "\"args\":[\"MIAGCSqGSIb3DQEHAqCAMIACAQExCzAJ\\r\\n\",\"\\u4e2d\\ud83d\\ude00 \\\"q\\\"\"]}",
    "{\"id\":6,\"type\":\"close\",\"doc\":\"d1\"}",
    "{\"chunk\":7,\"part\":0,\"parts\":2,\"data\":\"{\\\"id\\\":7,\\\"type\\\":\"}",
    "{\"chunk\":7,\"part\":1,\"parts\":2,\"data\":\"\\\"close\\\",\\\"doc\\\":\\\"d1\\\"}\"}",
    "{\"id\":8,\"ok\":false,\"code\":2684821536,\"description\":\"Invalid hash algorithm.\\n(0xa0072020)\"}",
    "[1.5e3,-0,true,false,null,{},[],\"\\b\\f\\n\\r\\t\\/\"]",
};
constexpr size_t kSeedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);

std::string Describe(const std::vector<Inbound>& events)
{
    std::string text;
    for (const Inbound& e : events) {
        text += e.ok ? "M" + npk::bridge::WriteJson(e.message) : "E" + npk::bridge::WriteJson(e.id) + e.error;
        text += '\n';
    }
    return text;
}

std::vector<Inbound> ReadStream(const std::string& stream, size_t piece)
{
    MessageReader reader(kMaxFrame, kMaxAssembled);
    std::vector<Inbound> events;
    for (size_t i = 0; i < stream.size(); i += piece) {
        const size_t n = std::min(piece, stream.size() - i);
        reader.Feed(reinterpret_cast<const uint8_t*>(stream.data() + i), n, events);
        Check(reader.Pending() <= kMaxFrame + kMaxAssembled);
    }
    Inbound last;
    if (reader.Finish(last)) events.push_back(std::move(last));
    for (const Inbound& e : events) {
        if (e.ok) {
            Check(e.message.IsObject());
        } else {
            Check(!e.error.empty());
            Check(e.id.IsNull() || e.id.IsNumber());
        }
    }
    return events;
}

void CheckRoundTrip(const std::string& text)
{
    JsonValue value;
    std::string error;
    if (!npk::bridge::ParseJson(text, value, error)) {
        Check(!error.empty());
        return;
    }
    const std::string written = npk::bridge::WriteJson(value);
    JsonValue again;
    Check(npk::bridge::ParseJson(written, again, error));
    Check(npk::bridge::WriteJson(again) == written);
    // Only messages with a number for an id travel in chunks (a run is named by it); chunk
    // frames themselves and messages longer than a run may join are not resent.
    const JsonValue* idMember = value.Find("id");
    if (!value.IsObject() || idMember == nullptr || !idMember->IsNumber() || value.Find("chunk") != nullptr ||
        written.size() > kMaxAssembled) {
        return;
    }

    // The host's chunking, at a small scale: frames within their limit, joined to the same text.
    const JsonValue id = *idMember;
    const std::vector<std::string> frames = npk::bridge::FrameMessage(written, id, 64, 300);
    std::string stream;
    for (const std::string& f : frames) {
        Check(f.size() - 4 <= 300);
        stream += f;
    }
    const std::vector<Inbound> events = ReadStream(stream, stream.size());
    Check(events.size() == 1 && events[0].ok);
    Check(npk::bridge::WriteJson(events[0].message) == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 1 << 16) return 0;
    const uint8_t mode = data[0];
    const size_t piece = 1 + data[1] % 17;
    std::string input(reinterpret_cast<const char*>(data + 2), size - 2);

    std::string stream;
    if (mode & 1) {
        // A real message with the input written into it at a place the input chooses.
        std::string seed = kSeeds[(mode >> 1) % kSeedCount];
        const size_t at = input.empty() ? 0 : static_cast<uint8_t>(input[0]) % (seed.size() + 1);
        seed = (mode & 2) ? seed.substr(0, at) + input + seed.substr(at)
                          : seed.substr(0, at) + input + seed.substr(std::min(seed.size(), at + input.size()));
        CheckRoundTrip(seed);
        stream = npk::bridge::Frame(seed) + npk::bridge::Frame(kSeeds[1]);
    } else {
        // The raw stream as a browser might write it.
        CheckRoundTrip(input);
        stream = input;
    }
    Check(Describe(ReadStream(stream, piece)) == Describe(ReadStream(stream, stream.size() + 1)));
    return 0;
}
