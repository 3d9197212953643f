// The engine's FINS connection: connect, disconnect, the socket's keep-alive
// options, the link check and the PLC family.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "exio/fins_exio_impl.h"
#include "service/logger.h"
#include "service/net.h"

namespace {

// With error limit 1 the library closes the socket after two consecutive
// failed exchanges, which the link check then turns into a reconnect.
constexpr int kErrorLimit = 1;

constexpr int kKeepAliveIdleSec = 10;
constexpr int kKeepAliveIntervalSec = 1;
constexpr int kKeepAliveProbes = 10;

Logger* logger() { return Logger::getInstance(); }

// FINS nodes on a network run 1..254: 0 names the unit itself and 255 is
// the broadcast node, so neither can stand for a host.
constexpr int kFirstNode = 1;
constexpr int kLastNode = 254;
// Any port does for the route lookup; no datagram is sent.
constexpr std::uint16_t kRouteProbePort = 9600;

// The node an address maps to under OMRON's default (automatic) address
// conversion: its last octet.
int nodeOf(const in_addr& address) { return ntohl(address.s_addr) & 0xFF; }

// Fills in the nodes given as 0 for a UDP connect (see
// FinsExIO::connectUdp). Over TCP the handshake assigns both; over UDP the
// PLC answers the source node of the frame, and with automatic address
// conversion it sends the answer to the host whose last octet is that node,
// so a node the PLC cannot map back to us would make every reply go astray.
// 0 on success, else the code the connect fails with.
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

}  // namespace

bool FinsExIO::connectUdp(const std::string& ip, int port, int localNet,
                          int localNode, int localUnit, int remoteNet,
                          int remoteNode, int remoteUnit) {
  return impl_->noteClientConnect(
      ip, port,
      impl_->connect(ip, port, localNet, localNode, localUnit, remoteNet,
                     remoteNode, remoteUnit, FINS_TRANSPORT_UDP));
}

bool FinsExIO::Impl::noteClientConnect(const std::string& ip, int port,
                                       bool connected) {
  if (connected) {
    stats.noteConnected(ip, port, false);
    return true;
  }
  int code = 0;
  {
    std::lock_guard<std::mutex> lock(connectionMutex);
    code = lastConnectCode;
  }
  stats.noteFailure(ip, port, code);
  return false;
}

std::string FinsExIO::getTransport() {
  switch (impl_->transport.load()) {
    case FINS_TRANSPORT_TCP:
      return "TCP";
    case FINS_TRANSPORT_UDP:
      return "UDP";
    default:
      return "";
  }
}

FinsExIO::Impl::Impl(const std::string& exioServerUrl)
    : externIOClient(exioServerUrl) {}

FinsExIO::Impl::~Impl() {
  std::lock_guard<std::mutex> lock(connectionMutex);
  closeConnection();
}

void FinsExIO::Impl::closeConnection() {
  if (connection != nullptr) stats.foldFins(connection->stats);
  finslib_disconnect(connection);
  connection = nullptr;
  publishSnapshot();
}

void FinsExIO::Impl::publishSnapshot() {
  std::lock_guard<std::mutex> lock(snapshotMutex);
  snapshot.cpuUnitData = cpuUnitData;
  snapshot.hasConnection = connection != nullptr;
}

FinsExIO::Impl::ConnectionSnapshot FinsExIO::Impl::snapshotCopy() {
  std::lock_guard<std::mutex> lock(snapshotMutex);
  return snapshot;
}

bool FinsExIO::Impl::connect(const std::string& ip, int port, int localNet,
                             int localNode, int localUnit, int remoteNet,
                             int remoteNode, int remoteUnit, int via) {
  // Published before the lock so that the "connect" method sees an attempt
  // under way and starts no second one while this one waits.
  connectionState = Connecting;
  std::lock_guard<std::mutex> lock(connectionMutex);
  // A client's connect starts afresh, whatever the loop's pacing was.
  pacing = ReconnectPacing();
  return connectLocked(via, ip, port, localNet, localNode, localUnit,
                       remoteNet, remoteNode, remoteUnit);
}

bool FinsExIO::Impl::reconnectLocked(bool quiet) {
  connectionState = Connecting;
  const std::string ip = plcIp;
  const std::array<int, 7> p = connectParams;
  return connectLocked(transport, ip, p[0], p[1], p[2], p[3], p[4], p[5],
                       p[6], quiet);
}

bool FinsExIO::Impl::connectLocked(int via, const std::string& ip, int port,
                                   int localNet, int localNode, int localUnit,
                                   int remoteNet, int remoteNode,
                                   int remoteUnit, bool quiet) {
  closeConnection();
  ++connectAttempts;
  plcIp = ip;
  // The nodes as given: a reconnect derives zero nodes afresh.
  connectParams = {port,      localNet,  localNode, localUnit,
                   remoteNet, remoteNode, remoteUnit};
  transport = via;
  const bool udp = via == FINS_TRANSPORT_UDP;

  // Logged under the public operation's name, whichever path got here.
  if (!quiet) {
    logger()->log<Logger::INFO>("Fins start connecting PLC", "connect",
                                __LINE__);
  }
  int code = udp ? deriveUdpNodes(ip, localNode, remoteNode) : 0;
  if (code != 0) {
    connectionState = ConnectFailed;
    lastConnectCode = code;
    if (!quiet) {
      logger()->log<Logger::ERROR>(
          "Fins UDP node for %s cannot be derived (local %d, PLC %d), error "
          "code: %d; give both nodes",
          "connect", __LINE__, ip.c_str(), localNode, remoteNode, code);
    }
    return false;
  }
  const auto openRecord = udp ? finslib_udp_connect : finslib_tcp_connect;
  connection = openRecord(
      nullptr, ip.c_str(), static_cast<uint16_t>(port),
      static_cast<uint8_t>(localNet), static_cast<uint8_t>(localNode),
      static_cast<uint8_t>(localUnit), static_cast<uint8_t>(remoteNet),
      static_cast<uint8_t>(remoteNode), static_cast<uint8_t>(remoteUnit),
      &code, kErrorLimit);
  if (connection == nullptr || connection->sockfd < 0) {
    // A record left with a closed socket is freed by the next link check.
    connectionState = ConnectFailed;
    lastConnectCode = code;
    if (!quiet) {
      logger()->log<Logger::ERROR>("Fins connect %s:%d fail, error code: %d",
                                   "connect", __LINE__, ip.c_str(), port,
                                   code);
    }
    return false;
  }
  // Keep-alive is a TCP matter; a UDP socket has no link to probe.
  if (!udp && !setFinsSocketOpt(connection->sockfd)) {
    logger()->log<Logger::WARNING>("Fins set socket opt fail", "connect",
                                   __LINE__);
  }
  const int cpuCode = finslib_cpu_unit_data_read(connection, &cpuUnitData);
  if (cpuCode != 0) {
    if (!quiet) {
      logger()->log<Logger::WARNING>("Fins get cpu fail", "connect",
                                     __LINE__);
    }
    closeConnection();
    connectionState = ConnectFailed;
    lastConnectCode = cpuCode;
    return false;
  }
  if (connection->plc_family == FINS_PLC_FAMILY_UNKNOWN) {
    const std::string model = cpuUnitData.model;
    connectionState = setPLCMode(model) ? Connected : ConnectedFamilyUnknown;
  } else {
    connectionState = Connected;
  }
  publishSnapshot();
  if (udp && !quiet) {
    logger()->log<Logger::INFO>("Fins UDP nodes: local %d, PLC %d", "connect",
                                __LINE__, connection->local_node,
                                connection->remote_node);
  }
  logger()->log<Logger::INFO>("Fins connect to PLC success", "connect",
                              __LINE__);
  return true;
}

void FinsExIO::Impl::disconnect() {
  std::lock_guard<std::mutex> lock(connectionMutex);
  if (connection != nullptr) {
    closeConnection();
    logger()->log<Logger::INFO>("Fins instance disconnect", __func__,
                                __LINE__);
  }
  logger()->log<Logger::INFO>("Fins disconnect", __func__, __LINE__);
  connectionState = Disconnected;
}

bool FinsExIO::Impl::setFinsSocketOpt(int fd) {
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
      logger()->log<Logger::ERROR>(option.failure, __func__, __LINE__,
                                   std::strerror(errno));
      return false;
    }
  }
  return true;
}

bool FinsExIO::Impl::isTCPEstablished() {
  std::lock_guard<std::mutex> lock(connectionMutex);
  if (connection == nullptr || connectionState == Disconnected) {
    return true;
  }
  if (transport == FINS_TRANSPORT_UDP) return connection->sockfd >= 0;
  return DaemonUtils::Net::isTCPEstablished(connection->sockfd);
}

bool FinsExIO::Impl::setPLCMode(const std::string& text) {
  if (connection == nullptr || text.size() < 2 || text[0] != 'C') {
    return false;
  }
  switch (text[1]) {
    case 'V':
      connection->plc_family = FINS_PLC_FAMILY_CV;
      break;
    case 'S':
    case 'J':
    case 'P':
      connection->plc_family = FINS_PLC_FAMILY_CS;
      break;
    default:
      return false;
  }
  // No terminator is written: "CJ" turns a kept "CS1G-CPU44H" into
  // "CJ1G-CPU44H". The last byte of the field stays its terminator.
  const std::size_t room = sizeof(cpuUnitData.model) - 1;
  std::memcpy(cpuUnitData.model, text.data(), std::min(text.size(), room));
  publishSnapshot();
  return true;
}
