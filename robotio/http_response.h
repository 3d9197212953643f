// HttpResponseReader: reads one HTTP/1.x answer to a POST from the bytes
// that arrive on a connection, strictly and within fixed limits.
//
// Whatever answers on the external IO service's port is trusted with
// nothing: the reader accepts only what a sound server sends to this client
// and calls everything else malformed, so that an odd answer costs one
// failed call and never more. What it accepts:
//   - a status line "HTTP/1.0 " or "HTTP/1.1 ", a three-digit code, then a
//     space and a reason (or nothing) before CRLF; any code other than 200
//     ends the answer as malformed as soon as the status line is in, since
//     the client uses no other kind of answer;
//   - header lines "name: value" ended by CRLF, none of them folded (a line
//     starting with a space or tab), at most kMaxHeaderCount of them and
//     kMaxHeaderBytes for the status line and headers together;
//   - a body delimited by Content-Length, required and at most
//     kMaxBodyBytes. Chunked transfer coding is refused: XML-RPC servers
//     know the size of an answer before they send it, and one framing rule
//     is one less way for a broken server to be misread;
//   - nothing after the body (the client never pipelines, so surplus bytes
//     mean the server and client disagree about where the answer ends).
// "Connection: close", or HTTP/1.0 without "Connection: keep-alive", makes
// keepAlive() false.
//
// Not thread-safe; one reader serves one connection at a time.

#ifndef GW_ROBOTIO_HTTP_RESPONSE_H_
#define GW_ROBOTIO_HTTP_RESPONSE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace robotio {

class HttpResponseReader {
 public:
  // A status line longer than this is not from an HTTP server.
  static constexpr size_t kMaxStatusLineBytes = 256;
  // Status line and header lines together, CRLFs included. XML-RPC servers
  // send well under 1 KiB of headers.
  static constexpr size_t kMaxHeaderBytes = 8 * 1024;
  static constexpr size_t kMaxHeaderCount = 64;
  // The service's biggest answer is a scalar of a few hundred bytes; 1 MiB
  // leaves room for any sound answer and bounds what a broken one costs.
  static constexpr size_t kMaxBodyBytes = 1024 * 1024;

  enum class State { kIncomplete, kComplete, kMalformed };

  HttpResponseReader() { reset(); }

  // Forgets the answer read so far, ready for the next one.
  void reset();

  // Takes the next `size` bytes of the answer and returns the state after
  // them. Once the state is kComplete or kMalformed, further bytes are
  // refused as malformed.
  State feed(const uint8_t* data, size_t size);

  State state() const { return state_; }

  // True once any byte of the answer has arrived.
  bool anyByte() const { return !buffer_.empty(); }

  // Why the answer is malformed; empty otherwise.
  const std::string& error() const { return error_; }

  // Valid once kComplete: the body, and whether the server keeps the
  // connection open for another request.
  const char* body() const { return buffer_.data() + header_end_; }
  size_t bodySize() const { return content_length_; }
  bool keepAlive() const { return keep_alive_; }

 private:
  State fail(std::string reason);
  State parseStatusLine(size_t line_end);
  State parseHeaders(size_t section_end);
  State parseHeaderLine(const char* line, size_t size);
  State checkBody();

  std::string buffer_;
  State state_;
  std::string error_;
  bool status_parsed_;
  bool http10_;
  bool headers_parsed_;
  size_t header_end_;  // Offset of the body in buffer_.
  bool have_length_;
  size_t content_length_;
  bool keep_alive_;
  bool saw_close_;
  bool saw_keep_alive_;
  size_t header_count_;
};

}  // namespace robotio

#endif  // GW_ROBOTIO_HTTP_RESPONSE_H_
