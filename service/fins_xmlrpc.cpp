#include "service/fins_xmlrpc.h"

#include "exio/fins_exio.h"
#include "rpcwire/xmlrpc_text.h"
#include "methods/connection_methods.h"
#include "methods/diagnostics_method.h"
#include "methods/mapping_methods.h"
#include "methods/memory_area_methods.h"

namespace FINS {
namespace METHOD {
namespace {

void finsRpcDataReadMethodRegister(rpcwire::Dispatcher& dispatcher,
                                   FinsExIO& engine) {
#define GW_FINS_READ_METHOD(Type)                                     \
  dispatcher.add("memoryAreaRead" #Type,                              \
                 xmlrpc_c::methodPtr(                                 \
                     new FinsmemoryAreaRead<datatypes::ClientValueOf<Type>, \
                                            Type>(&engine)));
#define GW_FINS_WRITE_METHOD(Type)
#include "methods/memory_area_instances.inc"
#undef GW_FINS_READ_METHOD
#undef GW_FINS_WRITE_METHOD
}

void finsRpcDataWriteMethodRegister(rpcwire::Dispatcher& dispatcher,
                                    FinsExIO& engine) {
#define GW_FINS_READ_METHOD(Type)
#define GW_FINS_WRITE_METHOD(Type)                                     \
  dispatcher.add("memoryAreaWrite" #Type,                              \
                 xmlrpc_c::methodPtr(                                  \
                     new FinsmemoryAreaWrite<datatypes::ClientValueOf<Type>, \
                                             Type>(&engine)));
#include "methods/memory_area_instances.inc"
#undef GW_FINS_READ_METHOD
#undef GW_FINS_WRITE_METHOD
}

}  // namespace
}  // namespace METHOD
}  // namespace FINS

FinsXmlRpc::FinsXmlRpc(FinsExIO* engine) : engine_(engine) {}

// The server calls into the processor, which calls into the dispatcher.
FinsXmlRpc::~FinsXmlRpc() {
  server_.reset();
  processor_.reset();
  statusPage_.reset();
}

bool FinsXmlRpc::init() {
  server_.reset();
  processor_.reset();
  statusPage_.reset();
  dispatcher_.reset(new rpcwire::Dispatcher);
  addMethods(dispatcher_.get(), engine_);
  processor_.reset(new rpcserver::DispatcherProcessor(*dispatcher_));
  statusPage_.reset(new StatusPage(engine_));
  rpcserver::ServerOptions options = serverOptions(kPort);
  options.pages = statusPage_.get();
  server_.reset(new rpcserver::RpcServer(options, processor_.get()));
  return true;
}

void FinsXmlRpc::run() { server_->run(); }

bool FinsXmlRpc::exit() { return false; }

void FinsXmlRpc::addMethods(rpcwire::Dispatcher* dispatcher,
                            FinsExIO* engine) {
  using namespace FINS::METHOD;
  auto add = [dispatcher](const char* name, xmlrpc_c::method* method) {
    dispatcher->add(name, xmlrpc_c::methodPtr(method));
  };
  add("CPUUnitDataRead", new FinsCPUUnitDataRead(engine));
  add("PLCModeSet", new FinsPLCModeSet(engine));
  add("PLCModeGet", new FinsPLCModeGet(engine));
  add("connect", new FinsSetConnect(engine));
  add("connectUdp", new FinsSetConnectUdp(engine));
  add("getTransport", new FinsGetTransport(engine));
  add("disconnect", new FinsDisconnect(engine));
  add("getState", new FinsGetConnectionState(engine));
  finsRpcDataReadMethodRegister(*dispatcher, *engine);
  finsRpcDataWriteMethodRegister(*dispatcher, *engine);
  add("addMapping", new AddMapping(engine));
  add("removeMapping", new RemoveMapping(engine));
  add("getMappingState", new GetMappingState(engine));
  add("getMappingTable", new GetMappingTable(engine));
  add("getMappingDirection", new GetMappingDirection(engine));
  // Beyond the original catalogue, so the 47 keep their order.
  add("getDiagnostics", new GetDiagnostics(engine));
}

rpcserver::ServerOptions FinsXmlRpc::serverOptions(unsigned port) {
  rpcserver::ServerOptions options;
  options.port = port;
  options.uriPath = "/RPC2";
  options.maxConnections = kMaxConnections;
  options.listenBacklog = kListenBacklog;
  options.keepaliveTimeoutSeconds = kKeepaliveTimeoutSeconds;
  options.keepaliveMaxRequests = kKeepaliveMaxRequests;
  // The dispatcher refuses the same bodies with a fault; the server refuses
  // them first, before reading or scanning them.
  options.maxRequestBytes = rpcwire::kMaxRequestBytes;
  options.maxElementDepth = rpcwire::kMaxElementDepth;
  return options;
}
