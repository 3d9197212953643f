#include "service/fins_xmlrpc.h"

#include "exio/fins_exio.h"
#include "methods/connection_methods.h"
#include "methods/mapping_methods.h"
#include "methods/memory_area_methods.h"

namespace FINS {
namespace METHOD {
namespace {

void finsRpcDataReadMethodRegister(xmlrpc_c::registry& registry,
                                   FinsExIO& engine) {
#define GW_FINS_READ_METHOD(name, T, Type) \
  registry.addMethod(name, new FinsmemoryAreaRead<T, Type>(&engine));
#define GW_FINS_WRITE_METHOD(name, T, Type)
#include "methods/memory_area_instances.inc"
#undef GW_FINS_READ_METHOD
#undef GW_FINS_WRITE_METHOD
}

void finsRpcDataWriteMethodRegister(xmlrpc_c::registry& registry,
                                    FinsExIO& engine) {
#define GW_FINS_READ_METHOD(name, T, Type)
#define GW_FINS_WRITE_METHOD(name, T, Type) \
  registry.addMethod(name, new FinsmemoryAreaWrite<T, Type>(&engine));
#include "methods/memory_area_instances.inc"
#undef GW_FINS_READ_METHOD
#undef GW_FINS_WRITE_METHOD
}

}  // namespace
}  // namespace METHOD
}  // namespace FINS

FinsXmlRpc::FinsXmlRpc(FinsExIO* engine) : engine_(engine) {}

// The server refers to the registry, so it goes first.
FinsXmlRpc::~FinsXmlRpc() { server_.reset(); }

bool FinsXmlRpc::init() {
  server_.reset();
  registry_.reset(new xmlrpc_c::registry);
  addMethods(registry_.get(), engine_);
  server_ = newServer(*registry_, kPort);
  return true;
}

void FinsXmlRpc::run() { server_->run(); }

bool FinsXmlRpc::exit() { return false; }

void FinsXmlRpc::addMethods(xmlrpc_c::registry* registry, FinsExIO* engine) {
  using namespace FINS::METHOD;
  registry->addMethod("CPUUnitDataRead", new FinsCPUUnitDataRead(engine));
  registry->addMethod("PLCModeSet", new FinsPLCModeSet(engine));
  registry->addMethod("PLCModeGet", new FinsPLCModeGet(engine));
  registry->addMethod("connect", new FinsSetConnect(engine));
  registry->addMethod("disconnect", new FinsDisconnect(engine));
  registry->addMethod("getState", new FinsGetConnectionState(engine));
  finsRpcDataReadMethodRegister(*registry, *engine);
  finsRpcDataWriteMethodRegister(*registry, *engine);
  registry->addMethod("addMapping", new AddMapping(engine));
  registry->addMethod("removeMapping", new RemoveMapping(engine));
  registry->addMethod("getMappingState", new GetMappingState(engine));
  registry->addMethod("getMappingTable", new GetMappingTable(engine));
  registry->addMethod("getMappingDirection", new GetMappingDirection(engine));
}

std::unique_ptr<xmlrpc_c::serverAbyss> FinsXmlRpc::newServer(
    const xmlrpc_c::registry& registry, unsigned port) {
  // Options left unset keep the library's defaults: no log file (naming ""
  // would make Abyss try to open a file of that name on every connection),
  // its keep-alive time-out and request limit, its I/O time-out, and the
  // port bound by the server itself.
  //
  // The server does not own the process's signals: its handlers would call
  // exit() on SIGTERM or SIGINT, running static destructors underneath the
  // engine's thread. Left at their defaults they end the daemon at once;
  // main ignores SIGPIPE itself.
  return std::unique_ptr<xmlrpc_c::serverAbyss>(
      new xmlrpc_c::serverAbyss(xmlrpc_c::serverAbyss::constrOpt()
                                    .registryP(&registry)
                                    .portNumber(port)
                                    .dontAdvertise(false)
                                    .maxConn(kMaxConnections)
                                    .serverOwnsSignals(false)));
}
