// Cost of the presence client's message text and reply parsing, each beside
// the plain RapidJSON way of doing the same in this run:
//   - SET_ACTIVITY written straight into the fixed slot, against a Document
//     built with the default allocator and written through a StringBuffer;
//   - a READY reply read in place by Reply's own reader, against a default
//     Document parsing a copy.
// Heap blocks are counted by interposing malloc and friends. The contenders
// report "time_vs_baseline" and "blocks_vs_baseline" (0 when the baseline
// allocates nothing or did not run) and their absolute blocks per operation.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "presence_ipc/presence_message.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
}

namespace {
std::atomic<uint64_t> heapBlocks{0};
}

// Every heap block taken in the process, whichever route (operator new ends
// up here too).
extern "C" void* malloc(size_t size) {
    heapBlocks.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    heapBlocks.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, size_t size) {
    if (!block) {
        heapBlocks.fetch_add(1, std::memory_order_relaxed);
    }
    return __libc_realloc(block, size);
}
extern "C" void free(void* block) {
    __libc_free(block);
}

namespace {

// This thread's processor time: on a shared, busy machine the wall clock
// also counts the time other programs ran, which would swamp the ratios.
double ThreadNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}
using kiln::RichPresence;

struct Measured {
    double nsPerOp = 0;
    double blocksPerOp = 0;
};
Measured writeBaseline;
Measured parseBaseline;

// Runs the benchmark loop, measuring time and heap blocks per operation.
template <typename Operation>
Measured Measure(benchmark::State& state, Operation operation) {
    uint64_t blocksBefore = heapBlocks.load();
    const double start = ThreadNanoseconds();
    for (auto _ : state) {
        operation();
    }
    const double elapsed = ThreadNanoseconds() - start;
    uint64_t blocks = heapBlocks.load() - blocksBefore;
    double iterations = static_cast<double>(state.iterations());
    Measured measured{elapsed / iterations, static_cast<double>(blocks) / iterations};
    state.counters["blocks_per_op"] = measured.blocksPerOp;
    return measured;
}

void ReportAgainst(benchmark::State& state, const Measured& mine, const Measured& baseline) {
    state.counters["time_vs_baseline"] = baseline.nsPerOp > 0 ? mine.nsPerOp / baseline.nsPerOp : 0;
    state.counters["blocks_vs_baseline"] =
        baseline.blocksPerOp > 0 ? mine.blocksPerOp / baseline.blocksPerOp : 0;
}

RichPresence TypicalRecord() {
    RichPresence record{};
    std::strcpy(record.state, "by Boards of Canada");
    std::strcpy(record.details, "Roygbiv \xe2\x80\x94 Music Has the Right to Children");
    record.startTime = 1733500000;
    record.endTime = 1733500151;
    std::strcpy(record.largeImage, "https://example.org/cache/3f2a9c.jpg");
    std::strcpy(record.largeText, "Music Has the Right to Children (1998)");
    std::strcpy(record.smallImage, "play");
    std::strcpy(record.smallText, "Playing");
    record.instance = 0;
    record.buttonLabel = "Listen";
    record.buttonUrl = "https://example.org/track/roygbiv";
    return record;
}

// The same text, the ordinary way.
void WriteWithDocument(const RichPresence& r, int32_t nonce, int32_t pid,
                       rapidjson::StringBuffer& out) {
    using rapidjson::Value;
    rapidjson::Document document;
    document.SetObject();
    auto& a = document.GetAllocator();
    std::string nonceText = std::to_string(nonce);
    Value activity(rapidjson::kObjectType);
    activity.AddMember("state", Value(r.state, a), a);
    activity.AddMember("details", Value(r.details, a), a);
    Value timestamps(rapidjson::kObjectType);
    timestamps.AddMember("start", Value(static_cast<int64_t>(r.startTime)), a);
    timestamps.AddMember("end", Value(static_cast<int64_t>(r.endTime)), a);
    activity.AddMember("timestamps", timestamps, a);
    Value assets(rapidjson::kObjectType);
    assets.AddMember("large_image", Value(r.largeImage, a), a);
    assets.AddMember("large_text", Value(r.largeText, a), a);
    assets.AddMember("small_image", Value(r.smallImage, a), a);
    assets.AddMember("small_text", Value(r.smallText, a), a);
    activity.AddMember("assets", assets, a);
    activity.AddMember("type", 2, a);
    activity.AddMember("instance", r.instance != 0, a);
    Value button(rapidjson::kObjectType);
    button.AddMember("url", Value(r.buttonUrl, a), a);
    button.AddMember("label", Value(r.buttonLabel, a), a);
    Value buttons(rapidjson::kArrayType);
    buttons.PushBack(button, a);
    activity.AddMember("buttons", buttons, a);
    Value args(rapidjson::kObjectType);
    args.AddMember("pid", pid, a);
    args.AddMember("activity", activity, a);
    document.AddMember("nonce", Value(nonceText.c_str(), a), a);
    document.AddMember("cmd", "SET_ACTIVITY", a);
    document.AddMember("args", args, a);
    out.Clear();
    rapidjson::Writer<rapidjson::StringBuffer> writer(out);
    document.Accept(writer);
}

void BaselineWriteDocument(benchmark::State& state) {
    RichPresence record = TypicalRecord();
    rapidjson::StringBuffer out;
    int32_t nonce = 1;
    writeBaseline = Measure(state, [&] {
        WriteWithDocument(record, nonce++, 4242, out);
        benchmark::DoNotOptimize(out.GetString());
    });
}

void WriteActivityMessage(benchmark::State& state) {
    kiln::presenceActivityMode = 0;
    RichPresence record = TypicalRecord();
    static char slot[16384];
    // Both ways must produce the same text, or the comparison means nothing.
    rapidjson::StringBuffer expected;
    WriteWithDocument(record, 1, 4242, expected);
    size_t length = kiln::presence_ipc::WriteActivityMessage(slot, sizeof slot, 1, 4242, record);
    if (std::string(slot, length) != expected.GetString()) {
        state.SkipWithError("texts differ");
        return;
    }
    int32_t nonce = 1;
    Measured mine = Measure(state, [&] {
        size_t stored =
            kiln::presence_ipc::WriteActivityMessage(slot, sizeof slot, nonce++, 4242, record);
        benchmark::DoNotOptimize(stored);
        benchmark::ClobberMemory();
    });
    ReportAgainst(state, mine, writeBaseline);
}

const char kReady[] =
    R"({"cmd":"DISPATCH","data":{"v":1,"config":{"cdn_host":"cdn.discordapp.com",)"
    R"("api_endpoint":"//discord.com/api","environment":"production"},"user":{"id":)"
    R"("1045800378228281345","username":"kiln","discriminator":"0","global_name":"Kiln",)"
    R"("avatar":"a_5f1e27c0b9d2","avatar_decoration_data":null,"bot":false,"flags":32,)"
    R"("premium_type":0}},"evt":"READY","nonce":null})";

// What the client reads from a READY, the ordinary way.
size_t ReadReady(const rapidjson::Value& root) {
    auto text = [](const rapidjson::Value* object, const char* name) -> size_t {
        if (!object || !object->IsObject()) {
            return 0;
        }
        auto member = object->FindMember(name);
        return member != object->MemberEnd() && member->value.IsString()
                   ? member->value.GetStringLength()
                   : 0;
    };
    auto object = [](const rapidjson::Value* parent, const char* name) -> const rapidjson::Value* {
        if (!parent || !parent->IsObject()) {
            return nullptr;
        }
        auto member = parent->FindMember(name);
        return member != parent->MemberEnd() && member->value.IsObject() ? &member->value : nullptr;
    };
    size_t total = text(&root, "cmd") + text(&root, "evt");
    const rapidjson::Value* user = object(object(&root, "data"), "user");
    for (const char* name : {"id", "username", "discriminator", "avatar"}) {
        total += text(user, name);
    }
    return total;
}

size_t ReadReady(const kiln::presence_ipc::Reply& reply) {
    size_t total = 0;
    for (const char* text : {reply.cmd, reply.evt, reply.userId, reply.userName,
                             reply.userDiscriminator, reply.userAvatar}) {
        total += text ? std::strlen(text) : 0;
    }
    return total;
}

void BaselineParseDocument(benchmark::State& state) {
    char buffer[sizeof kReady];
    parseBaseline = Measure(state, [&] {
        std::memcpy(buffer, kReady, sizeof kReady);
        rapidjson::Document document;
        document.Parse(buffer);
        benchmark::DoNotOptimize(ReadReady(static_cast<const rapidjson::Value&>(document)));
    });
}

void ParseReadyInPlace(benchmark::State& state) {
    char buffer[sizeof kReady];
    Measured mine = Measure(state, [&] {
        std::memcpy(buffer, kReady, sizeof kReady);
        kiln::presence_ipc::Reply reply;
        reply.Parse(buffer);
        benchmark::DoNotOptimize(ReadReady(reply));
    });
    ReportAgainst(state, mine, parseBaseline);
}

// Each baseline is registered, and so run, before its contender.
BENCHMARK(BaselineWriteDocument);
BENCHMARK(WriteActivityMessage);
BENCHMARK(BaselineParseDocument);
BENCHMARK(ParseReadyInPlace);

}  // namespace

BENCHMARK_MAIN();
