// Fuzzes what the FINS library reads from a PLC: the node address handshake answer and the
// responses to a multiple memory area read, a memory area write and a CPU unit data read.
//
// Input layout:
//   byte 0  what to run: bits 0-1 the operations (0 read, 1 write, 2 CPU unit data, 3 all three
//           in turn), bit 2 the CV family instead of CS, bits 3-4 the record's error limit
//           (3: counting off)
//   byte 1  how many: read items (1..48, so up to two frames) or written words (up to 766, so up
//           to three frames)
//   byte 2  the first item's data type; the items after it take the next type codes in turn
//   rest    everything the PLC sends, as one TCP stream, from the handshake answer on
//
// The peer sends the stream and then closes its sending side, so every receive of the library
// ends at once instead of waiting out the socket time-out, and the peer is the first to close (no
// TIME_WAIT piles up on the client's ephemeral ports across millions of runs).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fins/fins.h"
#include "fuzz_check.h"
#include "loopback_listener.h"

namespace {

constexpr size_t kControlBytes = 3;
constexpr size_t kMaxReadItems = 2 * FINS_MULTI_READ_MAX_ITEMS;
constexpr int kAcceptPollMs = 10;
constexpr int kDataTypeCodes = 20;  // 0 (skipped by the library) and 1..19

// A loopback listener for the whole process; each run accepts one connection from it.
using Listener = LoopbackListener;

// One run's PLC: accepts the client, sends the scripted stream, half-closes, then collects
// whatever the client sends until the client closes or the run is over.
class StreamPeer {
 public:
  StreamPeer(const Listener& listener, const uint8_t* data, size_t size)
      : stream_(data, data + size), thread_([this, &listener] { serve(listener.fd()); }) {}

  // Ends the peer (the client must have closed its socket first) and returns what it received.
  const std::vector<uint8_t>& finish() {
    done_ = true;
    thread_.join();
    return received_;
  }

 private:
  void serve(int listen_fd) {
    int fd = -1;
    while (fd < 0 && !done_) {
      pollfd p{listen_fd, POLLIN, 0};
      if (poll(&p, 1, kAcceptPollMs) > 0) fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (fd < 0) return;
    size_t sent = 0;
    while (sent < stream_.size()) {
      ssize_t n = send(fd, stream_.data() + sent, stream_.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    uint8_t buf[4096];
    for (;;) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      received_.insert(received_.end(), buf, buf + n);
    }
    close(fd);
  }

  std::vector<uint8_t> stream_;
  std::vector<uint8_t> received_;
  std::atomic<bool> done_{false};
  std::thread thread_;  // last: starts after the members it uses
};

// Every code an operation may return: success, a PLC end code, or one of the library's own.
bool isKnownReturnCode(int rc) {
  if (rc >= 0 && rc <= FINS_LAST_END_CODE) return (rc & 0x80C0) == 0;  // MRES & 0x7F, SRES & 0x3F
  if (rc >= FINS_RETVAL_ERRNO_BASE && rc <= FINS_RETVAL_ERRNO_LAST) return true;
  switch (rc) {
    case FINS_RETVAL_NO_RECORD: case FINS_RETVAL_NOT_CONNECTED: case FINS_RETVAL_MAX_ERROR_COUNT:
    case FINS_RETVAL_SYNC_ERROR: case FINS_RETVAL_INVALID_READ_ADDRESS: case FINS_RETVAL_INVALID_READ_AREA:
    case FINS_RETVAL_INVALID_WRITE_ADDRESS: case FINS_RETVAL_INVALID_WRITE_AREA:
    case FINS_RETVAL_BODY_TOO_SHORT: case FINS_RETVAL_BODY_TOO_LONG: case FINS_RETVAL_HEADER_SEND_ERROR:
    case FINS_RETVAL_COMMAND_SEND_ERROR: case FINS_RETVAL_RESPONSE_INCOMPLETE:
    case FINS_RETVAL_TCP_UNEXPECTED_COMMAND: case FINS_RETVAL_TCP_HEADER_INCOMPLETE:
      return true;
    default:
      return rc >= FINS_RETVAL_TCP_NORMAL_CODE && rc <= FINS_RETVAL_TCP_NO_NODE_ADDRESS_LEFT;
  }
}

bool isTerminatedText(const char* text, size_t size) { return memchr(text, '\0', size) != nullptr; }

// The record stays coherent whatever the PLC sent.
void checkRecord(const fins_sys_tp* sys, int open_fd) {
  FUZZ_CHECK(sys->sockfd == -1 || sys->sockfd == open_fd);
  FUZZ_CHECK((sys->sockfd == -1) == (sys->transport == FINS_TRANSPORT_NONE));
  FUZZ_CHECK(sys->error_max < 0 || (sys->error_count >= 0 && sys->error_count <= sys->error_max));
  FUZZ_CHECK(isTerminatedText(sys->model, sizeof sys->model));
  FUZZ_CHECK(isTerminatedText(sys->version, sizeof sys->version));
  FUZZ_CHECK(sys->plc_family == FINS_PLC_FAMILY_UNKNOWN || sys->plc_family == FINS_PLC_FAMILY_CV ||
             sys->plc_family == FINS_PLC_FAMILY_CS);
}

// An address every family has for the item's kind: CIO for bits and forced words, DM otherwise.
void setItemAddress(fins_multidata_tp* item, size_t index) {
  switch (item->type) {
    case FINS_DATA_TYPE_BIT:
    case FINS_DATA_TYPE_BIT_FORCED:
      snprintf(item->address, sizeof item->address, "CIO%zu.%zu", index, index % 16);
      break;
    case FINS_DATA_TYPE_WORD_FORCED:
      snprintf(item->address, sizeof item->address, "CIO%zu", index);
      break;
    default:
      snprintf(item->address, sizeof item->address, "DM%zu", 100 + index);
      break;
  }
}

void runMultipleRead(fins_sys_tp* sys, uint8_t count, uint8_t first_type) {
  size_t n = 1 + count % kMaxReadItems;
  // Exactly n items on the heap, so that a write past the last is caught.
  std::vector<fins_multidata_tp> items(n);
  for (size_t i = 0; i < n; i++) {
    memset(&items[i], 0, sizeof items[i]);
    items[i].type = static_cast<int>((first_type + i) % kDataTypeCodes);
    setItemAddress(&items[i], i);
  }
  std::vector<fins_multidata_tp> before = items;
  int fd = sys->sockfd;
  int rc = finslib_multiple_memory_area_read(sys, items.data(), n);
  FUZZ_CHECK(isKnownReturnCode(rc));
  checkRecord(sys, fd);
  for (size_t i = 0; i < n; i++) {
    // The inputs of an item are never touched; decoded bit values are 0 or 1.
    FUZZ_CHECK(memcmp(items[i].address, before[i].address, sizeof items[i].address) == 0);
    FUZZ_CHECK(items[i].type == before[i].type);
    if (items[i].type == FINS_DATA_TYPE_BIT || items[i].type == FINS_DATA_TYPE_BIT_FORCED) {
      FUZZ_CHECK(items[i].value.bit.value <= 1 && items[i].value.bit.forced <= 1);
    }
    if (items[i].type == FINS_DATA_TYPE_BIT) FUZZ_CHECK(items[i].value.bit.forced == 0);
  }
}

void runWrite(fins_sys_tp* sys, uint8_t count) {
  size_t n = 1 + static_cast<size_t>(count) * 3;  // up to 766: three frames
  std::vector<int16_t> words(n);
  for (size_t i = 0; i < n; i++) words[i] = static_cast<int16_t>(i * 257);
  int fd = sys->sockfd;
  int rc = finslib_memory_area_write_int16(sys, "DM1000", words.data(), n);
  FUZZ_CHECK(isKnownReturnCode(rc));
  checkRecord(sys, fd);
}

void runCpuUnitDataRead(fins_sys_tp* sys) {
  fins_cpudata_tp cpu;
  memset(&cpu, 0xA5, sizeof cpu);
  fins_sys_tp before = *sys;
  int fd = sys->sockfd;
  int rc = finslib_cpu_unit_data_read(sys, &cpu);
  FUZZ_CHECK(isKnownReturnCode(rc));
  checkRecord(sys, fd);
  if (rc != FINS_RETVAL_SUCCESS) {
    // A failure leaves the record's PLC description as it was.
    FUZZ_CHECK(memcmp(before.model, sys->model, sizeof sys->model) == 0);
    FUZZ_CHECK(memcmp(before.version, sys->version, sizeof sys->version) == 0);
    FUZZ_CHECK(before.plc_family == sys->plc_family);
    return;
  }
  FUZZ_CHECK(isTerminatedText(cpu.model, sizeof cpu.model));
  FUZZ_CHECK(isTerminatedText(cpu.version, sizeof cpu.version));
  FUZZ_CHECK(strcmp(cpu.model, sys->model) == 0 && strcmp(cpu.version, sys->version) == 0);
  FUZZ_CHECK(cpu.num_racks >= 0 && cpu.num_racks <= 15);
  FUZZ_CHECK(cpu.largest_em_bank >= 0 && cpu.largest_em_bank <= 255);
  for (int i = 0; i < 16; i++) FUZZ_CHECK(cpu.bus_unit_id[i] <= 0x7FFF);
}

// Checks the client's side of the stream: each request is a well-formed FINS/TCP frame.
void checkRequests(const std::vector<uint8_t>& sent) {
  size_t pos = 0;
  if (sent.size() >= FINS_TCP_HANDSHAKE_REQUEST_LEN) {
    FUZZ_CHECK(memcmp(sent.data(), "FINS", 4) == 0);
    pos = FINS_TCP_HANDSHAKE_REQUEST_LEN;
  }
  while (pos + FINS_TCP_HEADER_LEN <= sent.size()) {
    const uint8_t* h = sent.data() + pos;
    FUZZ_CHECK(memcmp(h, "FINS", 4) == 0);
    uint32_t length = (uint32_t{h[4]} << 24) | (uint32_t{h[5]} << 16) | (uint32_t{h[6]} << 8) | h[7];
    FUZZ_CHECK(length >= 8 + FINS_HEADER_LEN && length <= 8 + FINS_FRAME_LEN);
    pos += 8 + length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Listener listener;
  if (size < kControlBytes) return 0;
  const uint8_t ops = data[0] & 3;
  const bool cv = (data[0] & 4) != 0;
  const int error_limit = (data[0] >> 3) & 3;
  const int error_max = error_limit == 3 ? -1 : error_limit;

  StreamPeer peer(listener, data + kControlBytes, size - kControlBytes);
  int err = 0;
  fins_sys_tp* sys = finslib_tcp_connect(nullptr, "127.0.0.1", listener.port(), 0, 0, 0, 0, 0, 0, &err, error_max);
  FUZZ_CHECK(sys != nullptr);
  FUZZ_CHECK(err == sys->last_error);
  FUZZ_CHECK(isKnownReturnCode(err));
  checkRecord(sys, sys->sockfd);
  if (sys->sockfd != -1) {
    sys->plc_family = cv ? FINS_PLC_FAMILY_CV : FINS_PLC_FAMILY_CS;
    switch (ops) {
      case 0: runMultipleRead(sys, data[1], data[2]); break;
      case 1: runWrite(sys, data[1]); break;
      case 2: runCpuUnitDataRead(sys); break;
      default:
        runCpuUnitDataRead(sys);
        runMultipleRead(sys, data[1], data[2]);
        runWrite(sys, data[1]);
        break;
    }
  }
  finslib_disconnect(sys);
  checkRequests(peer.finish());
  return 0;
}
