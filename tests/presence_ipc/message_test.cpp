// The exact text of the messages the client writes, and the reading of replies.
#include <climits>
#include <cstring>
#include <functional>

#include "presence_ipc/presence_message.h"
#include "presence_test_support.h"

namespace kiln::test {
namespace {

using namespace presence_ipc;

std::string Activity(const RichPresence& record, int32_t nonce) {
    char text[kActivityCapacity];
    return std::string(text, WriteActivityMessage(text, sizeof text, nonce, 4242, record));
}

std::string Wrapped(const std::string& activity, const std::string& nonce) {
    return Cat(R"({"nonce":")", nonce, R"(","cmd":"SET_ACTIVITY","args":{"pid":4242,)",
               R"("activity":)", activity, "}}");
}

TEST(ActivityText, MembersInOrderEscapedAndOnlyWhenSet) {
    struct {
        std::function<void(RichPresence&)> fill;
        uint32_t mode;
        bool video;
        int32_t nonce;
        const char* activity;
    } cases[] = {
        {[](RichPresence&) {}, 2, true, INT32_MIN, R"({"instance":false})"},
        {[](RichPresence& r) {
             r.endTime = 1700000300;
             std::memset(r.smallImage, 'x', sizeof r.smallImage);  // ends at its width
             CopyText(r.smallText, "v3.3");
             r.buttonLabel = "Listen";  // a button needs both texts
         },
         2, false, INT32_MAX,
         R"({"timestamps":{"end":1700000300},"assets":{"small_image":)"
         R"("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx","small_text":"v3.3"},"instance":false})"},
        {[](RichPresence& r) {
             CopyText(r.state, "say \"hi\"\nback\\slash\ttab\x01\x1f");
             CopyText(r.details, "caf\xc3\xa9 \xe2\x99\xab");
             r.startTime = -5;
             r.endTime = 4102444800;
             CopyText(r.largeImage, "cover");
             CopyText(r.largeText, "Album");
             CopyText(r.smallImage, "play");
             r.instance = 1;
             r.buttonLabel = "Listen";
             r.buttonUrl = "https://example.org/track?id=1&x=\"2\"";
         },
         0, true, 1,
         "{\"state\":\"say \\\"hi\\\"\\nback\\\\slash\\ttab\\u0001\\u001F\","
         "\"details\":\"caf\xc3\xa9 "
         "\xe2\x99\xab\",\"timestamps\":{\"start\":-5,\"end\":4102444800},"
         R"("assets":{"large_image":"cover","large_text":"Album","small_image":"play"},"type":2,)"
         R"("instance":true,"buttons":[{"url":"https://example.org/track?id=1&x=\"2\"",)"
         R"("label":"Listen"}]})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.activity);
        presenceActivityMode = c.mode;
        presenceIsVideo = c.video;
        RichPresence record{};
        c.fill(record);
        EXPECT_EQ(Activity(record, c.nonce), Wrapped(c.activity, std::to_string(c.nonce)));
    }
    presenceActivityMode = 0;
    presenceIsVideo = false;
}

// One document throughout: a failed parse must not leave the previous reply.
TEST(Reply, FailedParsesLeaveAnEmptyObject) {
    auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    // An open list of `count` items.
    auto list = [](const std::string& item, int count) {
        std::string text = "[" + item;
        for (int i = 1; i < count; ++i) {
            text += "," + item;
        }
        return text;
    };
    // 50 lists of 50 take 40 kB, beyond the document's own 32 kB, while never
    // more than 101 values are pending.
    std::string large = list(list("1", 50) + "]", 50);
    struct {
        std::string json;
        bool parses;
    } cases[] = {
        {R"({"a":{"b":[1,2,3]}})", true},
        {"{", false},
        {R"({"a":1} {"b":2})", false},
        {large + "]", true},
        {large, false},
        // The parser may hold 128 values at once, here open arrays.
        {nested(128), true},
        {nested(129), false},
        {nested(20000), false},
    };
    ReplyDocument document;
    for (auto& c : cases) {
        SCOPED_TRACE(c.json.substr(0, 40));
        EXPECT_EQ(document.Parse(c.json.data()), c.parses);
        if (!c.parses) {
            ASSERT_TRUE(document.Root()->IsObject());
            EXPECT_EQ(document.Root()->MemberCount(), 0u);
        }
    }
}

}  // namespace
}  // namespace kiln::test
