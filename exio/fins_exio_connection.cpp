// The engine's FINS connection: connect, disconnect, the socket's keep-alive
// options, the link check and the PLC family.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
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

}  // namespace

FinsExIO::Impl::Impl(const std::string& exioServerUrl)
    : externIOClient(exioServerUrl) {}

FinsExIO::Impl::~Impl() {
  std::lock_guard<std::mutex> lock(connectionMutex);
  closeConnection();
}

void FinsExIO::Impl::closeConnection() {
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
                             int remoteNode, int remoteUnit) {
  // Published before the lock so that the "connect" method sees an attempt
  // under way and starts no second one while this one waits.
  connectionState = Connecting;
  std::lock_guard<std::mutex> lock(connectionMutex);
  // A client's connect starts afresh, whatever the loop's pacing was.
  pacing = ReconnectPacing();
  return connectLocked(ip, port, localNet, localNode, localUnit, remoteNet,
                       remoteNode, remoteUnit);
}

bool FinsExIO::Impl::reconnectLocked(bool quiet) {
  connectionState = Connecting;
  const std::string ip = plcIp;
  const std::array<int, 7> p = connectParams;
  return connectLocked(ip, p[0], p[1], p[2], p[3], p[4], p[5], p[6], quiet);
}

bool FinsExIO::Impl::connectLocked(const std::string& ip, int port,
                                   int localNet, int localNode, int localUnit,
                                   int remoteNet, int remoteNode,
                                   int remoteUnit, bool quiet) {
  closeConnection();
  ++connectAttempts;
  plcIp = ip;
  connectParams = {port,      localNet,  localNode, localUnit,
                   remoteNet, remoteNode, remoteUnit};

  // Logged under the public operation's name, whichever path got here.
  if (!quiet) {
    logger()->log<Logger::INFO>("Fins start connecting PLC", "connect",
                                __LINE__);
  }
  int code = 0;
  connection = finslib_tcp_connect(
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
  if (!setFinsSocketOpt(connection->sockfd)) {
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
