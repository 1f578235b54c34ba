// Scrobbler costs against what the work needs anyway, measured in the same run:
//  - the signed body of a 50-track submission against OpenSSL's MD5 over the
//    same signature bytes, which the body must hash in any case;
//  - an accepted submission from a 10 000-line cache (a local scrobbling
//    service over HTTP, the cache rewritten and flushed) against a plain read
//    of the same file.
// The ratios are printed after the runs; absolute times vary by machine.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "core/descriptor.h"
#include "core/host_services.h"
#include "host/sample_media.h"
#include "host/substitute_host.h"
#include "host/window_system.h"
#include "plugin/worker.h"
#include "scrobbler/fake_scrobbler.h"
#include "scrobbler/scrobble_cache.h"
#include "scrobbler/service_request.h"
#include "scrobbler/text_service.h"
#include "scrobbler/worker_steps.h"
#include "services/paths.h"
#include "services/settings_store.h"
#include "services/text_services.h"

extern "C" kiln::PluginDescriptor* winampGetGeneralPurposePlugin();

namespace {

namespace fs = std::filesystem;

constexpr int kCacheLines = 10000;

struct BenchHost {
    kiln::test::FakeScrobbleService service;
    fs::path profile;
    fs::path cacheFile;
    std::string cacheBytes;
    kiln::PlayIdentity play;

    BenchHost() {
        std::random_device seed;
        profile = fs::temp_directory_path() / ("kiln-bench-" + std::to_string(seed()));
        auto& host = kiln::host::SubstituteHost::Instance();
        host.OpenProfile(profile);
        kiln::PluginDescriptor* descriptor = winampGetGeneralPurposePlugin();
        descriptor->hwndParent = host.Windows().MainWindow();
        descriptor->textService = host.TextServiceObject();
        const std::string key = kiln::test::FakeScrobbleService::kSessionKey;
        host.Settings().WriteText(L"gen_kiln", L"sk", std::wstring(key.begin(), key.end()).c_str());
        host.MapHost("ws.audioscrobbler.com", service.Address());
        kiln::host::SampleRecipe recipe;
        recipe.fileName = "current.wav";
        recipe.title = L"Current";
        recipe.artist = L"Bench";
        recipe.seconds = 60;
        const fs::path current = kiln::host::WriteSampleTrack(profile / "media", recipe);
        recipe.fileName = "cached, track.wav";
        recipe.title = L"Cached";
        const fs::path cached = kiln::host::WriteSampleTrack(profile / "media", recipe);
        play = {1, 1700000000, kiln::host::FromFsPath(current), 0, 1700000000, false};
        // Every line names a file that can be scrobbled: each submission sends
        // the first 50, then rewrites the other 9 950 and adds the due play.
        cacheFile = profile / "cache" / "scrobble.cache";
        for (int i = 0; i < kCacheLines; ++i) {
            cacheBytes += std::to_string(1600000000 + i) + "," + cached.string() + "\r\n";
        }
        RestoreCache();
    }
    ~BenchHost() {
        std::error_code ignored;
        fs::remove_all(profile, ignored);
    }
    void RestoreCache() const {
        std::ofstream out(cacheFile, std::ios::binary | std::ios::trunc);
        out << cacheBytes;
    }
};

BenchHost& Bench() {
    static BenchHost bench;
    return bench;
}

kiln::ScrobbleParams FiftyTracks() {
    kiln::ScrobbleParams params;
    for (int i = 0; i < 50; ++i) {
        const std::string index = "[" + std::to_string(i) + "]";
        params["artist" + index] = "Simon & Garfunkel " + std::to_string(i);
        params["track" + index] = "El C\xC3\xB3ndor Pasa (If I Could)";
        params["album" + index] = "Bridge over Troubled Water";
        params["albumArtist" + index] = "Various Artists";
        params["duration" + index] = "187";
        params["timestamp" + index] = std::to_string(1700000000 + i * 200);
        params["trackNumber" + index] = std::to_string(i + 1);
    }
    params["method"] = "track.scrobble";
    params["api_key"] = kiln::ScrobbleApiKey;
    params["sk"] = "benchsessionkey";
    return params;
}

void SignedBody(benchmark::State& state) {
    Bench();
    const kiln::ScrobbleParams params = FiftyTracks();
    for (auto _ : state) {
        char* body = kiln::BuildSignedBody(params);
        benchmark::DoNotOptimize(body);
        kiln::TextRelease(body);
    }
}
BENCHMARK(SignedBody);

// Baseline: OpenSSL's MD5 over the bytes the signature hashes.
void Md5OfTheSameBytes(benchmark::State& state) {
    std::string signature;
    for (const auto& [name, value] : FiftyTracks()) {
        signature += name + value;
    }
    signature += kiln::ScrobbleSharedSecret;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        EVP_Digest(signature.data(), signature.size(), digest, &length, EVP_md5(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
}
BENCHMARK(Md5OfTheSameBytes);

void AcceptedSubmission(benchmark::State& state) {
    const BenchHost& bench = Bench();
    const auto before = static_cast<int64_t>(bench.service.Scrobbles().size());
    for (auto _ : state) {
        state.PauseTiming();
        bench.RestoreCache();
        state.ResumeTiming();
        kiln::SubmitPlay(bench.play);
    }
    if (static_cast<int64_t>(bench.service.Scrobbles().size()) - before !=
        50 * state.iterations()) {
        state.SkipWithError("the service did not accept every submission");
    }
}
BENCHMARK(AcceptedSubmission)->Unit(benchmark::kMillisecond);

// Baseline: the same file read whole.
void PlainRead(benchmark::State& state) {
    const BenchHost& bench = Bench();
    for (auto _ : state) {
        std::ifstream in(bench.cacheFile, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(PlainRead)->Unit(benchmark::kMillisecond);

// Prints the ratio of each measured run to its baseline.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                const double iterations = static_cast<double>(run.iterations);
                perIteration_[run.benchmark_name()] = {run.real_accumulated_time / iterations,
                                                       run.cpu_accumulated_time / iterations};
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        Ratio("SignedBody", "Md5OfTheSameBytes");
        Ratio("AcceptedSubmission", "PlainRead");
    }

  private:
    void Ratio(const std::string& measured, const std::string& baseline) {
        auto m = perIteration_.find(measured);
        auto b = perIteration_.find(baseline);
        if (m != perIteration_.end() && b != perIteration_.end() && b->second.first > 0 &&
            b->second.second > 0) {
            std::printf("ratio %s / %s = %.2f (cpu %.2f); %s takes %.3f ms (cpu %.3f ms)\n",
                        measured.c_str(), baseline.c_str(), m->second.first / b->second.first,
                        m->second.second / b->second.second, measured.c_str(),
                        m->second.first * 1000.0, m->second.second * 1000.0);
        }
    }
    std::map<std::string, std::pair<double, double>> perIteration_;  // real, cpu
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
