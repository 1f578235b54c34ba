// Scrobbler costs against what the work needs anyway, measured in the same run:
//  - the signed body of a 50-track submission against OpenSSL's MD5 over the
//    same signature bytes, which the body must hash in any case;
//  - an accepted submission from a 10 000-line (and a 100 000-line) cache: the
//    due play written and flushed, the first 50 lines sent to a local
//    scrobbling service over HTTP, the cache replaced durably; against the
//    least any durable replacement does: one write of the kept bytes, one
//    fsync and one rename.
// The ratios are printed after the runs; absolute times vary by machine.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

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
#include "plugin/quit_signal.h"
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

// Writes a file and waits until it is on the disk, so that no write left
// over from setting up is flushed inside a measurement.
void WriteDurably(const fs::path& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        ::fsync(fd) != 0) {
        std::perror("bench cache");
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

ino_t FileId(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

struct BenchHost {
    kiln::test::FakeScrobbleService service;
    fs::path profile;
    fs::path cacheFile;
    std::string cachedName;
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
        cachedName = kiln::host::WriteSampleTrack(profile / "media", recipe).string();
        play = {1, 1700000000, kiln::host::FromFsPath(current), 0, 1700000000, false};
        cacheFile = profile / "cache" / "scrobble.cache";
    }
    ~BenchHost() {
        std::error_code ignored;
        fs::remove_all(profile, ignored);
    }
    // Every line names a file that can be scrobbled: each submission sends
    // the first 50, then keeps the others and the due play.
    std::string CacheBytes(int lines, int from = 0) const {
        std::string bytes;
        for (int i = from; i < lines; ++i) {
            bytes += std::to_string(1600000000 + i) + "," + cachedName + "\r\n";
        }
        return bytes;
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

// One accepted batch: the submission would go on with the next batch a
// second later, so quit is requested as soon as the cache has been replaced,
// which ends it there.
void AcceptedSubmission(benchmark::State& state) {
    const BenchHost& bench = Bench();
    const std::string bytes = bench.CacheBytes(static_cast<int>(state.range(0)));
    const auto before = static_cast<int64_t>(bench.service.Scrobbles().size());
    for (auto _ : state) {
        state.PauseTiming();
        WriteDurably(bench.cacheFile, bytes);
        const ino_t original = FileId(bench.cacheFile);
        std::atomic<bool> done{false};
        std::thread watcher([&] {
            while (!done.load() && FileId(bench.cacheFile) == original) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            kiln::SetQuitRequested(true);
        });
        state.ResumeTiming();
        kiln::SubmitPlay(bench.play);
        state.PauseTiming();
        done.store(true);
        watcher.join();
        kiln::SetQuitRequested(false);
        state.ResumeTiming();
    }
    if (static_cast<int64_t>(bench.service.Scrobbles().size()) - before !=
        50 * state.iterations()) {
        state.SkipWithError("the service did not accept every submission");
    }
}
BENCHMARK(AcceptedSubmission)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Baseline: the kept lines and the due play written to a new file, flushed,
// and renamed over the cache.
void ReplacementFloor(benchmark::State& state) {
    const BenchHost& bench = Bench();
    const int lines = static_cast<int>(state.range(0));
    const std::string kept = bench.CacheBytes(lines, 50) + "1700000000,current.wav\r\n";
    const fs::path target = bench.cacheFile.parent_path() / "floor.cache";
    const fs::path temporary = bench.cacheFile.parent_path() / "floor.cache.tmp";
    WriteDurably(target, bench.CacheBytes(lines));
    for (auto _ : state) {
        WriteDurably(temporary, kept);
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            state.SkipWithError("rename");
        }
    }
}
BENCHMARK(ReplacementFloor)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

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
        Ratio("AcceptedSubmission/10000", "ReplacementFloor/10000");
        Ratio("AcceptedSubmission/100000", "ReplacementFloor/100000");
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
