// The engine stepped cycle by cycle against a robot held in memory: no loop
// thread, no robot service, no waiting for the loop. The PLC side is the
// simulator, through the engine's own PLC link.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include "exio/fins_exio_impl.h"
#include "robotio/robot_link.h"
#include "tools/plc-sim/plc_sim.h"

namespace {

using robotio::Outcome;
using robotio::RegisterCall;

// Int registers in two maps; a register listed in `failing` faults every
// call that names it.
class MemoryRobot : public robotio::RobotLink {
 public:
  std::map<int, int> inputs;
  std::map<int, int> outputs;
  std::set<int> failing;

  void callRegisters(const std::string&,
                     std::vector<RegisterCall>& calls) override {
    for (RegisterCall& call : calls) {
      call.outcome = Outcome::kAnswered;
      if (failing.count(call.index) != 0) {
        call.outcome = Outcome::kFault;
      } else if (call.kind == RegisterCall::Kind::kReadOutputInt) {
        call.intValue = outputs[call.index];
      } else if (call.kind == RegisterCall::Kind::kWriteInputInt) {
        inputs[call.index] = call.intValue;
      } else if (call.kind != RegisterCall::Kind::kClaimInput) {
        call.outcome = Outcome::kFault;  // no other kind is held here
      }
    }
  }
  void releaseInput(const std::string&, int, int) override {}
  bool isRunning() override { return true; }
  bool multicallInUse() const override { return true; }
  robotio::CallStats callStats() const override { return {}; }
};

int stateOf(FinsExIO::Impl& engine, const std::string& name) {
  gw::ReaderLock lock(engine.mappings.mappingLock);
  return engine.mappings.robotToPlcIndex.at(name)->state.load();
}

TEST(SteppedCycle, EachCycleCarriesBothWaysAndAFailingRegisterFailsAlone) {
  plcsim::Options options;
  options.port = 0;
  options.udp = false;
  plcsim::PlcSimulator plc(options);
  ASSERT_TRUE(plc.start());
  auto owned = std::make_unique<MemoryRobot>();
  MemoryRobot& robot = *owned;
  FinsExIO::Impl engine(std::move(owned));
  ASSERT_TRUE(engine.plc.connect({"127.0.0.1", plc.port()}));
  ASSERT_TRUE(engine.addMapping("DM10", "in1", "", Int16, FinsExIO::PlcToRobot));
  ASSERT_TRUE(engine.addMapping("DM20", "out2", "", Int16, FinsExIO::RobotToPlc));
  ASSERT_TRUE(engine.addMapping("DM21", "out3", "", Int16, FinsExIO::RobotToPlc));

  plc.setWord("DM", 10, 1234);
  robot.outputs = {{2, 7}, {3, 8}};
  ASSERT_TRUE(engine.syncCycle());
  EXPECT_EQ(1234, robot.inputs[1]);
  EXPECT_EQ(7, plc.word("DM", 20));
  EXPECT_EQ(8, plc.word("DM", 21));

  plc.setWord("DM", 10, 4321);
  robot.outputs = {{2, 70}, {3, 80}};
  robot.failing = {3};
  ASSERT_TRUE(engine.syncCycle());
  EXPECT_EQ(4321, robot.inputs[1]);
  EXPECT_EQ(70, plc.word("DM", 20));
  EXPECT_EQ(8, plc.word("DM", 21)) << "a value nobody read was written";
  EXPECT_EQ(FinsExIO::MappingGood, stateOf(engine, "out2"));
  EXPECT_EQ(FinsExIO::MappingRobotCallFailed, stateOf(engine, "out3"));
}

}  // namespace
