// Reply on arbitrary text, against RapidJSON's own document: whenever both
// parse, they must find the same members; a reply may fail only where the
// document nests deeper than Reply allows, and succeed on a text the document
// refuses only by stopping before the error.
#include <rapidjson/document.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "presence_ipc/presence_message.h"

namespace {

using kiln::presence_ipc::Reply;
using Value = rapidjson::Value;

// Strings decoded in place must lie inside the parsed text.
void CheckInside(const char* text, const std::vector<char>& buffer) {
    if (text && (text < buffer.data() || text >= buffer.data() + buffer.size())) {
        __builtin_trap();
    }
}

const Value* Member(const Value* value, const char* name) {
    if (!value || !value->IsObject()) {
        return nullptr;
    }
    auto member = value->FindMember(name);
    return member == value->MemberEnd() ? nullptr : &member->value;
}
const char* Text(const Value* value, const char* name) {
    const Value* member = Member(value, name);
    return member && member->IsString() ? member->GetString() : nullptr;
}
int32_t Number(const Value* value, const char* name) {
    const Value* member = Member(value, name);
    return member && member->IsInt() ? member->GetInt() : 0;
}
const Value* Object(const Value* value, const char* name) {
    const Value* member = Member(value, name);
    return member && member->IsObject() ? member : nullptr;
}

void SameText(const char* mine, const char* theirs) {
    if ((mine == nullptr) != (theirs == nullptr) || (mine && std::strcmp(mine, theirs) != 0)) {
        __builtin_trap();
    }
}

int Depth(const Value& value) {
    int deepest = 0;
    if (value.IsObject()) {
        for (auto member = value.MemberBegin(); member != value.MemberEnd(); ++member) {
            deepest = std::max(deepest, Depth(member->value));
        }
    } else if (value.IsArray()) {
        for (const Value& element : value.GetArray()) {
            deepest = std::max(deepest, Depth(element));
        }
    } else {
        return 0;
    }
    return deepest + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back(0);
    std::vector<char> copy = text;
    Reply reply;
    const bool parsed = reply.Parse(text.data());
    for (const char* member :
         {reply.cmd, reply.evt, reply.nonce, reply.message, reply.dataMessage, reply.userId,
          reply.userName, reply.userDiscriminator, reply.userAvatar}) {
        CheckInside(member, text);
    }
    // The document (and the walk above) recurse per level: deep texts are
    // left to the reply alone.
    if (std::count(copy.begin(), copy.end(), '[') + std::count(copy.begin(), copy.end(), '{') >
        4 * Reply::kMaxDepth) {
        return 0;
    }
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(copy.data());
    if (document.HasParseError()) {
        // A reply may have stopped before the error, and then it finds the
        // same in the text cut at the error; one that read on past it was
        // not as strict as the document.
        if (parsed) {
            std::vector<char> cut = copy;
            cut[document.GetErrorOffset()] = 0;
            if (!Reply().Parse(cut.data())) {
                __builtin_trap();
            }
        }
        return 0;
    }
    if (!parsed) {
        if (Depth(document) <= Reply::kMaxDepth) {
            __builtin_trap();
        }
        return 0;
    }
    const Value* root = &document;
    SameText(reply.cmd, Text(root, "cmd"));
    SameText(reply.evt, Text(root, "evt"));
    SameText(reply.nonce, Text(root, "nonce"));
    SameText(reply.message, Text(root, "message"));
    const Value* dataMember = Object(root, "data");
    const Value* user = Object(dataMember, "user");
    SameText(reply.dataMessage, Text(dataMember, "message"));
    SameText(reply.userId, Text(user, "id"));
    SameText(reply.userName, Text(user, "username"));
    SameText(reply.userDiscriminator, Text(user, "discriminator"));
    SameText(reply.userAvatar, Text(user, "avatar"));
    if (reply.code != Number(root, "code") || reply.dataCode != Number(dataMember, "code") ||
        reply.hasData != (dataMember != nullptr) || reply.hasUser != (user != nullptr)) {
        __builtin_trap();
    }
    return 0;
}
