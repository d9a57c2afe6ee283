// The bridge's reading and writing of messages by themselves: the strict JSON reader, frames
// cut anywhere, frames over the limit, chunk runs joined and broken, and the host's own chunks.
#include "host/bridge/Bridge.h"
#include "host/bridge/Json.h"
#include "host/bridge/NativeMessage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace npk::bridge {
namespace {

bool Parses(const std::string& text, JsonValue* out = nullptr)
{
    JsonValue v;
    std::string error;
    const bool ok = ParseJson(text, v, error);
    if (ok && out != nullptr) *out = v;
    if (!ok) {
        EXPECT_FALSE(error.empty());
    }
    return ok;
}

std::vector<Inbound> Read(const std::string& stream, size_t piece, MessageReader& reader)
{
    std::vector<Inbound> out;
    for (size_t i = 0; i < stream.size(); i += piece) {
        reader.Feed(reinterpret_cast<const uint8_t*>(stream.data() + i), std::min(piece, stream.size() - i), out);
    }
    return out;
}

std::string ChunkFrame(double id, int part, int parts, const std::string& data)
{
    std::string text = "{\"chunk\":" + WriteJson(JsonValue::Number(id)) + ",\"part\":" + std::to_string(part) +
                       ",\"parts\":" + std::to_string(parts) + ",\"data\":";
    AppendJsonString(text, data);
    return Frame(text + "}");
}

TEST(JsonReader, AcceptsTheGrammarAndNothingElse)
{
    JsonValue v;
    ASSERT_TRUE(Parses(" {\"a\" : [1, -0.5e2, true, false, null, \"x\"], \"b\":{}} ", &v));
    EXPECT_EQ(WriteJson(v), "{\"a\":[1,-50,true,false,null,\"x\"],\"b\":{}}");
    for (const char* bad : {"", "{", "{\"a\":1,}", "[1,]", "01", "1.", ".5", "+1", "1e", "NaN", "'a'", "{a:1}",
                            "\"\t\"", "\"\\x\"", "\"\\u12\"", "tru", "nul", "[1] [2]", "{\"a\":1}}", "1e400",
                            "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"", "\"\xE4\xB8\""}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(Parses(bad));
    }
}

TEST(JsonReader, EscapesAndCharactersBecomeUtf8)
{
    JsonValue v;
    ASSERT_TRUE(Parses("\"\\u4e2d\\ud83d\\ude00\\n\\\"\\/\\u0000\xC3\xA9\"", &v));
    EXPECT_EQ(v.AsString(), std::string("\xE4\xB8\xAD\xF0\x9F\x98\x80\n\"/\0\xC3\xA9", 13));
    // Lone surrogates, as a page's text may hold them, become U+FFFD; the text goes on.
    ASSERT_TRUE(Parses("\"a\\ud800b\\udc00c\\ud800\\u0041\"", &v));
    EXPECT_EQ(v.AsString(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD" "A");
    // And the writer escapes what JSON needs and nothing more; bad bytes become U+FFFD.
    EXPECT_EQ(WriteJson(JsonValue::String(std::string("\"\\\x01\x1F\xE4\xB8\xAD\xFF", 8))),
              "\"\\\"\\\\\\u0001\\u001f\xE4\xB8\xAD\xEF\xBF\xBD\"");
    EXPECT_EQ(WriteJson(JsonValue::Number(2684821536.0)), "2684821536");
    EXPECT_EQ(WriteJson(JsonValue::Number(1.0 / 0.0)), "null");
}

TEST(JsonReader, NestingAndDuplicateNamesAreBounded)
{
    EXPECT_TRUE(Parses(std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']')));
    EXPECT_FALSE(Parses(std::string(kJsonMaxDepth + 1, '[') + std::string(kJsonMaxDepth + 1, ']')));
    EXPECT_FALSE(Parses(std::string(100000, '[')));
    // Duplicates are found among few members and among many.
    std::string many = "{";
    for (int i = 0; i < 100; ++i) many += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    EXPECT_TRUE(Parses(many + "\"last\":0}"));
    EXPECT_FALSE(Parses(many + "\"k3\":0}"));
    EXPECT_FALSE(Parses(many + "\"k99\":0}"));
    EXPECT_FALSE(Parses("{\"a\":1,\"b\":2,\"a\":3}"));
}

TEST(MessageReaderTest, FramesCutAnywhereGiveTheSameMessages)
{
    const std::string stream = Frame("{\"id\":1,\"type\":\"open\"}") + Frame("") + Frame("[1]") +
                               Frame("{\"id\":2,\"s\":\"\xE4\xB8\xAD\"}");
    for (size_t piece : {size_t(1), size_t(3), size_t(7), stream.size()}) {
        SCOPED_TRACE(piece);
        MessageReader reader;
        std::vector<Inbound> in = Read(stream, piece, reader);
        ASSERT_EQ(in.size(), 4u);
        EXPECT_TRUE(in[0].ok);
        EXPECT_EQ(in[0].message.Find("id")->AsNumber(), 1);
        EXPECT_FALSE(in[1].ok);
        EXPECT_TRUE(in[1].id.IsNull());
        EXPECT_FALSE(in[2].ok);
        EXPECT_NE(in[2].error.find("object"), std::string::npos);
        EXPECT_TRUE(in[3].ok);
        EXPECT_EQ(reader.Pending(), 0u);
        Inbound rest;
        EXPECT_FALSE(reader.Finish(rest));
    }
}

TEST(MessageReaderTest, LongFramesAreDroppedWithoutBeingHeld)
{
    MessageReader reader(100, 1000);
    std::string big = "{\"id\":1,\"x\":\"" + std::string(200, 'a') + "\"}";
    const std::string stream = Frame(big) + Frame("{\"id\":2}");
    std::vector<Inbound> in;
    for (size_t i = 0; i < stream.size(); i += 10) {
        reader.Feed(reinterpret_cast<const uint8_t*>(stream.data() + i), std::min<size_t>(10, stream.size() - i), in);
        EXPECT_LE(reader.Pending(), 100u);
    }
    ASSERT_EQ(in.size(), 2u);
    EXPECT_FALSE(in[0].ok);
    EXPECT_NE(in[0].error.find("longer than the host accepts"), std::string::npos);
    EXPECT_TRUE(in[1].ok);

    // A length near 4 GiB announced and never delivered: nothing is allocated for it.
    MessageReader waiting;
    std::vector<Inbound> none;
    const std::string header("\xF0\xFF\xFF\xFF", 4);
    waiting.Feed(reinterpret_cast<const uint8_t*>(header.data()), 4, none);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(waiting.Pending(), 0u);
    Inbound cut;
    ASSERT_TRUE(waiting.Finish(cut));
    EXPECT_NE(cut.error.find("inside a frame"), std::string::npos);
}

TEST(MessageReaderTest, ChunkRunsJoinAndBreakCleanly)
{
    const std::string message = "{\"id\":9,\"type\":\"call\",\"s\":\"\xF0\x9F\x98\x80\"}";
    {
        MessageReader reader;
        std::vector<Inbound> in =
            Read(ChunkFrame(9, 0, 3, message.substr(0, 10)) + ChunkFrame(9, 1, 3, message.substr(10, 10)) +
                     ChunkFrame(9, 2, 3, message.substr(20)),
                 5, reader);
        ASSERT_EQ(in.size(), 1u);
        ASSERT_TRUE(in[0].ok) << in[0].error;
        EXPECT_EQ(WriteJson(in[0].message), message);
    }
    struct Broken {
        const char* name;
        std::string stream;
        size_t answers;  // errors, then possibly the message that broke the run
    };
    const Broken cases[] = {
        {"part out of order", ChunkFrame(9, 0, 3, "a") + ChunkFrame(9, 2, 3, "b"), 2},
        {"another id", ChunkFrame(9, 0, 2, "a") + ChunkFrame(8, 1, 2, "b"), 2},
        {"parts changed", ChunkFrame(9, 0, 2, "a") + ChunkFrame(9, 1, 3, "b"), 2},
        {"part beyond parts", ChunkFrame(9, 3, 3, "a"), 1},
        {"zero parts", ChunkFrame(9, 0, 0, "a"), 1},
        {"joined text not JSON", ChunkFrame(9, 0, 2, "{\"id\":") + ChunkFrame(9, 1, 2, "9"), 1},
        {"joined text not an object", ChunkFrame(9, 0, 1, "[9]"), 1},
    };
    for (const Broken& c : cases) {
        SCOPED_TRACE(c.name);
        MessageReader reader;
        std::vector<Inbound> in = Read(c.stream, c.stream.size(), reader);
        ASSERT_EQ(in.size(), c.answers);
        for (const Inbound& e : in) {
            EXPECT_FALSE(e.ok);
            EXPECT_TRUE(e.id.IsNull() || e.id.AsNumber() == 9 || e.id.AsNumber() == 8) << WriteJson(e.id);
        }
        EXPECT_EQ(in[0].id.AsNumber(), 9);
        EXPECT_EQ(reader.Pending(), 0u);
        // The reader goes on.
        std::vector<Inbound> next = Read(Frame("{\"id\":1}"), 100, reader);
        ASSERT_EQ(next.size(), 1u);
        EXPECT_TRUE(next[0].ok);
    }
    // A run may not grow past its limit, nor end with the input.
    MessageReader small(1000, 16);
    std::vector<Inbound> in = Read(ChunkFrame(5, 0, 3, std::string(10, 'a')) + ChunkFrame(5, 1, 3, std::string(10, 'a')),
                                   1000, small);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_NE(in[0].error.find("longer than the host accepts"), std::string::npos);
    MessageReader unfinished;
    EXPECT_TRUE(Read(ChunkFrame(6, 0, 2, "{"), 1000, unfinished).empty());
    Inbound last;
    ASSERT_TRUE(unfinished.Finish(last));
    EXPECT_EQ(last.id.AsNumber(), 6);
}

TEST(MessageWriter, ChunksStayWithinTheFrameLimitAndJoinBack)
{
    // Quotes double when escaped and control characters grow sixfold: the pieces account for it.
    for (const std::string& unit : {std::string("\""), std::string("\x01"), std::string("\xF0\x9F\x98\x80"),
                                    std::string("a\xC3\xA9\xE4\xB8\xAD")}) {
        std::string text;
        while (text.size() < 2500000) text += unit;
        JsonValue message = JsonValue::Object();
        message.Set("id", JsonValue::Number(77));
        message.Set("ok", JsonValue::Bool(true));
        message.Set("result", JsonValue::String(text));
        const std::string json = WriteJson(message);
        const std::vector<std::string> frames = FrameMessage(json, JsonValue::Number(77));
        ASSERT_GT(frames.size(), 1u);
        std::string stream;
        for (const std::string& f : frames) {
            EXPECT_LE(f.size() - 4, kMaxFrameOut);
            stream += f;
        }
        MessageReader reader;
        std::vector<Inbound> in = Read(stream, 65536, reader);
        ASSERT_EQ(in.size(), 1u);
        ASSERT_TRUE(in[0].ok) << in[0].error;
        EXPECT_TRUE(in[0].message.Find("result")->AsString() == text);
    }
    EXPECT_EQ(FrameMessage("{\"id\":1}", JsonValue::Number(1)).size(), 1u);
}

TEST(FailureCodes, TheCodeIsReadFromTheEndOfTheDescription)
{
    uint32_t code = 0;
    EXPECT_TRUE(CodeFromDescription("Invalid hash algorithm.\n(0xa0072020)", code));
    EXPECT_EQ(code, 0xA0072020u);
    EXPECT_TRUE(CodeFromDescription("(0x80070002)", code));
    EXPECT_EQ(code, 0x80070002u);
    for (const char* bad : {"", "(0xa0072020", "text (0xa007202)", "(0xa007202g)", "(0xa0072020) ", "[0xa0072020]"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(CodeFromDescription(bad, code));
    }
}

}  // namespace
}  // namespace npk::bridge
