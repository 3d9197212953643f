#include "robotio/http_response.h"

#include <cstring>

namespace robotio {

namespace {

constexpr char kCrlf[] = "\r\n";
constexpr char kHeaderEnd[] = "\r\n\r\n";
// Ten digits hold every length up to the body limit with room to spare; a
// longer number is refused before it can overflow.
constexpr size_t kMaxLengthDigits = 10;

char lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

bool equalsIgnoringCase(const char* a, size_t size, const char* b) {
  if (std::strlen(b) != size) return false;
  for (size_t i = 0; i < size; ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// RFC 9110 token characters: what a header name may be made of.
bool isTokenChar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
      (c >= 'A' && c <= 'Z')) {
    return true;
  }
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isOws(char c) { return c == ' ' || c == '\t'; }

}  // namespace

void HttpResponseReader::reset() {
  buffer_.clear();
  state_ = State::kIncomplete;
  error_.clear();
  status_parsed_ = false;
  http10_ = false;
  headers_parsed_ = false;
  header_end_ = 0;
  have_length_ = false;
  content_length_ = 0;
  keep_alive_ = false;
  saw_close_ = false;
  saw_keep_alive_ = false;
  header_count_ = 0;
}

HttpResponseReader::State HttpResponseReader::fail(std::string reason) {
  state_ = State::kMalformed;
  error_ = std::move(reason);
  return state_;
}

HttpResponseReader::State HttpResponseReader::feed(const uint8_t* data,
                                                   size_t size) {
  if (state_ == State::kMalformed) return state_;
  if (state_ == State::kComplete) {
    return size == 0 ? state_ : fail("bytes after the end of the answer");
  }
  // Until the headers are in, search only the new bytes (and the three
  // before them, which may start a line end) so that a trickling server
  // costs linear time.
  const size_t searched_from = buffer_.size() < 3 ? 0 : buffer_.size() - 3;
  buffer_.append(reinterpret_cast<const char*>(data), size);

  if (!status_parsed_) {
    const size_t line_end = buffer_.find(kCrlf);
    if (line_end == std::string::npos) {
      return buffer_.size() > kMaxStatusLineBytes
                 ? fail("status line too long")
                 : state_;
    }
    if (line_end > kMaxStatusLineBytes) return fail("status line too long");
    if (parseStatusLine(line_end) == State::kMalformed) return state_;
  }
  if (!headers_parsed_) {
    const size_t section_end = buffer_.find(kHeaderEnd, searched_from);
    if (section_end == std::string::npos) {
      return buffer_.size() > kMaxHeaderBytes ? fail("header section too long")
                                              : state_;
    }
    if (section_end + 4 > kMaxHeaderBytes) {
      return fail("header section too long");
    }
    if (parseHeaders(section_end) == State::kMalformed) return state_;
  }
  return checkBody();
}

HttpResponseReader::State HttpResponseReader::parseStatusLine(
    size_t line_end) {
  const char* line = buffer_.data();
  // "HTTP/1.x NNN" is 12 bytes; after it only a space and a reason may
  // follow.
  if (line_end < 12 || std::memcmp(line, "HTTP/1.", 7) != 0 ||
      (line[7] != '0' && line[7] != '1') || line[8] != ' ' ||
      !isDigit(line[9]) || !isDigit(line[10]) || !isDigit(line[11]) ||
      (line_end > 12 && line[12] != ' ')) {
    return fail("not an HTTP/1.x status line");
  }
  for (size_t i = 12; i < line_end; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7f) {
      return fail("control character in the status line");
    }
  }
  const int status =
      (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  if (status != 200) {
    return fail("HTTP status " + std::to_string(status));
  }
  http10_ = line[7] == '0';
  status_parsed_ = true;
  return state_;
}

HttpResponseReader::State HttpResponseReader::parseHeaders(
    size_t section_end) {
  // The header lines lie between the status line's CRLF and the blank line.
  size_t at = buffer_.find(kCrlf) + 2;
  const size_t end = section_end + 2;  // Past the last header's CRLF.
  while (at < end) {
    const size_t line_end = buffer_.find(kCrlf, at);
    if (parseHeaderLine(buffer_.data() + at, line_end - at) ==
        State::kMalformed) {
      return state_;
    }
    at = line_end + 2;
  }
  if (!have_length_) return fail("answer without Content-Length");
  keep_alive_ = !saw_close_ && (!http10_ || saw_keep_alive_);
  header_end_ = section_end + 4;
  headers_parsed_ = true;
  return state_;
}

HttpResponseReader::State HttpResponseReader::parseHeaderLine(const char* line,
                                                              size_t size) {
  if (++header_count_ > kMaxHeaderCount) return fail("too many header lines");
  if (size == 0) return fail("empty header line");
  // Folding is obsolete, and it is what broke the old transport.
  if (isOws(line[0])) return fail("folded header line");
  size_t colon = 0;
  while (colon < size && isTokenChar(line[colon])) ++colon;
  if (colon == 0 || colon == size || line[colon] != ':') {
    return fail("malformed header line");
  }
  size_t value_begin = colon + 1;
  size_t value_end = size;
  while (value_begin < value_end && isOws(line[value_begin])) ++value_begin;
  while (value_end > value_begin && isOws(line[value_end - 1])) --value_end;
  for (size_t i = value_begin; i < value_end; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7f) {
      return fail("control character in a header value");
    }
  }
  const char* value = line + value_begin;
  const size_t value_size = value_end - value_begin;

  if (equalsIgnoringCase(line, colon, "content-length")) {
    if (value_size == 0 || value_size > kMaxLengthDigits) {
      return fail("bad Content-Length");
    }
    size_t length = 0;
    for (size_t i = 0; i < value_size; ++i) {
      if (!isDigit(value[i])) return fail("bad Content-Length");
      length = length * 10 + static_cast<size_t>(value[i] - '0');
    }
    if (length > kMaxBodyBytes) return fail("Content-Length above the limit");
    if (have_length_ && length != content_length_) {
      return fail("conflicting Content-Length headers");
    }
    have_length_ = true;
    content_length_ = length;
  } else if (equalsIgnoringCase(line, colon, "transfer-encoding")) {
    return fail("Transfer-Encoding not supported");
  } else if (equalsIgnoringCase(line, colon, "connection")) {
    // A comma-separated list of options; only two matter here.
    size_t at = 0;
    while (at < value_size) {
      size_t next = at;
      while (next < value_size && value[next] != ',') ++next;
      size_t b = at;
      size_t e = next;
      while (b < e && isOws(value[b])) ++b;
      while (e > b && isOws(value[e - 1])) --e;
      if (equalsIgnoringCase(value + b, e - b, "close")) saw_close_ = true;
      if (equalsIgnoringCase(value + b, e - b, "keep-alive")) {
        saw_keep_alive_ = true;
      }
      at = next + 1;
    }
  }
  return state_;
}

HttpResponseReader::State HttpResponseReader::checkBody() {
  const size_t have = buffer_.size() - header_end_;
  if (have < content_length_) return state_;
  if (have > content_length_) return fail("bytes after the end of the answer");
  state_ = State::kComplete;
  return state_;
}

}  // namespace robotio
