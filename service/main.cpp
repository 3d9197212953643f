// fins-gateway: the fieldbus gateway daemon. Takes no arguments and reads no
// configuration: clients connect it to a PLC and add mappings over XML-RPC
// on port 9601. Runs until it is killed; SIGTERM and SIGINT end it at once,
// as nothing it holds needs saving.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "exio/fins_exio.h"
#include "service/fins_xmlrpc.h"

namespace {

// The server library's messages may span lines; the operator gets one.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

int main() {
  // A peer that vanishes mid-write (a client, the PLC, the robot's IO
  // service) must cost one failed call, not the process.
  ::signal(SIGPIPE, SIG_IGN);

  FinsExIO* engine = new FinsExIO();
  FinsXmlRpc* front = new FinsXmlRpc(engine);
  try {
    front->init();
    front->run();
    std::fprintf(stderr, "fins-gateway: XML-RPC server on port %u stopped\n",
                 FinsXmlRpc::kPort);
  } catch (const std::exception& e) {
    // The reason names the port (e.g. "cannot serve on port 9601: Address
    // already in use").
    std::fprintf(stderr, "fins-gateway: %s\n", oneLine(e.what()).c_str());
  }
  // The engine's thread is still running: leave at once rather than run
  // static destructors underneath it.
  std::fflush(stdout);
  std::_Exit(EXIT_FAILURE);
}
