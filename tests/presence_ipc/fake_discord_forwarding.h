// The public face of the fake application, the same on every platform.
// Included by each platform's file after its FakeDiscord::Impl; Impl offers
// Run(Command), Send, WaitFor, Read, ClientConnected, WaitDisconnected and
// SetReadyPayload.
#pragma once

std::string EncodeHeader(uint32_t opcode, uint32_t length) {
    return EncodeHeaderBytes(opcode, length);
}

std::string EncodeFrame(uint32_t opcode, std::string_view payload) {
    return EncodeHeaderBytes(opcode, static_cast<uint32_t>(payload.size())) + std::string(payload);
}

FakeDiscord::FakeDiscord(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
FakeDiscord::~FakeDiscord() = default;

bool FakeDiscord::Send(uint32_t opcode, std::string_view payload) {
    return impl_->Send(EncodeFrame(opcode, payload));
}
bool FakeDiscord::SendRaw(std::string_view bytes) {
    return impl_->Send(bytes);
}
void FakeDiscord::Drop() {
    impl_->Run(Command::Drop);
}
void FakeDiscord::Stop() {
    impl_->Run(Command::Stop);
}
void FakeDiscord::Start() {
    impl_->Run(Command::Start);
}
void FakeDiscord::Occupy() {
    impl_->Run(Command::Occupy);
}
void FakeDiscord::Release() {
    impl_->Run(Command::Release);
}
void FakeDiscord::PauseReading(bool paused) {
    impl_->Run(paused ? Command::Pause : Command::Resume);
}

std::vector<Frame> FakeDiscord::Frames() {
    return impl_->Read([](const FrameRecord& r) { return r.Frames(); });
}
std::vector<Frame> FakeDiscord::FramesWithOpcode(uint32_t opcode) {
    std::vector<Frame> all = Frames();
    std::vector<Frame> chosen;
    for (const Frame& frame : all) {
        if (frame.opcode == opcode) {
            chosen.push_back(frame);
        }
    }
    return chosen;
}
std::string FakeDiscord::Bytes() {
    return impl_->Read([](const FrameRecord& r) { return r.Bytes(); });
}
int FakeDiscord::Connections() {
    return impl_->Read([](const FrameRecord& r) { return r.Connections(); });
}
bool FakeDiscord::ClientConnected() {
    return impl_->ClientConnected();
}

bool FakeDiscord::WaitForFrames(size_t count, std::chrono::milliseconds timeout) {
    return impl_->WaitFor(timeout,
                          [count](const FrameRecord& r) { return r.Frames().size() >= count; });
}
bool FakeDiscord::WaitForConnections(int count, std::chrono::milliseconds timeout) {
    return impl_->WaitFor(timeout,
                          [count](const FrameRecord& r) { return r.Connections() >= count; });
}
bool FakeDiscord::WaitForDisconnect(std::chrono::milliseconds timeout) {
    return impl_->WaitDisconnected(timeout);
}
void FakeDiscord::SetReadyPayload(std::string payload) {
    impl_->SetReadyPayload(std::move(payload));
}
