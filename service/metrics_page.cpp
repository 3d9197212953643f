#include "service/metrics_page.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

namespace {

using Diagnostics = FinsExIO::Diagnostics;
using Labels = std::vector<std::pair<const char*, std::string>>;

constexpr double kSecondsPerMs = 0.001;

// Text that reads back as exactly `value` (15 digits where they do, so
// that 0.001 stays 0.001), in Prometheus's spellings of the values that
// are not numbers.
std::string real(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  std::snprintf(text, sizeof(text), "%.15g", value);
  if (std::strtod(text, nullptr) != value) {
    std::snprintf(text, sizeof(text), "%.17g", value);
  }
  return text;
}

// How many bytes the UTF-8 sequence at `text[at]` takes, and in
// `*valid` whether it is well-formed (RFC 3629: no overlong forms, no
// surrogates, nothing past U+10FFFF). An ill-formed one is as long as its
// well-formed beginning, at least one byte: the "maximal subpart" that the
// Unicode standard, browsers and Python's decoder each replace by one
// U+FFFD.
std::size_t utf8Sequence(const std::string& text, std::size_t at, bool* valid) {
  const auto byte = [&text](std::size_t i) {
    return static_cast<std::uint8_t>(text[i]);
  };
  const std::uint8_t lead = byte(at);
  *valid = true;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *valid = false;
    return 1;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (at + i >= text.size() || byte(at + i) < low || byte(at + i) > high) {
      *valid = false;
      return i;
    }
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

// Builds the exposition one family at a time: a family's samples must all
// follow its HELP and TYPE lines, before the next family begins.
class Exposition {
 public:
  void family(const char* name, const char* type, const char* help) {
    name_ = name;
    out_ += std::string("# HELP ") + name + " " + help + "\n";
    out_ += std::string("# TYPE ") + name + " " + type + "\n";
  }

  void sample(const Labels& labels, const std::string& value) {
    out_ += name_;
    if (!labels.empty()) {
      out_ += "{";
      for (std::size_t i = 0; i < labels.size(); ++i) {
        if (i != 0) out_ += ",";
        out_ += std::string(labels[i].first) + "=\"" +
                MetricsPage::labelValue(labels[i].second) + "\"";
      }
      out_ += "}";
    }
    out_ += " " + value + "\n";
  }

  void counter(const char* name, const char* help, std::uint64_t n) {
    family(name, "counter", help);
    sample({}, std::to_string(n));
  }

  void gauge(const char* name, const char* help, double value) {
    family(name, "gauge", help);
    sample({}, real(value));
  }

  const std::string& text() const { return out_; }

 private:
  std::string name_;
  std::string out_;
};

bool linkUp(int state) {
  // 8 only flags a PLC family the gateway does not know.
  return (state & ~8) == FinsExIO::Connected;
}

Labels mappingLabels(const Diagnostics::Mapping& m) {
  return {{"robot_register", m.name},
          {"plc_address", m.address},
          {"direction", m.direction == FinsExIO::PlcToRobot ? "plc_to_robot"
                                                            : "robot_to_plc"}};
}

double secondsSinceGood(const Diagnostics::Mapping& m) {
  // Never good is the stalest a mapping can be: an alert on a threshold
  // then fires for a mapping that never worked too.
  if (m.msSinceGood < 0) return std::numeric_limits<double>::infinity();
  return static_cast<double>(m.msSinceGood) * kSecondsPerMs;
}

}  // namespace

std::string MetricsPage::labelValue(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t at = 0; at < raw.size();) {
    bool valid = false;
    const std::size_t length = utf8Sequence(raw, at, &valid);
    if (!valid) {
      out += "\xEF\xBF\xBD";
    } else if (length > 1) {
      out.append(raw, at, length);
    } else {
      switch (raw[at]) {
        case '\\':
          out += "\\\\";
          break;
        case '"':
          out += "\\\"";
          break;
        case '\n':
          out += "\\n";
          break;
        default:
          out += raw[at];
      }
    }
    at += length;
  }
  return out;
}

std::string MetricsPage::text(const Diagnostics& d) {
  Exposition e;
  const Diagnostics::Connection& c = d.connection;

  e.gauge("fins_gateway_plc_connected",
          "1 while the FINS connection to the PLC is up, else 0.",
          linkUp(c.state) ? 1 : 0);
  e.gauge("fins_gateway_plc_connection_state",
          "The connection state code as getState answers it: 1 disconnected, "
          "2 connecting, 4 connected, 12 connected with the PLC family "
          "unknown, 16 connect failed and being retried.",
          c.state);
  e.family("fins_gateway_plc_info", "gauge",
           "Always 1; the labels name the PLC of the last connect and the "
           "CPU model it reported.");
  e.sample({{"plc_address", c.plcAddress},
            {"plc_port", std::to_string(c.plcPort)},
            {"transport", c.transport},
            {"cpu_model", c.cpuModel},
            {"family", c.family}},
           "1");
  e.gauge("fins_gateway_plc_connection_start_time_seconds",
          "Unix time the current PLC connection was made; 0 while there is "
          "none.",
          c.connectedSince);
  e.counter("fins_gateway_plc_connect_attempts_total",
            "Connects to the PLC tried, by clients and by the gateway's own "
            "retries.",
            c.connectAttempts);
  e.counter("fins_gateway_plc_reconnects_total",
            "PLC connections the gateway brought back by itself after a "
            "lost link or a failed connect.",
            c.reconnects);
  e.gauge("fins_gateway_plc_last_failure_code",
          "The FINS library's code of the last failed connect or lost link; "
          "0 if there was none.",
          c.lastFailureCode);
  e.gauge("fins_gateway_plc_last_failure_time_seconds",
          "Unix time of the last failed connect or lost link; 0 if there "
          "was none.",
          c.lastFailureAt);

  e.counter("fins_gateway_cycles_total",
            "Exchange cycles finished since the gateway started.",
            d.cycle.cycles);
  e.gauge("fins_gateway_cycle_work_last_seconds",
          "Work of the last cycle, without its pause.",
          d.cycle.lastMs * kSecondsPerMs);
  e.gauge("fins_gateway_cycle_work_mean_seconds",
          "Mean work of the cycles of the last minute.",
          d.cycle.meanMs * kSecondsPerMs);
  e.gauge("fins_gateway_cycle_work_p99_seconds",
          "99th percentile of the work of the cycles of the last minute.",
          d.cycle.p99Ms * kSecondsPerMs);
  e.gauge("fins_gateway_cycle_work_max_seconds",
          "Longest work of the cycles of the last minute.",
          d.cycle.maxMs * kSecondsPerMs);

  e.counter("fins_gateway_fins_exchanges_total",
            "FINS request and response exchanges with the PLC.",
            d.fins.exchanges);
  e.counter("fins_gateway_fins_exchange_failures_total",
            "FINS exchanges that failed, time-outs included.", d.fins.failures);
  e.counter("fins_gateway_fins_exchange_timeouts_total",
            "FINS exchanges the PLC did not answer in time.", d.fins.timeouts);
  e.gauge("fins_gateway_fins_exchange_mean_seconds",
          "Mean FINS exchange time since the gateway started.",
          d.fins.meanMs * kSecondsPerMs);
  e.gauge("fins_gateway_fins_exchange_p99_seconds",
          "99th percentile of the FINS exchange time since the gateway "
          "started.",
          d.fins.p99Ms * kSecondsPerMs);

  e.gauge("fins_gateway_robot_service_up",
          "1 if the robot's external IO service answered the last cycle's "
          "probe, else 0.",
          d.robot.running ? 1 : 0);
  e.counter("fins_gateway_robot_calls_total",
            "Calls to the robot's external IO service, probes included.",
            d.robot.calls);
  e.counter("fins_gateway_robot_call_failures_total",
            "Robot IO service calls not answered properly, time-outs "
            "included.",
            d.robot.failures);
  e.counter("fins_gateway_robot_call_timeouts_total",
            "Robot IO service calls that timed out.", d.robot.timeouts);
  e.gauge("fins_gateway_robot_call_mean_seconds",
          "Mean robot IO service call time since the gateway started.",
          d.robot.meanMs * kSecondsPerMs);
  e.gauge("fins_gateway_robot_call_p99_seconds",
          "99th percentile of the robot IO service call time since the "
          "gateway started.",
          d.robot.p99Ms * kSecondsPerMs);

  e.family("fins_gateway_mapping_state", "gauge",
           "State of each mapping: 0 good, 65535 not exchanged yet, 61644 "
           "robot input register refused, 65040 robot IO service down, "
           "61645 robot register call failed; any other value is the FINS "
           "library's code of its last failed exchange.");
  for (const Diagnostics::Mapping& m : d.mappings) {
    e.sample(mappingLabels(m), std::to_string(m.state));
  }
  e.family("fins_gateway_mapping_seconds_since_good", "gauge",
           "Seconds since each mapping last exchanged its value well; +Inf "
           "if it never has.");
  for (const Diagnostics::Mapping& m : d.mappings) {
    e.sample(mappingLabels(m), real(secondsSinceGood(m)));
  }
  e.family("fins_gateway_mapping_failed_cycles_total", "counter",
           "Cycles that left each mapping failed; starts again at 0 when the "
           "mapping is replaced.");
  for (const Diagnostics::Mapping& m : d.mappings) {
    e.sample(mappingLabels(m), std::to_string(m.failures));
  }
  return e.text();
}
