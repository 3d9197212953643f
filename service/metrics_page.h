#ifndef GW_SERVICE_METRICS_PAGE_H_
#define GW_SERVICE_METRICS_PAGE_H_

#include <string>

#include "exio/fins_exio.h"

// "/metrics": the engine's diagnostics in the Prometheus text format
// (version 0.0.4), so that plants that watch their cells with Prometheus
// scrape the gateway like any other target. Made from the same report as
// the status page, so a scrape makes no FINS or robot call and never waits
// behind one.
class MetricsPage {
 public:
  // What Prometheus expects of a text exposition; it takes the format from
  // here, not from the body.
  static constexpr char kContentType[] =
      "text/plain; version=0.0.4; charset=utf-8";

  // Every metric family of one report, each with its HELP and TYPE lines.
  static std::string text(const FinsExIO::Diagnostics& d);

  // `raw` as the inside of a quoted label value: backslash, double quote
  // and line feed escaped, and each ill-formed UTF-8 sequence (a PLC's CPU
  // model text may hold any byte) replaced by U+FFFD, since Prometheus
  // drops a whole scrape over one bad label.
  static std::string labelValue(const std::string& raw);
};

#endif  // GW_SERVICE_METRICS_PAGE_H_
