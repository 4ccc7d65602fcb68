// Both ends of a packet socket with room for a whole swipe: the code under
// test writes records to writer(), and packets() reads back every packet
// written so far, one per write, each at its written size.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace krvtest {

class PacketChannel {
  public:
    PacketChannel() {
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv_) != 0) return;
        int big = 1 << 20;
        setsockopt(sv_[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        setsockopt(sv_[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~PacketChannel() {
        if (sv_[0] >= 0) close(sv_[0]);
        if (sv_[1] >= 0) close(sv_[1]);
    }
    PacketChannel(const PacketChannel&) = delete;
    PacketChannel& operator=(const PacketChannel&) = delete;

    bool ok() const { return sv_[0] >= 0; }
    int writer() const { return sv_[0]; }
    std::vector<std::vector<unsigned char>> packets() {
        std::vector<std::vector<unsigned char>> out;
        for (;;) {
            unsigned char buf[64];  // larger than any record: a packet's real size shows
            ssize_t n = recv(sv_[1], buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) break;
            out.emplace_back(buf, buf + n);
        }
        return out;
    }

  private:
    int sv_[2] = {-1, -1};
};

}  // namespace krvtest
