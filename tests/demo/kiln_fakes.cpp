// kiln-fakes: runs the fakes of the outside world that the demo shows the
// plug-in talking to, on this machine only, and prints what each receives:
//   a POST receiver on 127.0.0.1 (port written to the port file),
//   a Discord application serving discord-ipc-0 in the given folder,
//   a scrobbling service with its authorisation page (port: "scrobbler=").
// Ends at end of standard input.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "presence_ipc/fake_discord.h"
#include "scrobbler/fake_scrobbler.h"
#include "support/post_receiver.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: kiln-fakes PORT_FILE DISCORD_FOLDER\n";
        return 2;
    }
    kiln::test::PostReceiver posts;
    kiln::test::FakeDiscord::Options options;
    options.folder = argv[2];
    kiln::test::FakeDiscord discord(options);
    kiln::test::FakeScrobbleService scrobbler;
    {
        std::ofstream ports(argv[1]);
        ports << "posts=" << posts.Port() << "\nscrobbler=" << scrobbler.Address() << "\n";
    }
    std::cout << "kiln-fakes: POST receiver on 127.0.0.1:" << posts.Port()
              << ", Discord application at " << argv[2] << "/discord-ipc-0" << std::endl;

    size_t postsShown = 0;
    size_t framesShown = 0;
    auto show = [&] {
        auto requests = posts.Requests();
        for (; postsShown < requests.size(); ++postsShown) {
            const auto& r = requests[postsShown];
            std::cout << "[post] " << r.method << " " << r.target << " " << r.version << " (body "
                      << r.body.size() << " bytes)" << std::endl;
        }
        auto frames = discord.Frames();
        for (; framesShown < frames.size(); ++framesShown) {
            const auto& f = frames[framesShown];
            std::cout << "[discord] opcode " << f.opcode << ": " << f.payload << std::endl;
        }
    };
    std::atomic<bool> done{false};
    std::thread shower([&] {
        for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
            show();
        }
        show();
    });
    for (std::string line; std::getline(std::cin, line);) {
    }
    done = true;
    shower.join();
    return 0;
}
