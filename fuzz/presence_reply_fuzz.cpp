// ReplyDocument and the member lookups on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "presence_ipc/presence_message.h"

namespace {

using kiln::presence_ipc::GetIntMember;
using kiln::presence_ipc::GetObjectMember;
using kiln::presence_ipc::GetStringMember;
using kiln::presence_ipc::ReplyDocument;
using kiln::presence_ipc::ReplyValue;

size_t sink = 0;

void Touch(const char* text) {
    sink += text ? std::strlen(text) : 0;
}

// Visits every value, reading every string: strings decoded in place must all
// lie inside the parsed text.
void Walk(const ReplyValue& value, const char* begin, const char* end, int depth) {
    if (depth > 200) {
        __builtin_trap();  // more nesting than the value stack can hold
    }
    if (value.IsString()) {
        const char* text = value.GetString();
        if (text < begin || text + value.GetStringLength() > end) {
            __builtin_trap();
        }
        sink += value.GetStringLength();
    } else if (value.IsObject()) {
        for (auto member = value.MemberBegin(); member != value.MemberEnd(); ++member) {
            Walk(member->name, begin, end, depth + 1);
            Walk(member->value, begin, end, depth + 1);
        }
    } else if (value.IsArray()) {
        for (const auto& element : value.GetArray()) {
            Walk(element, begin, end, depth + 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back(0);
    ReplyDocument reply;
    bool parsed = reply.Parse(text.data());
    const ReplyValue* root = reply.Root();
    if (!parsed && (!root->IsObject() || root->MemberCount() != 0)) {
        __builtin_trap();  // a failed parse must leave an empty object
    }
    Walk(*root, text.data(), text.data() + text.size(), 0);
    Touch(GetStringMember(root, "cmd", nullptr));
    Touch(GetStringMember(root, "evt", nullptr));
    Touch(GetStringMember(root, "nonce", nullptr));
    const ReplyValue* dataMember = GetObjectMember(root, "data");
    sink += static_cast<size_t>(GetIntMember(dataMember, "code"));
    sink += static_cast<size_t>(GetIntMember(root, "code"));
    Touch(GetStringMember(dataMember, "message", ""));
    Touch(GetStringMember(root, "message", ""));
    const ReplyValue* user = GetObjectMember(dataMember, "user");
    for (const char* name : {"id", "username", "discriminator", "avatar"}) {
        Touch(GetStringMember(user, name, nullptr));
    }
    return 0;
}
