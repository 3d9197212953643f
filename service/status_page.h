#ifndef GW_SERVICE_STATUS_PAGE_H_
#define GW_SERVICE_STATUS_PAGE_H_

#include <string>

#include "exio/fins_exio.h"
#include "service/rpc_server.h"

// The gateway's read-only status pages on its API port: "/" a page that
// people read (on a phone or a teach pendant; it reloads itself every
// second and needs nothing from outside the controller) and
// "/status.json" the same facts for programs, and "/metrics" for
// Prometheus (see service/metrics_page.h). All come from
// FinsExIO::getDiagnostics, so they make no FINS or robot call and change
// nothing.
class StatusPage : public rpcserver::PageSource {
 public:
  // A mapping counts as stale once its last good exchange is this old.
  static constexpr long long kStaleMs = 1000;

  // `engine` is not owned and must outlive this.
  explicit StatusPage(FinsExIO* engine);

  bool page(const std::string& path, Page* out) override;

  // The two renderings of one report (also for tests).
  static std::string html(const FinsExIO::Diagnostics& d);
  static std::string json(const FinsExIO::Diagnostics& d);

  // What a mapping state code means, in a few words.
  static std::string mappingStateText(int code);
  // What a connection state code means.
  static std::string connectionStateText(int code);

 private:
  FinsExIO* const engine_;
};

#endif  // GW_SERVICE_STATUS_PAGE_H_
