// The fake application on Unix domain sockets. One server thread owns every
// descriptor; the test thread hands it commands and waits for them.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "fake_discord.h"
#include "fake_discord_core.h"

namespace kiln::test {

namespace {

const char* Subfolder(FakeLocation location) {
    switch (location) {
        case FakeLocation::Flatpak:
            return "app/com.discordapp.Discord/";
        case FakeLocation::Snap:
            return "snap.discord/";
        case FakeLocation::Base:
            break;
    }
    return "";
}

sockaddr_un Address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

bool SendAll(int fd, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) {
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace

class FakeDiscord::Impl {
  public:
    explicit Impl(Options options) : options_(std::move(options)) {
        std::string folder = options_.folder + "/" + Subfolder(options_.location);
        // The sub-folders of a Flatpak or Snap installation.
        for (size_t at = options_.folder.size() + 1; at < folder.size(); ++at) {
            if (folder[at] == '/') {
                mkdir(folder.substr(0, at).c_str(), 0700);
            }
        }
        path_ = folder;
        path_ += "discord-ipc-";
        path_ += std::to_string(options_.digit);
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
            wake_[0] = wake_[1] = -1;
        }
        Listen();
        server_ = std::thread([this] { Serve(); });
    }

    ~Impl() {
        Run(Command::Quit);
        server_.join();
        close(wake_[0]);
        close(wake_[1]);
    }

    void Run(Command command) {
        std::unique_lock<std::mutex> lock(mutex_);
        command_ = command;
        uint64_t target = ++commandsPosted_;
        char byte = 1;
        (void)!write(wake_[1], &byte, 1);
        changed_.wait(lock, [&] { return commandsDone_ >= target; });
    }

    bool Send(std::string_view bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        return connection_ >= 0 && SendAll(connection_, bytes);
    }

    template <typename Predicate>
    bool WaitFor(std::chrono::milliseconds timeout, Predicate predicate) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return predicate(record_); });
    }

    template <typename Reader>
    auto Read(Reader reader) {
        std::lock_guard<std::mutex> lock(mutex_);
        return reader(record_);
    }

    bool ClientConnected() {
        std::lock_guard<std::mutex> lock(mutex_);
        return connection_ >= 0;
    }

    bool WaitDisconnected(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return connection_ < 0; });
    }

    void SetReadyPayload(std::string payload) {
        std::lock_guard<std::mutex> lock(mutex_);
        options_.readyPayload = std::move(payload);
    }

  private:
    // -- called by the server thread with mutex_ held
    void Listen() {
        if (listener_ >= 0) {
            return;
        }
        unlink(path_.c_str());
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = Address(path_);
        // A backlog of 0 leaves room for exactly one waiting connection, which
        // is what lets Occupy make the instance busy.
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 0) != 0) {
            close(listener_);
            listener_ = -1;
        }
    }

    void DropClient() {
        if (connection_ >= 0) {
            close(connection_);
            connection_ = -1;
        }
    }

    void Execute(Command command) {
        switch (command) {
            case Command::Drop:
                DropClient();
                break;
            case Command::Stop:
            case Command::Quit:
                DropClient();
                if (listener_ >= 0) {
                    close(listener_);
                    listener_ = -1;
                    unlink(path_.c_str());
                }
                if (occupier_ >= 0) {
                    close(occupier_);
                    occupier_ = -1;
                }
                busy_ = false;
                break;
            case Command::Start:
                Listen();
                break;
            case Command::Occupy: {
                occupier_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_un address = Address(path_);
                connect(occupier_, reinterpret_cast<sockaddr*>(&address), sizeof address);
                busy_ = true;
                break;
            }
            case Command::Release: {
                // Taking the occupier's waiting connection off the queue makes
                // room for the client that waits behind it.
                int taken = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (taken >= 0) {
                    close(taken);
                }
                close(occupier_);
                occupier_ = -1;
                busy_ = false;
                break;
            }
            case Command::Pause:
                paused_ = true;
                break;
            case Command::Resume:
                paused_ = false;
                break;
            case Command::None:
                break;
        }
    }

    void Serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            pollfd fds[3];
            nfds_t count = 0;
            fds[count++] = {wake_[0], POLLIN, 0};
            int listenAt = -1;
            int readAt = -1;
            if (listener_ >= 0 && !busy_) {
                listenAt = static_cast<int>(count);
                fds[count++] = {listener_, POLLIN, 0};
            }
            if (connection_ >= 0 && !paused_) {
                readAt = static_cast<int>(count);
                fds[count++] = {connection_, POLLIN, 0};
            }
            lock.unlock();
            int ready = poll(fds, count, -1);
            lock.lock();
            if (ready < 0) {
                continue;
            }
            if (fds[0].revents & POLLIN) {
                char drain[64];
                while (read(wake_[0], drain, sizeof drain) > 0) {
                }
                if (commandsDone_ < commandsPosted_) {
                    Command command = command_;
                    Execute(command);
                    commandsDone_ = commandsPosted_;
                    changed_.notify_all();
                    if (command == Command::Quit) {
                        return;
                    }
                }
                continue;  // the descriptors may have changed
            }
            if (listenAt >= 0 && (fds[listenAt].revents & POLLIN)) {
                int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (accepted >= 0) {
                    DropClient();
                    connection_ = accepted;
                    record_.NewConnection();
                    changed_.notify_all();
                }
            }
            if (readAt >= 0 && fds[readAt].revents) {
                char buffer[65536];
                ssize_t got = recv(connection_, buffer, sizeof buffer, MSG_DONTWAIT);
                if (got > 0) {
                    int handshakes = record_.Feed(buffer, static_cast<size_t>(got));
                    for (int i = 0; i < handshakes && !options_.readyPayload.empty(); ++i) {
                        SendAll(connection_, EncodeFrame(1, options_.readyPayload));
                    }
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    DropClient();
                }
                changed_.notify_all();
            }
        }
    }

    Options options_;
    std::string path_;
    int wake_[2] = {-1, -1};
    std::thread server_;

    std::mutex mutex_;
    std::condition_variable changed_;
    // -- guarded by mutex_
    FrameRecord record_;
    int listener_ = -1;
    int connection_ = -1;
    int occupier_ = -1;
    bool busy_ = false;
    bool paused_ = false;
    Command command_ = Command::None;
    uint64_t commandsPosted_ = 0;
    uint64_t commandsDone_ = 0;
};

#include "fake_discord_forwarding.h"

}  // namespace kiln::test
