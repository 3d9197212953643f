#include "service/net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace DaemonUtils {
namespace Net {

namespace {

// The length handed to the kernel covers the fields every kernel since the
// structure gained its first extension fills in; only the state is read.
constexpr socklen_t kTcpInfoLength = 104;
static_assert(sizeof(tcp_info) >= kTcpInfoLength,
              "the query must not write past the record");

const char kEthernetName[] = "eth0";
const char kLoopbackAddress[] = "127.0.0.1";

}  // namespace

bool isTCPEstablished(int fd) {
  tcp_info info = {};
  socklen_t length = kTcpInfoLength;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
    return false;
  }
  return info.tcpi_state == TCP_ESTABLISHED;
}

std::unordered_map<std::string, std::string> get_eth_list() {
  std::unordered_map<std::string, std::string> interfaces;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    return interfaces;
  }
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    // inet_ntop rather than inet_ntoa: the latter may share one static
    // buffer between threads on some C libraries.
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) == nullptr) {
      continue;
    }
    // emplace keeps an existing entry, so the first address reported wins.
    interfaces.emplace(entry->ifa_name, text);
  }
  freeifaddrs(list);
  return interfaces;
}

int get_eth(std::string& name) {
  if (get_eth_list().count(kEthernetName) == 0) {
    return -1;
  }
  name = kEthernetName;
  return 0;
}

int get_quorserverIP(std::string& ip) {
  if (get_eth_list().count(kEthernetName) == 0) {
    return -1;
  }
  ip = kLoopbackAddress;
  return 0;
}

}  // namespace Net
}  // namespace DaemonUtils
