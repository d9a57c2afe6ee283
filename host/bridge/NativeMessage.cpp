#include "host/bridge/NativeMessage.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace npk::bridge {

namespace {

bool IsCount(const JsonValue* v, double min)
{
    return v != nullptr && v->IsNumber() && std::isfinite(v->AsNumber()) && v->AsNumber() >= min &&
           v->AsNumber() == std::trunc(v->AsNumber()) && v->AsNumber() <= 4294967295.0;
}

Inbound Error(const JsonValue& id, std::string why)
{
    Inbound in;
    in.ok = false;
    in.id = id;
    in.error = std::move(why);
    return in;
}

bool SameId(const JsonValue& a, const JsonValue& b)
{
    return a.IsNumber() && b.IsNumber() && a.AsNumber() == b.AsNumber();
}

}  // namespace

void MessageReader::Feed(const uint8_t* data, size_t size, std::vector<Inbound>& out)
{
    size_t i = 0;
    while (i < size) {
        if (!m_inBody) {
            const size_t take = std::min(size - i, sizeof(m_header) - m_headerHave);
            std::memcpy(m_header + m_headerHave, data + i, take);
            m_headerHave += take;
            i += take;
            if (m_headerHave < sizeof(m_header)) {
                break;
            }
            uint32_t length;
            std::memcpy(&length, m_header, sizeof(length));  // the machine's byte order
            m_headerHave = 0;
            m_inBody = true;
            m_bodyLeft = length;
            m_discarding = length > m_maxFrame;
            if (!m_discarding) {
                m_frame.reserve(length);
            }
        }
        if (m_bodyLeft > 0) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(size - i, m_bodyLeft));
            if (!m_discarding) {
                m_frame.append(reinterpret_cast<const char*>(data + i), take);
            }
            i += take;
            m_bodyLeft -= take;
        }
        if (m_bodyLeft == 0) {
            m_inBody = false;
            if (m_discarding) {
                m_discarding = false;
                out.push_back(Error(JsonValue(), "a frame is longer than the host accepts (" +
                                                     std::to_string(m_maxFrame) + " bytes)"));
            } else {
                std::string frame;
                frame.swap(m_frame);
                OnFrame(frame, out);
            }
        }
    }
}

bool MessageReader::Finish(Inbound& out)
{
    if (m_inBody || m_headerHave > 0) {
        m_inBody = false;
        m_headerHave = 0;
        m_discarding = false;
        m_frame.clear();
        out = Error(JsonValue(), "the input ended inside a frame");
        return true;
    }
    if (m_inRun) {
        out = Error(m_runId, "the input ended inside a chunk run");
        m_inRun = false;
        std::string().swap(m_assembled);
        return true;
    }
    return false;
}

void MessageReader::BreakRun(const std::string& why, std::vector<Inbound>& out)
{
    out.push_back(Error(m_runId, "broken chunk sequence: " + why));
    m_inRun = false;
    std::string().swap(m_assembled);
}

void MessageReader::OnFrame(std::string_view frame, std::vector<Inbound>& out)
{
    JsonValue value;
    std::string error;
    if (!ParseJson(frame, value, error)) {
        if (m_inRun) {
            BreakRun("a frame that is not JSON came inside the run", out);
        }
        out.push_back(Error(JsonValue(), "malformed JSON: " + error));
        return;
    }
    if (value.IsObject() && value.Find("chunk") != nullptr) {
        OnChunk(value, out);
        return;
    }
    if (m_inRun) {
        BreakRun("another message came inside the run", out);
    }
    if (!value.IsObject()) {
        out.push_back(Error(JsonValue(), "a message must be a JSON object"));
        return;
    }
    Inbound in;
    in.ok = true;
    in.message = std::move(value);
    out.push_back(std::move(in));
}

void MessageReader::OnChunk(const JsonValue& frame, std::vector<Inbound>& out)
{
    const JsonValue* chunk = frame.Find("chunk");
    const JsonValue* part = frame.Find("part");
    const JsonValue* parts = frame.Find("parts");
    const JsonValue* data = frame.Find("data");
    const JsonValue id = chunk->IsNumber() ? *chunk : JsonValue();
    if (!chunk->IsNumber() || !IsCount(part, 0) || !IsCount(parts, 1) || data == nullptr || !data->IsString() ||
        part->AsNumber() >= parts->AsNumber()) {
        if (m_inRun) {
            BreakRun("a malformed chunk frame came inside the run", out);
        }
        out.push_back(Error(id, "malformed chunk frame"));
        return;
    }
    if (m_inRun && (!SameId(m_runId, id) || m_runParts != parts->AsNumber() || m_runNext != part->AsNumber())) {
        BreakRun("expected part " + std::to_string(static_cast<uint64_t>(m_runNext)) + " of message " +
                     WriteJson(m_runId),
                 out);
    }
    if (!m_inRun) {
        if (part->AsNumber() != 0) {
            out.push_back(Error(id, "broken chunk sequence: a run must start with part 0"));
            return;
        }
        m_inRun = true;
        m_runId = id;
        m_runParts = parts->AsNumber();
        m_runNext = 0;
        m_assembled.clear();
    }
    if (m_assembled.size() + data->AsString().size() > m_maxAssembled) {
        BreakRun("the message is longer than the host accepts (" + std::to_string(m_maxAssembled) + " bytes)", out);
        return;
    }
    m_assembled += data->AsString();
    m_runNext += 1;
    if (m_runNext == m_runParts) {
        std::string text;
        text.swap(m_assembled);
        m_inRun = false;
        OnMessageText(text, m_runId, out);
    }
}

void MessageReader::OnMessageText(std::string_view text, const JsonValue& fallbackId, std::vector<Inbound>& out)
{
    JsonValue value;
    std::string error;
    if (!ParseJson(text, value, error)) {
        out.push_back(Error(fallbackId, "malformed JSON in a chunked message: " + error));
        return;
    }
    if (!value.IsObject()) {
        out.push_back(Error(fallbackId, "a message must be a JSON object"));
        return;
    }
    Inbound in;
    in.ok = true;
    in.message = std::move(value);
    out.push_back(std::move(in));
}

JsonValue ErrorReply(const JsonValue& id, uint32_t code, const std::string& description)
{
    JsonValue reply = JsonValue::Object();
    reply.AddMember("id", id);
    reply.AddMember("ok", JsonValue::Bool(false));
    reply.AddMember("code", JsonValue::Number(code));
    reply.AddMember("description", JsonValue::String(description));
    return reply;
}

std::string Frame(std::string_view json)
{
    const auto length = static_cast<uint32_t>(json.size());
    std::string frame(sizeof(length), '\0');
    std::memcpy(frame.data(), &length, sizeof(length));
    frame.append(json);
    return frame;
}

std::vector<std::string> FrameMessage(const std::string& json, const JsonValue& id, size_t threshold, size_t maxFrame)
{
    std::vector<std::string> frames;
    if (json.size() <= threshold) {
        frames.push_back(Frame(json));
        return frames;
    }
    // The frame around a piece: member names, the id and two counts stay well inside this.
    constexpr size_t kEnvelope = 256;
    const size_t budget = maxFrame - kEnvelope;
    std::vector<size_t> cuts{0};
    size_t escaped = 0;
    size_t i = 0;
    while (i < json.size()) {
        size_t charLength = 0;
        const size_t cost = JsonEscapedCharSize(json, i, charLength);
        if (escaped + cost > budget) {
            cuts.push_back(i);
            escaped = 0;
        }
        escaped += cost;
        i += charLength;
    }
    cuts.push_back(json.size());
    const size_t parts = cuts.size() - 1;
    std::string head = "{\"chunk\":";
    AppendJson(head, id);
    head += ",\"part\":";
    for (size_t p = 0; p < parts; ++p) {
        std::string text = head;
        text += std::to_string(p);
        text += ",\"parts\":";
        text += std::to_string(parts);
        text += ",\"data\":";
        AppendJsonString(text, std::string_view(json).substr(cuts[p], cuts[p + 1] - cuts[p]));
        text += '}';
        frames.push_back(Frame(text));
    }
    return frames;
}

}  // namespace npk::bridge
