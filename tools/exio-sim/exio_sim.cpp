#include "tools/exio-sim/exio_sim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/registry.hpp>

#include "rpcwire/dispatcher.h"
#include "rpcwire/xmlrpc_text.h"
#include "service/mutex.h"
#include "service/rpc_server.h"
#include "service/thread_annotations.h"
#include "tools/exio-sim/register_file.h"

namespace exiosim {

namespace {

// Well above the clients a gateway test or benchmark opens; the library's
// default cap stalls the accept loop for seconds past about 15 connections.
constexpr unsigned kMaxConnections = 64;
// The library's default closes a kept-alive connection after 30 requests,
// which would make a benchmark measure reconnects.
constexpr unsigned kKeepaliveMaxRequests = 1000000;

// What a method answers when it works; the wrong-type fault setting answers
// something else.
enum class ResultKind { kBool, kInt, kDouble };

std::string describe(const xmlrpc_c::value& v) {
  switch (v.type()) {
    case xmlrpc_c::value::TYPE_INT:
      return std::to_string(xmlrpc_c::value_int(v).cvalue());
    case xmlrpc_c::value::TYPE_BOOLEAN:
      return xmlrpc_c::value_boolean(v).cvalue() ? "true" : "false";
    case xmlrpc_c::value::TYPE_DOUBLE: {
      std::ostringstream out;
      out << xmlrpc_c::value_double(v).cvalue();
      return out.str();
    }
    case xmlrpc_c::value::TYPE_STRING:
      return "\"" + xmlrpc_c::value_string(v).cvalue() + "\"";
    default:
      return "<type " + std::to_string(static_cast<int>(v.type())) + ">";
  }
}

std::string describe(const xmlrpc_c::paramList& params) {
  std::string text;
  for (unsigned i = 0; i < params.size(); ++i) {
    if (i > 0) text += ", ";
    text += describe(params[i]);
  }
  return text;
}

// Stands in front of the dispatcher, which always answers system.multicall,
// so that the simulator can play a service without it; counts the requests.
// Thread-safe: called from every connection thread at once.
class MulticallGate : public rpcserver::CallProcessor {
 public:
  explicit MulticallGate(const rpcwire::Dispatcher& dispatcher)
      : dispatcher_(dispatcher), inner_(dispatcher) {}

  std::string process(const char* body, size_t size,
                      const xmlrpc_c::callInfo* callInfo) override {
    std::string answer = offer_.load() ? inner_.process(body, size, callInfo)
                                       : refusing(body, size, callInfo);
    ++requests_;
    return answer;
  }

  void setOffer(bool offer) { offer_.store(offer); }
  bool offers() const { return offer_.load(); }
  uint64_t requests() const { return requests_.load(); }

 private:
  // Parses the call once more only while multicall is refused, so that
  // the usual path costs what the plain dispatcher costs.
  std::string refusing(const char* body, size_t size,
                       const xmlrpc_c::callInfo* callInfo) {
    std::string name;
    xmlrpc_c::paramList params;
    if (rpcwire::parseCall(body, size, &name, &params).ok()) {
      if (name == rpcwire::Dispatcher::kMulticall) {
        return rpcwire::formatFault(rpcwire::kFaultNoSuchMethod,
                                    "Method '" + name + "' not defined");
      }
      if (name == rpcwire::Dispatcher::kListMethods) return listWithout(name);
    }
    return inner_.process(body, size, callInfo);
  }

  std::string listWithout(const std::string& name) const {
    std::vector<xmlrpc_c::value> names;
    for (const std::string& n : dispatcher_.methodNames()) {
      if (n != rpcwire::Dispatcher::kMulticall) {
        names.push_back(xmlrpc_c::value_string(n));
      }
    }
    try {
      return rpcwire::formatResponse(xmlrpc_c::value_array(names));
    } catch (const std::exception& e) {
      return rpcwire::formatFault(rpcwire::kFaultInternal,
                                  name + ": " + e.what());
    }
  }

  const rpcwire::Dispatcher& dispatcher_;
  rpcserver::DispatcherProcessor inner_;
  std::atomic<bool> offer_{true};
  std::atomic<uint64_t> requests_{0};
};

void requireIndex(int index) {
  if (!RegisterFile::validIndex(index)) {
    throw std::out_of_range("register index " + std::to_string(index) +
                            " outside 0.." +
                            std::to_string(kRegisterCount - 1));
  }
}

}  // namespace

class ExioSimulator::Impl {
 public:
  explicit Impl(const Options& options);
  ~Impl() { stop(); }

  bool start(std::string* error) EXCLUDES(lifecycle_mutex_, mutex_);
  void stop() EXCLUDES(lifecycle_mutex_, mutex_);
  bool isRunning() const EXCLUDES(lifecycle_mutex_) {
    gw::MutexLock lock(lifecycle_mutex_);
    return server_ != nullptr;
  }
  int port() const EXCLUDES(lifecycle_mutex_) {
    gw::MutexLock lock(lifecycle_mutex_);
    return port_;
  }

  // Answers one remote call: waits while hung, applies the fault settings,
  // runs `handler` under mutex_ and traces the outcome. Throws
  // xmlrpc_c::fault for a call answered with a fault.
  using Handler = xmlrpc_c::value (Impl::*)(const xmlrpc_c::paramList&);
  xmlrpc_c::value answer(const std::string& method, ResultKind kind,
                         Handler handler, const xmlrpc_c::paramList& params)
      EXCLUDES(mutex_);

  // The multicall setting and the request count; thread-safe.
  MulticallGate& gate() { return processor_; }
  const MulticallGate& gate() const { return processor_; }

  // Counts the client's TCP connection when it is a new one.
  // REQUIRES: called on the server thread answering the call.
  void noteConnection() EXCLUDES(mutex_);

  // The remote methods. Called through a Handler, which the analysis does
  // not follow: answer() holds mutex_ around the call.
  xmlrpc_c::value occupyInput(const xmlrpc_c::paramList& params)
      REQUIRES(mutex_);
  xmlrpc_c::value releaseInput(const xmlrpc_c::paramList& params)
      REQUIRES(mutex_);
  xmlrpc_c::value getOutputBoolData(const xmlrpc_c::paramList& params)
      REQUIRES(mutex_);
  xmlrpc_c::value getOutputIntData(const xmlrpc_c::paramList& params)
      REQUIRES(mutex_);
  xmlrpc_c::value getOutputDoubleData(const xmlrpc_c::paramList& params)
      REQUIRES(mutex_);
  xmlrpc_c::value setInputBoolData(const xmlrpc_c::paramList& params)
      REQUIRES(mutex_);
  xmlrpc_c::value setInputIntData(const xmlrpc_c::paramList& params)
      REQUIRES(mutex_);
  xmlrpc_c::value setInputDoubleData(const xmlrpc_c::paramList& params)
      REQUIRES(mutex_);
  xmlrpc_c::value isInputInUse(const xmlrpc_c::paramList& params)
      REQUIRES(mutex_);
  xmlrpc_c::value isConnectController(const xmlrpc_c::paramList& params)
      REQUIRES(mutex_);

  // Throws the fault of setFailingRegister when it names this register.
  void checkFailing(int bank, int index) const REQUIRES(mutex_);

  // Taken after lifecycle_mutex_ (stop holds both), never before it.
  mutable gw::Mutex mutex_ ACQUIRED_AFTER(lifecycle_mutex_);
  gw::CondVar unhung_;
  RegisterFile registers_ GUARDED_BY(mutex_);
  bool refuse_claims_ GUARDED_BY(mutex_) = false;
  bool wrong_result_type_ GUARDED_BY(mutex_) = false;
  bool answer_faults_ GUARDED_BY(mutex_) = false;
  // (bank, index)
  std::set<std::pair<int, int>> failing_registers_ GUARDED_BY(mutex_);
  bool controller_connected_ GUARDED_BY(mutex_) = true;
  bool hang_ GUARDED_BY(mutex_) = false;
  // Empty: every method hangs.
  std::string hang_method_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  int hung_calls_ GUARDED_BY(mutex_) = 0;
  // Client ports calls arrived from: at most 65536 entries.
  std::set<uint16_t> client_ports_ GUARDED_BY(mutex_);

  std::atomic<uint64_t> calls_answered_{0};

 private:
  class Method;

  void trace(const std::string& method, const xmlrpc_c::paramList& params,
             const std::string& outcome) EXCLUDES(trace_mutex_);
  void addMethod(const std::string& name, ResultKind kind, Handler handler);
  // Closes the listening socket, if open.
  void closeListener() REQUIRES(lifecycle_mutex_);
  // A failed start: closes the socket and says why in `error` (if given).
  // Returns false. A member rather than a lambda in start(): the analysis
  // checks a lambda as a function of its own, with no lock held.
  bool failStart(const std::string& where, const std::string& why,
                 std::string* error) REQUIRES(lifecycle_mutex_);

  std::ostream* const trace_out_;
  // Guards *trace_out_ (the stream, not the pointer).
  gw::Mutex trace_mutex_;

  // Built once and never changed, so the server threads read it unlocked.
  rpcwire::Dispatcher dispatcher_;
  MulticallGate processor_{dispatcher_};

  // Lifecycle: start and stop are serialised by lifecycle_mutex_, which is
  // never taken by a server thread, so stop may join them while holding it.
  mutable gw::Mutex lifecycle_mutex_;
  // The port to bind; the bound one after a start.
  int port_ GUARDED_BY(lifecycle_mutex_);
  int listen_fd_ GUARDED_BY(lifecycle_mutex_) = -1;
  std::unique_ptr<rpcserver::RpcServer> server_ GUARDED_BY(lifecycle_mutex_);
  std::thread server_thread_ GUARDED_BY(lifecycle_mutex_);
};

namespace {

std::string ownerParam(const xmlrpc_c::paramList& params) {
  std::string owner = params.getString(0);
  if (owner.empty()) throw xmlrpc_c::fault("owner name is empty");
  return owner;
}

int bankParam(const xmlrpc_c::paramList& params, unsigned n) {
  const int bank = params.getInt(n);
  if (!RegisterFile::validBank(bank)) {
    throw xmlrpc_c::fault(
        "register bank " + std::to_string(bank) + " outside 0..2",
        xmlrpc_c::fault::CODE_INDEX);
  }
  return bank;
}

int indexParam(const xmlrpc_c::paramList& params, unsigned n) {
  const int index = params.getInt(n);
  if (!RegisterFile::validIndex(index)) {
    throw xmlrpc_c::fault("register index " + std::to_string(index) +
                              " outside 0.." +
                              std::to_string(kRegisterCount - 1),
                          xmlrpc_c::fault::CODE_INDEX);
  }
  return index;
}

}  // namespace

// One remote method: hands every call to the simulator with the handler
// and the result kind of its name.
class ExioSimulator::Impl::Method : public xmlrpc_c::method2 {
 public:
  // Qualified: a bare Impl here would name the base class's own Impl.
  Method(ExioSimulator::Impl* sim, std::string name, ResultKind kind,
         Handler handler)
      : sim_(sim), name_(std::move(name)), kind_(kind), handler_(handler) {}

  void execute(const xmlrpc_c::paramList& params,
               const xmlrpc_c::callInfo* call_info,
               xmlrpc_c::value* result) override {
    (void)call_info;  // The dispatcher hands none; see noteConnection.
    sim_->noteConnection();
    *result = sim_->answer(name_, kind_, handler_, params);
  }

 private:
  ExioSimulator::Impl* const sim_;
  const std::string name_;
  const ResultKind kind_;
  const Handler handler_;
};

ExioSimulator::Impl::Impl(const Options& options)
    : trace_out_(options.trace), port_(options.port) {
  processor_.setOffer(options.offerMulticall);
  addMethod("occupyInput", ResultKind::kBool, &Impl::occupyInput);
  addMethod("releaseInput", ResultKind::kInt, &Impl::releaseInput);
  addMethod("getOutputBoolData", ResultKind::kBool, &Impl::getOutputBoolData);
  addMethod("getOutputIntData", ResultKind::kInt, &Impl::getOutputIntData);
  addMethod("getOutputDoubleData", ResultKind::kDouble,
            &Impl::getOutputDoubleData);
  addMethod("setInputBoolData", ResultKind::kBool, &Impl::setInputBoolData);
  addMethod("setInputIntData", ResultKind::kBool, &Impl::setInputIntData);
  addMethod("setInputDoubleData", ResultKind::kBool, &Impl::setInputDoubleData);
  addMethod("isInputInUse", ResultKind::kBool, &Impl::isInputInUse);
  addMethod("isConnectController", ResultKind::kBool,
            &Impl::isConnectController);
}

void ExioSimulator::Impl::addMethod(const std::string& name, ResultKind kind,
                                    Handler handler) {
  dispatcher_.add(
      name, xmlrpc_c::methodPtr(new Method(this, name, kind, handler)));
}

bool ExioSimulator::Impl::start(std::string* error) {
  gw::MutexLock lifecycle(lifecycle_mutex_);
  if (server_ != nullptr) return true;

  const std::string where = "127.0.0.1:" + std::to_string(port_);

  // The socket is bound here rather than by the library so that an
  // ephemeral port can be learnt and a taken port reported.
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return failStart(where, std::strerror(errno), error);
  // Lets a restart bind the port again while connections of the previous
  // run linger in TIME_WAIT.
  const int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) !=
      0) {
    return failStart(where, std::strerror(errno), error);
  }
  socklen_t len = sizeof(addr);
  if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) !=
      0) {
    return failStart(where, std::strerror(errno), error);
  }
  // Listening before the server thread runs lets clients connect as soon
  // as start returns; they wait in the queue until the thread accepts.
  if (::listen(listen_fd_, static_cast<int>(kMaxConnections)) != 0) {
    return failStart(where, std::strerror(errno), error);
  }
  port_ = ntohs(addr.sin_port);

  try {
    rpcserver::ServerOptions options;
    options.listenFd = listen_fd_;
    options.uriPath = "/RPC2";
    options.maxConnections = kMaxConnections;
    options.listenBacklog = kMaxConnections;
    options.keepaliveMaxRequests = kKeepaliveMaxRequests;
    // The HTTP library's own defaults, as this simulator always had.
    options.keepaliveTimeoutSeconds = 15;
    options.ioTimeoutSeconds = 15;
    options.maxRequestBytes = rpcwire::kMaxRequestBytes;
    options.maxElementDepth = rpcwire::kMaxElementDepth;
    // The server installs no signal handlers: the process's signals belong
    // to its owner (a test, the gateway's stress test, the command line
    // tool).
    server_.reset(new rpcserver::RpcServer(options, &processor_));
  } catch (const std::exception& e) {
    return failStart(where, e.what(), error);
  }

  {
    gw::MutexLock lock(mutex_);
    stopping_ = false;
  }
  rpcserver::RpcServer* const server = server_.get();
  server_thread_ = std::thread([server] {
    // A client that gives up on a call (its time-out) closes the connection
    // before the answer is written. Blocking SIGPIPE here, and so in every
    // connection thread the server starts from this one, turns that write
    // into an error instead of killing the whole process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    try {
      server->run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "exio-sim: server stopped: %s\n", e.what());
    }
  });
  return true;
}

void ExioSimulator::Impl::stop() {
  gw::MutexLock lifecycle(lifecycle_mutex_);
  if (server_ == nullptr) return;
  {
    gw::MutexLock lock(mutex_);
    stopping_ = true;
  }
  // Terminating waits for every call being answered, so hung calls must be
  // let go first.
  unhung_.notify_all();
  server_->terminate();
  server_thread_.join();
  server_.reset();
  // The library does not close a socket it was handed.
  closeListener();
}

bool ExioSimulator::Impl::failStart(const std::string& where,
                                    const std::string& why,
                                    std::string* error) {
  closeListener();
  if (error != nullptr) *error = "cannot listen on " + where + ": " + why;
  return false;
}

void ExioSimulator::Impl::closeListener() {
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
}

void ExioSimulator::Impl::noteConnection() {
  sockaddr_in peer_in;
  if (!rpcserver::currentPeer(&peer_in)) return;
  gw::MutexLock lock(mutex_);
  client_ports_.insert(ntohs(peer_in.sin_port));
}

xmlrpc_c::value ExioSimulator::Impl::answer(const std::string& method,
                                            ResultKind kind, Handler handler,
                                            const xmlrpc_c::paramList& params) {
  xmlrpc_c::value result;
  try {
    gw::MutexLock lock(mutex_);
    if (hang_ && !stopping_ &&
        (hang_method_.empty() || hang_method_ == method)) {
      ++hung_calls_;
      while (hang_ && !stopping_) unhung_.wait(mutex_);
      --hung_calls_;
    }
    if (stopping_) throw xmlrpc_c::fault("service stopping");
    if (answer_faults_) throw xmlrpc_c::fault("injected fault");
    if (wrong_result_type_) {
      switch (kind) {
        case ResultKind::kInt:
          result = xmlrpc_c::value_boolean(true);
          break;
        case ResultKind::kBool:
        case ResultKind::kDouble:
          result = xmlrpc_c::value_int(1);
          break;
      }
    } else {
      result = (this->*handler)(params);
    }
  } catch (const xmlrpc_c::fault& f) {
    ++calls_answered_;
    trace(method, params, "fault: " + f.getDescription());
    throw;
  }
  ++calls_answered_;
  trace(method, params, describe(result));
  return result;
}

void ExioSimulator::Impl::trace(const std::string& method,
                                const xmlrpc_c::paramList& params,
                                const std::string& outcome) {
  if (trace_out_ == nullptr) return;
  const std::string line =
      method + "(" + describe(params) + ") -> " + outcome + "\n";
  gw::MutexLock lock(trace_mutex_);
  *trace_out_ << line << std::flush;
}

xmlrpc_c::value ExioSimulator::Impl::occupyInput(
    const xmlrpc_c::paramList& params) {
  const std::string owner = ownerParam(params);
  const int bank = bankParam(params, 1);
  const int index = indexParam(params, 2);
  params.verifyEnd(3);
  checkFailing(bank, index);
  if (refuse_claims_) return xmlrpc_c::value_boolean(false);
  return xmlrpc_c::value_boolean(registers_.occupy(owner, bank, index));
}

xmlrpc_c::value ExioSimulator::Impl::releaseInput(
    const xmlrpc_c::paramList& params) {
  const std::string owner = ownerParam(params);
  const int bank = bankParam(params, 1);
  const int index = indexParam(params, 2);
  params.verifyEnd(3);
  checkFailing(bank, index);
  return xmlrpc_c::value_int(registers_.release(owner, bank, index));
}

xmlrpc_c::value ExioSimulator::Impl::getOutputBoolData(
    const xmlrpc_c::paramList& params) {
  const int index = indexParam(params, 0);
  params.verifyEnd(1);
  checkFailing(kBoolBank, index);
  return xmlrpc_c::value_boolean(registers_.outputBool(index));
}

xmlrpc_c::value ExioSimulator::Impl::getOutputIntData(
    const xmlrpc_c::paramList& params) {
  const int index = indexParam(params, 0);
  params.verifyEnd(1);
  checkFailing(kIntBank, index);
  return xmlrpc_c::value_int(registers_.outputInt(index));
}

xmlrpc_c::value ExioSimulator::Impl::getOutputDoubleData(
    const xmlrpc_c::paramList& params) {
  const int index = indexParam(params, 0);
  params.verifyEnd(1);
  checkFailing(kDoubleBank, index);
  return xmlrpc_c::value_double(registers_.outputDouble(index));
}

xmlrpc_c::value ExioSimulator::Impl::setInputBoolData(
    const xmlrpc_c::paramList& params) {
  const std::string owner = ownerParam(params);
  const int index = indexParam(params, 1);
  const bool value = params.getBoolean(2);
  params.verifyEnd(3);
  checkFailing(kBoolBank, index);
  return xmlrpc_c::value_boolean(registers_.setInputBool(owner, index, value));
}

xmlrpc_c::value ExioSimulator::Impl::setInputIntData(
    const xmlrpc_c::paramList& params) {
  const std::string owner = ownerParam(params);
  const int index = indexParam(params, 1);
  const int value = params.getInt(2);
  params.verifyEnd(3);
  checkFailing(kIntBank, index);
  return xmlrpc_c::value_boolean(registers_.setInputInt(owner, index, value));
}

xmlrpc_c::value ExioSimulator::Impl::setInputDoubleData(
    const xmlrpc_c::paramList& params) {
  const std::string owner = ownerParam(params);
  const int index = indexParam(params, 1);
  const double value = params.getDouble(2);
  params.verifyEnd(3);
  checkFailing(kDoubleBank, index);
  return xmlrpc_c::value_boolean(
      registers_.setInputDouble(owner, index, value));
}

void ExioSimulator::Impl::checkFailing(int bank, int index) const {
  if (failing_registers_.count({bank, index}) != 0) {
    throw xmlrpc_c::fault("injected fault for register " +
                          std::to_string(index) + " of bank " +
                          std::to_string(bank));
  }
}

xmlrpc_c::value ExioSimulator::Impl::isInputInUse(
    const xmlrpc_c::paramList& params) {
  params.verifyEnd(0);
  return xmlrpc_c::value_boolean(registers_.anyClaimed());
}

xmlrpc_c::value ExioSimulator::Impl::isConnectController(
    const xmlrpc_c::paramList& params) {
  params.verifyEnd(0);
  return xmlrpc_c::value_boolean(controller_connected_);
}

// ---- ExioSimulator

ExioSimulator::ExioSimulator(const Options& options)
    : impl_(new Impl(options)) {}

ExioSimulator::~ExioSimulator() = default;

bool ExioSimulator::start(std::string* error) { return impl_->start(error); }

void ExioSimulator::stop() { impl_->stop(); }

bool ExioSimulator::isRunning() const { return impl_->isRunning(); }

int ExioSimulator::port() const { return impl_->port(); }

std::string ExioSimulator::url() const {
  return "http://127.0.0.1:" + std::to_string(port()) + "/RPC2";
}

void ExioSimulator::setOutputBool(int index, bool value) {
  requireIndex(index);
  gw::MutexLock lock(impl_->mutex_);
  impl_->registers_.setOutputBool(index, value);
}

void ExioSimulator::setOutputInt(int index, int value) {
  requireIndex(index);
  gw::MutexLock lock(impl_->mutex_);
  impl_->registers_.setOutputInt(index, value);
}

void ExioSimulator::setOutputDouble(int index, double value) {
  requireIndex(index);
  gw::MutexLock lock(impl_->mutex_);
  impl_->registers_.setOutputDouble(index, value);
}

bool ExioSimulator::outputBool(int index) const {
  requireIndex(index);
  gw::MutexLock lock(impl_->mutex_);
  return impl_->registers_.outputBool(index);
}

int ExioSimulator::outputInt(int index) const {
  requireIndex(index);
  gw::MutexLock lock(impl_->mutex_);
  return impl_->registers_.outputInt(index);
}

double ExioSimulator::outputDouble(int index) const {
  requireIndex(index);
  gw::MutexLock lock(impl_->mutex_);
  return impl_->registers_.outputDouble(index);
}

bool ExioSimulator::inputBool(int index) const {
  requireIndex(index);
  gw::MutexLock lock(impl_->mutex_);
  return impl_->registers_.inputBool(index);
}

int ExioSimulator::inputInt(int index) const {
  requireIndex(index);
  gw::MutexLock lock(impl_->mutex_);
  return impl_->registers_.inputInt(index);
}

double ExioSimulator::inputDouble(int index) const {
  requireIndex(index);
  gw::MutexLock lock(impl_->mutex_);
  return impl_->registers_.inputDouble(index);
}

std::string ExioSimulator::owner(int bank, int index) const {
  if (!RegisterFile::validBank(bank)) {
    throw std::out_of_range("register bank " + std::to_string(bank) +
                            " outside 0..2");
  }
  requireIndex(index);
  gw::MutexLock lock(impl_->mutex_);
  return impl_->registers_.owner(bank, index);
}

uint64_t ExioSimulator::callsAnswered() const {
  return impl_->calls_answered_.load();
}

uint64_t ExioSimulator::requestsAnswered() const {
  return impl_->gate().requests();
}

uint64_t ExioSimulator::connectionsSeen() const {
  gw::MutexLock lock(impl_->mutex_);
  return impl_->client_ports_.size();
}

void ExioSimulator::setRefuseClaims(bool refuse) {
  gw::MutexLock lock(impl_->mutex_);
  impl_->refuse_claims_ = refuse;
}

void ExioSimulator::setWrongResultType(bool wrong) {
  gw::MutexLock lock(impl_->mutex_);
  impl_->wrong_result_type_ = wrong;
}

void ExioSimulator::setAnswerFaults(bool faults) {
  gw::MutexLock lock(impl_->mutex_);
  impl_->answer_faults_ = faults;
}

void ExioSimulator::setControllerConnected(bool connected) {
  gw::MutexLock lock(impl_->mutex_);
  impl_->controller_connected_ = connected;
}

void ExioSimulator::setOfferMulticall(bool offer) {
  impl_->gate().setOffer(offer);
}

bool ExioSimulator::offersMulticall() const {
  return impl_->gate().offers();
}

void ExioSimulator::setFailingRegister(int bank, int index, bool failing) {
  if (!RegisterFile::validBank(bank) || !RegisterFile::validIndex(index)) {
    throw std::out_of_range("no register " + std::to_string(index) +
                            " in bank " + std::to_string(bank));
  }
  gw::MutexLock lock(impl_->mutex_);
  if (failing) {
    impl_->failing_registers_.insert({bank, index});
  } else {
    impl_->failing_registers_.erase({bank, index});
  }
}

void ExioSimulator::setHang(bool hang, const std::string& method) {
  {
    gw::MutexLock lock(impl_->mutex_);
    impl_->hang_ = hang;
    impl_->hang_method_ = method;
  }
  if (!hang) impl_->unhung_.notify_all();
}

int ExioSimulator::hungCalls() const {
  gw::MutexLock lock(impl_->mutex_);
  return impl_->hung_calls_;
}

}  // namespace exiosim
