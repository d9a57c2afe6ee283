// Native messaging as the browsers speak it: each message is a 4-byte length in the machine's
// byte order followed by that many bytes of UTF-8 JSON. Messages longer than a browser
// accepts in one frame travel as a run of chunk frames
//   {"chunk":<message id>,"part":<0-based>,"parts":<n>,"data":"<piece of the JSON text>"}
// whose pieces, joined in order, are the message's JSON text.
#pragma once

#include "host/bridge/Json.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace npk::bridge {

// A message's JSON text longer than this is sent in chunks.
inline constexpr size_t kChunkThreshold = 1000000;
// No frame the host writes is longer than this (the browsers' limit for a host's message).
inline constexpr size_t kMaxFrameOut = 1048576;
// A single frame longer than this is read and dropped in pieces, never held whole.
inline constexpr size_t kMaxFrameIn = 64u << 20;
// The largest message a chunk run may assemble.
inline constexpr size_t kMaxAssembled = 1u << 30;

// Error code of the bridge's own refusals (E_INVALIDARG).
inline constexpr uint32_t kBridgeError = 0x80070057u;

// What the reader hands on: a whole message, or an error to answer.
struct Inbound {
    bool ok = false;
    JsonValue message;   // ok: the message (an object)
    JsonValue id;        // !ok: the id to answer with (null when it cannot be known)
    std::string error;   // !ok: why
};

// Turns the bytes of the input stream, fed in pieces of any size, into messages. Never fails
// as a whole: every fault becomes an Inbound with ok == false, and reading goes on.
class MessageReader {
public:
    explicit MessageReader(size_t maxFrame = kMaxFrameIn, size_t maxAssembled = kMaxAssembled)
        : m_maxFrame(maxFrame), m_maxAssembled(maxAssembled) {}

    void Feed(const uint8_t* data, size_t size, std::vector<Inbound>& out);

    // The input ended: a frame or a chunk run left unfinished becomes an error (false when
    // nothing was pending).
    bool Finish(Inbound& out);

    // Bytes held for a frame or a chunk run not yet complete.
    size_t Pending() const { return m_frame.size() + m_assembled.size(); }

private:
    void OnFrame(std::string_view frame, std::vector<Inbound>& out);
    void OnChunk(const JsonValue& frame, std::vector<Inbound>& out);
    void OnMessageText(std::string_view text, const JsonValue& fallbackId, std::vector<Inbound>& out);
    void BreakRun(const std::string& why, std::vector<Inbound>& out);

    size_t m_maxFrame;
    size_t m_maxAssembled;
    // The frame being read.
    uint8_t m_header[4] = {};
    size_t m_headerHave = 0;
    bool m_inBody = false;
    uint64_t m_bodyLeft = 0;      // bytes of the current body still to come
    bool m_discarding = false;    // the current body is too long and is being dropped
    std::string m_frame;
    // The chunk run being joined.
    bool m_inRun = false;
    JsonValue m_runId;
    double m_runParts = 0;
    double m_runNext = 0;
    std::string m_assembled;
};

// Errors as the bridge answers them.
JsonValue ErrorReply(const JsonValue& id, uint32_t code, const std::string& description);

// The frames (length prefix included) that carry one message: one frame, or a chunk run when
// the JSON text is longer than kChunkThreshold. Pieces are cut between UTF-8 characters and
// each frame stays within maxFrame (more than 256 bytes). `id` names the run (the message's id).
std::vector<std::string> FrameMessage(const std::string& json, const JsonValue& id, size_t threshold = kChunkThreshold,
                                      size_t maxFrame = kMaxFrameOut);

// One frame: the length prefix and the bytes.
std::string Frame(std::string_view json);

}  // namespace npk::bridge
