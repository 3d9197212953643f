// Turns the body of an XML-RPC request into the body of its answer: parses
// the call with rpcwire's own parser, runs the registered xmlrpc_c::method
// and formats its result or fault. Knows nothing of HTTP.
#ifndef RPCWIRE_DISPATCHER_H
#define RPCWIRE_DISPATCHER_H

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/registry.hpp>

namespace rpcwire {

class Dispatcher {
 public:
  // The names answered by the dispatcher itself.
  static constexpr const char* kListMethods = "system.listMethods";
  static constexpr const char* kMulticall = "system.multicall";

  Dispatcher();
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Registers `method` under `name`. Set-up only: must not run while any
  // thread is in process(). Throws std::invalid_argument for an empty name,
  // a name already added, or one of the system.* names above.
  void add(const std::string& name, const xmlrpc_c::methodPtr& method);

  // The complete XML answer to the request `body` of `size` bytes, for any
  // bytes at all: the method's result, or a fault
  //   -503 the body is no XML-RPC call (malformed, too deep, too large),
  //   -506 no method of that name,
  //   the method's own code for an xmlrpc_c::fault it throws (-501 for the
  //        wrong number or type of parameters from paramList::getInt etc.),
  //   -500 any other exception, with its text, or a result XML-RPC cannot
  //        carry (e.g. NaN).
  // Throws nothing but std::bad_alloc. Safe to call from any number of
  // threads at once after set-up; the methods themselves must be, too.
  std::string process(const char* body, std::size_t size) const;

  // Registered names in the order added, then the system.* names.
  std::vector<std::string> methodNames() const;

 private:
  std::string processCall(const std::string& name,
                          const xmlrpc_c::paramList& params) const;
  std::string processMulticall(const xmlrpc_c::paramList& params) const;
  void appendMulticallElement(std::string* out,
                              const xmlrpc_c::value& element) const;
  // Runs a registered method (not a system.* one); throws what it throws.
  xmlrpc_c::value execute(const std::string& name,
                          const xmlrpc_c::paramList& params) const;

  std::vector<std::string> order_;
  std::unordered_map<std::string, xmlrpc_c::methodPtr> methods_;
};

}  // namespace rpcwire

#endif  // RPCWIRE_DISPATCHER_H
