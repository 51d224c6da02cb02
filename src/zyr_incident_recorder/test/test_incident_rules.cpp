// The incident recorder's decisions and its reading of map streams, without a
// ROS master.
#include <gtest/gtest.h>
#include <octomap/OcTree.h>

#include <cmath>
#include <set>
#include <sstream>
#include <tuple>
#include <vector>

#include "zyr_incident_recorder/incident_rules.h"
#include "zyr_collision_avoidance/octree_stream.h"

namespace
{
using LeafKey = std::tuple<long, long, long, unsigned>;  // centre in millimetres, depth

LeafKey key(double x, double y, double z, unsigned depth)
{
  return LeafKey{std::lround(x * 1000), std::lround(y * 1000), std::lround(z * 1000), depth};
}

std::vector<std::int8_t> binaryStream(const octomap::OcTree& tree)
{
  std::stringstream out;
  tree.writeBinaryData(out);
  const std::string bytes = out.str();
  return std::vector<std::int8_t>(bytes.begin(), bytes.end());
}

std::set<LeafKey> walk(const std::vector<std::int8_t>& data, double resolution, bool* wellFormed = nullptr)
{
  std::set<LeafKey> leaves;
  const bool ok = octree_stream::forEachOccupiedLeaf(
      data, resolution, [&](const octree_stream::Leaf& l) { leaves.insert(key(l.x, l.y, l.z, l.depth)); });
  if (wellFormed)
    *wellFormed = ok;
  return leaves;
}
}  // namespace

TEST(OctreeStream, FindsTheOccupiedLeavesTheLibraryHolds)
{
  octomap::OcTree tree(0.3);
  tree.updateNode(octomap::point3d(0.1f, 0.1f, 0.1f), true, false);
  tree.updateNode(octomap::point3d(-7.0f, 12.0f, -2.5f), true, false);
  for (int n = 0; n < 10; ++n)  // eight equal voxels: pruned into one leaf of 0.6 m
    for (int i = 0; i < 8; ++i)
      tree.updateNode(octomap::point3d(3.05f + 0.3f * (i & 1), 0.05f + 0.3f * ((i >> 1) & 1), 0.05f + 0.3f * (i >> 2)),
                      true, false);
  tree.updateNode(octomap::point3d(5.0f, 5.0f, 5.0f), false, false);  // free: not a leaf to report
  tree.updateInnerOccupancy();

  std::set<LeafKey> expected;
  for (auto it = tree.begin_leafs(), end = tree.end_leafs(); it != end; ++it)
    if (tree.isNodeOccupied(*it))
      expected.insert(key(it.getX(), it.getY(), it.getZ(), it.getDepth()));
  ASSERT_EQ(expected.size(), 3u);
  ASSERT_EQ(expected.count(key(3.3, 0.3, 0.3, 15)), 1u) << "the block was not pruned";

  bool wellFormed = false;
  EXPECT_EQ(walk(binaryStream(tree), 0.3, &wellFormed), expected);
  EXPECT_TRUE(wellFormed);
}

TEST(OctreeStream, RefusesStreamsThatAreNotOneTree)
{
  octomap::OcTree tree(0.3);
  tree.updateNode(octomap::point3d(1.0f, 1.0f, 1.0f), true, false);
  const std::vector<std::int8_t> good = binaryStream(tree);
  bool wellFormed = true;

  std::vector<std::int8_t> cut(good.begin(), good.end() - 1);
  walk(cut, 0.3, &wellFormed);
  EXPECT_FALSE(wellFormed) << "truncated";

  std::vector<std::int8_t> longer = good;
  longer.push_back(0);
  longer.push_back(0);
  walk(longer, 0.3, &wellFormed);
  EXPECT_FALSE(wellFormed) << "bytes after the tree";

  // Every child of every node claims children: the finest voxels would need records.
  walk(std::vector<std::int8_t>(4096, -1), 0.3, &wellFormed);
  EXPECT_FALSE(wellFormed) << "deeper than the tree";

  EXPECT_TRUE(walk({}, 0.3, &wellFormed).empty());
  EXPECT_TRUE(wellFormed) << "an empty stream is an empty tree";
}

TEST(DangerEdges, OnlyTheTurnToDangerOpensAnIncident)
{
  incident_rules::DangerEdges edges;
  EXPECT_TRUE(edges.update(1)) << "danger as the first verdict";
  EXPECT_FALSE(edges.update(1));
  EXPECT_FALSE(edges.update(2)) << "not a verdict";
  EXPECT_FALSE(edges.update(1)) << "a stray value between two dangers does not split them";
  EXPECT_FALSE(edges.update(0));
  EXPECT_TRUE(edges.update(1));
}

TEST(IncidentFolders, NamesSortByTimeAndOnlyTheOldestIncidentsGo)
{
  EXPECT_EQ(incident_rules::folderName(1714564984.2504), "2024-05-01T12-03-04.250Z");
  EXPECT_EQ(incident_rules::folderName(1714564984.9999), "2024-05-01T12-03-05.000Z");
  EXPECT_TRUE(incident_rules::isFolderName("2024-05-01T12-03-04.250Z-2"));
  EXPECT_FALSE(incident_rules::isFolderName(".2024-05-01T12-03-04.250Z.partial"));
  EXPECT_FALSE(incident_rules::isFolderName("notes"));

  const std::vector<std::string> names = {"2024-05-01T12-03-04.250Z-10", "notes", "2024-05-02T00-00-00.000Z",
                                          "2024-05-01T12-03-04.250Z", "2024-05-01T12-03-04.250Z-2"};
  EXPECT_EQ(incident_rules::foldersToRemove(names, 2),
            (std::vector<std::string>{"2024-05-01T12-03-04.250Z", "2024-05-01T12-03-04.250Z-2"}));
  EXPECT_TRUE(incident_rules::foldersToRemove(names, 4).empty());
}

TEST(IncidentSummary, UnknownAndNonFiniteValuesAreWrittenAsNull)
{
  incident_rules::Summary s;
  s.stamp = 1714564984.25;
  incident_rules::Vec3 v;
  v.x = std::nan("");
  v.y = 1.0;
  s.velocity = v;
  s.topics = {"/a \"quoted\" name"};
  const std::string json = incident_rules::toJson(s);
  EXPECT_NE(json.find("\"time_utc\": \"2024-05-01T12:03:04.250Z\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"velocity_mps\": [null, 1, 0]"), std::string::npos) << json;
  EXPECT_NE(json.find("\"speed_mps\": null"), std::string::npos) << json;
  EXPECT_NE(json.find("\"guard_withheld_s\": null"), std::string::npos) << json;
  EXPECT_NE(json.find("\"probe\": null"), std::string::npos) << json;
  EXPECT_NE(json.find("\"map\": null"), std::string::npos) << json;
  EXPECT_NE(json.find("[\"/a \\\"quoted\\\" name\"]"), std::string::npos) << json;
  EXPECT_EQ(json.find("nan"), std::string::npos) << json;
}

TEST(IncidentSummary, NamesTheFailsafeAndItsStages)
{
  const std::vector<std::pair<std::string, std::vector<std::string>>> reasons = {
      {"LiDAR clouds: no cloud for 0.62 s", {"LiDAR clouds"}},
      {"LiDAR clouds: the clouds repeat the same points; Occupancy map: no map for 0.70 s",
       {"LiDAR clouds", "Occupancy map"}},
      {"", {}},
      {"held without a stage", {}},
  };
  for (const auto& r : reasons)
    EXPECT_EQ(incident_rules::failsafeStages(r.first), r.second) << r.first;

  incident_rules::Summary s;
  s.cause = incident_rules::Cause::Failsafe;
  s.causePublisher = "/avoidance_watchdog";
  s.causeReason = reasons[1].first;
  const std::string json = incident_rules::toJson(s);
  EXPECT_NE(json.find("\"source\": \"failsafe\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"publisher\": \"/avoidance_watchdog\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"stages\": [\"LiDAR clouds\", \"Occupancy map\"]"), std::string::npos) << json;

  s.cause = incident_rules::Cause::Monitor;
  s.causeReason = boost::none;
  const std::string monitor = incident_rules::toJson(s);
  EXPECT_NE(monitor.find("\"source\": \"monitor\""), std::string::npos) << monitor;
  EXPECT_NE(monitor.find("\"reason\": null"), std::string::npos) << monitor;
}
