// Scrobbler costs against baselines measured in the same run:
//  - the signed body of a 50-track submission against a naive builder that
//    concatenates temporaries;
//  - a submission that reads a 10 000-line cache (the transfer failing fast,
//    without a request handle), and the cache reader alone, against reading
//    the same file with getline.
// The ratios are printed after the runs; absolute times vary by machine.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "host/sample_media.h"
#include "host/substitute_host.h"
#include "host/window_system.h"
#include "plugin/descriptor.h"
#include "plugin/host_services.h"
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

struct BenchHost {
    fs::path profile;
    fs::path cacheFile;
    std::string cacheBytes;

    BenchHost() {
        std::random_device seed;
        profile = fs::temp_directory_path() / ("kiln-bench-" + std::to_string(seed()));
        auto& host = kiln::host::SubstituteHost::Instance();
        host.OpenProfile(profile);
        kiln::PluginDescriptor* descriptor = winampGetGeneralPurposePlugin();
        descriptor->hwndParent = host.Windows().MainWindow();
        descriptor->textService = host.TextServiceObject();
        host.Settings().WriteText(L"gen_kiln", L"sk", L"benchsessionkey");
        kiln::host::SampleSpec recipe;
        recipe.fileName = "current.wav";
        recipe.title = L"Current";
        recipe.artist = L"Bench";
        recipe.seconds = 60;
        fs::path current = kiln::host::WriteSampleTrack(profile / "media", recipe);
        host.SetPlayback({1, 0, kiln::host::FromFsPath(current), -1});
        host.SetWebAvailable(false);  // every transfer fails at once
        // Plays of files that are gone: each line is read, looked up and used up.
        cacheFile = profile / "cache" / "scrobble.cache";
        for (int i = 0; i < 10000; ++i) {
            cacheBytes +=
                std::to_string(1700000000 + i) + "," +
                (profile / "media" / ("gone, track " + std::to_string(i) + ".mp3")).string() +
                "\r\n";
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

// Baseline: the same body and signature built from temporaries.
void NaiveSignedBody(benchmark::State& state) {
    Bench();
    const kiln::ScrobbleParams params = FiftyTracks();
    CURL* curl = curl_easy_init();
    for (auto _ : state) {
        std::string body;
        std::string signature;
        for (const auto& [name, value] : params) {
            char* escaped = curl_easy_escape(curl, value.c_str(), static_cast<int>(value.size()));
            body = body + (body.empty() ? "" : "&") + name + "=" + escaped;
            curl_free(escaped);
            signature = signature + name + value;
        }
        body = body + "&api_sig=" + kiln::host::Md5Hex(signature + kiln::ScrobbleSharedSecret);
        benchmark::DoNotOptimize(body);
    }
    curl_easy_cleanup(curl);
}
BENCHMARK(NaiveSignedBody);

void SubmitWithLongCache(benchmark::State& state) {
    const BenchHost& bench = Bench();
    for (auto _ : state) {
        state.PauseTiming();
        bench.RestoreCache();
        state.ResumeTiming();
        kiln::SubmitToScrobbler(true);
    }
}
BENCHMARK(SubmitWithLongCache)->Unit(benchmark::kMillisecond);

// The cache reader alone, without the lookups of the submission.
void ReadCacheLines(benchmark::State& state) {
    const BenchHost& bench = Bench();
    const std::wstring path = kiln::host::FromFsPath(bench.cacheFile);
    for (auto _ : state) {
        void* reader = kiln::OpenCacheForReading(path.c_str());
        size_t names = 0;
        for (kiln::CacheLine line = kiln::ReadCacheLine(reader);
             line.kind != kiln::CacheLineKind::CacheEnd; line = kiln::ReadCacheLine(reader)) {
            names += line.fileName.size();
        }
        kiln::CloseCacheReader(reader);
        benchmark::DoNotOptimize(names);
    }
}
BENCHMARK(ReadCacheLines)->Unit(benchmark::kMillisecond);

// Baseline: the same file read line by line and split at its first comma.
void GetlineCache(benchmark::State& state) {
    const BenchHost& bench = Bench();
    for (auto _ : state) {
        std::ifstream in(bench.cacheFile, std::ios::binary);
        std::string line;
        size_t names = 0;
        while (std::getline(in, line)) {
            const size_t comma = line.find(',');
            if (comma != std::string::npos) {
                names += line.size() - comma;
            }
        }
        benchmark::DoNotOptimize(names);
    }
}
BENCHMARK(GetlineCache)->Unit(benchmark::kMillisecond);

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
        Ratio("SignedBody", "NaiveSignedBody");
        Ratio("SubmitWithLongCache", "GetlineCache");
        Ratio("ReadCacheLines", "GetlineCache");
    }

  private:
    void Ratio(const std::string& measured, const std::string& baseline) {
        auto m = perIteration_.find(measured);
        auto b = perIteration_.find(baseline);
        if (m != perIteration_.end() && b != perIteration_.end() && b->second.first > 0 &&
            b->second.second > 0) {
            std::printf("ratio %s / %s = %.2f (cpu %.2f)\n", measured.c_str(), baseline.c_str(),
                        m->second.first / b->second.first, m->second.second / b->second.second);
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
