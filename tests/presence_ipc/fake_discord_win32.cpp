// The fake application on a named pipe with a single instance, so that a
// second client finds it busy. One server thread owns the instance and its
// overlapped operations; the test thread hands it commands and waits for them.
#include <windows.h>

#include <thread>

#include "fake_discord_core.h"

namespace kiln::test {
namespace {

enum class Phase { Idle, Connecting, Connected, Occupied };

class Server final : public FakeDiscord::Impl {
  public:
    explicit Server(FakeDiscord::Options given) : Impl(std::move(given)) {
        name_ = L"\\\\.\\pipe\\discord-ipc-" + std::to_wstring(options.digit);
        for (HANDLE* event : {&command_, &connectIo_.hEvent, &readIo_.hEvent}) {
            *event = CreateEventW(nullptr, event != &command_, FALSE, nullptr);
        }
        CreateInstance();
        server_ = std::thread([this] { Serve(); });
    }

    ~Server() override {
        Run(Command::Quit);
        server_.join();
        CloseHandle(occupier_);
        CloseInstance();
        for (HANDLE event : {command_, connectIo_.hEvent, readIo_.hEvent}) {
            CloseHandle(event);
        }
    }

    void Wake() override { SetEvent(command_); }

    bool Write(std::string_view bytes) override {
        OVERLAPPED io{};
        io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD written = 0;
        BOOL ok = WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &io);
        if (ok || GetLastError() == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(pipe_, &io, &written, TRUE);
        }
        CloseHandle(io.hEvent);
        return ok && written == bytes.size();
    }

  private:
    // -- the server thread (or the destructor after it), with mutex held
    void CreateInstance() {
        // Room for a whole 64 KiB frame and more towards the client.
        pipe_ = CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 256 * 1024,
                                 16 * 1024, 0, nullptr);
    }

    // Closing the instance (rather than disconnecting it) leaves what was
    // already sent readable for the client.
    void CloseInstance() {
        DWORD ignored = 0;
        for (OVERLAPPED* io :
             {reading_ ? &readIo_ : nullptr, phase_ == Phase::Connecting ? &connectIo_ : nullptr}) {
            if (io && CancelIoEx(pipe_, io)) {
                GetOverlappedResult(pipe_, io, &ignored, TRUE);
            }
        }
        CloseHandle(pipe_);
        phase_ = Phase::Idle;
        reading_ = false;
        Lost();
    }

    // The first connection after Occupy is the occupier's.
    void Connected() {
        phase_ = occupier_ != INVALID_HANDLE_VALUE ? Phase::Occupied : Phase::Connected;
        if (phase_ == Phase::Connected) {
            Accepted();
        }
    }

    // The client came and went: listen again.
    void Disconnect() {
        DisconnectNamedPipe(pipe_);
        phase_ = Phase::Idle;
        reading_ = false;
        Lost();
    }

    void Execute(Command what) {
        if (what == Command::Drop) {
            CloseInstance();
            CreateInstance();
        } else if (what == Command::Occupy) {
            occupier_ = CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        } else if (what == Command::Release) {
            CloseHandle(occupier_);
            occupier_ = INVALID_HANDLE_VALUE;
            Disconnect();
        }
    }

    void Serve() {
        std::unique_lock<std::mutex> lock(mutex);
        while (RunPosted([this](Command what) { Execute(what); })) {
            if (phase_ == Phase::Idle) {
                ResetEvent(connectIo_.hEvent);
                if (ConnectNamedPipe(pipe_, &connectIo_) ||
                    GetLastError() == ERROR_PIPE_CONNECTED) {
                    Connected();
                } else if (GetLastError() == ERROR_IO_PENDING) {
                    phase_ = Phase::Connecting;
                } else {
                    Disconnect();
                }
            }
            if (phase_ == Phase::Connected && !paused && !reading_) {
                ResetEvent(readIo_.hEvent);
                reading_ = ReadFile(pipe_, buffer_, sizeof buffer_, nullptr, &readIo_) ||
                           GetLastError() == ERROR_IO_PENDING;
                if (!reading_) {
                    Disconnect();
                }
            }
            HANDLE waits[3] = {command_};
            DWORD count = 1;
            if (phase_ == Phase::Connecting) {
                waits[count++] = connectIo_.hEvent;
            }
            if (reading_) {
                waits[count++] = readIo_.hEvent;
            }
            lock.unlock();
            DWORD woke = WaitForMultipleObjects(count, waits, FALSE, INFINITE) - WAIT_OBJECT_0;
            lock.lock();
            if (woke >= count || waits[woke] == command_) {
                continue;
            }
            DWORD got = 0;
            if (waits[woke] == connectIo_.hEvent) {
                GetOverlappedResult(pipe_, &connectIo_, &got, FALSE) ? Connected() : Disconnect();
                continue;
            }
            reading_ = false;
            if (GetOverlappedResult(pipe_, &readIo_, &got, FALSE) && got > 0) {
                Received(buffer_, got);
            } else {
                Disconnect();
            }
        }
    }

    std::wstring name_;
    HANDLE command_ = nullptr;
    std::thread server_;
    // -- guarded by mutex
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE occupier_ = INVALID_HANDLE_VALUE;
    OVERLAPPED connectIo_{};
    OVERLAPPED readIo_{};
    char buffer_[65536];
    Phase phase_ = Phase::Idle;
    bool reading_ = false;
};

}  // namespace

FakeDiscord::FakeDiscord(Options options) : impl_(std::make_unique<Server>(std::move(options))) {}

}  // namespace kiln::test
