// A FINS/TCP peer that misbehaves on purpose, for byte-level tests of the FINS client library.
//
// It listens on an ephemeral loopback port and serves each accepted connection on its own thread:
// it reads the 20-byte node address request, answers it as scripted, then for every request
// (16-byte FINS/TCP header plus frame) takes the next scripted action, which computes the raw
// bytes to send from the request. Bytes can be sent at once, dribbled byte by byte, late, or not
// at all; the peer can close the connection after sending, or keep sending without end (flood).
// Everything received is logged per connection.
#ifndef TESTS_FINS_SCRIPTED_PEER_H_
#define TESTS_FINS_SCRIPTED_PEER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace finstest {

using Bytes = std::vector<uint8_t>;

struct Action {
  Bytes bytes;                                 // sent as they are (FINS/TCP header included)
  bool dribble = false;                        // one byte per send, with a short pause between
  std::chrono::milliseconds delay{0};          // wait before sending
  bool close_after = false;                    // close the connection after sending
  bool flood = false;                          // after `bytes`, keep sending filler until the client leaves
};

// Computes the reply to one request frame (the frame without its FINS/TCP header).
using Script = std::function<Action(const Bytes& frame)>;

class ScriptedPeer {
 public:
  ScriptedPeer();
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  uint16_t port() const { return port_; }

  // The answer to the node address request; the default is a good answer for client node 20 and
  // server node 10. An empty action with close_after closes at once; one with no bytes and no
  // close stays silent.
  void setHandshake(Action action);
  // Queues the action for the next request; requests beyond the queue get `fallback`, by default
  // a correct empty answer with end code 0.
  void pushReply(Script script);
  void setFallback(Script script);

  // Received data.
  std::vector<Bytes> frames() const;      // FINS frames, in order, all connections
  std::vector<Bytes> tcpHeaders() const;  // their 16-byte FINS/TCP headers
  std::vector<Bytes> handshakes() const;  // handshake requests (as many bytes as arrived, up to 20)
  int connections() const;                // accepted so far
  int closedByClient() const;             // connections on which the client closed first
  bool waitForFrames(size_t n, std::chrono::milliseconds timeout) const;
  bool waitForClosedByClient(int n, std::chrono::milliseconds timeout) const;

  // ---- Building replies --------------------------------------------------------------------
  // A FINS/TCP header announcing `frame_len` frame bytes, with the given command and error code.
  static Bytes tcpHeader(size_t frame_len, uint32_t command = 2, uint32_t error = 0);
  // The correct response frame header for a request: swapped addresses, ICF | 0x40.
  static Bytes responseHeader(const Bytes& request);
  // A complete correct reply: FINS/TCP header + response header + end code + data.
  static Bytes reply(const Bytes& request, uint16_t end_code = 0, const Bytes& data = {});
  // A good 24-byte handshake answer.
  static Bytes handshakeAnswer(uint8_t client_node, uint8_t server_node, uint32_t command = 1,
                               uint32_t error = 0);

 private:
  void acceptLoop();
  void serve(int fd);
  bool readExact(int fd, uint8_t* buf, size_t len, size_t* got);
  void sendAction(int fd, const Action& action);

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<std::thread> workers_;
  std::vector<int> client_fds_;
  Action handshake_;
  std::deque<Script> replies_;
  Script fallback_;
  std::vector<Bytes> frames_;
  std::vector<Bytes> tcp_headers_;
  std::vector<Bytes> handshakes_;
  int connections_ = 0;
  int closed_by_client_ = 0;
};

}  // namespace finstest

#endif  // TESTS_FINS_SCRIPTED_PEER_H_
