#include "service/status_page.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "exio/fins_data_types.h"
#include "fins/fins.h"
#include "service/metrics_page.h"

namespace {

using Diagnostics = FinsExIO::Diagnostics;

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), pattern, value);
  return text;
}

std::string number(double value) {
  if (!std::isfinite(value)) return "0";
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    return format("%.0f", value);
  }
  return format("%.17g", value);
}

std::string ms(double value) { return format("%.2f", value); }

std::string count(std::uint64_t n) { return std::to_string(n); }

std::string jsonText(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string htmlText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string jsonValue(const Diagnostics::ShownValue& v) {
  switch (v.kind) {
    case Diagnostics::ShownValue::kInt:
    case Diagnostics::ShownValue::kNumber:
      return number(v.first);
    case Diagnostics::ShownValue::kBool:
      return v.first != 0 ? "true" : "false";
    case Diagnostics::ShownValue::kBoolPair:
      return std::string("[") + (v.first != 0 ? "true" : "false") + "," +
             (v.second != 0 ? "true" : "false") + "]";
    case Diagnostics::ShownValue::kIntPair:
      return "[" + number(v.first) + "," + number(v.second) + "]";
    case Diagnostics::ShownValue::kNone:
      break;
  }
  return "null";
}

std::string shownText(const Diagnostics::ShownValue& v) {
  switch (v.kind) {
    case Diagnostics::ShownValue::kInt:
    case Diagnostics::ShownValue::kNumber:
      return number(v.first);
    case Diagnostics::ShownValue::kBool:
      return v.first != 0 ? "1" : "0";
    case Diagnostics::ShownValue::kBoolPair:
      return std::string(v.first != 0 ? "1" : "0") +
             (v.second != 0 ? " (forced)" : "");
    case Diagnostics::ShownValue::kIntPair:
      return number(v.first) + " / forced " + number(v.second);
    case Diagnostics::ShownValue::kNone:
      break;
  }
  return "–";
}

const char* typeName(int type) {
  const datatypes::DataTypeRow* row =
      datatypes::rowOf(static_cast<FinsDataType>(type));
  return row != nullptr ? row->name : "?";
}

bool stale(const Diagnostics::Mapping& m) {
  return m.msSinceGood < 0 || m.msSinceGood > StatusPage::kStaleMs;
}

std::string clockText(double unixSeconds) {
  if (unixSeconds <= 0) return "–";
  const std::time_t at = static_cast<std::time_t>(unixSeconds);
  std::tm parts{};
  gmtime_r(&at, &parts);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::string row(const std::string& label, const std::string& value,
                const std::string& id) {
  return "<tr><th>" + label + "</th><td id=\"" + id + "\">" + value +
         "</td></tr>\n";
}

const char kStyle[] =
    "body{font-family:sans-serif;margin:0;padding:0.6em;background:#f4f5f7;"
    "color:#222;font-size:16px}"
    "h1{font-size:1.3em;margin:0.2em 0 0.5em}"
    "h2{font-size:1.05em;margin:0 0 0.4em}"
    ".cards{display:flex;flex-wrap:wrap;gap:0.6em}"
    ".card{background:#fff;border-radius:6px;padding:0.6em 0.8em;"
    "flex:1 1 16em;box-shadow:0 1px 2px rgba(0,0,0,.15)}"
    ".card th{text-align:left;font-weight:normal;color:#555;padding-right:1em}"
    ".wide{flex-basis:100%;overflow-x:auto}"
    "table{border-collapse:collapse}"
    ".map th,.map td{padding:0.3em 0.6em;border-bottom:1px solid #ddd;"
    "text-align:left;white-space:nowrap}"
    ".good{color:#1a7f37}.bad{color:#b42318;font-weight:bold}"
    "tr.stale{background:#fff4e5}"
    ".tag{background:#b42318;color:#fff;border-radius:3px;padding:0 0.3em;"
    "font-size:0.85em}"
    ".value{font-family:monospace;font-size:1.05em}"
    "footer{color:#777;font-size:0.8em;margin-top:0.6em}";

}  // namespace

StatusPage::StatusPage(FinsExIO* engine) : engine_(engine) {}

bool StatusPage::page(const std::string& path, Page* out) {
  if (path == "/") {
    out->contentType = "text/html; charset=utf-8";
    out->body = html(engine_->getDiagnostics());
    return true;
  }
  if (path == "/status.json") {
    out->contentType = "application/json";
    out->body = json(engine_->getDiagnostics());
    return true;
  }
  if (path == "/metrics") {
    out->contentType = MetricsPage::kContentType;
    out->body = MetricsPage::text(engine_->getDiagnostics());
    return true;
  }
  return false;
}

std::string StatusPage::connectionStateText(int code) {
  switch (code) {
    case FinsExIO::Disconnected: return "disconnected";
    case FinsExIO::Connecting: return "connecting";
    case FinsExIO::Connected: return "connected";
    case FinsExIO::ConnectedFamilyUnknown:
      return "connected, PLC family unknown (set it with PLCModeSet)";
    case FinsExIO::ConnectFailed: return "connect failed, retrying";
    default: return "unknown state";
  }
}

std::string StatusPage::mappingStateText(int code) {
  switch (code) {
    case FinsExIO::MappingGood: return "good";
    case FinsExIO::MappingNew: return "added, not exchanged yet";
    case FinsExIO::MappingClaimRefused:
      return "robot input register could not be claimed";
    case FinsExIO::MappingServiceDown:
      return "robot IO service did not answer";
    case FinsExIO::MappingRobotCallFailed:
      return "robot IO service refused the register call";
    case FinsExIO::MappingNotFound: return "no such mapping";
    default: break;
  }
  return finslib_strerror(code);
}

std::string StatusPage::json(const Diagnostics& d) {
  const Diagnostics::Connection& c = d.connection;
  std::string out = "{\"connection\":{";
  out += "\"state\":" + number(c.state);
  out += ",\"stateText\":" + jsonText(connectionStateText(c.state));
  out += ",\"plcAddress\":" + jsonText(c.plcAddress);
  out += ",\"plcPort\":" + number(c.plcPort);
  out += ",\"transport\":" + jsonText(c.transport);
  out += ",\"cpuModel\":" + jsonText(c.cpuModel);
  out += ",\"family\":" + jsonText(c.family);
  out += ",\"connectedSince\":" + number(c.connectedSince);
  out += ",\"connectAttempts\":" + count(c.connectAttempts);
  out += ",\"reconnects\":" + count(c.reconnects);
  out += ",\"lastFailureCode\":" + number(c.lastFailureCode);
  out += ",\"lastFailureAt\":" + number(c.lastFailureAt);
  out += "},\"cycle\":{";
  out += "\"cycles\":" + count(d.cycle.cycles);
  out += ",\"lastMs\":" + number(d.cycle.lastMs);
  out += ",\"meanMs\":" + number(d.cycle.meanMs);
  out += ",\"p99Ms\":" + number(d.cycle.p99Ms);
  out += ",\"maxMs\":" + number(d.cycle.maxMs);
  out += ",\"perSecond\":" + number(d.cycle.perSecond);
  out += "},\"fins\":{";
  out += "\"exchanges\":" + count(d.fins.exchanges);
  out += ",\"failures\":" + count(d.fins.failures);
  out += ",\"timeouts\":" + count(d.fins.timeouts);
  out += ",\"failuresByCode\":{";
  bool first = true;
  for (const auto& entry : d.fins.failuresByCode) {
    if (!first) out += ",";
    first = false;
    out += jsonText(std::to_string(entry.first)) + ":" + count(entry.second);
  }
  out += "},\"meanMs\":" + number(d.fins.meanMs);
  out += ",\"p99Ms\":" + number(d.fins.p99Ms);
  out += "},\"robot\":{";
  out += std::string("\"running\":") + (d.robot.running ? "true" : "false");
  out += ",\"calls\":" + count(d.robot.calls);
  out += ",\"failures\":" + count(d.robot.failures);
  out += ",\"timeouts\":" + count(d.robot.timeouts);
  out += ",\"meanMs\":" + number(d.robot.meanMs);
  out += ",\"p99Ms\":" + number(d.robot.p99Ms);
  out += std::string(",\"multicall\":") +
         (d.robot.multicall ? "true" : "false");
  out += "},\"mappings\":[";
  first = true;
  for (const Diagnostics::Mapping& m : d.mappings) {
    if (!first) out += ",";
    first = false;
    out += "{\"name\":" + jsonText(m.name);
    out += ",\"direction\":" + number(m.direction);
    out += ",\"address\":" + jsonText(m.address);
    out += ",\"type\":" + number(m.type);
    out += ",\"state\":" + number(m.state);
    out += ",\"stateText\":" + jsonText(mappingStateText(m.state));
    out += ",\"value\":" + jsonValue(m.value);
    out += ",\"msSinceGood\":" + number(static_cast<double>(m.msSinceGood));
    out += std::string(",\"stale\":") + (stale(m) ? "true" : "false");
    out += ",\"failures\":" + count(m.failures) + "}";
  }
  out += "]}";
  return out;
}

std::string StatusPage::html(const Diagnostics& d) {
  const Diagnostics::Connection& c = d.connection;
  const bool linkUp = (c.state & ~8) == FinsExIO::Connected;
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n"
      "<meta http-equiv=\"refresh\" content=\"1\">\n"
      "<title>FINS gateway status</title>\n<style>";
  out += kStyle;
  out += "</style></head><body>\n<h1>FINS gateway</h1>\n<div class=\"cards\">\n";

  out += "<div class=\"card\"><h2>PLC connection</h2><table>\n";
  out += row("State",
             std::string("<span class=\"") + (linkUp ? "good" : "bad") +
                 "\">" + htmlText(connectionStateText(c.state)) + " (" +
                 number(c.state) + ")</span>",
             "conn-state");
  out += row("PLC", htmlText(c.plcAddress.empty()
                                 ? std::string("–")
                                 : c.plcAddress + ":" + number(c.plcPort)),
             "conn-plc");
  out += row("Transport", htmlText(c.transport.empty() ? "–" : c.transport),
             "conn-transport");
  out += row("CPU model",
             htmlText(c.cpuModel.empty() ? "–" : c.cpuModel) + " (" +
                 htmlText(c.family) + ")",
             "conn-model");
  out += row("Connected since", clockText(c.connectedSince), "conn-since");
  out += row("Connect attempts / reconnects",
             count(c.connectAttempts) + " / " + count(c.reconnects),
             "conn-attempts");
  out += row("Last failure",
             c.lastFailureCode == 0
                 ? std::string("–")
                 : htmlText(mappingStateText(c.lastFailureCode)) + " (" +
                       number(c.lastFailureCode) + ") at " +
                       clockText(c.lastFailureAt),
             "conn-failure");
  out += "</table></div>\n";

  out += "<div class=\"card\"><h2>Cycle</h2><table>\n";
  out += row("Cycles run", count(d.cycle.cycles), "cycle-count");
  out += row("Work last / mean ms", ms(d.cycle.lastMs) + " / " +
                                        ms(d.cycle.meanMs), "cycle-mean");
  out += row("Work p99 / max ms (1 min)",
             ms(d.cycle.p99Ms) + " / " + ms(d.cycle.maxMs), "cycle-p99");
  out += row("Cycles per second", format("%.1f", d.cycle.perSecond),
             "cycle-rate");
  out += "</table></div>\n";

  out += "<div class=\"card\"><h2>FINS</h2><table>\n";
  out += row("Exchanges", count(d.fins.exchanges), "fins-exchanges");
  std::string failures = count(d.fins.failures);
  for (const auto& entry : d.fins.failuresByCode) {
    failures += "<br>" + count(entry.second) + " × " +
                (entry.first < 0 ? std::string("other codes")
                                 : htmlText(mappingStateText(entry.first)) +
                                       " (" + number(entry.first) + ")");
  }
  out += row("Failed", failures, "fins-failures");
  out += row("Time-outs", count(d.fins.timeouts), "fins-timeouts");
  out += row("Exchange mean / p99 ms",
             ms(d.fins.meanMs) + " / " + ms(d.fins.p99Ms), "fins-time");
  out += "</table></div>\n";

  out += "<div class=\"card\"><h2>Robot IO service</h2><table>\n";
  out += row("Service",
             d.robot.running ? "<span class=\"good\">running</span>"
                             : "<span class=\"bad\">not answering</span>",
             "robot-running");
  out += row("Calls / failed / time-outs",
             count(d.robot.calls) + " / " + count(d.robot.failures) + " / " +
                 count(d.robot.timeouts),
             "robot-calls");
  out += row("Call mean / p99 ms",
             ms(d.robot.meanMs) + " / " + ms(d.robot.p99Ms), "robot-time");
  out += row("Batched calls", d.robot.multicall ? "in use" : "not in use",
             "robot-multicall");
  out += "</table></div>\n";

  out += "<div class=\"card wide\"><h2>Mappings (" +
         count(d.mappings.size()) + ")</h2>\n<table class=\"map\" "
         "id=\"mappings\"><tr><th>Robot register</th><th>Direction</th>"
         "<th>PLC address</th><th>Type</th><th>Value</th><th>State</th>"
         "<th>Last good</th><th>Failed cycles</th></tr>\n";
  for (const Diagnostics::Mapping& m : d.mappings) {
    const bool isStale = stale(m);
    const bool good = m.state == FinsExIO::MappingGood;
    out += "<tr id=\"map-" + htmlText(m.name) + "-" + number(m.direction) +
           "\"" + (isStale ? " class=\"stale\"" : "") + ">";
    out += "<td class=\"name\">" + htmlText(m.name) + "</td>";
    out += std::string("<td>") +
           (m.direction == FinsExIO::PlcToRobot ? "PLC → robot"
                                                : "robot → PLC") +
           "</td>";
    out += "<td>" + htmlText(m.address) + "</td>";
    out += std::string("<td>") + typeName(m.type) + "</td>";
    out += "<td class=\"value\">" + htmlText(shownText(m.value)) + "</td>";
    out += std::string("<td class=\"state ") + (good ? "good" : "bad") +
           "\" data-code=\"" + number(m.state) + "\">" +
           htmlText(mappingStateText(m.state)) + " (" + number(m.state) +
           ")</td>";
    std::string last = m.msSinceGood < 0
                           ? std::string("never")
                           : format("%.1f s ago",
                                    static_cast<double>(m.msSinceGood) / 1000);
    if (isStale) last += " <span class=\"tag\">stale</span>";
    out += "<td class=\"last\">" + last + "</td>";
    out += "<td>" + count(m.failures) + "</td></tr>\n";
  }
  out += "</table></div>\n</div>\n<footer>Read only; refreshes every second. "
         "The same as JSON: <a href=\"/status.json\">/status.json</a>."
         "</footer>\n</body></html>\n";
  return out;
}
