// Connection lifecycle: connect, disconnect, the state codes and their
// transitions, the socket's keep-alive options, the PLC family and the CPU
// unit data.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <future>
#include <mutex>

#include "tests/exio/engine_test_support.h"

namespace exiotest {
namespace {

class ConnectionTest : public EngineTest {
 protected:
  int engineSocket() { return impl().plc.socketFd(); }
  // A port on which nothing listens: that of a simulator that was stopped.
  uint16_t deadPort() {
    plc_->stop();
    return plc_->port();
  }
};

TEST_F(ConnectionTest, NewEngineIsDisconnectedAndMakesNoAttempt) {
  EXPECT_EQ(FinsExIO::Disconnected, engine_->getState());
  ASSERT_TRUE(waitCycles(5));
  EXPECT_EQ(FinsExIO::Disconnected, engine_->getState());
  EXPECT_EQ(0u, plc_->clientNodes().size());
  EXPECT_EQ("UNKNOWN", engine_->getPLCMode());
  EXPECT_STREQ("", engine_->getCPUData().model);
}

TEST_F(ConnectionTest, ConnectOpensLinkAndReadsCpuUnitData) {
  ASSERT_TRUE(connectEngine());
  EXPECT_EQ(FinsExIO::Connected, engine_->getState());
  EXPECT_EQ(1u, plc_->connectionCount());
  const fins_cpudata_tp cpu = engine_->getCPUData();
  EXPECT_STREQ("CJ2M-CPU33", cpu.model);
  EXPECT_STREQ("02.00", cpu.version);
  EXPECT_EQ("CJ", engine_->getPLCMode());
  EXPECT_EQ(1u, log_.count("Fins start connecting PLC"));
  EXPECT_EQ(1u, log_.count("Fins connect to PLC success"));
}

TEST_F(ConnectionTest, SocketCarriesKeepAliveOptions) {
  ASSERT_TRUE(connectEngine());
  const int fd = engineSocket();
  ASSERT_GE(fd, 0);
  auto option = [fd](int level, int name) {
    int value = -1;
    socklen_t length = sizeof(value);
    EXPECT_EQ(0, getsockopt(fd, level, name, &value, &length));
    return value;
  };
  EXPECT_NE(0, option(SOL_SOCKET, SO_KEEPALIVE));
  EXPECT_EQ(10, option(IPPROTO_TCP, TCP_KEEPIDLE));
  EXPECT_EQ(1, option(IPPROTO_TCP, TCP_KEEPINTVL));
  EXPECT_EQ(10, option(IPPROTO_TCP, TCP_KEEPCNT));
}

TEST_F(ConnectionTest, KeepAliveOptionsOnANonSocketFail) {
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  EXPECT_FALSE(PlcLink::setFinsSocketOpt(pipeFds[0]));
  close(pipeFds[0]);
  close(pipeFds[1]);
  EXPECT_EQ(1u, log_.count("Fins set KEEPALIVE fail: "));
}

TEST_F(ConnectionTest, KeepAliveOptionsOnAUdpSocketStopAtTheFirstTcpOption) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(PlcLink::setFinsSocketOpt(fd));
  close(fd);
  EXPECT_EQ(0u, log_.count("Fins set KEEPALIVE fail"));
  EXPECT_EQ(1u, log_.count("Fins set KEEPIDLE fail: "));
  EXPECT_EQ(0u, log_.count("Fins set KEEPINTVL fail"));
}

struct FamilyCase {
  const char* model;
  int state;
  const char* mode;
  int family;
};

void PrintTo(const FamilyCase& c, std::ostream* out) { *out << c.model; }

class FamilyTest : public ConnectionTest,
                   public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(FamilyTest, FamilyFollowsTheModelText) {
  restartPlcAs(GetParam().model);
  ASSERT_TRUE(connectEngine());
  EXPECT_EQ(GetParam().state, engine_->getState());
  EXPECT_EQ(GetParam().mode, engine_->getPLCMode());
  EXPECT_EQ(GetParam().family, impl().plc.family());
}

INSTANTIATE_TEST_SUITE_P(
    Models, FamilyTest,
    ::testing::Values(
        FamilyCase{"CV1000", FinsExIO::Connected, "CV", FINS_PLC_FAMILY_CV},
        FamilyCase{"CS1G-CPU44H", FinsExIO::Connected, "CS",
                   FINS_PLC_FAMILY_CS},
        FamilyCase{"CJ2M-CPU33", FinsExIO::Connected, "CJ",
                   FINS_PLC_FAMILY_CS},
        FamilyCase{"CP1L-EM40", FinsExIO::Connected, "CP",
                   FINS_PLC_FAMILY_CS},
        FamilyCase{"NJ501-1300", FinsExIO::ConnectedFamilyUnknown, "UNKNOWN",
                   FINS_PLC_FAMILY_UNKNOWN},
        FamilyCase{"CX-SIM", FinsExIO::ConnectedFamilyUnknown, "UNKNOWN",
                   FINS_PLC_FAMILY_UNKNOWN}),
    [](const ::testing::TestParamInfo<FamilyCase>& info) {
      std::string name;
      for (const char* c = info.param.model; *c != '\0'; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
      }
      return name;
    });

TEST_F(ConnectionTest, UnknownFamilyFailsLookupsUntilAFamilyIsSet) {
  restartPlcAs("NJ501-1300");
  ASSERT_TRUE(connectEngine());
  ASSERT_EQ(FinsExIO::ConnectedFamilyUnknown, engine_->getState());
  FinsValue value;
  EXPECT_EQ(FINS_RETVAL_INVALID_READ_AREA,
            engine_->memoryAreaReadInternal("DM0", Int16, value));

  ASSERT_TRUE(engine_->setPLCMode("CJ"));
  plc_->setWord("DM", 0, 77);
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("DM0", Int16, value));
  EXPECT_EQ(77, boost::get<short>(value));
  EXPECT_EQ("CJ", engine_->getPLCMode());
  EXPECT_STREQ("CJ501-1300", engine_->getCPUData().model);
}

TEST_F(ConnectionTest, SetPLCModeOverridesFamilyUntilNextConnect) {
  ASSERT_TRUE(connectEngine());
  ASSERT_TRUE(engine_->setPLCMode("CV"));
  EXPECT_EQ("CV", engine_->getPLCMode());
  EXPECT_STREQ("CV2M-CPU33", engine_->getCPUData().model);
  // W exists only in the CS/CJ/CP family's table.
  FinsValue value;
  EXPECT_EQ(FINS_RETVAL_INVALID_READ_AREA,
            engine_->memoryAreaReadInternal("W0", Int16, value));

  ASSERT_TRUE(connectEngine());
  EXPECT_EQ("CJ", engine_->getPLCMode());
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("W0", Int16, value));
}

TEST_F(ConnectionTest, SetPLCModeRejectsTextsThatNameNoFamily) {
  ASSERT_TRUE(connectEngine());
  for (const char* text : {"", "C", "CX", "XS", "cs"}) {
    EXPECT_FALSE(engine_->setPLCMode(text)) << text;
  }
  EXPECT_EQ("CJ", engine_->getPLCMode());
  EXPECT_STREQ("CJ2M-CPU33", engine_->getCPUData().model);
}

TEST_F(ConnectionTest, SetPLCModeWithoutConnectionChangesNothing) {
  EXPECT_FALSE(engine_->setPLCMode("CS"));
  EXPECT_EQ("UNKNOWN", engine_->getPLCMode());
  EXPECT_STREQ("", engine_->getCPUData().model);
}

TEST_F(ConnectionTest, DisconnectKeepsCpuDataAndStaysDisconnected) {
  ASSERT_TRUE(connectEngine());
  engine_->disconnect();
  EXPECT_EQ(FinsExIO::Disconnected, engine_->getState());
  EXPECT_EQ("UNKNOWN", engine_->getPLCMode());
  EXPECT_STREQ("CJ2M-CPU33", engine_->getCPUData().model);
  EXPECT_EQ(1u, log_.count("Fins instance disconnect"));
  EXPECT_EQ(1u, log_.count("Fins disconnect"));
  EXPECT_TRUE(plc_->waitForConnectionCount(0, 5s));

  ASSERT_TRUE(waitCycles(5));
  EXPECT_EQ(FinsExIO::Disconnected, engine_->getState());
  EXPECT_EQ(1u, plc_->clientNodes().size());
  EXPECT_EQ(0u, log_.count("reconnecting"));
}

TEST_F(ConnectionTest, DisconnectWithoutConnectionLogsOnlyItsOwnLine) {
  engine_->disconnect();
  EXPECT_EQ(FinsExIO::Disconnected, engine_->getState());
  EXPECT_EQ(0u, log_.count("Fins instance disconnect"));
  EXPECT_EQ(1u, log_.count("Fins disconnect"));
}

TEST_F(ConnectionTest, ConnectWithEmptyAddressFails) {
  EXPECT_FALSE(engine_->connect("", plc_->port(), 0, 0, 0, 0, 0, 0));
  // The loop may already be retrying; the state is one of its own.
  const int state = engine_->getState();
  EXPECT_TRUE(state == FinsExIO::ConnectFailed ||
              state == FinsExIO::Connecting);
  EXPECT_GE(log_.count("error code: 33025"), 1u);
}

TEST_F(ConnectionTest, RefusedConnectIsRetriedUntilThePlcAnswers) {
  const uint16_t port = deadPort();
  EXPECT_FALSE(engine_->connect("127.0.0.1", port, 0, 0, 0, 0, 0, 0));
  EXPECT_GE(log_.count("Fins connect 127.0.0.1:" + std::to_string(port) +
                       " fail, error code: " +
                       std::to_string(FINS_RETVAL_ERRNO_BASE + ECONNREFUSED)),
            1u);
  ASSERT_TRUE(waitFor([&] {
    return log_.count("FINS connect fail and reconnecting") >= 3;
  }));
  EXPECT_NE(FinsExIO::Connected, engine_->getState());

  ASSERT_TRUE(plc_->start());
  ASSERT_TRUE(waitFor([&] {
    return engine_->getState() == FinsExIO::Connected;
  }));
  EXPECT_EQ(port, plc_->port());
  EXPECT_EQ("CJ", engine_->getPLCMode());
}

TEST_F(ConnectionTest, FailedCpuUnitDataReadClosesAndRetries) {
  plc_->failNextCommands(0x0401, 1);
  EXPECT_FALSE(connectEngine());
  EXPECT_EQ(1u, log_.count("Fins get cpu fail"));
  // The loop connects again by itself, and this time the read succeeds.
  ASSERT_TRUE(waitFor([&] {
    return engine_->getState() == FinsExIO::Connected;
  }));
  EXPECT_EQ(2u, plc_->clientNodes().size());
}

TEST_F(ConnectionTest, LinkDroppedByThePlcIsReconnected) {
  ASSERT_TRUE(connectEngine());
  plc_->dropAllConnections();
  ASSERT_TRUE(waitFor([&] { return plc_->clientNodes().size() == 2; }));
  ASSERT_TRUE(waitFor([&] {
    return engine_->getState() == FinsExIO::Connected;
  }));
  EXPECT_GE(log_.count("Fins instance disconnect"), 1u);
  EXPECT_GE(log_.count("FINS connect fail and reconnecting"), 1u);
}

TEST_F(ConnectionTest, SocketClosedByTheLibraryIsReconnected) {
  ASSERT_TRUE(connectEngine());
  ASSERT_TRUE(engine_->addMapping("DM100", "in1", "", Int16,
                                  FinsExIO::PlcToRobot));
  ASSERT_TRUE(waitForState("in1", 0));
  // Two failed exchanges in a row make the library give the socket up:
  // answers the PLC's Ethernet unit sends in place of a FINS frame (a
  // FINS/TCP error notification), not a PLC's end code, which is about the
  // items asked for.
  const std::vector<std::uint8_t> notFins = {'F', 'I', 'N', 'S', 0, 0, 0, 8,
                                             0,   0,   0,   3,   0, 0, 0, 1};
  plc_->replyNextWithRaw(notFins);
  plc_->replyNextWithRaw(notFins);
  ASSERT_TRUE(waitFor([&] { return plc_->clientNodes().size() == 2; }));
  ASSERT_TRUE(waitForState("in1", 0));
  EXPECT_EQ(FinsExIO::Connected, engine_->getState());
  EXPECT_GE(log_.count("Fins instance disconnect"), 1u);
  EXPECT_GE(log_.count("FINS connect fail and reconnecting"), 1u);
}

TEST_F(ConnectionTest, ConnectReplacesAnOpenConnection) {
  ASSERT_TRUE(connectEngine());
  ASSERT_TRUE(connectEngine());
  EXPECT_EQ(FinsExIO::Connected, engine_->getState());
  EXPECT_TRUE(plc_->waitForConnectionCount(1, 5s));
  EXPECT_EQ(2u, plc_->clientNodes().size());
}

TEST_F(ConnectionTest, DestructorEndsWhenTheServiceNeverAnswers) {
  exio_->setHang(true);
  ASSERT_TRUE(waitFor([&] { return exio_->hungCalls() > 0; }));
  auto destroyed = std::async(std::launch::async, [&] { engine_.reset(); });
  // Generous: one call's time-out is about 3 s.
  const bool ended = destroyed.wait_for(30s) == std::future_status::ready;
  exio_->setHang(false);
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace exiotest
