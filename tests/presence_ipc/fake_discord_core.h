// The platform-neutral half of the fake application: the record of what the
// client sent, cut into frames.
#pragma once

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fake_discord.h"

namespace kiln::test {

// What the test thread asks of the server thread, which owns the pipe.
enum class Command { None, Drop, Stop, Start, Occupy, Release, Pause, Resume, Quit };

class FrameRecord {
  public:
    // Returns how many handshakes the new bytes completed.
    int Feed(const char* data, size_t length) {
        bytes_.append(data, length);
        partial_.append(data, length);
        int handshakes = 0;
        while (partial_.size() >= 8) {
            uint32_t opcode = Le32(partial_.data());
            uint32_t payloadLength = Le32(partial_.data() + 4);
            if (partial_.size() < 8 + static_cast<size_t>(payloadLength)) {
                break;
            }
            frames_.push_back(Frame{opcode, partial_.substr(8, payloadLength), connections_});
            partial_.erase(0, 8 + static_cast<size_t>(payloadLength));
            if (opcode == 0) {
                ++handshakes;
            }
        }
        return handshakes;
    }
    void NewConnection() {
        ++connections_;
        partial_.clear();
    }
    const std::vector<Frame>& Frames() const { return frames_; }
    const std::string& Bytes() const { return bytes_; }
    int Connections() const { return connections_; }

  private:
    static uint32_t Le32(const char* p) {
        const auto* b = reinterpret_cast<const unsigned char*>(p);
        return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    }

    std::vector<Frame> frames_;
    std::string bytes_;
    std::string partial_;
    int connections_ = 0;
};

inline std::string EncodeHeaderBytes(uint32_t opcode, uint32_t length) {
    std::string header(8, '\0');
    for (int i = 0; i < 4; ++i) {
        header[i] = static_cast<char>((opcode >> (8 * i)) & 0xFF);
        header[4 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    return header;
}

}  // namespace kiln::test
