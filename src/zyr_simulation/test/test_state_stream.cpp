// The state server stand-in's wire encoding, replay files, profiles and
// command parsing, without a ROS master.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include "zyr_simulation/state_stream.h"
#include "zyr_test_support/error_text.h"

using namespace zyr_simulation;

namespace
{
double doubleAt(const StateRecordBytes& b, std::size_t offset)
{
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i)
  {
    bits = (bits << 8) | b[offset + i];
  }
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

std::string writeTemp(const std::string& text)
{
  char path[] = "/tmp/state_stream_testXXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << text;
  return path;
}

std::string loadError(const std::string& text)
{
  const std::string path = writeTemp(text);
  const std::string what = test_support::errorText<std::runtime_error>([&] { loadStateRecordCsv(path); });
  unlink(path.c_str());
  return what;
}
}  // namespace

TEST(StateRecordEncoding, FieldsSitLittleEndianAtTheBridgesOffsets)
{
  StateRecord r;
  r.vx = 1.5;
  r.vy = -2.5;
  r.vz = 3.5;
  r.health_flag = 257;
  r.q0 = 1.0;
  r.q1 = 0.1;
  r.q2 = 0.2;
  r.q3 = 0.3;
  r.pitch = 600.0;
  r.roll = -700.0;
  r.throttle = 800.0;
  const StateRecordBytes b = encodeStateRecord(r);
  EXPECT_EQ(1.5, doubleAt(b, 0));
  EXPECT_EQ(-2.5, doubleAt(b, 8));
  EXPECT_EQ(3.5, doubleAt(b, 16));
  EXPECT_EQ((std::vector<unsigned char>{1, 1, 0, 0}), std::vector<unsigned char>(b.begin() + 24, b.begin() + 28));
  EXPECT_EQ((std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}),
            std::vector<unsigned char>(b.begin() + 28, b.begin() + 36));
  EXPECT_EQ(0.1, doubleAt(b, 36));
  EXPECT_EQ(0.2, doubleAt(b, 44));
  EXPECT_EQ(0.3, doubleAt(b, 52));
  EXPECT_EQ(600.0, doubleAt(b, 60));  // pitch before roll
  EXPECT_EQ(-700.0, doubleAt(b, 68));
  EXPECT_EQ(800.0, doubleAt(b, 76));
}

TEST(CommandParser, CommandsSplitOrGluedAreFoundInOrderAndStrayBytesSkipped)
{
  CommandParser parser;
  std::size_t skipped = 0;
  EXPECT_EQ((std::vector<CommandParser::Command>{CommandParser::PAUSE, CommandParser::RESUME, CommandParser::PAUSE}),
            parser.feed("PauseResumePause", 16, skipped));
  EXPECT_EQ(0u, skipped);

  EXPECT_TRUE(parser.feed("Pa", 2, skipped).empty());
  EXPECT_EQ(std::vector<CommandParser::Command>{CommandParser::PAUSE}, parser.feed("useRe", 5, skipped));
  EXPECT_EQ(std::vector<CommandParser::Command>{CommandParser::RESUME}, parser.feed("sume", 4, skipped));

  EXPECT_EQ(std::vector<CommandParser::Command>{CommandParser::RESUME}, parser.feed("\nxResume", 8, skipped));
  EXPECT_EQ(2u, skipped);
}

TEST(StateRecordCsv, ReadsRecordsSkippingHeaderCommentsAndBlankLines)
{
  const std::string path = writeTemp(
      "vx,vy,vz,health_flag,q0,q1,q2,q3,pitch,roll,throttle\n"
      "# hover, then forward\n"
      "\n"
      "0,0,0,1,1,0,0,0,0,0,0\n"
      " 2.5, -1 ,0.25,257,0.9,0.3,0,0,5000,-2500,100 \n");
  const std::vector<StateRecord> records = loadStateRecordCsv(path);
  unlink(path.c_str());
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(0.0, records[0].vx);
  EXPECT_EQ(1.0, records[0].q0);
  const StateRecord& r = records[1];
  EXPECT_EQ(2.5, r.vx);
  EXPECT_EQ(-1.0, r.vy);
  EXPECT_EQ(0.25, r.vz);
  EXPECT_EQ(257, r.health_flag);
  EXPECT_EQ(0.9, r.q0);
  EXPECT_EQ(0.3, r.q1);
  EXPECT_EQ(5000.0, r.pitch);
  EXPECT_EQ(-2500.0, r.roll);
  EXPECT_EQ(100.0, r.throttle);
}

TEST(StateRecordCsv, BadFilesAreRefusedNamingTheLine)
{
  EXPECT_NE(std::string::npos,
            loadError("0,0,0,1,1,0,0,0,0,0,0\n0,0,0,1,1,0,0,0,0,0\n").find(":2: expected 11 fields"));
  EXPECT_NE(std::string::npos, loadError("0,0,0,1,1,0,0,0,0,0,0\n0,0,0,1.5,1,0,0,0,0,0,0\n")
                                   .find(":2: field health_flag is not a 32-bit integer"));
  EXPECT_NE(std::string::npos, loadError("1,2,3,1,1,0,0,0,0,0,x\n").find(":1: field throttle is not a number"));
  EXPECT_NE(std::string::npos, loadError("0,0,0,1,1,0,0,0,0,0,\n").find(":1: field throttle"));
  EXPECT_NE(std::string::npos, loadError("# nothing\n").find("holds no record"));
  EXPECT_THROW(loadStateRecordCsv("/nonexistent/records.csv"), std::runtime_error);
}

TEST(ScriptedProfile, CountingNamesEachRecordAndCruiseFliesTheHeading)
{
  const ScriptedProfile counting("counting", 0.0, 0.0);
  const StateRecord tenth = counting.at(9);
  EXPECT_EQ(10.0, tenth.vx);
  EXPECT_EQ(-10.0, tenth.vy);
  EXPECT_EQ(2.5, tenth.vz);
  EXPECT_EQ(1, tenth.health_flag);
  EXPECT_EQ(1.0, tenth.q0);
  EXPECT_EQ(1000.0, tenth.pitch);
  EXPECT_EQ(-1000.0, tenth.roll);
  EXPECT_EQ(10.0, tenth.throttle);

  const StateRecord east = ScriptedProfile("cruise", 3.0, 90.0).at(123);
  EXPECT_NEAR(0.0, east.vx, 1e-12);
  EXPECT_NEAR(3.0, east.vy, 1e-12);
  EXPECT_NEAR(1.0, east.q0 * east.q0 + east.q3 * east.q3, 1e-12);
  EXPECT_NEAR(std::sqrt(0.5), east.q3, 1e-12);
  EXPECT_EQ(1, east.health_flag);

  const StateRecord still = heldStill(tenth);
  EXPECT_EQ(0.0, still.vx);
  EXPECT_EQ(0.0, still.vy);
  EXPECT_EQ(0.0, still.vz);
  EXPECT_EQ(1000.0, still.pitch);

  EXPECT_THROW(ScriptedProfile("loop-the-loop", 1.0, 0.0), std::invalid_argument);
}
