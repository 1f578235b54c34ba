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

// What a reply yields, as "cmd evt nonce code message | data: code message |
// user: id username discriminator avatar", "-" for each member not found.
std::string Found(const Reply& r) {
    auto text = [](const char* t) { return std::string(t ? t : "-"); };
    return Cat(text(r.cmd), " ", text(r.evt), " ", text(r.nonce), " ", std::to_string(r.code), " ",
               text(r.message), " | ", r.hasData ? "data: " : "", std::to_string(r.dataCode), " ",
               text(r.dataMessage), " | ", r.hasUser ? "user: " : "", text(r.userId), " ",
               text(r.userName), " ", text(r.userDiscriminator), " ", text(r.userAvatar));
}

// One reply throughout: a failed parse must not leave what the one before found.
TEST(Reply, OnlyTheMembersReadOfTheRightTypeFirstOfTheirName) {
    auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    const std::string nothing = "- - - 0 - | 0 - | - - - -";
    struct {
        std::string json;
        bool parses;
        std::string found;
    } cases[] = {
        {R"({"cmd":"DISPATCH","data":{"v":1,"config":{"user":{"id":"no"}},"user":{"id":"1",)"
         R"("username":"kiln","discriminator":"0042","avatar":"a_5f","flags":32}},"evt":"READY",)"
         R"("nonce":null})",
         true, "DISPATCH READY - 0 - | data: 0 - | user: 1 kiln 0042 a_5f"},
        {R"({"nonce":"7","evt":"ERROR","data":{"code":4000,"message":"bad \"x\""}})", true,
         "- ERROR 7 0 - | data: 4000 bad \"x\" | - - - -"},
        {R"({"code":"4000","message":7,"cmd":1,"cmd":"second","data":[],"data":{"code":1}})", true,
         nothing},
        {R"({"code":2147483648,"message":"m","evt":"E","evt":"F","c\u0000md":"x"})", true,
         "- E - 0 m | 0 - | - - - -"},
        {R"({"code":-5,"x":{"data":{"code":5}},"data":{"user":"u","code":2147483647}})", true,
         "- - - -5 - | data: 2147483647 - | - - - -"},
        {R"([{"cmd":"DISPATCH"}])", true, nothing},
        // Escapes decode as RapidJSON decodes them; numbers count only as
        // integers within int32_t, and one too big for a double is an error.
        {R"({"cmd":"\ud83c\udfb5 \u00e9\/\n","evt":"\udc00","code":-2147483648,"data":{"code":-0}})",
         true, "\xf0\x9f\x8e\xb5 \xc3\xa9/\n \xed\xb0\x80 - -2147483648 - | data: 0 - | - - - -"},
        {R"({"code":12345678901234567890,"message":"m","data":{"code":1.0,"v":[-1.5e-3,true]}})",
         true, "- - - 0 m | data: 0 - | - - - -"},
        {R"({"cmd":"\ud83c"})", false, nothing},
        {"{\"cmd\":\"a\tb\"}", false, nothing},
        {R"({"code":1,"x":1e400})", false, nothing},
        {R"({"code":1,})", false, nothing},
        {R"({"code":01})", false, nothing},
        {R"({"code":-})", false, nothing},
        {R"({"code":tru})", false, nothing},
        // Everything read at the top seen: the rest is not looked at.
        {R"({"cmd":"c","evt":"e","nonce":"n","code":1,"message":"m","data":{}} {"b":)", true,
         "c e n 1 m | data: 0 - | - - - -"},
        {R"({"cmd":"c","evt":"e"} {"b":2})", false, nothing},
        {R"({"cmd":"c","evt":)", false, nothing},
        {"", false, nothing},
        {nested(Reply::kMaxDepth), true, nothing},
        {nested(Reply::kMaxDepth + 1), false, nothing},
        {"{\"cmd\":\"c\",\"x\":" + nested(20000) + "}", false, nothing},
    };
    Reply reply;
    for (auto& c : cases) {
        SCOPED_TRACE(c.json.substr(0, 60));
        EXPECT_EQ(reply.Parse(c.json.data()), c.parses);
        EXPECT_EQ(Found(reply), c.found);
    }
}

}  // namespace
}  // namespace kiln::test
