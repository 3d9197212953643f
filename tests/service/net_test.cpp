#include "service/net.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

// Closes a descriptor when the test ends, whichever assertion ends it.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// A listening TCP socket on an ephemeral loopback port.
int listenOnLoopback(sockaddr_in* bound) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(bound), &len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int connectTo(const sockaddr_in& addr) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(IsTCPEstablished, FalseForDescriptorsThatAreNoTcpConnection) {
  EXPECT_FALSE(DaemonUtils::Net::isTCPEstablished(-1));

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  Fd reader(pipe_fds[0]), writer(pipe_fds[1]);
  EXPECT_FALSE(DaemonUtils::Net::isTCPEstablished(reader.get()));

  Fd udp(socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_GE(udp.get(), 0);
  EXPECT_FALSE(DaemonUtils::Net::isTCPEstablished(udp.get()));

  Fd unconnected(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_GE(unconnected.get(), 0);
  EXPECT_FALSE(DaemonUtils::Net::isTCPEstablished(unconnected.get()));
}

TEST(IsTCPEstablished, ListeningSocketIsNotEstablished) {
  sockaddr_in addr = {};
  Fd listener(listenOnLoopback(&addr));
  ASSERT_GE(listener.get(), 0);
  EXPECT_FALSE(DaemonUtils::Net::isTCPEstablished(listener.get()));
}

TEST(IsTCPEstablished, TrueForBothEndsOfALoopbackConnection) {
  sockaddr_in addr = {};
  Fd listener(listenOnLoopback(&addr));
  ASSERT_GE(listener.get(), 0);
  Fd client(connectTo(addr));
  ASSERT_GE(client.get(), 0);
  Fd server(accept(listener.get(), nullptr, nullptr));
  ASSERT_GE(server.get(), 0);
  EXPECT_TRUE(DaemonUtils::Net::isTCPEstablished(client.get()));
  EXPECT_TRUE(DaemonUtils::Net::isTCPEstablished(server.get()));
}

TEST(IsTCPEstablished, FalseOnceThePeerHasClosed) {
  sockaddr_in addr = {};
  Fd listener(listenOnLoopback(&addr));
  ASSERT_GE(listener.get(), 0);
  Fd client(connectTo(addr));
  ASSERT_GE(client.get(), 0);
  Fd server(accept(listener.get(), nullptr, nullptr));
  ASSERT_GE(server.get(), 0);
  ASSERT_TRUE(DaemonUtils::Net::isTCPEstablished(client.get()));

  server.reset();
  // The kernel leaves ESTABLISHED when the peer's FIN arrives, which is
  // also what wakes poll for POLLRDHUP.
  pollfd p = {client.get(), POLLRDHUP, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1) << "the peer's close never arrived";
  EXPECT_FALSE(DaemonUtils::Net::isTCPEstablished(client.get()));
}

TEST(IsTCPEstablished, FalseOnceThisEndHasShutDownSending) {
  sockaddr_in addr = {};
  Fd listener(listenOnLoopback(&addr));
  ASSERT_GE(listener.get(), 0);
  Fd client(connectTo(addr));
  ASSERT_GE(client.get(), 0);
  Fd server(accept(listener.get(), nullptr, nullptr));
  ASSERT_GE(server.get(), 0);
  ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);
  EXPECT_FALSE(DaemonUtils::Net::isTCPEstablished(client.get()));
}

// The interface names of this network namespace. (sysfs may show another
// namespace's interfaces when the tests run in a private one.)
std::set<std::string> kernelInterfaces() {
  std::set<std::string> names;
  struct if_nameindex* list = if_nameindex();
  if (list == nullptr) return names;
  for (const struct if_nameindex* entry = list; entry->if_index != 0; ++entry) {
    names.insert(entry->if_name);
  }
  if_freenameindex(list);
  return names;
}

// The interface's primary IPv4 address as the older ioctl interface reports
// it; empty when the interface has none. An oracle independent of
// getifaddrs.
std::string primaryIpv4(const std::string& name) {
  if (name.size() >= IFNAMSIZ) return "";
  Fd probe(socket(AF_INET, SOCK_DGRAM, 0));
  if (probe.get() < 0) return "";
  ifreq request = {};
  std::memcpy(request.ifr_name, name.c_str(), name.size());
  if (ioctl(probe.get(), SIOCGIFADDR, &request) != 0) return "";
  const auto* addr = reinterpret_cast<const sockaddr_in*>(&request.ifr_addr);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr->sin_addr, text, sizeof(text));
  return text;
}

TEST(GetEthList, MatchesTheHostsIpv4Interfaces) {
  const auto list = DaemonUtils::Net::get_eth_list();
  const std::set<std::string> kernel = kernelInterfaces();
  ASSERT_FALSE(kernel.empty());

  ASSERT_EQ(list.count("lo"), 1u);
  EXPECT_EQ(list.at("lo"), "127.0.0.1");

  for (const std::string& name : kernel) {
    const std::string expected = primaryIpv4(name);
    if (expected.empty()) {
      EXPECT_EQ(list.count(name), 0u) << name << " has no IPv4 address";
    } else {
      ASSERT_EQ(list.count(name), 1u) << name << " missing";
      EXPECT_EQ(list.at(name), expected) << name;
    }
  }
  // Anything else listed is an address label of a known interface
  // ("eth0:1").
  for (const auto& entry : list) {
    in_addr parsed;
    EXPECT_EQ(inet_pton(AF_INET, entry.second.c_str(), &parsed), 1)
        << entry.first << " " << entry.second;
    if (kernel.count(entry.first) == 0) {
      const auto colon = entry.first.find(':');
      ASSERT_NE(colon, std::string::npos) << entry.first;
      EXPECT_EQ(kernel.count(entry.first.substr(0, colon)), 1u) << entry.first;
    }
  }
}

// Which branch runs depends on the host: a private network namespace has no
// eth0, a typical host or container has one.
TEST(GetEth, AnswersByThePresenceOfEth0) {
  const std::string eth0_address = primaryIpv4("eth0");
  std::string name = "unchanged";
  std::string ip = "unchanged";
  const int name_result = DaemonUtils::Net::get_eth(name);
  const int ip_result = DaemonUtils::Net::get_quorserverIP(ip);
  if (eth0_address.empty()) {
    EXPECT_EQ(name_result, -1);
    EXPECT_EQ(name, "unchanged");
    EXPECT_EQ(ip_result, -1);
    EXPECT_EQ(ip, "unchanged");
  } else {
    EXPECT_EQ(name_result, 0);
    EXPECT_EQ(name, "eth0");
    EXPECT_EQ(ip_result, 0);
    // The loopback address, whatever eth0's own address is.
    EXPECT_EQ(ip, "127.0.0.1");
  }
}

}  // namespace
