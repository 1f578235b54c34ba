// The exact text of the messages the client writes, and the reading of replies.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "fake_discord.h"
#include "presence_ipc/presence_message.h"
#include "presence_test_support.h"

namespace kiln::test {
namespace {

using presence_ipc::CopyText;
using presence_ipc::FormatNonce;
using presence_ipc::GetIntMember;
using presence_ipc::GetObjectMember;
using presence_ipc::GetStringMember;
using presence_ipc::ReplyDocument;
using presence_ipc::WriteActivityMessage;
using presence_ipc::WriteHandshakeMessage;

std::string Activity(const RichPresence& record, int32_t nonce = 1, int32_t pid = 4242,
                     size_t capacity = presence_ipc::kActivityCapacity) {
    std::string out(capacity, '\0');
    out.resize(WriteActivityMessage(out.data(), capacity, nonce, pid, record));
    return out;
}

std::string Wrapped(const std::string& activity, const char* nonce = "1") {
    return Cat(R"({"nonce":")", nonce, R"(","cmd":"SET_ACTIVITY","args":{"pid":4242,)",
               R"("activity":)", activity, "}}");
}

struct ActivityCase {
    const char* name;
    std::function<void(RichPresence&)> fill;
    uint32_t mode;
    bool video;
    const char* activity;
};

class ActivityText : public ::testing::TestWithParam<ActivityCase> {
  protected:
    void TearDown() override {
        presenceActivityMode = 0;
        presenceIsVideo = false;
    }
};

TEST_P(ActivityText, MatchesExactly) {
    const ActivityCase& c = GetParam();
    RichPresence record = EmptyRecord();
    c.fill(record);
    presenceActivityMode = c.mode;
    presenceIsVideo = c.video;
    EXPECT_EQ(Activity(record), Wrapped(c.activity));
}

const char* const kLabel = "Listen";
const char* const kUrl = "https://example.org/track?id=1&x=\"2\"";
const char* const kEmpty = "";

INSTANTIATE_TEST_SUITE_P(
    Records, ActivityText,
    ::testing::Values(
        ActivityCase{"EmptyRecordHoldsOnlyInstance", [](RichPresence&) {}, 2, false,
                     R"({"instance":false})"},
        ActivityCase{"OnlyEnd", [](RichPresence& r) { r.endTime = 1700000300; }, 2, false,
                     R"({"timestamps":{"end":1700000300},"instance":false})"},
        ActivityCase{"StartThenEnd",
                     [](RichPresence& r) {
                         r.startTime = -5;
                         r.endTime = 4102444800;
                     },
                     2, false, R"({"timestamps":{"start":-5,"end":4102444800},"instance":false})"},
        ActivityCase{"OnlySmallText", [](RichPresence& r) { SetText(r.smallText, "v3.3"); }, 2,
                     false, R"({"assets":{"small_text":"v3.3"},"instance":false})"},
        ActivityCase{"EverythingInOrder",
                     [](RichPresence& r) {
                         SetText(r.state, "by Artist");
                         SetText(r.details, "Title");
                         r.startTime = 10;
                         SetText(r.largeImage, "cover");
                         SetText(r.largeText, "Album");
                         SetText(r.smallImage, "play");
                         SetText(r.smallText, "Playing");
                         r.instance = 1;
                         r.buttonLabel = kLabel;
                         r.buttonUrl = kUrl;
                     },
                     0, false,
                     R"({"state":"by Artist","details":"Title","timestamps":{"start":10},)"
                     R"("assets":{"large_image":"cover","large_text":"Album","small_image":"play",)"
                     R"("small_text":"Playing"},"type":2,"instance":true,"buttons":[{"url":)"
                     R"("https://example.org/track?id=1&x=\"2\"","label":"Listen"}]})"},
        ActivityCase{"UrlWithoutLabel",
                     [](RichPresence& r) {
                         r.buttonUrl = kUrl;
                         r.buttonLabel = kEmpty;
                     },
                     2, false, R"({"instance":false})"},
        ActivityCase{"LabelWithoutUrl",
                     [](RichPresence& r) {
                         r.buttonLabel = kLabel;
                         r.buttonUrl = nullptr;
                     },
                     2, false, R"({"instance":false})"},
        ActivityCase{"VideoInModeOneIsWatching", [](RichPresence&) {}, 1, true,
                     R"({"type":3,"instance":false})"},
        ActivityCase{"AudioInModeOneIsListening", [](RichPresence&) {}, 1, false,
                     R"({"type":2,"instance":false})"},
        ActivityCase{"ModeZeroIgnoresVideo", [](RichPresence&) {}, 0, true,
                     R"({"type":2,"instance":false})"},
        ActivityCase{"LegacyModeSendsNoType", [](RichPresence&) {}, 2, true,
                     R"({"instance":false})"},
        ActivityCase{"QuotesLineFeedsAndControls",
                     [](RichPresence& r) {
                         SetText(r.state, "say \"hi\"\nback\\slash\ttab\x01\x1f");
                         SetText(r.details, "caf\xc3\xa9 \xe2\x99\xab");
                     },
                     2, false,
                     R"({"state":"say \"hi\"\nback\\slash\ttab\u0001\u001F",)"
                     R"("details":"caf)"
                     "\xc3\xa9 \xe2\x99\xab"
                     R"(","instance":false})"},
        ActivityCase{"UnterminatedFieldStopsAtItsWidth",
                     [](RichPresence& r) { std::memset(r.smallImage, 'x', sizeof r.smallImage); },
                     2, false,
                     R"({"assets":{"small_image":"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},)"
                     R"("instance":false})"}),
    [](const ::testing::TestParamInfo<ActivityCase>& caseInfo) { return caseInfo.param.name; });

TEST(ActivityNonce, IsADecimalString) {
    RichPresence record = EmptyRecord();
    presenceActivityMode = 2;
    struct {
        int32_t nonce;
        const char* text;
    } cases[] = {
        {0, "0"}, {1, "1"}, {-7, "-7"}, {INT32_MAX, "2147483647"}, {INT32_MIN, "-2147483648"}};
    for (const auto& c : cases) {
        EXPECT_EQ(Activity(record, c.nonce), Wrapped(R"({"instance":false})", c.text)) << c.nonce;
        char text[12];
        EXPECT_EQ(FormatNonce(c.nonce, text), std::strlen(c.text));
        EXPECT_STREQ(text, c.text);
    }
    presenceActivityMode = 0;
}

TEST(ActivityLimits, OversizedButtonIsDroppedNotCut) {
    RichPresence record = EmptyRecord();
    presenceActivityMode = 2;
    SetText(record.details, "Title");
    std::string url = Cat("https://example.org/", std::string(20000, 'a'));
    record.buttonLabel = kLabel;
    record.buttonUrl = url.c_str();
    std::string text = Activity(record);
    EXPECT_EQ(text, Wrapped(R"({"details":"Title","instance":false})"));
    presenceActivityMode = 0;
}

TEST(ActivityLimits, NeverStoresACutText) {
    RichPresence record = EmptyRecord();
    presenceActivityMode = 2;
    record.buttonLabel = kLabel;
    record.buttonUrl = kUrl;
    std::string whole = Activity(record);
    std::string withoutButton = Wrapped(R"({"instance":false})");
    // Exactly enough room keeps the button; one byte less drops it; too little
    // for even that stores nothing.
    EXPECT_EQ(Activity(record, 1, 4242, whole.size()), whole);
    EXPECT_EQ(Activity(record, 1, 4242, whole.size() - 1), withoutButton);
    EXPECT_EQ(Activity(record, 1, 4242, withoutButton.size() - 1), "");
    rapidjson::Document parsed;
    EXPECT_FALSE(parsed.Parse(whole.c_str()).HasParseError());
    presenceActivityMode = 0;
}

TEST(Handshake, ExactText) {
    char buffer[256];
    size_t length = WriteHandshakeMessage(buffer, sizeof buffer, "1234567890");
    EXPECT_EQ(std::string(buffer, length), R"({"v":1,"client_id":"1234567890"})");
    length = WriteHandshakeMessage(buffer, sizeof buffer, "a\"b");
    EXPECT_EQ(std::string(buffer, length), R"({"v":1,"client_id":"a\"b"})");
    // The writer stores what fits and no more.
    length = WriteHandshakeMessage(buffer, 10, "1234567890");
    EXPECT_EQ(std::string(buffer, length), R"({"v":1,"cl)");
}

TEST(CopyText, CutsAtACharacterBoundary) {
    struct {
        const char* text;
        size_t width;
        const char* expected;
    } cases[] = {
        {"abcdef", 4, "abc"},
        {"abc", 4, "abc"},
        {"ab\xc3\xa9", 4, "ab"},        // a cut inside é backs off before it
        {"a\xc3\xa9", 4, "a\xc3\xa9"},  // é fits whole
        {"\xe2\x99\xab\xe2\x99\xab", 5, "\xe2\x99\xab"},
        {"", 4, ""},
    };
    for (const auto& c : cases) {
        char out[16];
        std::memset(out, '#', sizeof out);
        CopyText(out, c.width, c.text);
        EXPECT_STREQ(out, c.expected) << c.text;
        EXPECT_EQ(out[c.width], '#') << "wrote past the width";
    }
}

// --- replies

struct Parsed {
    explicit Parsed(std::string json) : text(std::move(json)) { ok = document.Parse(text.data()); }
    std::string text;
    ReplyDocument document;
    bool ok = false;
    const presence_ipc::ReplyValue* Root() const { return document.Root(); }
};

TEST(Reply, ReadyWithNullNonceIsStillReady) {
    Parsed reply(kReadyWithUser);
    ASSERT_TRUE(reply.ok);
    EXPECT_STREQ(GetStringMember(reply.Root(), "cmd", nullptr), "DISPATCH");
    EXPECT_STREQ(GetStringMember(reply.Root(), "evt", nullptr), "READY");
    EXPECT_EQ(GetStringMember(reply.Root(), "nonce", nullptr), nullptr);
    const auto* user = GetObjectMember(GetObjectMember(reply.Root(), "data"), "user");
    EXPECT_STREQ(GetStringMember(user, "username", nullptr), "kiln");
    EXPECT_STREQ(GetStringMember(user, "avatar", nullptr), "a_5f1e");
    // Strings are decoded in place: they point into the received text.
    const char* id = GetStringMember(user, "id", nullptr);
    EXPECT_GE(id, reply.text.data());
    EXPECT_LT(id, reply.text.data() + reply.text.size());
}

TEST(Reply, RootsThatAreNotObjectsHaveNoMembers) {
    for (const char* json : {R"([{"cmd":"DISPATCH"}])", R"("cmd")", "42", "null"}) {
        Parsed reply(json);
        EXPECT_TRUE(reply.ok) << json;
        EXPECT_EQ(GetStringMember(reply.Root(), "cmd", "none"), std::string("none")) << json;
        EXPECT_EQ(GetObjectMember(reply.Root(), "data"), nullptr) << json;
        EXPECT_EQ(GetIntMember(reply.Root(), "code"), 0) << json;
    }
}

TEST(Reply, InvalidTextLeavesAnEmptyObject) {
    for (const char* json : {"", "{", R"({"cmd":"DISPATCH",})", R"({"a":1} {"b":2})",
                             R"({"evt":"ERROR","nonce":"1")", "\xff"}) {
        Parsed reply(json);
        EXPECT_FALSE(reply.ok) << json;
        ASSERT_TRUE(reply.Root()->IsObject()) << json;
        EXPECT_EQ(reply.Root()->MemberCount(), 0u) << json;
    }
}

TEST(Reply, MemberTypesAreChecked) {
    Parsed reply(R"({"code":7,"text":"7","big":2147483648,"low":-2147483648,"real":1.5,)"
                 R"("obj":{"message":"a\"b\n"},"list":[1],"nothing":null})");
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(GetIntMember(reply.Root(), "code"), 7);
    EXPECT_EQ(GetIntMember(reply.Root(), "text"), 0);
    EXPECT_EQ(GetIntMember(reply.Root(), "big"), 0);
    EXPECT_EQ(GetIntMember(reply.Root(), "low"), INT32_MIN);
    EXPECT_EQ(GetIntMember(reply.Root(), "real"), 0);
    EXPECT_EQ(GetIntMember(reply.Root(), "missing"), 0);
    EXPECT_EQ(GetStringMember(reply.Root(), "code", ""), std::string(""));
    EXPECT_EQ(GetStringMember(reply.Root(), "nothing", nullptr), nullptr);
    EXPECT_EQ(GetObjectMember(reply.Root(), "list"), nullptr);
    EXPECT_EQ(GetObjectMember(reply.Root(), "text"), nullptr);
    EXPECT_STREQ(GetStringMember(GetObjectMember(reply.Root(), "obj"), "message", nullptr),
                 "a\"b\n");
    // Lookups through a missing object keep finding nothing.
    const auto* missing = GetObjectMember(GetObjectMember(reply.Root(), "none"), "deeper");
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(GetIntMember(missing, "code"), 0);
    EXPECT_STREQ(GetStringMember(missing, "message", ""), "");
}

std::string Nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

std::string FlatArray(size_t count) {
    std::string text = "[";
    for (size_t i = 0; i < count; ++i) {
        text += i ? ",1" : "1";
    }
    return text + "]";
}

TEST(Reply, MoreThan128PendingValuesFailTheParse) {
    ASSERT_EQ(ReplyDocument::kMaxPendingValues, 128u);
    struct {
        std::string json;
        bool parses;
    } cases[] = {
        {Nested(128), true},     {Nested(129), false},
        {Nested(20000), false},  {FlatArray(127), true},  // the array and its elements
        {FlatArray(128), false}, {R"({"a":{"b":{"c":[1,2,3]}}})", true},
    };
    for (auto& c : cases) {
        Parsed reply(c.json);
        EXPECT_EQ(reply.ok, c.parses) << c.json.substr(0, 40);
        if (!c.parses) {
            EXPECT_TRUE(reply.Root()->IsObject());
            EXPECT_EQ(reply.Root()->MemberCount(), 0u);
        }
    }
}

TEST(Reply, LargeRepliesOutgrowThePoolSafely) {
    // Three levels of 20 arrays hold 8420 values, far more than the document's
    // own 32768 bytes, while never more than 63 are pending at once.
    std::string json = R"({"evt":"BIG","list":[)";
    for (int a = 0; a < 20; ++a) {
        json += a ? ",[" : "[";
        for (int b = 0; b < 20; ++b) {
            json += b ? ",[" : "[";
            for (int c = 0; c < 20; ++c) {
                json += Cat(c ? "," : "", std::to_string(a * 400 + b * 20 + c));
            }
            json += "]";
        }
        json += "]";
    }
    json += "]}";
    Parsed reply(json);
    ASSERT_TRUE(reply.ok);
    EXPECT_STREQ(GetStringMember(reply.Root(), "evt", nullptr), "BIG");
    const auto& list = (*reply.Root())["list"];
    ASSERT_EQ(list.Size(), 20u);
    EXPECT_EQ(list[19][19][19].GetInt(), 7999);
    EXPECT_EQ(list[7][3][5].GetInt(), 2865);
}

TEST(Reply, ADocumentCanBeParsedAgain) {
    ReplyDocument document;
    std::string first = R"({"evt":"ONE"})";
    std::string second = "[1";
    std::string third = R"({"code":3})";
    EXPECT_TRUE(document.Parse(first.data()));
    EXPECT_FALSE(document.Parse(second.data()));
    EXPECT_EQ(GetStringMember(document.Root(), "evt", nullptr), nullptr);
    EXPECT_TRUE(document.Parse(third.data()));
    EXPECT_EQ(GetIntMember(document.Root(), "code"), 3);
}

}  // namespace
}  // namespace kiln::test
