#ifndef GW_METHODS_DIAGNOSTICS_METHOD_H_
#define GW_METHODS_DIAGNOSTICS_METHOD_H_

#include <cstdint>
#include <functional>

#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/registry.hpp>

#include "exio/fins_exio.h"

namespace FINS {
namespace METHOD {

// "getDiagnostics"() -> struct: FinsExIO::getDiagnostics as one struct of
// structs ("connection", "cycle", "fins", "robot") and an array "mappings"
// of structs; member names are those of FinsExIO::Diagnostics. With a
// count of refused browser requests, also "api" { "browserRequestsRefused" }.
// Makes no FINS or robot call; parameters are ignored.
class GetDiagnostics : public xmlrpc_c::method {
 public:
  // `browserRequestsRefused`, when given, is read at every call; it must be
  // thread-safe.
  explicit GetDiagnostics(
      FinsExIO* engine,
      std::function<std::uint64_t()> browserRequestsRefused = {});
  ~GetDiagnostics() override;

  GetDiagnostics(const GetDiagnostics&) = delete;
  GetDiagnostics& operator=(const GetDiagnostics&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

  // The XML-RPC value of `diagnostics` (shared with tests).
  static xmlrpc_c::value toValue(const FinsExIO::Diagnostics& diagnostics);

 private:
  FinsExIO* const engine_;
  const std::function<std::uint64_t()> browserRequestsRefused_;
};

}  // namespace METHOD
}  // namespace FINS

#endif  // GW_METHODS_DIAGNOSTICS_METHOD_H_
