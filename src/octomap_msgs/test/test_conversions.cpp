#include <gtest/gtest.h>
#include <octomap_msgs/conversions.h>

#include <limits>
#include <memory>
#include <random>
#include <set>
#include <tuple>

namespace
{
using Leaf = std::tuple<float, float, float, unsigned>;

template <class Tree>
std::set<Leaf> occupiedLeaves(const Tree& tree)
{
  std::set<Leaf> leaves;
  for (auto it = tree.begin_leafs(), end = tree.end_leafs(); it != end; ++it)
    if (tree.isNodeOccupied(*it))
      leaves.insert(Leaf(it.getX(), it.getY(), it.getZ(), it.getDepth()));
  return leaves;
}

// A small scene with occupied voxels, a free voxel and a block of eight
// equal leaves that the tree prunes into one coarser leaf.
template <class Tree>
void fillScene(Tree& tree)
{
  tree.updateNode(octomap::point3d(1.0f, 2.0f, 0.5f), true);
  tree.updateNode(octomap::point3d(-4.2f, 0.1f, 1.9f), true);
  tree.updateNode(octomap::point3d(10.0f, -7.0f, -1.0f), false);
  for (float x = 0.05f; x < 0.6f; x += 0.3f)
    for (float y = 0.05f; y < 0.6f; y += 0.3f)
      for (float z = 0.05f; z < 0.6f; z += 0.3f)
        for (int hit = 0; hit < 10; ++hit)
          tree.updateNode(octomap::point3d(x, y, z), true);
  tree.updateInnerOccupancy();
  tree.prune();
}

octomap_msgs::Octomap binaryMsgOf(const octomap::OcTree& tree)
{
  octomap_msgs::Octomap msg;
  EXPECT_TRUE(octomap_msgs::binaryMapToMsg(tree, msg));
  return msg;
}

std::unique_ptr<octomap::AbstractOcTree> decode(const octomap_msgs::Octomap& msg)
{
  return std::unique_ptr<octomap::AbstractOcTree>(octomap_msgs::msgToMap(msg));
}
}  // namespace

TEST(OctomapRoundTrip, BinaryMessageKeepsOccupiedLeavesAndSettings)
{
  octomap::OcTree tree(0.3);
  fillScene(tree);
  const octomap_msgs::Octomap msg = binaryMsgOf(tree);
  EXPECT_TRUE(msg.binary);
  EXPECT_EQ("OcTree", msg.id);
  EXPECT_DOUBLE_EQ(0.3, msg.resolution);

  auto decoded = decode(msg);
  ASSERT_TRUE(decoded);
  auto* copy = dynamic_cast<octomap::OcTree*>(decoded.get());
  ASSERT_NE(nullptr, copy);
  EXPECT_DOUBLE_EQ(0.3, copy->getResolution());
  EXPECT_EQ(tree.size(), copy->size());
  EXPECT_EQ(occupiedLeaves(tree), occupiedLeaves(*copy));
  // The pruned block comes back as one leaf one level up.
  EXPECT_EQ(1u, occupiedLeaves(*copy).count(Leaf(0.3f, 0.3f, 0.3f, 15)));
}

TEST(OctomapRoundTrip, FullMessagesKeepTheirTreeType)
{
  octomap::OcTree tree(0.2);
  fillScene(tree);
  octomap_msgs::Octomap msg;
  ASSERT_TRUE(octomap_msgs::fullMapToMsg(tree, msg));
  EXPECT_FALSE(msg.binary);
  auto decoded = decode(msg);
  auto* copy = dynamic_cast<octomap::OcTree*>(decoded.get());
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(occupiedLeaves(tree), occupiedLeaves(*copy));

  octomap::ColorOcTree colored(0.2);
  fillScene(colored);
  ASSERT_TRUE(octomap_msgs::fullMapToMsg(colored, msg));
  decoded = decode(msg);
  auto* colorCopy = dynamic_cast<octomap::ColorOcTree*>(decoded.get());
  ASSERT_NE(nullptr, colorCopy);
  EXPECT_EQ(occupiedLeaves(colored), occupiedLeaves(*colorCopy));

  octomap::OcTreeStamped stamped(0.2);
  fillScene(stamped);
  ASSERT_TRUE(octomap_msgs::fullMapToMsg(stamped, msg));
  decoded = decode(msg);
  ASSERT_NE(nullptr, dynamic_cast<octomap::OcTreeStamped*>(decoded.get()));
}

TEST(OctomapRoundTrip, BinaryColorTreeComesBackAsColorTree)
{
  octomap::ColorOcTree colored(0.3);
  fillScene(colored);
  octomap_msgs::Octomap msg;
  ASSERT_TRUE(octomap_msgs::binaryMapToMsg(colored, msg));
  EXPECT_EQ("ColorOcTree", msg.id);
  auto decoded = decode(msg);
  ASSERT_NE(nullptr, dynamic_cast<octomap::ColorOcTree*>(decoded.get()));
  EXPECT_EQ(nullptr, dynamic_cast<octomap::OcTree*>(decoded.get()));
}

TEST(OctomapRoundTrip, EmptyTreeBecomesEmptyTree)
{
  octomap::OcTree tree(0.3);
  const octomap_msgs::Octomap msg = binaryMsgOf(tree);
  EXPECT_TRUE(msg.data.empty());
  auto decoded = decode(msg);
  auto* copy = dynamic_cast<octomap::OcTree*>(decoded.get());
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(0u, copy->size());
}

TEST(OctomapUntrustedInput, EveryTruncationOfAValidStreamIsRejected)
{
  octomap::OcTree tree(0.3);
  fillScene(tree);
  const octomap_msgs::Octomap whole = binaryMsgOf(tree);
  ASSERT_GT(whole.data.size(), 4u);
  for (std::size_t n = 1; n < whole.data.size(); ++n)
  {
    octomap_msgs::Octomap cut = whole;
    cut.data.resize(n);
    EXPECT_FALSE(decode(cut)) << "prefix of " << n << " bytes";
  }

  octomap_msgs::Octomap full;
  ASSERT_TRUE(octomap_msgs::fullMapToMsg(tree, full));
  for (std::size_t n = 1; n < full.data.size(); n += 3)
  {
    octomap_msgs::Octomap cut = full;
    cut.data.resize(n);
    EXPECT_FALSE(decode(cut)) << "prefix of " << n << " bytes";
  }
}

TEST(OctomapUntrustedInput, TrailingBytesAreRejected)
{
  octomap::OcTree tree(0.3);
  fillScene(tree);
  octomap_msgs::Octomap msg = binaryMsgOf(tree);
  msg.data.push_back(0);
  EXPECT_FALSE(decode(msg));
}

TEST(OctomapUntrustedInput, EndlesslyNestedStreamIsRejectedWithoutRecursing)
{
  // 0xFF marks all eight children as subdivided at every level: the reader
  // of the octree library would descend without end on such a stream.
  octomap_msgs::Octomap msg;
  msg.binary = true;
  msg.id = "OcTree";
  msg.resolution = 0.3;
  msg.data.assign(1 << 20, static_cast<int8_t>(-1));
  EXPECT_FALSE(decode(msg));

  // One chain of single inner children, one level deeper than a tree has.
  msg.data.clear();
  for (int depth = 0; depth <= 16; ++depth)
  {
    msg.data.push_back(3);  // child 0 subdivided
    msg.data.push_back(0);
  }
  EXPECT_FALSE(decode(msg));

  // The same chain ending in an occupied leaf at the deepest level is valid.
  msg.data.clear();
  for (int depth = 0; depth < 15; ++depth)
  {
    msg.data.push_back(3);
    msg.data.push_back(0);
  }
  msg.data.push_back(2);  // child 0 occupied leaf
  msg.data.push_back(0);
  auto decoded = decode(msg);
  auto* tree = dynamic_cast<octomap::OcTree*>(decoded.get());
  ASSERT_NE(nullptr, tree);
  ASSERT_EQ(1u, occupiedLeaves(*tree).size());
  EXPECT_EQ(16u, std::get<3>(*occupiedLeaves(*tree).begin()));
}

TEST(OctomapUntrustedInput, RandomBytesNeverCrash)
{
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(-128, 127);
  std::uniform_int_distribution<int> length(0, 600);
  for (int trial = 0; trial < 2000; ++trial)
  {
    octomap_msgs::Octomap msg;
    msg.binary = trial % 2 == 0;
    msg.id = trial % 3 == 0 ? "ColorOcTree" : "OcTree";
    msg.resolution = 0.3;
    msg.data.resize(length(rng));
    for (auto& b : msg.data)
      b = static_cast<int8_t>(byte(rng));
    auto decoded = decode(msg);
    if (decoded)
    {
      EXPECT_LE(decoded->size(), 1 + 4 * msg.data.size());
    }
  }
}

TEST(OctomapUntrustedInput, UnusableResolutionOrUnknownTypeGivesNoTree)
{
  octomap::OcTree tree(0.3);
  fillScene(tree);
  const octomap_msgs::Octomap good = binaryMsgOf(tree);
  for (double resolution :
       {0.0, -0.3, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
  {
    octomap_msgs::Octomap msg = good;
    msg.resolution = resolution;
    EXPECT_FALSE(decode(msg)) << "resolution " << resolution;
    msg.binary = false;
    EXPECT_FALSE(decode(msg)) << "resolution " << resolution;
  }
  // An unknown type is turned away before the library is asked, which would
  // print a line on stderr for each such message.
  octomap_msgs::Octomap msg = good;
  testing::internal::CaptureStderr();
  for (const char* id : {"NoSuchTree", "", "CountingOcTree", "OcTreeBaseImpl"})
  {
    msg.id = id;
    msg.binary = true;
    EXPECT_FALSE(decode(msg)) << id;
    msg.binary = false;
    EXPECT_FALSE(decode(msg)) << id;
  }
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

TEST(OctomapUntrustedInput, OtherOccupancyTypeIsReadAsOcTree)
{
  octomap::OcTree tree(0.3);
  fillScene(tree);
  octomap_msgs::Octomap msg = binaryMsgOf(tree);
  msg.id = "OcTreeStamped";
  auto decoded = decode(msg);
  auto* copy = dynamic_cast<octomap::OcTree*>(decoded.get());
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(occupiedLeaves(tree), occupiedLeaves(*copy));
}
