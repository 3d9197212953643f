// The engine's link to the PLC: connect, reconnect and their pacing, the
// link check, the family, and the reads and writes of items.

#include "exio/plc_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "exio/fins_data_types.h"
#include "exio/fins_exio.h"
#include "exio/fins_exio_stats.h"
#include "exio/read_plan.h"
#include "service/logger.h"
#include "service/net.h"

namespace {

using Clock = PlcLink::Clock;

// With error limit 1 the library closes the socket after two consecutive
// failed exchanges, which the link check then turns into a reconnect.
constexpr int kErrorLimit = 1;

constexpr int kKeepAliveIdleSec = 10;
constexpr int kKeepAliveIntervalSec = 1;
constexpr int kKeepAliveProbes = 10;

// ConnectedFamilyUnknown is Connected with this flag.
constexpr int kFamilyUnknownFlag = 8;

// Reconnect pacing while the PLC refuses: the first attempts of an outage
// follow each other cycle by cycle, as a short hiccup deserves; then the
// pause doubles from kFirstBackOff up to kMaxBackOff, so that a PLC's
// Ethernet unit never meets a burst of connections and a PLC that accepts
// again is back within about kMaxBackOff.
constexpr int kPromptAttempts = 3;
constexpr auto kFirstBackOff = std::chrono::milliseconds(50);
constexpr auto kMaxBackOff = std::chrono::milliseconds(1000);
// Attempts of an outage that are logged in full; after them, one summary
// record per kSummaryInterval.
constexpr int kLoggedAttempts = 3;
constexpr auto kSummaryInterval = std::chrono::seconds(10);

// The least a frame is shrunk to when the PLC refuses frames for their
// length: what every PLC has served the engine's reads so far (24 items of
// the plain multiple read).
constexpr std::size_t kLeastFrame = FINS_MULTI_READ_MAX_ITEMS;
// How long an item the PLC refused stays out of the shared read before it
// is tried alone again: often enough to recover by itself within about a
// second, seldom enough to cost next to nothing while it stays refused.
constexpr auto kRefusedRetryPause = std::chrono::seconds(1);
// Refused items tried alone in one pass, at most; many refused items are
// then tried in turn rather than all in one cycle.
constexpr std::size_t kRetriesPerPass = 1;

// FINS nodes on a network run 1..254: 0 names the unit itself and 255 is
// the broadcast node, so neither can stand for a host.
constexpr int kFirstNode = 1;
constexpr int kLastNode = 254;
// Any port does for the route lookup; no datagram is sent.
constexpr std::uint16_t kRouteProbePort = 9600;

// The node an address maps to under OMRON's default (automatic) address
// conversion: its last octet.
int nodeOf(const in_addr& address) { return ntohl(address.s_addr) & 0xFF; }

// Fills in the nodes given as 0 for a UDP connect. Over TCP the handshake
// assigns both; over UDP the PLC answers the source node of the frame, and
// with automatic address conversion it sends the answer to the host whose
// last octet is that node, so a node the PLC cannot map back to us would
// make every reply go astray. 0 on success, else the code the connect fails
// with.
int deriveUdpNodes(const std::string& ip, int& localNode, int& remoteNode) {
  const bool localGiven = static_cast<std::uint8_t>(localNode) != 0;
  const bool remoteGiven = static_cast<std::uint8_t>(remoteNode) != 0;
  if (localGiven && remoteGiven) return 0;
  in_addr plc{};
  // A text that is no address is refused by the library's connect.
  if (inet_pton(AF_INET, ip.c_str(), &plc) != 1) return 0;
  if (!remoteGiven) remoteNode = nodeOf(plc);
  if (!localGiven) {
    // Connecting a UDP socket only looks up the route, and with it the
    // local address the PLC will see.
    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) return errno + FINS_RETVAL_ERRNO_BASE;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(kRouteProbePort);
    peer.sin_addr = plc;
    sockaddr_in self{};
    socklen_t length = sizeof self;
    int code = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer),
                  sizeof peer) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length) != 0) {
      code = errno + FINS_RETVAL_ERRNO_BASE;
    }
    close(fd);
    if (code != 0) return code;
    localNode = nodeOf(self.sin_addr);
  }
  for (const int node : {localNode, remoteNode}) {
    if (node < kFirstNode || node > kLastNode) {
      return FINS_RETVAL_INVALID_IP_ADDRESS;
    }
  }
  return 0;
}

// Whether `code` is about the items asked for rather than about the link:
// the PLC answered with an end code, or the library refused an address
// before anything was sent.
bool refusesItems(int code) {
  return (code > 0 && code <= FINS_LAST_END_CODE) ||
         code == FINS_RETVAL_INVALID_READ_ADDRESS ||
         code == FINS_RETVAL_INVALID_READ_AREA;
}

// Runs `exchange` on `connection` so that an answer of the PLC, a refusal
// included, does not count towards the link's error limit: the library
// closes the socket when that count runs over, to notice a dead link, and a
// PLC that refuses an item over a working link would otherwise have the
// link closed and opened again, and the other mappings' traffic with it.
template <typename Exchange>
int countingLinkFailuresOnly(fins_sys_tp* connection, Exchange exchange) {
  const int previous =
      finslib_set_failure_counting(connection, FINS_COUNT_LINK_FAILURES);
  const int code = exchange();
  if (previous >= 0) finslib_set_failure_counting(connection, previous);
  return code;
}

}  // namespace

// A planned frame the PLC refused, for the link to learn from.
struct PlcLink::FrameRefusal {
  const ReadFrame* frame;
  int code;
  bool itemBlamed;  // the search found an item the PLC refuses alone
};

namespace {

// Whether the PLC refused a frame for its length rather than its items.
bool refusesLength(int code) {
  return code == FINS_END_CODE_COMMAND_TOO_LONG ||
         code == FINS_END_CODE_RESPONSE_TOO_LONG;
}

// Outcomes of the items while one pass's frames are read.
constexpr int kUnread = PlcLink::kNotRead;

// Reads the items of one PLC-to-robot pass with the frames of its plan, and
// when the PLC refuses a frame, searches that frame for the item it refuses
// instead of failing the other items with it: halves are read with the
// plain multiple read until one item is left (about log2 of the frame's
// size exchanges), then the frame's other items in one more exchange. Each
// item's outcome lands in `codes`: 0 (read), kUnread, or the code that
// refused it alone.
// REQUIRES: connectionMutex held for the reader's whole life.
class FrameReader {
 public:
  using Refusal = PlcLink::FrameRefusal;

  FrameReader(fins_sys_tp* connection, fins_multidata_tp* items, int* codes)
      : connection_(connection), items_(items), codes_(codes) {}

  // Reads the items of `plan`'s frames, which index `items` directly.
  // Returns 0, or the code of a link failure, which ends the read at once.
  // A frame the PLC refuses is searched and, for the next passes, planned
  // otherwise; its refusal does not count against the link, which answered
  // (frames refused in a row, each by the PLC, must not close it).
  int readPlan(const ReadPlan& plan, const ReadLimits& limits,
               std::vector<Refusal>& refusals) {
    for (const ReadFrame& frame : plan.frames) {
      const std::size_t n = frame.end - frame.begin;
      fins_multidata_tp* batch = items_ + frame.begin;
      const bool range = frame.kind == ReadFrame::Kind::kRange;
      const int code = countingLinkFailuresOnly(connection_, [&] {
        return range ? finslib_memory_area_read_range(connection_, frame.area,
                                                      frame.first, frame.words,
                                                      batch, n)
                     : finslib_multiple_memory_area_read_packed(
                           connection_, batch, n, limits.elements);
      });
      if (code == FINS_RETVAL_SUCCESS) {
        markRead(frame.begin, n);
        continue;
      }
      if (!refusesItems(code)) {
        return code;
      }
      // A range's refusal, or one for length, is no item's own answer.
      const bool itemsOwnCode = !range && !refusesLength(code);
      const int failure = searchFrame(frame.begin, n, code, itemsOwnCode);
      if (failure != FINS_RETVAL_SUCCESS) {
        return failure;
      }
      const bool blamed = std::any_of(
          codes_ + frame.begin, codes_ + frame.end,
          [](int c) { return c != FINS_RETVAL_SUCCESS && c != kUnread; });
      refusals.push_back({&frame, code, blamed});
    }
    return FINS_RETVAL_SUCCESS;
  }

  // Reads item `index` alone. Returns 0, or the code that refused it (also
  // in its outcome), or the code of a link failure.
  int readOne(std::size_t index) {
    const int code =
        finslib_multiple_memory_area_read(connection_, items_ + index, 1);
    if (code == FINS_RETVAL_SUCCESS || refusesItems(code)) {
      codes_[index] = code;
    }
    return code;
  }

 private:
  // Items [first, first + count) were refused as a whole with `code`,
  // which is the answer to the lone item's own read when `itemsOwnCode`.
  int searchFrame(std::size_t first, std::size_t count, int code,
                  bool itemsOwnCode) {
    std::size_t low = first;
    std::size_t size = count;
    bool readAlone = size == 1 && itemsOwnCode;  // its own code is known
    while (size > 1) {
      const std::size_t half = size / 2;
      const int answer = readSearching(items_ + low, half);
      if (answer == FINS_RETVAL_SUCCESS) {
        markRead(low, half);
        low += half;
        size -= half;
        readAlone = false;
      } else if (refusesItems(answer)) {
        size = half;
        code = answer;
        readAlone = half == 1;
      } else {
        return answer;
      }
    }
    if (!readAlone) {
      const int answer = readSearching(items_ + low, 1);
      if (answer == FINS_RETVAL_SUCCESS) {
        // Accepted alone: no single item is to blame this time.
        markRead(low, 1);
        return readRest(first, count);
      }
      if (!refusesItems(answer)) {
        return answer;
      }
      code = answer;
    }
    codes_[low] = code;
    return readRest(first, count);
  }

  // Reads the items of [first, first + count) still unread, in one
  // exchange. Should the PLC refuse that too, they stay unread for this
  // pass: the next pass finds the next refused item.
  int readRest(std::size_t first, std::size_t count) {
    std::vector<std::size_t> rest;
    for (std::size_t i = first; i < first + count; ++i) {
      if (codes_[i] == kUnread) {
        rest.push_back(i);
      }
    }
    if (rest.empty()) {
      return FINS_RETVAL_SUCCESS;
    }
    std::vector<fins_multidata_tp> items;
    items.reserve(rest.size());
    for (std::size_t i : rest) {
      items.push_back(items_[i]);
    }
    const int answer = readSearching(items.data(), items.size());
    if (answer == FINS_RETVAL_SUCCESS) {
      for (std::size_t k = 0; k < rest.size(); ++k) {
        items_[rest[k]] = items[k];
        codes_[rest[k]] = FINS_RETVAL_SUCCESS;
      }
      return FINS_RETVAL_SUCCESS;
    }
    return refusesItems(answer) ? FINS_RETVAL_SUCCESS : answer;
  }

  // One read of the search, which expects refusals: they must not make
  // the library give the link up half way.
  int readSearching(fins_multidata_tp* items, std::size_t count) {
    return countingLinkFailuresOnly(connection_, [&] {
      return finslib_multiple_memory_area_read(connection_, items, count);
    });
  }

  void markRead(std::size_t first, std::size_t count) {
    std::fill(codes_ + first, codes_ + first + count, FINS_RETVAL_SUCCESS);
  }

  fins_sys_tp* const connection_;
  fins_multidata_tp* const items_;
  int* const codes_;
};

}  // namespace

PlcLink::PlcLink(EngineStats& stats)
    : stats_(stats), state_(FinsExIO::Disconnected) {}

PlcLink::~PlcLink() {
  gw::MutexLock lock(connectionMutex);
  closeConnection();
}

// --- Connection ------------------------------------------------------------------

std::string PlcLink::transportName() const {
  switch (transport_.load()) {
    case FINS_TRANSPORT_TCP:
      return "TCP";
    case FINS_TRANSPORT_UDP:
      return "UDP";
    default:
      return "";
  }
}

PlcLink::Snapshot PlcLink::snapshot() const {
  gw::MutexLock lock(snapshotMutex_);
  return snapshot_;
}

void PlcLink::publishSnapshot() {
  gw::MutexLock lock(snapshotMutex_);
  snapshot_.cpuUnitData = cpuUnitData_;
  snapshot_.hasConnection = connection_ != nullptr;
}

void PlcLink::closeConnection() {
  if (connection_ != nullptr) stats_.foldFins(connection_->stats);
  // What one PLC refused is no rule for the next connection.
  readLimits_ = ReadLimits();
  refusedRanges_.clear();
  planStale_ = true;
  finslib_disconnect(connection_);
  connection_ = nullptr;
  publishSnapshot();
}

bool PlcLink::connect(const Endpoint& endpoint) {
  // Published before the lock so that the "connect" method sees an attempt
  // under way and starts no second one while this one waits.
  state_ = FinsExIO::Connecting;
  int code = 0;
  bool connected = false;
  {
    gw::MutexLock lock(connectionMutex);
    // A client's connect starts afresh, whatever the loop's pacing was.
    pacing_ = ReconnectPacing();
    connected = connectLocked(endpoint, false);
    code = lastConnectCode_;
  }
  if (connected) {
    stats_.noteConnected(endpoint.ip, endpoint.port, false);
  } else {
    stats_.noteFailure(endpoint.ip, endpoint.port, code);
  }
  return connected;
}

bool PlcLink::reconnectLocked(bool quiet) {
  state_ = FinsExIO::Connecting;
  const Endpoint endpoint = endpoint_;
  return connectLocked(endpoint, quiet);
}

bool PlcLink::connectLocked(const Endpoint& endpoint, bool quiet) {
  closeConnection();
  ++connectAttempts_;
  // The nodes as given: a reconnect derives zero nodes afresh.
  endpoint_ = endpoint;
  transport_ = endpoint.transport;
  const bool udp = endpoint.transport == FINS_TRANSPORT_UDP;
  const std::string& ip = endpoint.ip;
  int localNode = endpoint.localNode;
  int remoteNode = endpoint.remoteNode;

  // Logged under the public operation's name, whichever path got here.
  if (!quiet) {
    GW_LOG_AS(INFO, "connect", "Fins start connecting PLC");
  }
  int code = udp ? deriveUdpNodes(ip, localNode, remoteNode) : 0;
  if (code != 0) {
    state_ = FinsExIO::ConnectFailed;
    lastConnectCode_ = code;
    if (!quiet) {
      GW_LOG_AS(
          ERROR, "connect",
          "Fins UDP node for %s cannot be derived (local %d, PLC %d), error "
          "code: %d; give both nodes",
          ip.c_str(), localNode, remoteNode, code);
    }
    return false;
  }
  const auto openRecord = udp ? finslib_udp_connect : finslib_tcp_connect;
  connection_ = openRecord(
      nullptr, ip.c_str(), static_cast<uint16_t>(endpoint.port),
      static_cast<uint8_t>(endpoint.localNet),
      static_cast<uint8_t>(localNode),
      static_cast<uint8_t>(endpoint.localUnit),
      static_cast<uint8_t>(endpoint.remoteNet),
      static_cast<uint8_t>(remoteNode),
      static_cast<uint8_t>(endpoint.remoteUnit), &code, kErrorLimit);
  if (connection_ == nullptr || connection_->sockfd < 0) {
    // A record left with a closed socket is freed by the next link check.
    state_ = FinsExIO::ConnectFailed;
    lastConnectCode_ = code;
    if (!quiet) {
      GW_LOG_AS(ERROR, "connect", "Fins connect %s:%d fail, error code: %d",
                ip.c_str(), endpoint.port, code);
    }
    return false;
  }
  // Keep-alive is a TCP matter; a UDP socket has no link to probe.
  if (!udp && !setFinsSocketOpt(connection_->sockfd)) {
    GW_LOG_AS(WARNING, "connect", "Fins set socket opt fail");
  }
  const int cpuCode = finslib_cpu_unit_data_read(connection_, &cpuUnitData_);
  if (cpuCode != 0) {
    if (!quiet) {
      GW_LOG_AS(WARNING, "connect", "Fins get cpu fail");
    }
    closeConnection();
    state_ = FinsExIO::ConnectFailed;
    lastConnectCode_ = cpuCode;
    return false;
  }
  if (connection_->plc_family == FINS_PLC_FAMILY_UNKNOWN) {
    const std::string model = cpuUnitData_.model;
    state_ = setPLCModeLocked(model) ? FinsExIO::Connected
                                     : FinsExIO::ConnectedFamilyUnknown;
  } else {
    state_ = FinsExIO::Connected;
  }
  publishSnapshot();
  if (udp && !quiet) {
    GW_LOG_AS(INFO, "connect", "Fins UDP nodes: local %d, PLC %d",
              connection_->local_node, connection_->remote_node);
  }
  GW_LOG_AS(INFO, "connect", "Fins connect to PLC success");
  return true;
}

void PlcLink::disconnect() {
  gw::MutexLock lock(connectionMutex);
  disconnectLocked();
}

void PlcLink::disconnectLocked() {
  if (connection_ != nullptr) {
    closeConnection();
    GW_LOG_AS(INFO, "disconnect", "Fins instance disconnect");
  }
  GW_LOG_AS(INFO, "disconnect", "Fins disconnect");
  state_ = FinsExIO::Disconnected;
}

bool PlcLink::setFinsSocketOpt(int fd) {
  struct Option {
    int level;
    int name;
    int value;
    const char* failure;
  };
  static const Option kOptions[] = {
      {SOL_SOCKET, SO_KEEPALIVE, 1, "Fins set KEEPALIVE fail: %s"},
      {IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSec,
       "Fins set KEEPIDLE fail: %s"},
      {IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSec,
       "Fins set KEEPINTVL fail: %s"},
      {IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes,
       "Fins set KEEPCNT fail: %s"},
  };
  for (const Option& option : kOptions) {
    if (setsockopt(fd, option.level, option.name, &option.value,
                   sizeof(option.value)) != 0) {
      GW_LOG(ERROR, option.failure, std::strerror(errno));
      return false;
    }
  }
  return true;
}

bool PlcLink::isTCPEstablished() {
  gw::MutexLock lock(connectionMutex);
  if (connection_ == nullptr || state_ == FinsExIO::Disconnected) {
    return true;
  }
  if (transport_ == FINS_TRANSPORT_UDP) return connection_->sockfd >= 0;
  return DaemonUtils::Net::isTCPEstablished(connection_->sockfd);
}

bool PlcLink::setPLCMode(const std::string& text) {
  gw::MutexLock lock(connectionMutex);
  return setPLCModeLocked(text);
}

bool PlcLink::setPLCModeLocked(const std::string& text) {
  if (connection_ == nullptr || text.size() < 2) {
    return false;
  }
  if (!finslib_set_plc_family(connection_,
                              finslib_plc_family_of_model(text.c_str()))) {
    return false;
  }
  // No terminator is written: "CJ" turns a kept "CS1G-CPU44H" into
  // "CJ1G-CPU44H". The last byte of the field stays its terminator.
  const std::size_t room = sizeof(cpuUnitData_.model) - 1;
  std::memcpy(cpuUnitData_.model, text.data(), std::min(text.size(), room));
  publishSnapshot();
  return true;
}

// --- The loop's upkeep -------------------------------------------------------------

void PlcLink::maintain(const char* loop) {
  // The link check holds connectionMutex only for the check: disconnect
  // takes it again.
  if (!isTCPEstablished()) {
    gw::MutexLock lock(connectionMutex);
    if (state_ != FinsExIO::ConnectFailed && connection_ != nullptr) {
      // The library's code when its exchanges closed the socket.
      const int code = connection_->sockfd < 0 && connection_->last_error != 0
                           ? connection_->last_error
                           : FINS_RETVAL_NOT_CONNECTED;
      stats_.noteFailure(endpoint_.ip, endpoint_.port, code);
    }
    if (state_ == FinsExIO::ConnectFailed) {
      // What a failed attempt left behind: freed without a record, or a PLC
      // that refuses would log a disconnect for every attempt.
      closeConnection();
    } else {
      disconnectLocked();
      state_ = FinsExIO::ConnectFailed;
    }
  }

  // Decided under the lock, so that a user's disconnect or connect that
  // lands in between is not overridden by a stale reconnect.
  gw::MutexLock lock(connectionMutex);
  // Once a cycle: what API threads' exchanges added is seen a cycle late.
  stats_.publishFins(connection_ != nullptr ? &connection_->stats : nullptr);
  const int state = state_;
  if ((state & ~kFamilyUnknownFlag) == FinsExIO::Connected) {
    // An exchange of another thread made the library close the socket
    // after this cycle's link check.
    if (connection_ != nullptr && connection_->sockfd < 0) {
      GW_LOG_AS(WARNING, loop, "FINS disconnect and reconnecting");
      pacedReconnectLocked(Clock::now());
    }
  } else if (state == FinsExIO::ConnectFailed) {
    const auto now = Clock::now();
    if (reconnectDue(now)) {
      if (pacing_.failedAttempts < kLoggedAttempts) {
        GW_LOG_AS(WARNING, loop, "FINS connect fail and reconnecting");
      }
      pacedReconnectLocked(now);
    }
  }
}

bool PlcLink::reconnectDue(Clock::time_point now) const {
  return pacing_.failedAttempts < kPromptAttempts || now >= pacing_.nextAttempt;
}

void PlcLink::pacedReconnectLocked(Clock::time_point now) {
  static const char kLoop[] = "syncLoop";
  const bool quiet = pacing_.failedAttempts >= kLoggedAttempts;
  if (pacing_.failedAttempts == 0) {
    pacing_.downSince = now;
    pacing_.lastSummary = now;
  }
  if (reconnectLocked(quiet)) {
    if (pacing_.failedAttempts > 0) {
      const auto down = std::chrono::duration_cast<std::chrono::milliseconds>(
          Clock::now() - pacing_.downSince);
      GW_LOG_AS(INFO, kLoop,
                "FINS PLC connection back after %lld ms and %d failed attempts",
                static_cast<long long>(down.count()), pacing_.failedAttempts);
    }
    pacing_ = ReconnectPacing();
    stats_.noteConnected(endpoint_.ip, endpoint_.port, true);
    return;
  }
  stats_.noteFailure(endpoint_.ip, endpoint_.port, lastConnectCode_);
  ++pacing_.failedAttempts;
  ++pacing_.failedSinceSummary;
  pacing_.lastCode = lastConnectCode_;
  auto pause = kFirstBackOff;
  for (int n = kPromptAttempts; n < pacing_.failedAttempts && pause < kMaxBackOff;
       ++n) {
    pause *= 2;
  }
  pacing_.nextAttempt =
      Clock::now() + std::min<Clock::duration>(pause, kMaxBackOff);
  if (quiet && now - pacing_.lastSummary >= kSummaryInterval) {
    const auto down =
        std::chrono::duration_cast<std::chrono::seconds>(now - pacing_.downSince);
    GW_LOG_AS(
        WARNING, kLoop,
        "FINS PLC still unreachable for %lld s: %d connect attempts failed "
        "since the last record, last error code: %d",
        static_cast<long long>(down.count()), pacing_.failedSinceSummary,
        pacing_.lastCode);
    pacing_.failedSinceSummary = 0;
    pacing_.lastSummary = now;
  }
}

// --- Items ---------------------------------------------------------------------------

void PlcLink::placeItems(std::vector<ItemRead>& reads,
                         std::vector<ReadNote>& notes) {
  if (connection_ == nullptr) {
    return;
  }
  const int family = connection_->plc_family;
  for (std::size_t i = 0; i < reads.size(); ++i) {
    ReadStanding& standing = *reads[i].standing;
    if (standing.placedFamily == family) {
      continue;
    }
    standing.placedFamily = family;
    standing.refusedCode = 0;
    const int code = finslib_multiple_read_placement(connection_, &reads[i].item);
    if (code != FINS_RETVAL_SUCCESS && code != standing.placementCode) {
      notes.push_back({ReadNote::Kind::kNoPlace, i, code});
    }
    standing.placementCode = code;
  }
}

int PlcLink::readPass(std::vector<ItemRead>& reads, Clock::time_point now,
                      std::vector<ReadNote>& notes) {
  gw::MutexLock lock(connectionMutex);
  placeItems(reads, notes);

  // The items read in this pass: the shared read's in the caller's order,
  // then the refused ones tried alone. Every other item is left out, with
  // the code it stands refused or unplaced with.
  std::vector<std::size_t> order;
  std::vector<std::size_t> retries;
  order.reserve(reads.size());
  for (std::size_t i = 0; i < reads.size(); ++i) {
    const ReadStanding& standing = *reads[i].standing;
    if (standing.placementCode != FINS_RETVAL_SUCCESS) {
      reads[i].outcome = standing.placementCode;
    } else if (standing.refusedCode != FINS_RETVAL_SUCCESS) {
      if (retries.size() < kRetriesPerPass && now >= standing.retryAt) {
        retries.push_back(i);
      } else {
        reads[i].outcome = standing.refusedCode;
      }
    } else {
      order.push_back(i);
    }
  }
  // The shared read in the plan's order (its frames index these items
  // directly), then the lone retries.
  std::vector<fins_multidata_tp> items;
  items.reserve(order.size() + retries.size());
  for (const std::size_t i : order) items.push_back(reads[i].item);
  const ReadPlan& plan = planFor(items);
  const std::size_t shared = order.size();
  {
    std::vector<std::size_t> planned;
    planned.reserve(shared + retries.size());
    for (const std::size_t k : plan.order) planned.push_back(order[k]);
    order.swap(planned);
  }
  order.insert(order.end(), retries.begin(), retries.end());
  items.clear();
  for (const std::size_t i : order) items.push_back(reads[i].item);

  std::vector<int> codes(items.size(), kUnread);
  FrameReader reader(connection_, items.data(), codes.data());
  int result = FINS_RETVAL_SUCCESS;
  // The lone retries first: the shared read's success then clears the
  // library's failure count that a refusal left.
  for (std::size_t k = shared; k < items.size(); ++k) {
    const int code = reader.readOne(k);
    if (code != FINS_RETVAL_SUCCESS && !refusesItems(code)) {
      result = code;
      break;
    }
  }
  if (result == FINS_RETVAL_SUCCESS) {
    std::vector<FrameRefusal> refusals;
    result = reader.readPlan(plan, readLimits_, refusals);
    learnFrom(refusals);
  }
  for (std::size_t k = 0; k < order.size(); ++k) {
    ItemRead& read = reads[order[k]];
    ReadStanding& standing = *read.standing;
    const int code = codes[k];
    if (code != kUnread) {
      if (code != FINS_RETVAL_SUCCESS) {
        if (standing.refusedCode == FINS_RETVAL_SUCCESS) {
          notes.push_back({ReadNote::Kind::kRefused, order[k], code});
        }
        standing.refusedCode = code;
        standing.retryAt = now + kRefusedRetryPause;
      } else if (standing.refusedCode != FINS_RETVAL_SUCCESS) {
        standing.refusedCode = FINS_RETVAL_SUCCESS;
        notes.push_back({ReadNote::Kind::kAccepted, order[k], code});
      }
    }
    // A link failure fails every item of this pass; refusals are per item,
    // and an item not reached keeps what its mapping showed.
    if (result != FINS_RETVAL_SUCCESS) {
      read.outcome = result;
    } else {
      read.outcome = code;
      if (code == FINS_RETVAL_SUCCESS) read.item = items[k];
    }
  }
  return result;
}

const ReadPlan& PlcLink::planFor(const std::vector<fins_multidata_tp>& items) {
  const int family = connection_ == nullptr ? FINS_PLC_FAMILY_UNKNOWN
                                            : connection_->plc_family;
  const bool sameItems =
      planItems_.size() == items.size() &&
      std::equal(items.begin(), items.end(), planItems_.begin(),
                 [](const fins_multidata_tp& a, const fins_multidata_tp& b) {
                   return a.type == b.type &&
                          std::memcmp(a.address, b.address, sizeof a.address) ==
                              0;
                 });
  if (planStale_ || !sameItems || family != planFamily_) {
    plan_ = makeReadPlan(connection_, items, readLimits_, refusedRanges_);
    planItems_ = items;
    planFamily_ = family;
    planStale_ = false;
  }
  return plan_;
}

void PlcLink::learnFrom(const std::vector<FrameRefusal>& refusals) {
  for (const FrameRefusal& refusal : refusals) {
    const ReadFrame& frame = *refusal.frame;
    const bool range = frame.kind == ReadFrame::Kind::kRange;
    std::size_t& limit = range ? readLimits_.rangeWords : readLimits_.elements;
    std::size_t size = frame.words;
    if (!range) {
      size = 0;
      for (std::size_t k = frame.begin; k < frame.end; ++k) {
        size += static_cast<std::size_t>(
            finslib_multiple_read_elements(planItems_[plan_.order[k]].type));
      }
    }
    if (refusesLength(refusal.code) && size > kLeastFrame) {
      // Frames of one pass refused alike shrink the limit once.
      const std::size_t shrunk = std::max(kLeastFrame, size / 2);
      if (shrunk >= limit) continue;
      limit = shrunk;
      GW_LOG_AS(WARNING, "syncPlcToRobot",
                "Fins PLC refused a read of %zu %s with end code 0x%04X; "
                "%s take at most %zu from now on this connection",
                size, range ? "words" : "elements", refusal.code,
                range ? "memory area reads" : "multiple memory area reads",
                limit);
    } else if (range && (frame.hasGaps || !refusal.itemBlamed)) {
      // Words between the items, or the range read itself, are what the
      // PLC will not serve there: read only the named words, or none of
      // them, as a range.
      refusedRanges_.push_back({frame.area, frame.first,
                                frame.first + frame.words - 1, !frame.hasGaps});
      GW_LOG_AS(INFO, "syncPlcToRobot",
                "Fins PLC refused a read of %u words of %s from word %u with "
                "end code 0x%04X; %s",
                frame.words, frame.area->name, frame.first, refusal.code,
                frame.hasGaps ? "the words between its mappings are no "
                                "longer read"
                              : "its mappings are read item by item");
    } else {
      continue;
    }
    planStale_ = true;
  }
}

void PlcLink::writeRuns(std::vector<RunWrite>& runs) {
  gw::MutexLock lock(connectionMutex);
  for (RunWrite& run : runs) {
    const datatypes::DataTypeRow* row = datatypes::rowOf(run.type);
    if (row == nullptr || !row->writable()) {
      run.code = FINS_RETVAL_INVALID_WRITE_AREA;
      continue;
    }
    // A run the PLC refuses leaves the others alone: its refusal must not
    // make the library give the link up when the next run is refused too.
    // The lambda runs here, under the lock, but the analysis checks it as a
    // function of its own: it is handed the record, not the member.
    fins_sys_tp* const connection = connection_;
    run.code = countingLinkFailuresOnly(connection, [&] {
      return row->write(connection, run.start, run.items, run.count,
                        run.type);
    });
  }
}

int PlcLink::readItem(fins_multidata_tp& item) {
  gw::MutexLock lock(connectionMutex);
  return finslib_multiple_memory_area_read(connection_, &item, 1);
}

int PlcLink::writeItem(const std::string& address,
                       const datatypes::DataTypeRow& row,
                       const fins_multidata_tp& value) {
  gw::MutexLock lock(connectionMutex);
  return row.write(connection_, address.c_str(), &value, 1, row.type);
}

// --- What tests look at ----------------------------------------------------------

int PlcLink::lastConnectCode() {
  gw::MutexLock lock(connectionMutex);
  return lastConnectCode_;
}

int PlcLink::socketFd() {
  gw::MutexLock lock(connectionMutex);
  return connection_ == nullptr ? -1 : connection_->sockfd;
}

int PlcLink::family() {
  gw::MutexLock lock(connectionMutex);
  return connection_ == nullptr ? -1 : connection_->plc_family;
}

fins_exchange_stats_tp PlcLink::exchangeStats() {
  gw::MutexLock lock(connectionMutex);
  return connection_ == nullptr ? fins_exchange_stats_tp{}
                                : connection_->stats;
}
