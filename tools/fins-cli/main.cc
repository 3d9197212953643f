// fins-cli: one FINS exchange from the command line, through the gateway's own FINS library.
// Commissioning aid: checks that a PLC (or fins-plc-sim) answers, reads and writes single values
// without the daemon.
//
//   fins-cli [--host A] [--port N] cpu
//   fins-cli [--host A] [--port N] read  ADDRESS TYPE
//   fins-cli [--host A] [--port N] write ADDRESS TYPE VALUE
//
// TYPE is a data type name as in the XML-RPC method names ("Int16", "SBCD32_2"; the usage text
// lists them all). Exit status: 0 on success, 1 when the PLC or the library refused (the library's
// return code is printed), 2 for a usage error.

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fins/fins.h"

namespace {

// The data types by number from 1 on, as the gateway's type table lists them; only the table's
// text is shared, so the tool still links nothing but the FINS library.
struct DataType {
  const char* name;
  bool writable;
};

const DataType kTypes[] = {
#define GW_DATA_TYPE(Type, Shape, Register, Words, Writer, WriteMethod) {#Type, (WriteMethod) != 0},
#include "exio/fins_data_types.def"
#undef GW_DATA_TYPE
};
static_assert(sizeof kTypes / sizeof kTypes[0] == FINS_DATA_TYPE_WORD_FORCED,
              "one row for each of the library's data type codes");

int usage() {
  std::fprintf(stderr,
               "usage: fins-cli [--host ADDRESS] [--port N] cpu\n"
               "       fins-cli [--host ADDRESS] [--port N] read ADDRESS TYPE\n"
               "       fins-cli [--host ADDRESS] [--port N] write ADDRESS TYPE VALUE\n"
               "TYPE, read and write:");
  for (const DataType& t : kTypes) {
    if (t.writable) std::fprintf(stderr, " %s", t.name);
  }
  std::fprintf(stderr, "\n      and for reads:");
  for (const DataType& t : kTypes) {
    if (!t.writable) std::fprintf(stderr, " %s", t.name);
  }
  std::fprintf(stderr, "\nDefaults: 127.0.0.1, port 9600.\n");
  return 2;
}

int typeCode(const char* name) {
  for (std::size_t i = 0; i < sizeof kTypes / sizeof kTypes[0]; ++i) {
    if (std::strcmp(kTypes[i].name, name) == 0) return static_cast<int>(i) + 1;
  }
  return 0;
}

bool parseLong(const char* text, long long* out) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0') return false;
  *out = v;
  return true;
}

bool parseDouble(const char* text, double* out) {
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0') return false;
  *out = v;
  return true;
}

int failed(const char* what, int code) {
  std::fprintf(stderr, "fins-cli: %s failed with code 0x%04X: %s\n", what, static_cast<unsigned>(code),
               finslib_strerror(code));
  return 1;
}

// The PLC family decides which address rows apply, so it comes from the CPU unit data first.
int cpuCommand(fins_sys_tp* plc, bool print) {
  fins_cpudata_tp cpu;
  std::memset(&cpu, 0, sizeof cpu);
  int rc = finslib_cpu_unit_data_read(plc, &cpu);
  if (rc != FINS_RETVAL_SUCCESS) return failed("CPU unit data read", rc);
  if (print) {
    static const char* const kFamilies[] = {"unknown", "CV", "CS/CJ/CP"};
    std::printf("model %s\nversion %s\nfamily %s\nnumber_of_dm_words %d\nlargest_em_bank %d\n",
                cpu.model, cpu.version, kFamilies[plc->plc_family], cpu.number_of_dm_words,
                cpu.largest_em_bank);
  } else if (plc->plc_family == FINS_PLC_FAMILY_UNKNOWN) {
    std::fprintf(stderr, "fins-cli: CPU model \"%s\" names no known PLC family\n", cpu.model);
    return 1;
  }
  return 0;
}

int readCommand(fins_sys_tp* plc, const char* address, int type) {
  fins_multidata_tp item;
  std::memset(&item, 0, sizeof item);
  if (std::strlen(address) >= sizeof item.address) {
    std::fprintf(stderr, "fins-cli: address text longer than %zu characters\n",
                 sizeof item.address - 1);
    return 2;
  }
  std::strcpy(item.address, address);
  item.type = type;
  int rc = finslib_multiple_memory_area_read(plc, &item, 1);
  if (rc != FINS_RETVAL_SUCCESS) return failed("read", rc);
  switch (type) {
    case FINS_DATA_TYPE_INT16:
    case FINS_DATA_TYPE_SBCD16_0:
    case FINS_DATA_TYPE_SBCD16_1:
    case FINS_DATA_TYPE_SBCD16_2:
    case FINS_DATA_TYPE_SBCD16_3:
      std::printf("%d\n", item.value.int16);
      break;
    case FINS_DATA_TYPE_UINT16:
    case FINS_DATA_TYPE_BCD16:
      std::printf("%u\n", static_cast<unsigned>(item.value.uint16));
      break;
    case FINS_DATA_TYPE_UINT32:
      std::printf("%" PRIu32 "\n", item.value.uint32);
      break;
    case FINS_DATA_TYPE_FLOAT:
      std::printf("%.9g\n", static_cast<double>(item.value.float32));
      break;
    case FINS_DATA_TYPE_DOUBLE:
      std::printf("%.17g\n", item.value.float64);
      break;
    case FINS_DATA_TYPE_BIT:
      std::printf("%d\n", item.value.bit.value);
      break;
    case FINS_DATA_TYPE_BIT_FORCED:
      std::printf("%d forced %d\n", item.value.bit.value, item.value.bit.forced);
      break;
    case FINS_DATA_TYPE_WORD_FORCED:
      std::printf("0x%04X forced 0x%04X\n", static_cast<unsigned>(item.value.word.first),
                  static_cast<unsigned>(item.value.word.second));
      break;
    default:  // the 32-bit signed and BCD types
      std::printf("%" PRId32 "\n", item.value.int32);
      break;
  }
  return 0;
}

int writeCommand(fins_sys_tp* plc, const char* address, int type, const char* text) {
  long long n = 0;
  double d = 0;
  bool floating = type == FINS_DATA_TYPE_FLOAT || type == FINS_DATA_TYPE_DOUBLE;
  if (floating ? !parseDouble(text, &d) : !parseLong(text, &n)) {
    std::fprintf(stderr, "fins-cli: \"%s\" is not a value for this type\n", text);
    return 2;
  }
  int rc = 0;
  switch (type) {
    case FINS_DATA_TYPE_INT16: {
      int16_t v = static_cast<int16_t>(n);
      rc = finslib_memory_area_write_int16(plc, address, &v, 1);
      break;
    }
    case FINS_DATA_TYPE_UINT16: {
      uint16_t v = static_cast<uint16_t>(n);
      rc = finslib_memory_area_write_uint16(plc, address, &v, 1);
      break;
    }
    case FINS_DATA_TYPE_INT32: {
      int32_t v = static_cast<int32_t>(n);
      rc = finslib_memory_area_write_int32(plc, address, &v, 1);
      break;
    }
    case FINS_DATA_TYPE_UINT32: {
      uint32_t v = static_cast<uint32_t>(n);
      rc = finslib_memory_area_write_uint32(plc, address, &v, 1);
      break;
    }
    case FINS_DATA_TYPE_BCD16: {
      uint16_t v = static_cast<uint16_t>(n);
      rc = finslib_memory_area_write_bcd16(plc, address, &v, 1);
      break;
    }
    case FINS_DATA_TYPE_BCD32: {
      uint32_t v = static_cast<uint32_t>(n);
      rc = finslib_memory_area_write_bcd32(plc, address, &v, 1);
      break;
    }
    case FINS_DATA_TYPE_SBCD16_0:
    case FINS_DATA_TYPE_SBCD16_1:
    case FINS_DATA_TYPE_SBCD16_2:
    case FINS_DATA_TYPE_SBCD16_3: {
      int16_t v = static_cast<int16_t>(n);
      rc = finslib_memory_area_write_sbcd16(plc, address, &v, 1, type);
      break;
    }
    case FINS_DATA_TYPE_SBCD32_0:
    case FINS_DATA_TYPE_SBCD32_1:
    case FINS_DATA_TYPE_SBCD32_2:
    case FINS_DATA_TYPE_SBCD32_3: {
      int32_t v = static_cast<int32_t>(n);
      rc = finslib_memory_area_write_sbcd32(plc, address, &v, 1, type);
      break;
    }
    case FINS_DATA_TYPE_FLOAT: {
      // Two words, the low half of the IEEE pattern at the given address.
      float f = static_cast<float>(d);
      uint32_t bits = 0;
      std::memcpy(&bits, &f, sizeof bits);
      rc = finslib_memory_area_write_uint32(plc, address, &bits, 1);
      break;
    }
    case FINS_DATA_TYPE_DOUBLE: {
      uint64_t bits = 0;
      std::memcpy(&bits, &d, sizeof bits);
      uint32_t halves[2] = {static_cast<uint32_t>(bits), static_cast<uint32_t>(bits >> 32)};
      rc = finslib_memory_area_write_uint32(plc, address, halves, 2);
      break;
    }
    case FINS_DATA_TYPE_BIT: {
      uint8_t v = n != 0 ? 1 : 0;
      rc = finslib_memory_area_write_bit(plc, address, &v, 1);
      break;
    }
    default:
      std::fprintf(stderr, "fins-cli: the forced-status types can only be read\n");
      return 2;
  }
  if (rc != FINS_RETVAL_SUCCESS) return failed("write", rc);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  long long port = FINS_DEFAULT_PORT;
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
    const bool is_host = std::strcmp(argv[i], "--host") == 0;
    const bool is_port = std::strcmp(argv[i], "--port") == 0;
    if (is_host) host = argv[i + 1];
    if (!is_host && !(is_port && parseLong(argv[i + 1], &port) && port > 0 && port <= 65535)) {
      return usage();
    }
  }
  if (i >= argc) return usage();
  const std::string command = argv[i];
  const int rest = argc - i - 1;
  int type = 0;
  if (command == "read" || command == "write") {
    if (rest != (command == "read" ? 2 : 3)) return usage();
    type = typeCode(argv[i + 2]);
    if (type == 0) return usage();
  } else if (command != "cpu" || rest != 0) {
    return usage();
  }

  int connect_code = 0;
  // Nodes 0: the PLC assigns ours in the FINS/TCP handshake and tells its own.
  fins_sys_tp* plc = finslib_tcp_connect(nullptr, host.c_str(), static_cast<uint16_t>(port), 0, 0,
                                         0, 0, 0, 0, &connect_code, 1);
  if (plc == nullptr || plc->sockfd < 0) {
    if (connect_code == 0 && plc != nullptr) connect_code = plc->last_error;
    finslib_disconnect(plc);
    std::fprintf(stderr, "fins-cli: cannot connect to %s:%lld (code 0x%04X: %s)\n", host.c_str(),
                 port, static_cast<unsigned>(connect_code), finslib_strerror(connect_code));
    return 1;
  }
  int status = cpuCommand(plc, command == "cpu");
  if (status == 0 && command == "read") status = readCommand(plc, argv[i + 1], type);
  if (status == 0 && command == "write") status = writeCommand(plc, argv[i + 1], type, argv[i + 3]);
  finslib_disconnect(plc);
  return status;
}
