#include "scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace finstest {
namespace {

void put32(Bytes* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v >> 24));
  out->push_back(static_cast<uint8_t>(v >> 16));
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}

uint32_t get32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

ScriptedPeer::ScriptedPeer() {
  handshake_.bytes = handshakeAnswer(20, 10);
  fallback_ = [](const Bytes& frame) { return Action{reply(frame)}; };
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket");
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_fd_, 16) != 0)
    throw std::runtime_error("bind/listen");
  socklen_t len = sizeof addr;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptedPeer::~ScriptedPeer() {
  stop_ = true;
  acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : client_fds_) shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : workers_) t.join();
  close(listen_fd_);
}

void ScriptedPeer::setHandshake(Action action) {
  std::lock_guard<std::mutex> lock(mu_);
  handshake_ = std::move(action);
}

void ScriptedPeer::pushReply(Script script) {
  std::lock_guard<std::mutex> lock(mu_);
  replies_.push_back(std::move(script));
}

void ScriptedPeer::setFallback(Script script) {
  std::lock_guard<std::mutex> lock(mu_);
  fallback_ = std::move(script);
}

std::vector<Bytes> ScriptedPeer::frames() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_;
}

std::vector<Bytes> ScriptedPeer::tcpHeaders() const {
  std::lock_guard<std::mutex> lock(mu_);
  return tcp_headers_;
}

std::vector<Bytes> ScriptedPeer::handshakes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return handshakes_;
}

int ScriptedPeer::connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

int ScriptedPeer::closedByClient() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_by_client_;
}

bool ScriptedPeer::waitForFrames(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return frames_.size() >= n; });
}

bool ScriptedPeer::waitForClosedByClient(int n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return closed_by_client_ >= n; });
}

Bytes ScriptedPeer::tcpHeader(size_t frame_len, uint32_t command, uint32_t error) {
  Bytes out = {'F', 'I', 'N', 'S'};
  put32(&out, static_cast<uint32_t>(8 + frame_len));
  put32(&out, command);
  put32(&out, error);
  return out;
}

Bytes ScriptedPeer::responseHeader(const Bytes& request) {
  Bytes h(request.begin(), request.begin() + 12);
  h[0] = static_cast<uint8_t>(request[0] | 0x40);
  h[1] = 0;
  std::copy(request.begin() + 6, request.begin() + 9, h.begin() + 3);
  std::copy(request.begin() + 3, request.begin() + 6, h.begin() + 6);
  return h;
}

Bytes ScriptedPeer::reply(const Bytes& request, uint16_t end_code, const Bytes& data) {
  Bytes frame = responseHeader(request);
  frame.push_back(static_cast<uint8_t>(end_code >> 8));
  frame.push_back(static_cast<uint8_t>(end_code));
  frame.insert(frame.end(), data.begin(), data.end());
  Bytes out = tcpHeader(frame.size());
  out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

Bytes ScriptedPeer::handshakeAnswer(uint8_t client_node, uint8_t server_node, uint32_t command,
                                    uint32_t error) {
  Bytes out = {'F', 'I', 'N', 'S'};
  put32(&out, 16);
  put32(&out, command);
  put32(&out, error);
  put32(&out, client_node);
  put32(&out, server_node);
  return out;
}

void ScriptedPeer::acceptLoop() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mu_);
    connections_++;
    client_fds_.push_back(fd);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

// Reads exactly len bytes; false on end of stream, error or stop (*got tells how many arrived).
bool ScriptedPeer::readExact(int fd, uint8_t* buf, size_t len, size_t* got) {
  *got = 0;
  while (*got < len) {
    if (stop_) return false;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, 50);
    if (r == 0) continue;
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    ssize_t n = recv(fd, buf + *got, len - *got, 0);
    if (n > 0) {
      *got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

void ScriptedPeer::sendAction(int fd, const Action& action) {
  auto deadline = std::chrono::steady_clock::now() + action.delay;
  while (!stop_ && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (action.dribble) {
    for (uint8_t b : action.bytes) {
      if (stop_ || send(fd, &b, 1, MSG_NOSIGNAL) != 1) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  } else if (!action.bytes.empty()) {
    size_t sent = 0;
    while (sent < action.bytes.size()) {
      ssize_t n = send(fd, action.bytes.data() + sent, action.bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
  if (action.flood) {
    // Keeps sending until the client closes, the peer stops, or 20 s have passed.
    Bytes filler(4096, 0x55);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      if (p.revents & (POLLERR | POLLHUP)) return;
      ssize_t n = send(fd, filler.data(), filler.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    }
  }
}

void ScriptedPeer::serve(int fd) {
  bool client_closed = false;
  uint8_t hs[20];
  size_t got = 0;
  bool ok = readExact(fd, hs, sizeof hs, &got);
  {
    std::lock_guard<std::mutex> lock(mu_);
    handshakes_.emplace_back(hs, hs + got);
  }
  cv_.notify_all();
  if (!ok) {
    client_closed = !stop_;
  } else {
    Action hs_action;
    {
      std::lock_guard<std::mutex> lock(mu_);
      hs_action = handshake_;
    }
    sendAction(fd, hs_action);
    bool open = !hs_action.close_after && !hs_action.flood;
    while (open) {
      uint8_t header[16];
      if (!readExact(fd, header, sizeof header, &got)) {
        client_closed = !stop_;
        break;
      }
      uint32_t length = get32(header + 4);
      size_t frame_len = length >= 8 ? std::min<size_t>(length - 8, 4096) : 0;
      Bytes frame(frame_len);
      if (!readExact(fd, frame.data(), frame_len, &got)) {
        client_closed = !stop_;
        break;
      }
      Script script;
      {
        std::lock_guard<std::mutex> lock(mu_);
        tcp_headers_.emplace_back(header, header + 16);
        frames_.push_back(frame);
        if (!replies_.empty()) {
          script = std::move(replies_.front());
          replies_.pop_front();
        } else {
          script = fallback_;
        }
      }
      cv_.notify_all();
      Action action = script(frame);
      sendAction(fd, action);
      if (action.close_after || action.flood) break;
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (client_closed) closed_by_client_++;
  client_fds_.erase(std::remove(client_fds_.begin(), client_fds_.end(), fd), client_fds_.end());
  close(fd);
  cv_.notify_all();
}

}  // namespace finstest
