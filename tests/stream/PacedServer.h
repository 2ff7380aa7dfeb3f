// A one-connection TCP server on 127.0.0.1 that plays a media file's bytes
// at a steady rate, so a "tcp://" source behaves like a live camera: the
// head goes out at once (the opener probes it), the rest only after
// Release(), paced; Stall() stops sending while keeping the socket open.
#ifndef IPCAMERA_TESTS_PACEDSERVER_H
#define IPCAMERA_TESTS_PACEDSERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

// A clip's size over its length: the rate that plays it in real time.
inline size_t PacedBytesPerSecond(const std::string &path, int seconds)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return 0;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n > 0 ? (size_t)n / (size_t)seconds : 0;
}

class PacedServer {
public:
    // headBytes go out on connect; then bytesPerSecond in 10 ms slices.
    PacedServer(const std::string &path, size_t headBytes, size_t bytesPerSecond)
        : head_(headBytes), rate_(bytesPerSecond)
    {
        FILE *f = fopen(path.c_str(), "rb");
        if (f != nullptr) {
            char buf[65536];
            size_t n;
            while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
                data_.insert(data_.end(), buf, buf + n);
            fclose(f);
        }
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        bind(listen_, (sockaddr *)&a, sizeof(a));
        listen(listen_, 4);
        socklen_t len = sizeof(a);
        getsockname(listen_, (sockaddr *)&a, &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~PacedServer()
    {
        stop_ = true;
        thread_.join();
        close(listen_);
    }
    bool Loaded() const { return !data_.empty(); }
    std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    void Release() { released_ = true; }
    void Stall() { stalled_ = true; }
    // Closes the connection: the peer sees the end of the stream.
    void Hangup() { hangup_ = true; }
    size_t Sent() const { return sent_; }

private:
    void Run()
    {
        int fd = -1;
        while (!stop_ && fd < 0) {
            pollfd p = {listen_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0)
                fd = accept(listen_, nullptr, nullptr);
        }
        if (fd < 0)
            return;
        size_t pos = 0;
        auto SendUpTo = [&](size_t end) {
            while (pos < end && !stop_) {
                ssize_t n = send(fd, data_.data() + pos, end - pos, MSG_NOSIGNAL);
                if (n <= 0)
                    return false;
                pos += (size_t)n;
                sent_ = pos;
            }
            return true;
        };
        bool ok = SendUpTo(std::min(head_, data_.size()));
        size_t slice = rate_ / 100 > 0 ? rate_ / 100 : 1;
        while (ok && !stop_ && !hangup_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!released_ || stalled_ || pos >= data_.size())
                continue;
            ok = SendUpTo(std::min(pos + slice, data_.size()));
        }
        close(fd);
    }

    std::vector<char> data_;
    size_t head_, rate_;
    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false}, released_{false}, stalled_{false}, hangup_{false};
    std::atomic<size_t> sent_{0};
};

#endif
