// HttpTransport: POSTs XML-RPC calls to one HTTP endpoint over a kept TCP
// connection, each call bounded by a real deadline.
//
// One call is one request written at once (TCP_NODELAY, so that it leaves
// without waiting for an ACK) and an answer read with poll() until it is
// complete or the call's time is up; the deadline covers the whole call:
// connecting, writing and every read. The answer is read by
// HttpResponseReader, within its limits.
//
// The connection is kept from call to call. It is dropped after any failed
// call, and after an answer that says the server closes it; the next call
// then connects afresh. A server may close a kept connection while it is
// idle: a call that finds it closed before sending connects again, and a
// call whose request on a reused connection meets EOF or a reset before any
// byte of answer is repeated once on a fresh connection (the service's
// calls can be repeated safely: each reads or sets one register).
//
// Writes use MSG_NOSIGNAL: a peer that has gone cannot raise SIGPIPE.
// Not thread-safe: one caller at a time.

#ifndef GW_ROBOTIO_HTTP_TRANSPORT_H_
#define GW_ROBOTIO_HTTP_TRANSPORT_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "robotio/http_response.h"

namespace robotio {

// Where the calls go: host (a name or a numeric address), TCP port and
// request path.
struct HttpEndpoint {
  std::string host;
  uint16_t port = 0;
  std::string path;
};

// Reads "http://host[:port][/path]" (default port 80, path "/") into *out.
// Returns false and a reason in *error for anything else (other schemes,
// user info, a bad port).
bool parseHttpUrl(const std::string& url, HttpEndpoint* out,
                  std::string* error);

class HttpTransport {
 public:
  enum class Result {
    kOk,        // a complete 200 answer; its body is in answerBody()
    kNoAnswer,  // refused or broken connection, malformed or non-200 answer
    kTimedOut,  // no complete answer within the time-out
  };

  // Talks to `url`; an unusable URL makes every call fail with kNoAnswer.
  explicit HttpTransport(const std::string& url);
  ~HttpTransport();  // Closes the connection.

  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // POSTs `body` as text/xml and waits for the whole answer, at most
  // `timeout` from the moment of the call. On kOk the answer's body is in
  // answerBody() until the next call; otherwise *error says what went
  // wrong.
  Result post(const std::string& body, std::chrono::milliseconds timeout,
              std::string* error);

  // The body of the last kOk answer.
  const char* answerBody() const { return reader_.body(); }
  size_t answerBodySize() const { return reader_.bodySize(); }

  // TCP connections opened so far (a measure of reuse, for tests).
  uint64_t connectionsOpened() const { return connections_opened_; }

 private:
  using Clock = std::chrono::steady_clock;
  // How one exchange on an open connection ended.
  enum class Exchange { kDone, kFailed, kTimedOut, kClosedUnanswered };

  Result connect(Clock::time_point deadline, std::string* error);
  Exchange exchange(Clock::time_point deadline, std::string* error);
  Exchange sendRequest(Clock::time_point deadline, std::string* error);
  Exchange readAnswer(Clock::time_point deadline, std::string* error);
  // True when the kept connection shows no sign of having been closed.
  bool keptConnectionUsable() const;
  void closeConnection();

  HttpEndpoint endpoint_;
  std::string url_error_;  // Non-empty when the URL was unusable.
  std::string request_head_prefix_;  // Request line and fixed headers.
  std::string request_;              // Reused from call to call.
  HttpResponseReader reader_;
  int fd_ = -1;
  uint64_t connections_opened_ = 0;
};

}  // namespace robotio

#endif  // GW_ROBOTIO_HTTP_TRANSPORT_H_
