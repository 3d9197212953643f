// Fuzzes the gateway's API in process: the input is the body of an HTTP POST to /RPC2, handed
// to the daemon's dispatcher with the 48 methods over one real engine, exactly as the server
// hands it over. Whatever the bytes (deep nesting, broken XML, wrong parameter types, huge
// numbers, multicalls), the answer must be a complete XML-RPC answer that rpcwire itself reads
// back: a result or a fault, never a crash, a hang or a half-written document.
//
// The engine is made once for the process, with its external IO service at a loopback port
// where nothing listens. Run it in a private network namespace (scripts/fuzz does), so that
// the connects an input asks for reach no real PLC: only loopback exists there, and nothing
// listens on it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "exio/fins_exio.h"
#include "fuzz_check.h"
#include "rpcwire/dispatcher.h"
#include "rpcwire/xmlrpc_text.h"
#include "service/fins_xmlrpc.h"

namespace {

// A loopback port nothing listens on (bound once, then released).
uint16_t closedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  FUZZ_CHECK(fd >= 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  FUZZ_CHECK(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// The engine and the daemon's method table, for the whole process (never destroyed: the engine's
// thread runs until the process ends, as in the daemon).
struct Api {
  FinsExIO* engine;
  rpcwire::Dispatcher* dispatcher;

  Api() {
    engine = new FinsExIO("http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/RPC2");
    dispatcher = new rpcwire::Dispatcher;
    FinsXmlRpc::addMethods(dispatcher, engine);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Api api;
  std::string answer = api.dispatcher->process(reinterpret_cast<const char*>(data), size);
  rpcwire::Response response;
  rpcwire::ParseResult parsed = rpcwire::parseResponse(answer.data(), answer.size(), &response);
  if (!parsed.ok()) {
    fprintf(stderr, "unreadable answer (%s):\n%s\n", parsed.message.c_str(), answer.c_str());
  }
  FUZZ_CHECK(parsed.ok());
  return 0;
}
