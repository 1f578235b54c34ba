// The fake application on a named pipe with a single instance, so that a
// second client finds it busy. One server thread owns the instance and its
// overlapped operations; the test thread hands it commands and waits for them.
#include <windows.h>

#include <thread>

#include "fake_discord.h"
#include "fake_discord_core.h"

namespace kiln::test {
namespace {

constexpr DWORD kToClientBuffer = 256 * 1024;  // a whole 64 KiB frame fits
constexpr DWORD kFromClientBuffer = 16 * 1024;

enum class Phase { Idle, Connecting, Connected, Occupied };

}  // namespace

class FakeDiscord::Impl {
  public:
    explicit Impl(Options options) : options_(std::move(options)) {
        name_ = L"\\\\.\\pipe\\discord-ipc-";
        name_ += std::to_wstring(options_.digit);
        command_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        connectIo_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        readIo_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            listening_ = true;
            CreateInstance();
        }
        server_ = std::thread([this] { Serve(); });
    }

    ~Impl() {
        Run(Command::Quit);
        server_.join();
        CloseHandle(command_);
        CloseHandle(connectIo_.hEvent);
        CloseHandle(readIo_.hEvent);
    }

    void Run(Command command) {
        std::unique_lock<std::mutex> lock(mutex_);
        command_kind_ = command;
        uint64_t target = ++commandsPosted_;
        SetEvent(command_);
        changed_.wait(lock, [&] { return commandsDone_ >= target; });
    }

    bool Send(std::string_view bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        return phase_ == Phase::Connected && WriteAll(bytes);
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
        return phase_ == Phase::Connected;
    }

    bool WaitDisconnected(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return phase_ != Phase::Connected; });
    }

    void SetReadyPayload(std::string payload) {
        std::lock_guard<std::mutex> lock(mutex_);
        options_.readyPayload = std::move(payload);
    }

  private:
    // -- everything below runs with mutex_ held

    bool WriteAll(std::string_view bytes) {
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

    void CreateInstance() {
        pipe_ = CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                 kToClientBuffer, kFromClientBuffer, 0, nullptr);
        phase_ = Phase::Idle;
        reading_ = false;
    }

    void FinishPending() {
        DWORD ignored = 0;
        if (reading_) {
            CancelIoEx(pipe_, &readIo_);
            GetOverlappedResult(pipe_, &readIo_, &ignored, TRUE);
            reading_ = false;
        }
        if (phase_ == Phase::Connecting) {
            CancelIoEx(pipe_, &connectIo_);
            GetOverlappedResult(pipe_, &connectIo_, &ignored, TRUE);
            phase_ = Phase::Idle;
        }
    }

    // Closing the instance (rather than disconnecting it) leaves what was
    // already sent readable for the client.
    void CloseInstance() {
        if (pipe_ == INVALID_HANDLE_VALUE) {
            return;
        }
        FinishPending();
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
        phase_ = Phase::Idle;
    }

    void Connected() {
        if (occupying_) {
            phase_ = Phase::Occupied;
            return;
        }
        phase_ = Phase::Connected;
        record_.NewConnection();
        changed_.notify_all();
    }

    void ClientGone() {
        DisconnectNamedPipe(pipe_);
        phase_ = Phase::Idle;
        reading_ = false;
        changed_.notify_all();
    }

    void StartConnect() {
        ResetEvent(connectIo_.hEvent);
        if (ConnectNamedPipe(pipe_, &connectIo_)) {
            Connected();
            return;
        }
        switch (GetLastError()) {
            case ERROR_IO_PENDING:
                phase_ = Phase::Connecting;
                break;
            case ERROR_PIPE_CONNECTED:
                Connected();
                break;
            default:
                DisconnectNamedPipe(pipe_);  // a client came and went; listen again
                break;
        }
    }

    void StartRead() {
        ResetEvent(readIo_.hEvent);
        if (ReadFile(pipe_, buffer_, sizeof buffer_, nullptr, &readIo_) ||
            GetLastError() == ERROR_IO_PENDING) {
            reading_ = true;
        } else {
            ClientGone();
        }
    }

    void Execute(Command command) {
        switch (command) {
            case Command::Drop:
                CloseInstance();
                if (listening_) {
                    CreateInstance();
                }
                changed_.notify_all();
                break;
            case Command::Stop:
            case Command::Quit:
                listening_ = false;
                occupying_ = false;
                if (occupier_ != INVALID_HANDLE_VALUE) {
                    CloseHandle(occupier_);
                    occupier_ = INVALID_HANDLE_VALUE;
                }
                CloseInstance();
                break;
            case Command::Start:
                listening_ = true;
                if (pipe_ == INVALID_HANDLE_VALUE) {
                    CreateInstance();
                }
                break;
            case Command::Occupy:
                occupying_ = true;
                if (phase_ == Phase::Idle) {
                    StartConnect();
                }
                occupier_ = CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
                if (phase_ == Phase::Connecting) {
                    DWORD ignored = 0;
                    GetOverlappedResult(pipe_, &connectIo_, &ignored, TRUE);
                    Connected();
                }
                break;
            case Command::Release:
                occupying_ = false;
                CloseHandle(occupier_);
                occupier_ = INVALID_HANDLE_VALUE;
                DisconnectNamedPipe(pipe_);
                phase_ = Phase::Idle;
                break;
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
            if (pipe_ != INVALID_HANDLE_VALUE && phase_ == Phase::Idle) {
                StartConnect();
            }
            if (phase_ == Phase::Connected && !paused_ && !reading_) {
                StartRead();
            }
            HANDLE waits[3];
            DWORD count = 0;
            waits[count++] = command_;
            if (phase_ == Phase::Connecting) {
                waits[count++] = connectIo_.hEvent;
            }
            if (reading_) {
                waits[count++] = readIo_.hEvent;
            }
            lock.unlock();
            DWORD woke = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
            lock.lock();
            if (woke >= WAIT_OBJECT_0 + count) {
                continue;
            }
            HANDLE which = waits[woke - WAIT_OBJECT_0];
            if (which == command_) {
                if (commandsDone_ < commandsPosted_) {
                    Command command = command_kind_;
                    Execute(command);
                    commandsDone_ = commandsPosted_;
                    changed_.notify_all();
                    if (command == Command::Quit) {
                        return;
                    }
                }
            } else if (which == connectIo_.hEvent) {
                DWORD ignored = 0;
                if (GetOverlappedResult(pipe_, &connectIo_, &ignored, FALSE)) {
                    Connected();
                } else {
                    DisconnectNamedPipe(pipe_);
                    phase_ = Phase::Idle;
                }
            } else if (which == readIo_.hEvent) {
                DWORD got = 0;
                reading_ = false;
                if (GetOverlappedResult(pipe_, &readIo_, &got, FALSE) && got > 0) {
                    int handshakes = record_.Feed(buffer_, got);
                    for (int i = 0; i < handshakes && !options_.readyPayload.empty(); ++i) {
                        WriteAll(EncodeFrame(1, options_.readyPayload));
                    }
                    changed_.notify_all();
                } else if (GetLastError() != ERROR_MORE_DATA) {
                    ClientGone();
                }
            }
        }
    }

    Options options_;
    std::wstring name_;
    HANDLE command_ = nullptr;
    std::thread server_;

    std::mutex mutex_;
    std::condition_variable changed_;
    // -- guarded by mutex_
    FrameRecord record_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE occupier_ = INVALID_HANDLE_VALUE;
    OVERLAPPED connectIo_{};
    OVERLAPPED readIo_{};
    char buffer_[65536];
    Phase phase_ = Phase::Idle;
    bool reading_ = false;
    bool listening_ = false;
    bool occupying_ = false;
    bool paused_ = false;
    Command command_kind_ = Command::None;
    uint64_t commandsPosted_ = 0;
    uint64_t commandsDone_ = 0;
};

#include "fake_discord_forwarding.h"

}  // namespace kiln::test
