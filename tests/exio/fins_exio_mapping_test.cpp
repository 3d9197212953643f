// The mapping table: adding, replacing, removing and inspecting mappings,
// and the RobotToPlc groups with their index.

#include <mutex>
#include <shared_mutex>

#include "tests/exio/engine_test_support.h"

namespace exiotest {
namespace {

using Table = std::unordered_map<std::string, std::string>;

class MappingTest : public EngineTest {
 protected:
  bool add(const std::string& address, const std::string& name,
           FinsDataType type = Int16, int direction = FinsExIO::RobotToPlc,
           const std::string& second = "") {
    return engine_->addMapping(
        address, name, second, type,
        static_cast<FinsExIO::MappingDirection>(direction));
  }
  // The names of one RobotToPlc group, in its order.
  std::vector<std::string> group(FinsDataType type, const std::string& area) {
    gw::ReaderLock lock(impl().mappings.mappingLock);
    std::vector<std::string> names;
    // find, not operator[]: nothing may be inserted under a shared lock.
    auto byType = impl().mappings.robotToPlcGroups.find(type);
    if (byType == impl().mappings.robotToPlcGroups.end()) {
      return names;
    }
    auto byArea = byType->second.find(area);
    if (byArea == byType->second.end()) {
      return names;
    }
    for (const MappingRel& rel : byArea->second) {
      names.push_back(rel.robotRegister);
    }
    return names;
  }
  void expectRejected(const std::string& name) {
    EXPECT_EQ(FinsExIO::MappingNotFound, engine_->getMapState(name));
    EXPECT_EQ(-1, engine_->getMapDirection(name));
    EXPECT_TRUE(engine_->getMapping().empty());
    EXPECT_EQ("", tableProblems(impl()));
  }
};

TEST_F(MappingTest, EmptyTableAnswersDefaults) {
  EXPECT_EQ(FinsExIO::MappingNotFound, engine_->getMapState("in1"));
  EXPECT_EQ(-1, engine_->getMapDirection("in1"));
  EXPECT_TRUE(engine_->getMapping().empty());
}

TEST_F(MappingTest, AddedMappingIsListedWithItsDirectionAndNewState) {
  ASSERT_TRUE(add("DM100", "in3", Int16, FinsExIO::PlcToRobot));
  ASSERT_TRUE(add("W10.3", "out4", Bit, FinsExIO::RobotToPlc));
  EXPECT_EQ(0, engine_->getMapDirection("in3"));
  EXPECT_EQ(1, engine_->getMapDirection("out4"));
  EXPECT_EQ((Table{{"in3", "DM100"}, {"out4", "W10.3"}}),
            engine_->getMapping());
  EXPECT_EQ(1u, log_.count("Fins add mapping DM100 <---> in3"));
  EXPECT_EQ("", tableProblems(impl()));
}

TEST_F(MappingTest, RecordCarriesTheDerivedFacts) {
  ASSERT_TRUE(add(" dm100", "in1_2", WordForced, FinsExIO::PlcToRobot, "in7"));
  gw::ReaderLock lock(impl().mappings.mappingLock);
  const MappingRel& rel = impl().mappings.plcToRobotMap.at("in1_2");
  EXPECT_STREQ(" dm100", rel.item.address);
  EXPECT_EQ(WordForced, rel.item.type);
  EXPECT_STREQ("DM", rel.decodedAddress.name);
  EXPECT_EQ(100u, rel.decodedAddress.word);
  EXPECT_EQ(12, rel.registerIndex);
  EXPECT_EQ(7, rel.secondRegisterIndex);
  EXPECT_EQ(FinsExIO::IntRegister, rel.registerType);
  EXPECT_EQ(2, rel.addressStep);
  EXPECT_FALSE(rel.occupied.load());
}

TEST_F(MappingTest, AddressTextIsListedAsGiven) {
  ASSERT_TRUE(add(" dm100", "out1"));
  EXPECT_EQ((Table{{"out1", " dm100"}}), engine_->getMapping());
  EXPECT_EQ((std::vector<std::string>{"out1"}), group(Int16, "DM"));
}

TEST_F(MappingTest, RegisterNameWithoutDigitsIsIndexZero) {
  ASSERT_TRUE(add("DM1", "input", Int16, FinsExIO::PlcToRobot));
  gw::ReaderLock lock(impl().mappings.mappingLock);
  EXPECT_EQ(0, impl().mappings.plcToRobotMap.at("input").registerIndex);
}

TEST_F(MappingTest, AddressOfDigitsOnlyIsAccepted) {
  ASSERT_TRUE(add("100", "out1"));
  EXPECT_EQ((std::vector<std::string>{"out1"}), group(Int16, ""));
}

TEST_F(MappingTest, DirectionTwoIsStoredAndHandledAsRobotToPlc) {
  ASSERT_TRUE(add("DM1", "out1", Int16, 2));
  EXPECT_EQ(2, engine_->getMapDirection("out1"));
  EXPECT_EQ((std::vector<std::string>{"out1"}), group(Int16, "DM"));
}

TEST_F(MappingTest, RejectsEmptyAddress) {
  EXPECT_FALSE(add("", "in1"));
  expectRejected("in1");
  EXPECT_EQ(0u, log_.count("Fins add mapping"));
}

TEST_F(MappingTest, RejectsEmptyRegisterName) {
  EXPECT_FALSE(add("DM1", ""));
  expectRejected("");
  EXPECT_EQ(0u, log_.count("Fins add mapping"));
}

TEST_F(MappingTest, RejectsAddressLongerThanTheItemHolds) {
  // Twelve characters: cut to eleven it would read as DM100000000.
  EXPECT_FALSE(add("DM1000000001", "in1", Int16, FinsExIO::PlcToRobot));
  expectRejected("in1");
  EXPECT_EQ(1u, log_.count("Fins add mapping DM1000000001 <---> in1 fail: "
                           "address longer than 11 characters"));
  // Eleven characters still fit.
  EXPECT_TRUE(add("DM100000000", "in1", Int16, FinsExIO::PlcToRobot));
}

TEST_F(MappingTest, RejectsUndecodableAddress) {
  for (const char* address : {"DM100.16", "DMXY1", "DM1 ", "D-1", "DM1.2.3"}) {
    EXPECT_FALSE(add(address, "out1")) << address;
    EXPECT_EQ(1u, log_.count(std::string("Fins add mapping ") + address +
                             " <---> out1 fail: address decode fail"));
  }
  expectRejected("out1");
}

TEST_F(MappingTest, RejectsRegisterNameWithThreeDigits) {
  EXPECT_FALSE(add("DM1", "in100", Int16, FinsExIO::PlcToRobot));
  expectRejected("in100");
  EXPECT_EQ(1u, log_.count("Fins add mapping DM1 <---> in100 fail: vorl "
                           "register parser fail in100"));
}

TEST_F(MappingTest, RejectsInvalidDataType) {
  EXPECT_FALSE(add("DM1", "in1", static_cast<FinsDataType>(0)));
  EXPECT_FALSE(add("DM1", "in1", static_cast<FinsDataType>(20)));
  expectRejected("in1");
  EXPECT_EQ(1u, log_.count("vorl register type parser fail (FinsDataType)0"));
  EXPECT_EQ(1u, log_.count("vorl register type parser fail (FinsDataType)20"));
}

TEST_F(MappingTest, SameNameSameDirectionReplaces) {
  ASSERT_TRUE(add("DM100", "in1", Int16, FinsExIO::PlcToRobot));
  ASSERT_TRUE(add("DM200", "in1", Int32, FinsExIO::PlcToRobot));
  EXPECT_EQ((Table{{"in1", "DM200"}}), engine_->getMapping());
  {
    gw::ReaderLock lock(impl().mappings.mappingLock);
    EXPECT_EQ(1u, impl().mappings.plcToRobotMap.size());
    EXPECT_EQ(Int32, impl().mappings.plcToRobotMap.at("in1").item.type);
  }

  ASSERT_TRUE(add("DM100", "out1"));
  ASSERT_TRUE(add("DM300", "out1"));
  EXPECT_EQ(1u, log_.count("Fins remove out1 <---> DM100 mapping"));
  EXPECT_EQ((std::vector<std::string>{"out1"}), group(Int16, "DM"));
  EXPECT_EQ("DM300", engine_->getMapping().at("out1"));
  EXPECT_EQ("", tableProblems(impl()));
}

TEST_F(MappingTest, ReplacementMovesARecordToItsNewGroup) {
  ASSERT_TRUE(add("DM100", "out1", Int16));
  ASSERT_TRUE(add("W5", "out1", Int32));
  EXPECT_TRUE(group(Int16, "DM").empty());
  EXPECT_EQ((std::vector<std::string>{"out1"}), group(Int32, "W"));
  EXPECT_EQ("", tableProblems(impl()));
}

TEST_F(MappingTest, OneNameInBothDirections) {
  ASSERT_TRUE(add("DM100", "reg1", Int16, FinsExIO::PlcToRobot));
  ASSERT_TRUE(add("DM200", "reg1", Int16, FinsExIO::RobotToPlc));
  EXPECT_EQ(0, engine_->getMapDirection("reg1"));
  EXPECT_EQ((Table{{"reg1", "DM200"}}), engine_->getMapping());

  engine_->removeMapping("reg1");
  EXPECT_EQ(1, engine_->getMapDirection("reg1"));
  EXPECT_EQ((Table{{"reg1", "DM200"}}), engine_->getMapping());
  engine_->removeMapping("reg1");
  EXPECT_EQ(-1, engine_->getMapDirection("reg1"));
  EXPECT_TRUE(engine_->getMapping().empty());
  EXPECT_EQ(2u, log_.count("Fins remove mapping reg1 "));
  EXPECT_EQ("", tableProblems(impl()));
}

TEST_F(MappingTest, GroupsAreSortedByWordThenBit) {
  ASSERT_TRUE(add("W11.0", "out3", Bit));
  ASSERT_TRUE(add("W10.15", "out2", Bit));
  ASSERT_TRUE(add("W10.14", "out1", Bit));
  ASSERT_TRUE(add("W9.15", "out0", Bit));
  EXPECT_EQ((std::vector<std::string>{"out0", "out1", "out2", "out3"}),
            group(Bit, "W"));
  EXPECT_EQ("", tableProblems(impl()));
}

TEST_F(MappingTest, TypesAndAreasMakeSeparateGroups) {
  ASSERT_TRUE(add("DM100", "out1", Int16));
  ASSERT_TRUE(add("DM101", "out2", Uint16));
  ASSERT_TRUE(add("W100", "out3", Int16));
  EXPECT_EQ((std::vector<std::string>{"out1"}), group(Int16, "DM"));
  EXPECT_EQ((std::vector<std::string>{"out2"}), group(Uint16, "DM"));
  EXPECT_EQ((std::vector<std::string>{"out3"}), group(Int16, "W"));
}

TEST_F(MappingTest, RemovingFromTheMiddleOfAGroupKeepsTheIndexRight) {
  ASSERT_TRUE(add("DM102", "out3", Int32));
  ASSERT_TRUE(add("DM100", "out1", Int32));
  ASSERT_TRUE(add("DM101", "out2", Int16));
  ASSERT_TRUE(add("DM101", "out4", Int32));
  engine_->removeMapping("out4");
  EXPECT_EQ((std::vector<std::string>{"out1", "out3"}), group(Int32, "DM"));
  EXPECT_EQ("", tableProblems(impl()));
  EXPECT_EQ(1, engine_->getMapDirection("out3"));
  EXPECT_NE(FinsExIO::MappingNotFound, engine_->getMapState("out3"));
  EXPECT_EQ((Table{{"out1", "DM100"}, {"out2", "DM101"}, {"out3", "DM102"}}),
            engine_->getMapping());
  {
    gw::ReaderLock lock(impl().mappings.mappingLock);
    EXPECT_STREQ("DM102", impl().mappings.robotToPlcIndex.at("out3")->item.address);
  }
}

TEST_F(MappingTest, RemovingTheLastRecordLeavesAnEmptyGroup) {
  ASSERT_TRUE(add("DM100", "out1"));
  engine_->removeMapping("out1");
  gw::ReaderLock lock(impl().mappings.mappingLock);
  ASSERT_EQ(1u, impl().mappings.robotToPlcGroups.count(Int16));
  EXPECT_TRUE(impl().mappings.robotToPlcGroups.at(Int16).at("DM").empty());
  EXPECT_TRUE(impl().mappings.robotToPlcIndex.empty());
}

TEST_F(MappingTest, RemovingAnUnknownNameIsSilent) {
  ASSERT_TRUE(add("DM100", "out1"));
  log_.clear();
  engine_->removeMapping("out2");
  EXPECT_EQ("", log_.text());
  EXPECT_EQ(1u, engine_->getMapping().size());
}

TEST_F(MappingTest, GroupHelpersWarnAboutNamesTheyDoNotHold) {
  gw::WriterLock lock(impl().mappings.mappingLock);
  EXPECT_FALSE(impl().mappings.removeRobotToPlcOrderMapping("nobody"));
  impl().mappings.removeRobotToPlcMapping("nobody");
  EXPECT_EQ(1u, log_.count(
                    "Fins remove robot ro plc order mapping don't find item: "
                    "nobody"));
  EXPECT_EQ(1u,
            log_.count("Fins remove robot ro plc mapping don't find item: "
                       "nobody"));
}

TEST_F(MappingTest, CopiedRecordCarriesTheAtomicFields) {
  MappingRel original;
  original.robotRegister = "in1";
  original.state.store(61644);
  original.occupied.store(true);
  original.item.value.store(0x1122334455667788ULL);
  MappingRel copy = original;
  EXPECT_EQ(61644, copy.state.load());
  EXPECT_TRUE(copy.occupied.load());
  EXPECT_EQ(0x1122334455667788ULL, copy.item.value.load());
  MappingRel assigned;
  assigned = original;
  EXPECT_EQ(61644, assigned.state.load());
}

}  // namespace
}  // namespace exiotest
