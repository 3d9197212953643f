#include "tools/plc-sim/plc_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "tools/plc-sim/command_handler.h"
#include "tools/plc-sim/fault_plan.h"
#include "tools/plc-sim/plc_memory.h"
#include "tools/plc-sim/wire.h"

namespace plcsim {

namespace {

constexpr uint32_t kHighestNode = 254;  // 255 is the broadcast node
// An ephemeral TCP port whose UDP twin is taken is given back and another
// one tried, this many times.
constexpr int kPortAttempts = 20;
// Datagrams are read into a buffer this large so that one longer than any
// FINS frame shows up as too long instead of being cut to size.
constexpr size_t kDatagramBuffer = 4096;
// Longer answer delays are cut to this, which keeps every due time far from
// the clock's range.
constexpr std::chrono::milliseconds kLongestAnswerDelay =
    std::chrono::hours(24);

std::chrono::milliseconds boundedAnswerDelay(std::chrono::milliseconds delay) {
  return std::clamp(delay, std::chrono::milliseconds(0), kLongestAnswerDelay);
}

// Retries only an interrupted call; any other failure or an orderly close
// means the peer is gone (or stop() shut the socket down).
bool recvAll(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::recv(fd, buf + got, n - got, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

// A listening TCP socket on (address, port); port 0 lets the system choose.
// Returns the descriptor and the port bound, or -1 with errno set.
int openTcpListener(sockaddr_in addr, uint16_t port, uint16_t* bound_port) {
  addr.sin_port = htons(port);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in bound{};
  socklen_t bound_len = sizeof bound;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  *bound_port = ntohs(bound.sin_port);
  return fd;
}

// A UDP socket bound to (address, port), or -1 with errno set. No
// SO_REUSEADDR: a second simulator on the same port must fail to start
// rather than share the datagrams.
int openUdpSocket(sockaddr_in addr, uint16_t port) {
  addr.sin_port = htons(port);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

std::string peerText(const sockaddr_in& peer) {
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

bool sendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t r = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r > 0) {
      sent += static_cast<size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

class PlcSimulator::Impl {
 public:
  explicit Impl(Options options)
      : options_(std::move(options)),
        memory_(familyOfModel(options_.model)),
        handler_(&memory_,
                 cpuUnitData(options_.model, options_.version, memory_.family(),
                             options_.long_cpu_unit_data)),
        answer_delay_(boundedAnswerDelay(options_.answer_delay)) {}

  ~Impl() {
    stop();
    if (retime_fd_ >= 0) ::close(retime_fd_);
  }

  bool start();
  void stop();
  uint16_t port() const { return port_.load(); }
  bool cvFamily() const { return memory_.family() == Family::kCv; }

  // Everything below takes mu_ itself.
  template <typename F>
  auto withMemory(F f) const {
    std::lock_guard<std::mutex> lock(mu_);
    return f(memory_);
  }
  template <typename F>
  auto withMemory(F f) {
    std::lock_guard<std::mutex> lock(mu_);
    return f(memory_);
  }
  template <typename F>
  void withFaults(F f) {
    std::lock_guard<std::mutex> lock(mu_);
    f(faults_);
  }
  template <typename F>
  void withHandler(F f) {
    std::lock_guard<std::mutex> lock(mu_);
    f(handler_);
  }

  void setAnswerDelay(std::chrono::milliseconds delay);
  void refuseHandshake(uint32_t code, uint32_t command);
  void shortHandshake(size_t bytes);
  void replyHandshakeWithRaw(std::vector<uint8_t> bytes);
  void acceptHandshakes();
  void dropAllConnections();

  std::vector<std::vector<uint8_t>> receivedFrames() const;
  void clearReceivedFrames();
  bool waitForFrames(size_t count, std::chrono::milliseconds timeout) const;
  size_t connectionCount() const;
  bool waitForConnectionCount(size_t count, std::chrono::milliseconds timeout) const;
  std::vector<uint8_t> clientNodes() const;

 private:
  struct Connection {
    int id = 0;
    int fd = -1;        // closed and set to -1 by the connection's own thread
    uint8_t node = 0;   // 0 until a handshake hands one out
    bool finished = false;
    bool dropped = false;
    std::thread thread;
  };

  enum class HandshakeMode { kAccept, kRefuse, kShort, kRaw };
  // What the connection does after the handshake answer went out.
  enum class AfterHandshake { kServe, kClose, kStaySilent };

  // A FINS/UDP reply held back by the answer delay or a delay fault.
  struct DelayedDatagram {
    sockaddr_in to;
    std::vector<uint8_t> bytes;
  };
  using Clock = std::chrono::steady_clock;

  void acceptLoop();
  void serve(Connection* c);
  bool handshake(Connection* c);
  bool serveFrame(Connection* c);
  // FINS/UDP: one thread serves every datagram in order of arrival; a
  // delayed reply waits in udp_delayed_ while later datagrams are served.
  void udpLoop();
  void serveDatagram(std::vector<uint8_t>* buffer);
  void sendDueDatagrams();
  void sendDatagram(const sockaddr_in& to, const std::vector<uint8_t>& bytes);
  void sendError(Connection* c, uint32_t code);
  bool pause(Connection* c, Clock::time_point due, bool answering);
  std::chrono::milliseconds answerDelay() const;
  void waitForClose(Connection* c);

  // Counts and records a received frame and decides what it gets: the
  // fault to apply and, when it is to be answered, the whole FINS/TCP
  // reply (left empty when the request asks for no response). A frame too
  // short to be a command, or one that is itself a response, is ignored
  // without using up a fault. `via` names the sender in the verbose log.
  // REQUIRES: mu_ held.
  FrameFault answerFrame(const std::vector<uint8_t>& frame, const std::string& via,
                         std::vector<uint8_t>* reply);
  // REQUIRES: mu_ held.
  std::vector<uint8_t> handshakeAnswer(Connection* c, uint32_t requested, AfterHandshake* next);
  uint32_t chooseNode(uint32_t requested, uint8_t* node) const;
  bool nodeInUse(uint32_t node) const;
  void reapFinished(std::vector<std::thread>* finished);
  void logFrame(const std::string& via, const std::vector<uint8_t>& frame, const char* what,
                uint16_t end_code) const;

  const Options options_;
  std::atomic<uint16_t> port_{0};

  std::mutex lifecycle_mu_;  // serialises start() and stop()
  bool running_ = false;     // guarded by lifecycle_mu_
  int listen_fd_ = -1;       // guarded by lifecycle_mu_, read by the acceptor
  int wake_fds_[2] = {-1, -1};
  std::thread acceptor_;
  int udp_fd_ = -1;  // guarded by lifecycle_mu_, read by the UDP thread; -1 without UDP
  std::thread udp_thread_;
  // Keyed by arrival plus any fault delay; each is due the answer delay
  // later. As every reply waits the same answer delay, the order holds when
  // it changes. UDP thread only.
  std::multimap<Clock::time_point, DelayedDatagram> udp_delayed_;
  // Wakes the UDP thread to reckon its next due reply again after the
  // answer delay changed. Lives as long as the simulator, so that
  // setAnswerDelay() never meets a closed descriptor.
  const int retime_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  // Guarded by mu_:
  PlcMemory memory_;
  CommandHandler handler_;
  FaultPlan faults_;
  HandshakeMode handshake_mode_ = HandshakeMode::kAccept;
  uint32_t refuse_code_ = 0;
  uint32_t refuse_command_ = wire::kErrorNotification;
  size_t short_bytes_ = 0;
  std::vector<uint8_t> handshake_raw_;
  std::chrono::milliseconds answer_delay_;
  std::vector<std::vector<uint8_t>> frames_;
  size_t frames_seen_ = 0;
  std::vector<uint8_t> client_nodes_;
  uint32_t next_auto_node_ = 1;
  std::list<std::unique_ptr<Connection>> connections_;
  size_t open_connections_ = 0;
  int next_connection_id_ = 1;
  bool stopping_ = false;
};

bool PlcSimulator::Impl::start() {
  std::lock_guard<std::mutex> life(lifecycle_mu_);
  if (running_) return true;

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (::inet_pton(AF_INET, options_.bind_address.c_str(), &addr.sin_addr) != 1) {
    errno = EINVAL;
    return false;
  }
  // A restart keeps the port it had, so clients can reconnect to it.
  const uint16_t wanted = port_.load() != 0 ? port_.load() : options_.port;
  int fd = -1;
  int udp = -1;
  uint16_t bound = 0;
  for (int attempt = 1;; ++attempt) {
    fd = openTcpListener(addr, wanted, &bound);
    if (fd < 0) return false;
    if (!options_.udp) break;
    udp = openUdpSocket(addr, bound);
    if (udp >= 0) break;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    // Only a port the system chose can be chosen again.
    if (wanted != 0 || saved != EADDRINUSE || attempt == kPortAttempts) return false;
  }
  if (::pipe2(wake_fds_, O_CLOEXEC) != 0) {
    const int saved = errno;
    ::close(fd);
    if (udp >= 0) ::close(udp);
    errno = saved;
    return false;
  }
  listen_fd_ = fd;
  udp_fd_ = udp;
  port_ = bound;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = false;
    next_auto_node_ = options_.first_client_node == 0 ? 1 : options_.first_client_node;
  }
  running_ = true;
  acceptor_ = std::thread(&Impl::acceptLoop, this);
  if (udp_fd_ >= 0) udp_thread_ = std::thread(&Impl::udpLoop, this);
  return true;
}

void PlcSimulator::Impl::stop() {
  std::lock_guard<std::mutex> life(lifecycle_mu_);
  if (!running_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    for (auto& c : connections_) {
      if (c->fd >= 0) ::shutdown(c->fd, SHUT_RDWR);
    }
    cv_.notify_all();
  }
  const uint8_t wake = 1;
  while (::write(wake_fds_[1], &wake, 1) < 0 && errno == EINTR) {
  }
  acceptor_.join();
  if (udp_thread_.joinable()) udp_thread_.join();

  // The acceptor is gone, so the list can only shrink now.
  std::list<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(mu_);
    connections.swap(connections_);
  }
  for (auto& c : connections) c->thread.join();

  ::close(listen_fd_);
  if (udp_fd_ >= 0) ::close(udp_fd_);
  ::close(wake_fds_[0]);
  ::close(wake_fds_[1]);
  listen_fd_ = udp_fd_ = wake_fds_[0] = wake_fds_[1] = -1;
  running_ = false;
}

void PlcSimulator::Impl::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;

    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: the pending client stays queued; back off
        // instead of spinning on a listener that stays readable.
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait_for(lock, std::chrono::milliseconds(50), [this] { return stopping_; });
      }
      continue;
    }
    // Replies go out in one send; never let Nagle hold one back.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::vector<std::thread> finished;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      reapFinished(&finished);
      auto c = std::make_unique<Connection>();
      c->id = next_connection_id_++;
      c->fd = fd;
      Connection* raw = c.get();
      connections_.push_back(std::move(c));
      ++open_connections_;
      cv_.notify_all();
      if (options_.verbose) {
        std::printf("fins-plc-sim: connection %d opened\n", raw->id);
        std::fflush(stdout);
      }
      raw->thread = std::thread(&Impl::serve, this, raw);
    }
    for (auto& t : finished) t.join();
  }
}

// REQUIRES: mu_ held.
void PlcSimulator::Impl::reapFinished(std::vector<std::thread>* finished) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->finished) {
      finished->push_back(std::move((*it)->thread));
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void PlcSimulator::Impl::serve(Connection* c) {
  bool open = handshake(c);
  while (open) open = serveFrame(c);
  std::lock_guard<std::mutex> lock(mu_);
  if (options_.verbose) {
    std::printf("fins-plc-sim: connection %d closed\n", c->id);
    std::fflush(stdout);
  }
  ::close(c->fd);
  c->fd = -1;
  --open_connections_;
  cv_.notify_all();
  c->finished = true;  // once mu_ is released the acceptor or stop() may free *c
}

void PlcSimulator::Impl::sendError(Connection* c, uint32_t code) {
  sendAll(c->fd, wire::tcpHeader(wire::kErrorNotification, code, 0));
}

// Waits until `due`, and the answer delay after it when `answering`; the
// delay is read afresh on every wake-up so that a change applies to a wait
// under way. False when stop() or a dropped connection cut it short.
bool PlcSimulator::Impl::pause(Connection* c, Clock::time_point due,
                               bool answering) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (stopping_ || c->dropped) return false;
    const Clock::time_point until = answering ? due + answer_delay_ : due;
    if (Clock::now() >= until) return true;
    cv_.wait_until(lock, until);
  }
}

std::chrono::milliseconds PlcSimulator::Impl::answerDelay() const {
  std::lock_guard<std::mutex> lock(mu_);
  return answer_delay_;
}

// A PLC that went quiet mid-handshake: read and discard until the client
// gives up.
void PlcSimulator::Impl::waitForClose(Connection* c) {
  uint8_t scratch[256];
  for (;;) {
    const ssize_t r = ::recv(c->fd, scratch, sizeof scratch, 0);
    if (r > 0 || (r < 0 && errno == EINTR)) continue;
    return;
  }
}

bool PlcSimulator::Impl::handshake(Connection* c) {
  uint8_t header[wire::kTcpHeaderSize];
  if (!recvAll(c->fd, header, sizeof header)) return false;
  if (!wire::isFinsMagic(header)) {
    sendError(c, wire::kErrorNotFins);
    return false;
  }
  if (wire::get32(header + 8) != wire::kNodeAddressRequest) {
    sendError(c, wire::kErrorCommandNotSupported);
    return false;
  }
  if (wire::get32(header + 4) != 12) {
    sendError(c, wire::kErrorLengthTooLong);
    return false;
  }
  uint8_t node_field[4];
  if (!recvAll(c->fd, node_field, sizeof node_field)) return false;

  AfterHandshake next;
  std::vector<uint8_t> answer;
  {
    std::lock_guard<std::mutex> lock(mu_);
    answer = handshakeAnswer(c, wire::get32(node_field), &next);
  }
  if (!sendAll(c->fd, answer)) return false;
  switch (next) {
    case AfterHandshake::kServe:
      return true;
    case AfterHandshake::kStaySilent:
      waitForClose(c);
      return false;
    case AfterHandshake::kClose:
      break;
  }
  return false;
}

// REQUIRES: mu_ held.
std::vector<uint8_t> PlcSimulator::Impl::handshakeAnswer(Connection* c, uint32_t requested,
                                                         AfterHandshake* next) {
  auto message = [this](uint32_t command, uint32_t error, uint32_t client) {
    std::vector<uint8_t> m = wire::tcpHeader(command, error, 8);
    wire::put32(&m, client);
    wire::put32(&m, options_.server_node);
    return m;
  };

  if (handshake_mode_ == HandshakeMode::kRaw) {
    *next = AfterHandshake::kServe;
    return handshake_raw_;
  }
  if (handshake_mode_ == HandshakeMode::kRefuse) {
    *next = AfterHandshake::kClose;
    return message(refuse_command_, refuse_code_, requested);
  }

  uint8_t node = 0;
  const uint32_t error = chooseNode(requested, &node);
  if (error != 0) {
    if (options_.verbose) {
      std::printf("fins-plc-sim: connection %d refused node %u (FINS/TCP error 0x%02X)\n",
                  c->id, static_cast<unsigned>(requested), static_cast<unsigned>(error));
      std::fflush(stdout);
    }
    *next = AfterHandshake::kClose;
    return message(wire::kErrorNotification, error, requested);
  }
  std::vector<uint8_t> answer = message(wire::kNodeAddressAnswer, 0, node);
  if (handshake_mode_ == HandshakeMode::kShort) {
    answer.resize(std::min(short_bytes_, answer.size()));
    *next = AfterHandshake::kStaySilent;
    return answer;
  }
  if (requested == 0) next_auto_node_ = node + 1u;
  c->node = node;
  client_nodes_.push_back(node);
  *next = AfterHandshake::kServe;
  if (options_.verbose) {
    std::printf("fins-plc-sim: connection %d is client node %u\n", c->id,
                static_cast<unsigned>(node));
    std::fflush(stdout);
  }
  return answer;
}

// Returns 0 and the node for the client, or the FINS/TCP error code that
// refuses it. REQUIRES: mu_ held.
uint32_t PlcSimulator::Impl::chooseNode(uint32_t requested, uint8_t* node) const {
  if (requested == 0) {
    for (uint32_t n = next_auto_node_; n <= kHighestNode; ++n) {
      if (n != options_.server_node && !nodeInUse(n)) {
        *node = static_cast<uint8_t>(n);
        return 0;
      }
    }
    return wire::kErrorNoNodeLeft;
  }
  if (requested > kHighestNode) return wire::kErrorClientNodeOutOfRange;
  if (requested == options_.server_node) return wire::kErrorSameNodeAddress;
  if (nodeInUse(requested)) return wire::kErrorNodeAlreadyConnected;
  *node = static_cast<uint8_t>(requested);
  return 0;
}

// REQUIRES: mu_ held.
bool PlcSimulator::Impl::nodeInUse(uint32_t node) const {
  for (const auto& c : connections_) {
    if (!c->finished && c->node == node) return true;
  }
  return false;
}

bool PlcSimulator::Impl::serveFrame(Connection* c) {
  uint8_t header[wire::kTcpHeaderSize];
  if (!recvAll(c->fd, header, sizeof header)) return false;
  if (!wire::isFinsMagic(header)) {
    sendError(c, wire::kErrorNotFins);
    return false;
  }
  if (wire::get32(header + 8) != wire::kFrameSend) {
    sendError(c, wire::kErrorCommandNotSupported);
    return false;
  }
  // The length counts the command and error fields (8 bytes) and the frame.
  const uint32_t length = wire::get32(header + 4);
  if (length < 8 || length - 8 > wire::kMaxFrameSize) {
    sendError(c, wire::kErrorLengthTooLong);
    return false;
  }
  std::vector<uint8_t> frame(length - 8);
  if (!recvAll(c->fd, frame.data(), frame.size())) return false;
  const Clock::time_point arrived = Clock::now();

  FrameFault fault;
  std::vector<uint8_t> reply;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fault = answerFrame(frame, options_.verbose ? "connection " + std::to_string(c->id) : "",
                        &reply);
  }

  switch (fault.action) {
    case FrameFault::Action::kDrop:
      return false;
    case FrameFault::Action::kIgnore:
      return true;
    case FrameFault::Action::kRaw:
      reply = std::move(fault.raw);
      break;
    case FrameFault::Action::kAnswer:
      break;
  }
  if (!pause(c, arrived + fault.delay, !reply.empty())) return false;
  return reply.empty() || sendAll(c->fd, reply);
}

// REQUIRES: mu_ held.
FrameFault PlcSimulator::Impl::answerFrame(const std::vector<uint8_t>& frame,
                                           const std::string& via, std::vector<uint8_t>* reply) {
  ++frames_seen_;
  if (options_.record_frames) frames_.push_back(frame);
  cv_.notify_all();
  FrameFault fault;
  // Too short to be a command, or a response someone sent us: a CPU unit
  // has nothing to say to either.
  if (frame.size() < wire::kFinsHeaderSize || (frame[wire::kIcf] & wire::kIcfResponse) != 0) {
    logFrame(via, frame, "dropped", 0);
    fault.action = FrameFault::Action::kIgnore;
    return fault;
  }
  fault = faults_.take();
  if (fault.action != FrameFault::Action::kAnswer) {
    logFrame(via, frame,
             fault.action == FrameFault::Action::kDrop     ? "dropped by request"
             : fault.action == FrameFault::Action::kIgnore ? "ignored"
                                                           : "answered with raw bytes",
             0);
    return fault;
  }
  CommandResult result;
  if (fault.fail) {
    result.end_code = fault.fail_code;
  } else {
    result = handler_.execute(frame.data(), frame.size());
  }
  const uint8_t sid = static_cast<uint8_t>(frame[wire::kSid] - (fault.wrong_sid ? 1 : 0));
  if ((frame[wire::kIcf] & wire::kIcfNoResponse) == 0) {
    *reply = buildReply(frame.data(), sid, result.end_code, result.data);
  }
  logFrame(via, frame, fault.wrong_sid ? "answered with a wrong SID" : "answered",
           result.end_code);
  return fault;
}

// REQUIRES: mu_ held.
void PlcSimulator::Impl::logFrame(const std::string& via, const std::vector<uint8_t>& frame,
                                  const char* what, uint16_t end_code) const {
  if (!options_.verbose) return;
  if (frame.size() < wire::kFinsHeaderSize) {
    std::printf("fins-plc-sim: %s: %zu-byte frame %s\n", via.c_str(), frame.size(), what);
  } else {
    const uint8_t mrc = frame[wire::kMrc];
    const uint8_t src = frame[wire::kSrc];
    std::printf("fins-plc-sim: %s: node %u SID %u: %02X %02X %s, %s, end code %04X\n",
                via.c_str(), static_cast<unsigned>(frame[wire::kSna + 1]),
                static_cast<unsigned>(frame[wire::kSid]), mrc, src,
                CommandHandler::commandName(mrc, src), what, end_code);
  }
  std::fflush(stdout);
}

void PlcSimulator::Impl::udpLoop() {
  std::vector<uint8_t> buffer(kDatagramBuffer);
  for (;;) {
    int timeout_ms = -1;
    if (!udp_delayed_.empty()) {
      const auto wait =
          udp_delayed_.begin()->first + answerDelay() - Clock::now();
      // Rounded up, so that the wake-up is never early and spins.
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
      timeout_ms = static_cast<int>(std::clamp<decltype(ms)>(ms, 0, 60 * 1000));
    }
    pollfd fds[3] = {{udp_fd_, POLLIN, 0},
                     {wake_fds_[0], POLLIN, 0},
                     {retime_fd_, POLLIN, 0}};
    if (::poll(fds, 3, timeout_ms) < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) break;
    if (fds[2].revents != 0) {
      uint64_t changes = 0;
      if (::read(retime_fd_, &changes, sizeof changes) < 0) {
        // Nothing to do: the due times are reckoned again below regardless.
      }
    }
    sendDueDatagrams();
    if ((fds[0].revents & POLLIN) != 0) serveDatagram(&buffer);
  }
  // Replies still held back when the PLC stops are never sent.
  udp_delayed_.clear();
}

void PlcSimulator::Impl::serveDatagram(std::vector<uint8_t>* buffer) {
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  // MSG_TRUNC reports the datagram's real length even when it was cut.
  const ssize_t r = ::recvfrom(udp_fd_, buffer->data(), buffer->size(), MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &from_len);
  if (r < 0) return;
  // No FINS frame is this long; an Ethernet unit discards such datagrams
  // unread.
  if (static_cast<size_t>(r) > wire::kMaxFrameSize) return;
  const std::vector<uint8_t> frame(buffer->begin(), buffer->begin() + r);
  const Clock::time_point arrived = Clock::now();

  FrameFault fault;
  std::vector<uint8_t> reply;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fault = answerFrame(frame, options_.verbose ? "UDP " + peerText(from) : "", &reply);
  }
  std::vector<uint8_t> datagram;
  switch (fault.action) {
    case FrameFault::Action::kDrop:  // a lost datagram: there is no connection to close
    case FrameFault::Action::kIgnore:
      return;
    case FrameFault::Action::kRaw:
      datagram = std::move(fault.raw);
      break;
    case FrameFault::Action::kAnswer:
      if (reply.empty()) return;
      // FINS/UDP carries the bare frame.
      datagram.assign(reply.begin() + wire::kTcpHeaderSize, reply.end());
      break;
  }
  const Clock::time_point due = arrived + fault.delay;
  if (due + answerDelay() > Clock::now()) {
    udp_delayed_.emplace(due, DelayedDatagram{from, std::move(datagram)});
    return;
  }
  sendDatagram(from, datagram);
}

void PlcSimulator::Impl::sendDueDatagrams() {
  const auto now = Clock::now();
  const auto delay = answerDelay();
  while (!udp_delayed_.empty() && udp_delayed_.begin()->first + delay <= now) {
    sendDatagram(udp_delayed_.begin()->second.to, udp_delayed_.begin()->second.bytes);
    udp_delayed_.erase(udp_delayed_.begin());
  }
}

// A datagram that cannot be sent is lost, as on any network.
void PlcSimulator::Impl::sendDatagram(const sockaddr_in& to, const std::vector<uint8_t>& bytes) {
  ::sendto(udp_fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void PlcSimulator::Impl::setAnswerDelay(std::chrono::milliseconds delay) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    answer_delay_ = boundedAnswerDelay(delay);
    cv_.notify_all();
  }
  const uint64_t change = 1;
  if (::write(retime_fd_, &change, sizeof change) < 0) {
    // Nothing to do: a counter at its ceiling has the UDP thread woken
    // already.
  }
}

void PlcSimulator::Impl::refuseHandshake(uint32_t code, uint32_t command) {
  std::lock_guard<std::mutex> lock(mu_);
  handshake_mode_ = HandshakeMode::kRefuse;
  refuse_code_ = code;
  refuse_command_ = command;
}

void PlcSimulator::Impl::shortHandshake(size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  handshake_mode_ = HandshakeMode::kShort;
  short_bytes_ = bytes;
}

void PlcSimulator::Impl::replyHandshakeWithRaw(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  handshake_mode_ = HandshakeMode::kRaw;
  handshake_raw_ = std::move(bytes);
}

void PlcSimulator::Impl::acceptHandshakes() {
  std::lock_guard<std::mutex> lock(mu_);
  handshake_mode_ = HandshakeMode::kAccept;
}

void PlcSimulator::Impl::dropAllConnections() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& c : connections_) {
    if (c->fd >= 0) {
      ::shutdown(c->fd, SHUT_RDWR);
      c->dropped = true;
    }
  }
  cv_.notify_all();
}

std::vector<std::vector<uint8_t>> PlcSimulator::Impl::receivedFrames() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_;
}

void PlcSimulator::Impl::clearReceivedFrames() {
  std::lock_guard<std::mutex> lock(mu_);
  frames_.clear();
  frames_seen_ = 0;
}

bool PlcSimulator::Impl::waitForFrames(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [this, count] { return frames_seen_ >= count; });
}

size_t PlcSimulator::Impl::connectionCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return open_connections_;
}

bool PlcSimulator::Impl::waitForConnectionCount(size_t count,
                                                std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [this, count] { return open_connections_ == count; });
}

std::vector<uint8_t> PlcSimulator::Impl::clientNodes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return client_nodes_;
}

// ---- PlcSimulator ----------------------------------------------------------

PlcSimulator::PlcSimulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

PlcSimulator::~PlcSimulator() = default;

bool PlcSimulator::start() { return impl_->start(); }

void PlcSimulator::stop() { impl_->stop(); }

uint16_t PlcSimulator::port() const { return impl_->port(); }

bool PlcSimulator::cvFamily() const { return impl_->cvFamily(); }

uint16_t PlcSimulator::word(const std::string& area, uint32_t index) const {
  return impl_->withMemory([&](const PlcMemory& m) { return m.word(area, index); });
}

void PlcSimulator::setWord(const std::string& area, uint32_t index, uint16_t value) {
  impl_->withMemory([&](PlcMemory& m) { m.setWord(area, index, value); });
}

bool PlcSimulator::bit(const std::string& area, uint32_t index, unsigned bit) const {
  return impl_->withMemory([&](const PlcMemory& m) { return m.bit(area, index, bit); });
}

void PlcSimulator::setBit(const std::string& area, uint32_t index, unsigned bit, bool value) {
  impl_->withMemory([&](PlcMemory& m) { m.setBit(area, index, bit, value); });
}

uint16_t PlcSimulator::forced(const std::string& area, uint32_t index) const {
  return impl_->withMemory([&](const PlcMemory& m) { return m.forced(area, index); });
}

void PlcSimulator::setForced(const std::string& area, uint32_t index, uint16_t forced_mask) {
  impl_->withMemory([&](PlcMemory& m) { m.setForced(area, index, forced_mask); });
}

void PlcSimulator::refuseHandshake(uint32_t fins_tcp_error_code, uint32_t command) {
  impl_->refuseHandshake(fins_tcp_error_code, command);
}

void PlcSimulator::shortHandshake(size_t bytes) { impl_->shortHandshake(bytes); }

void PlcSimulator::replyHandshakeWithRaw(std::vector<uint8_t> bytes) {
  impl_->replyHandshakeWithRaw(std::move(bytes));
}

void PlcSimulator::acceptHandshakes() { impl_->acceptHandshakes(); }

void PlcSimulator::failNextCommands(uint16_t end_code, int count) {
  impl_->withFaults([&](FaultPlan& f) { f.fail(end_code, count); });
}

void PlcSimulator::wrongSidNextCommands(int count) {
  impl_->withFaults([&](FaultPlan& f) { f.wrongSid(count); });
}

void PlcSimulator::delayNextCommands(std::chrono::milliseconds delay, int count) {
  impl_->withFaults([&](FaultPlan& f) { f.delay(delay, count); });
}

void PlcSimulator::ignoreNextCommands(int count) {
  impl_->withFaults([&](FaultPlan& f) { f.ignore(count); });
}

void PlcSimulator::dropNextCommands(int count) {
  impl_->withFaults([&](FaultPlan& f) { f.drop(count); });
}

void PlcSimulator::replyNextWithRaw(std::vector<uint8_t> bytes) {
  impl_->withFaults([&](FaultPlan& f) { f.raw(std::move(bytes)); });
}

void PlcSimulator::clearFaults() {
  impl_->withFaults([](FaultPlan& f) { f.clear(); });
}

void PlcSimulator::refuseElement(uint8_t area_code, uint16_t fins_word, uint16_t end_code) {
  impl_->withHandler(
      [&](CommandHandler& h) { h.refuseElement(area_code, fins_word, end_code); });
}

void PlcSimulator::setAnswerDelay(std::chrono::milliseconds delay) {
  impl_->setAnswerDelay(delay);
}

void PlcSimulator::setReadLimits(size_t max_elements, size_t max_words) {
  impl_->withHandler(
      [&](CommandHandler& h) { h.setReadLimits(max_elements, max_words); });
}

void PlcSimulator::dropAllConnections() { impl_->dropAllConnections(); }

std::vector<std::vector<uint8_t>> PlcSimulator::receivedFrames() const {
  return impl_->receivedFrames();
}

void PlcSimulator::clearReceivedFrames() { impl_->clearReceivedFrames(); }

bool PlcSimulator::waitForFrames(size_t count, std::chrono::milliseconds timeout) const {
  return impl_->waitForFrames(count, timeout);
}

size_t PlcSimulator::connectionCount() const { return impl_->connectionCount(); }

bool PlcSimulator::waitForConnectionCount(size_t count, std::chrono::milliseconds timeout) const {
  return impl_->waitForConnectionCount(count, timeout);
}

std::vector<uint8_t> PlcSimulator::clientNodes() const { return impl_->clientNodes(); }

}  // namespace plcsim
