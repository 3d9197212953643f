#include "service/fins_xmlrpc.h"

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <utility>

#include "exio/fins_exio.h"
#include "rpcwire/xmlrpc_text.h"
#include "methods/connection_methods.h"
#include "methods/diagnostics_method.h"
#include "methods/mapping_methods.h"
#include "methods/memory_area_methods.h"
#include "service/logger.h"
#include "service/mutex.h"
#include "service/thread_annotations.h"

// Counts the calls refused as a browser's and tells the log: the first at
// once, then at most one record per kRecordInterval, so a page that keeps
// trying cannot flood it.
class BrowserRefusalLog : public rpcserver::BrowserRefusalListener {
 public:
  static constexpr std::chrono::seconds kRecordInterval{10};

  void refused(const std::string& seen) override EXCLUDES(mutex_) {
    const std::uint64_t total = ++refused_;
    const auto now = std::chrono::steady_clock::now();
    {
      gw::MutexLock lock(mutex_);
      if (recorded_ && now - lastRecord_ < kRecordInterval) return;
      recorded_ = true;
      lastRecord_ = now;
    }
    GW_LOG(WARNING,
           "Refused an API call from a web page (%s); %llu refused since start",
           seen.c_str(), static_cast<unsigned long long>(total));
  }

  std::uint64_t refusedSoFar() const { return refused_.load(); }

 private:
  std::atomic<std::uint64_t> refused_{0};
  gw::Mutex mutex_;
  bool recorded_ GUARDED_BY(mutex_) = false;
  std::chrono::steady_clock::time_point lastRecord_ GUARDED_BY(mutex_);
};

namespace FINS {
namespace METHOD {
namespace {

// The write methods by their place in the catalogue (see WriteMethod in
// exio/fins_data_types.def).
using WriteMethods = std::map<int, std::pair<std::string, xmlrpc_c::methodPtr>>;

template <FinsDataType Type, int kPlace>
void addWriteMethod(const char* typeName, FinsExIO& engine,
                    WriteMethods* writes) {
  if constexpr (kPlace != 0) {
    writes->emplace(
        kPlace,
        std::make_pair(
            std::string("memoryAreaWrite") + typeName,
            xmlrpc_c::methodPtr(
                new FinsmemoryAreaWrite<datatypes::ClientValueOf<Type>, Type>(
                    &engine))));
  }
}

// A read for every data type in the order of their numbers, then a write
// for every writable one in its place.
void finsRpcDataMethodsRegister(rpcwire::Dispatcher& dispatcher,
                                FinsExIO& engine) {
  WriteMethods writes;
#define GW_DATA_TYPE(Type, Shape, Register, Words, Writer, WriteMethod)     \
  dispatcher.add("memoryAreaRead" #Type,                                  \
                 xmlrpc_c::methodPtr(                                     \
                     new FinsmemoryAreaRead<datatypes::ClientValueOf<Type>, \
                                            Type>(&engine)));             \
  addWriteMethod<Type, WriteMethod>(#Type, engine, &writes);
#include "exio/fins_data_types.def"
#undef GW_DATA_TYPE
  for (const auto& write : writes) {
    dispatcher.add(write.second.first, write.second.second);
  }
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
  browserRefusals_.reset(new BrowserRefusalLog);
  dispatcher_.reset(new rpcwire::Dispatcher);
  BrowserRefusalLog* const refusals = browserRefusals_.get();
  addMethods(dispatcher_.get(), engine_,
             [refusals] { return refusals->refusedSoFar(); });
  processor_.reset(new rpcserver::DispatcherProcessor(*dispatcher_));
  statusPage_.reset(new StatusPage(engine_));
  rpcserver::ServerOptions options = serverOptions(kPort);
  options.pages = statusPage_.get();
  options.browserRefusals = browserRefusals_.get();
  server_.reset(new rpcserver::RpcServer(options, processor_.get()));
  return true;
}

void FinsXmlRpc::run() { server_->run(); }

bool FinsXmlRpc::exit() { return false; }

void FinsXmlRpc::addMethods(
    rpcwire::Dispatcher* dispatcher, FinsExIO* engine,
    std::function<std::uint64_t()> browserRequestsRefused) {
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
  finsRpcDataMethodsRegister(*dispatcher, *engine);
  add("addMapping", new AddMapping(engine));
  add("removeMapping", new RemoveMapping(engine));
  add("getMappingState", new GetMappingState(engine));
  add("getMappingTable", new GetMappingTable(engine));
  add("getMappingDirection", new GetMappingDirection(engine));
  // Beyond the original catalogue, so the 47 keep their order.
  add("getDiagnostics",
      new GetDiagnostics(engine, std::move(browserRequestsRefused)));
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
