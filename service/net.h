#ifndef GW_SERVICE_NET_H_
#define GW_SERVICE_NET_H_

#include <string>
#include <unordered_map>

// Small queries of the operating system's socket and interface state. None
// keeps state or takes a lock; all may be called from any thread.
namespace DaemonUtils {
namespace Net {

// True exactly when `fd` is a TCP socket whose kernel state is ESTABLISHED.
// Every other state (connecting, closing, closed, listening) and every
// failure of the query (-1, a closed descriptor, a non-TCP descriptor) give
// false, so a link that is going down counts as unusable at once.
bool isTCPEstablished(int fd);

// The host's interfaces that carry an IPv4 address, from interface name to
// the address in dotted decimal. An interface with several IPv4 addresses
// appears once, with the first address the system reports for it. Empty
// when the interfaces cannot be listed.
std::unordered_map<std::string, std::string> get_eth_list();

// Returns 0 and sets `name` to "eth0" when eth0 carries an IPv4 address;
// otherwise returns -1 and leaves `name` unchanged.
int get_eth(std::string& name);

// Returns 0 and sets `ip` to "127.0.0.1" when eth0 carries an IPv4 address
// (the external IO service is reached on loopback whatever eth0's address
// is); otherwise returns -1 and leaves `ip` unchanged.
int get_quorserverIP(std::string& ip);

}  // namespace Net
}  // namespace DaemonUtils

#endif  // GW_SERVICE_NET_H_
