// The fake application on Unix domain sockets. One server thread owns every
// descriptor; the test thread hands it commands and waits for them.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "fake_discord_core.h"

namespace kiln::test {
namespace {

const char* const kSubfolders[] = {"", "app/com.discordapp.Discord/", "snap.discord/"};

class Server final : public FakeDiscord::Impl {
  public:
    explicit Server(FakeDiscord::Options given) : Impl(std::move(given)) {
        std::string folder = options.folder + "/" + kSubfolders[static_cast<int>(options.location)];
        std::filesystem::create_directories(folder);
        address_.sun_family = AF_UNIX;
        std::snprintf(address_.sun_path, sizeof address_.sun_path, "%sdiscord-ipc-%d",
                      folder.c_str(), options.digit);
        unlink(address_.sun_path);
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        // A backlog of 0 leaves room for exactly one waiting connection, which
        // is what lets Occupy make the instance busy.
        bind(listener_, reinterpret_cast<sockaddr*>(&address_), sizeof address_);
        listen(listener_, 0);
        (void)!pipe2(wake_, O_CLOEXEC | O_NONBLOCK);
        server_ = std::thread([this] { Serve(); });
    }

    ~Server() override {
        Run(Command::Quit);
        server_.join();
        for (int fd : {listener_, connection_, occupier_, wake_[0], wake_[1]}) {
            close(fd);
        }
        unlink(address_.sun_path);
    }

    void Wake() override {
        char byte = 1;
        (void)!write(wake_[1], &byte, 1);
    }

    // Blocking, so the whole text goes or the client has gone.
    bool Write(std::string_view bytes) override {
        return send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

  private:
    // -- the server thread, with mutex held
    void DropClient() {
        if (connection_ >= 0) {
            close(connection_);
            connection_ = -1;
            Lost();
        }
    }

    void Execute(Command what) {
        if (what == Command::Drop) {
            DropClient();
        } else if (what == Command::Occupy) {
            occupier_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            connect(occupier_, reinterpret_cast<sockaddr*>(&address_), sizeof address_);
        } else if (what == Command::Release) {
            // Taking the occupier's waiting connection off the queue makes
            // room for the client that waits behind it.
            close(accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
            close(occupier_);
            occupier_ = -1;
        }
    }

    void Serve() {
        std::unique_lock<std::mutex> lock(mutex);
        while (RunPosted([this](Command what) { Execute(what); })) {
            // Negative descriptors are left out of the poll.
            pollfd fds[] = {{wake_[0], POLLIN, 0},
                            {paused ? -1 : connection_, POLLIN, 0},
                            {occupier_ >= 0 ? -1 : listener_, POLLIN, 0}};
            lock.unlock();
            poll(fds, 3, -1);
            lock.lock();
            char buffer[65536];
            while (read(wake_[0], buffer, sizeof buffer) > 0) {
            }
            if (fds[1].revents) {
                ssize_t got = recv(connection_, buffer, sizeof buffer, MSG_DONTWAIT);
                if (got > 0) {
                    Received(buffer, static_cast<size_t>(got));
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    DropClient();
                }
            }
            if (fds[2].revents & POLLIN) {
                int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (accepted >= 0) {
                    DropClient();
                    connection_ = accepted;
                    Accepted();
                }
            }
        }
    }

    sockaddr_un address_{};
    int wake_[2] = {-1, -1};
    std::thread server_;
    // -- guarded by mutex
    int listener_ = -1;
    int connection_ = -1;
    int occupier_ = -1;
};

}  // namespace

FakeDiscord::FakeDiscord(Options options) : impl_(std::make_unique<Server>(std::move(options))) {}

}  // namespace kiln::test
