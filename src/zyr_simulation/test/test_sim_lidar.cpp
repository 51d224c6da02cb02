// The simulated LiDAR stands in for the sensor the whole chain starts from: a
// point where no obstacle is, a point in the wrong frame or a cloud whose
// layout a driver would not produce puts phantom walls into the map.
#include <gtest/gtest.h>
#include <sensor_msgs/point_cloud2_iterator.h>

#include <Eigen/Geometry>
#include <cmath>
#include <set>

#include "zyr_simulation/lidar.h"
#include "zyr_simulation/sensor_faults.h"

using namespace zyr_simulation;
using Eigen::Matrix3d;
using Eigen::Vector3d;

namespace
{
LidarConfig exactConfig(int beams = 16, double resolution = 1.0)
{
  LidarConfig c;
  c.beams = beams;
  c.azimuth_resolution_deg = resolution;
  c.range_noise_stddev = 0.0;
  return c;
}

// Four walls 10 m around the origin, 100 m high and deep: every beam of a sensor at the centre meets one.
Scene room()
{
  Scene scene;
  scene.addWall(10, -11, 10, 11, -100, 100, 1);
  scene.addWall(-10, -11, -10, 11, -100, 100, 1);
  scene.addWall(-11, 10, 11, 10, -100, 100, 1);
  scene.addWall(-11, -10, 11, -10, -100, 100, 1);
  return scene;
}

Vector3d toScene(const LidarPoint& p, const Vector3d& origin, const Matrix3d& rotation)
{
  return origin + rotation * Vector3d(p.x, p.y, p.z);
}
}  // namespace

TEST(LidarLayout, BeamCountsGetTheirUsualElevations)
{
  const std::vector<double> v16 = defaultVerticalAngles(16);
  ASSERT_EQ(16u, v16.size());
  EXPECT_DOUBLE_EQ(-15.0, v16.front());
  EXPECT_DOUBLE_EQ(15.0, v16.back());
  EXPECT_DOUBLE_EQ(2.0, v16[1] - v16[0]);
  const std::vector<double> v32 = defaultVerticalAngles(32);
  ASSERT_EQ(32u, v32.size());
  EXPECT_DOUBLE_EQ(-30.67, v32.front());
  EXPECT_NEAR(10.56, v32.back(), 1e-9);
  const std::vector<double> v64 = defaultVerticalAngles(64);
  ASSERT_EQ(64u, v64.size());
  EXPECT_DOUBLE_EQ(-24.9, v64.front());
  EXPECT_NEAR(2.0, v64.back(), 1e-9);
  EXPECT_EQ(std::vector<double>{0.0}, defaultVerticalAngles(1));

  SimLidar lidar(exactConfig(64, 0.2));
  EXPECT_EQ(64, lidar.beams());
  EXPECT_EQ(1800, lidar.columns());
  // Column 450 looks left (+y), beam 63 at +2 degrees.
  const Vector3d d = lidar.beamDirection(450, 63);
  EXPECT_NEAR(0.0, d.x(), 1e-12);
  EXPECT_NEAR(std::cos(2.0 * M_PI / 180.0), d.y(), 1e-9);
  EXPECT_NEAR(std::sin(2.0 * M_PI / 180.0), d.z(), 1e-9);
}

TEST(LidarLayout, RefusesConfigurationsItCannotScanWith)
{
  LidarConfig c = exactConfig();
  c.beams = 0;
  EXPECT_THROW(SimLidar{c}, std::invalid_argument);
  c = exactConfig();
  c.max_range = c.min_range;
  EXPECT_THROW(SimLidar{c}, std::invalid_argument);
  c = exactConfig();
  c.azimuth_resolution_deg = 0.0;
  EXPECT_THROW(SimLidar{c}, std::invalid_argument);
  c = exactConfig();
  c.vertical_deg = {0.0, 95.0};
  EXPECT_THROW(SimLidar{c}, std::invalid_argument);
  c = exactConfig();
  c.range_noise_stddev = -0.1;
  EXPECT_THROW(SimLidar{c}, std::invalid_argument);
  c = exactConfig();
  c.dust_points = -1;
  EXPECT_THROW(SimLidar{c}, std::invalid_argument);
  c = exactConfig();
  c.dust_min_range = 0.0;
  EXPECT_THROW(SimLidar{c}, std::invalid_argument);
}

TEST(LidarScan, EveryBeamInAClosedRoomReturnsOnePointOnAWall)
{
  SimLidar lidar(exactConfig(16, 1.0));
  std::vector<LidarPoint> points;
  lidar.scan(room(), Vector3d::Zero(), Matrix3d::Identity(), &points);
  ASSERT_EQ(16u * 360u, points.size());
  // Column after column, lowest beam first within a column.
  for (std::size_t i = 0; i < points.size(); ++i)
    ASSERT_EQ(i % 16, points[i].ring);
  const Scene scene = room();
  for (const LidarPoint& p : points)
  {
    EXPECT_NEAR(0.0, scene.distance(Vector3d(p.x, p.y, p.z)), 1e-5);
    EXPECT_GE(p.intensity, 0.0f);
    EXPECT_LE(p.intensity, 100.0f);
  }
  // The level-most beam of column 0 looks straight at the wall 9.5 m ahead, head-on.
  EXPECT_NEAR(9.5 / std::cos(M_PI / 180.0), Vector3d(points[7].x, points[7].y, points[7].z).norm(), 1e-5);
  EXPECT_GT(points[7].intensity, 99.0f);
}

TEST(LidarScan, ReturnsOnlyWhereABeamMeetsAnObstacle)
{
  Scene scene;
  scene.addPole(8, 0, 0.5, -10, 10);
  scene.addBox(Vector3d(0, -6, 0), Vector3d(2, 2, 2));
  SimLidar lidar(exactConfig(16, 0.5));
  std::vector<LidarPoint> points;
  lidar.scan(Scene(), Vector3d::Zero(), Matrix3d::Identity(), &points);
  EXPECT_TRUE(points.empty());

  lidar.scan(scene, Vector3d::Zero(), Matrix3d::Identity(), &points);
  ASSERT_FALSE(points.empty());
  int on_pole = 0, on_box = 0;
  for (const LidarPoint& p : points)
  {
    const Vector3d q(p.x, p.y, p.z);
    ASSERT_NEAR(0.0, scene.distance(q), 1e-5);
    (q.x() > 5 ? on_pole : on_box)++;
    // Each point lies along its own beam.
    EXPECT_LT(p.ring, 16);
  }
  EXPECT_GT(on_pole, 0);
  EXPECT_GT(on_box, 0);
}

TEST(LidarScan, KeepsToTheRangeWindowAndDoesNotSeeThroughNearObstacles)
{
  Scene scene;
  scene.addWall(30, -50, 30, 50, -50, 50, 0.2);
  LidarConfig c = exactConfig(16, 1.0);
  c.max_range = 20.0;
  SimLidar short_range(c);
  std::vector<LidarPoint> points;
  short_range.scan(scene, Vector3d::Zero(), Matrix3d::Identity(), &points);
  EXPECT_TRUE(points.empty());

  c.max_range = 40.0;
  SimLidar longer(c);
  longer.scan(scene, Vector3d::Zero(), Matrix3d::Identity(), &points);
  ASSERT_FALSE(points.empty());
  for (const LidarPoint& p : points)
  {
    const double range = Vector3d(p.x, p.y, p.z).norm();
    EXPECT_GE(range, 29.9 - 1e-4);
    EXPECT_LE(range, 40.0 + 1e-4);
  }

  // A pole closer than the minimum range hides what lies behind it and returns nothing itself.
  scene.addPole(0.3, 0, 0.1, -50, 50);
  const std::size_t unblocked = points.size();
  longer.scan(scene, Vector3d::Zero(), Matrix3d::Identity(), &points);
  EXPECT_LT(points.size(), unblocked);
  for (const LidarPoint& p : points)
    EXPECT_GT(Vector3d(p.x, p.y, p.z).norm(), 29.0);
}

TEST(LidarScan, PointsAreInTheSensorFrameWhateverItsPose)
{
  Scene scene;
  scene.addWall(-20, 10, 20, 10, -50, 50, 0.2);  // 10 m to the scene's +y
  SimLidar lidar(exactConfig(16, 1.0));
  // Sensor 2 m up, turned 90 deg counter-clockwise: its x axis looks along scene +y.
  const Vector3d origin(0, 0, 2);
  const Matrix3d rotation = Eigen::AngleAxisd(M_PI / 2, Vector3d::UnitZ()).toRotationMatrix();
  std::vector<LidarPoint> points;
  lidar.scan(scene, origin, rotation, &points);
  ASSERT_FALSE(points.empty());
  for (const LidarPoint& p : points)
  {
    EXPECT_NEAR(9.9, p.x, 1e-4);  // straight ahead in its own frame
    EXPECT_NEAR(0.0, scene.distance(toScene(p, origin, rotation)), 1e-5);
  }
}

TEST(LidarNoise, IsSeededAndHasTheConfiguredSpread)
{
  LidarConfig c = exactConfig(16, 0.5);
  c.range_noise_stddev = 0.05;
  c.seed = 7;
  const Scene scene = room();
  std::vector<LidarPoint> a, b, other;
  SimLidar(c).scan(scene, Vector3d::Zero(), Matrix3d::Identity(), &a);
  SimLidar(c).scan(scene, Vector3d::Zero(), Matrix3d::Identity(), &b);
  c.seed = 8;
  SimLidar(c).scan(scene, Vector3d::Zero(), Matrix3d::Identity(), &other);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_EQ(a.size(), other.size());
  int differing = 0;
  double sum = 0.0, sum_sq = 0.0;
  SimLidar exact(exactConfig(16, 0.5));
  std::vector<LidarPoint> truth;
  exact.scan(scene, Vector3d::Zero(), Matrix3d::Identity(), &truth);
  ASSERT_EQ(a.size(), truth.size());
  for (std::size_t i = 0; i < a.size(); ++i)
  {
    EXPECT_EQ(a[i].x, b[i].x);
    EXPECT_EQ(a[i].y, b[i].y);
    EXPECT_EQ(a[i].z, b[i].z);
    differing += a[i].x != other[i].x;
    const double error = Vector3d(a[i].x, a[i].y, a[i].z).norm() - Vector3d(truth[i].x, truth[i].y, truth[i].z).norm();
    sum += error;
    sum_sq += error * error;
  }
  EXPECT_GT(differing, static_cast<int>(a.size()) * 9 / 10);
  const double n = static_cast<double>(a.size());
  EXPECT_NEAR(0.0, sum / n, 0.005);
  EXPECT_NEAR(0.05, std::sqrt(sum_sq / n), 0.005);

  // By default two scans of a still scene never repeat each other to the bit, as a real sensor's do not (the
  // watchdog takes a cloud that does for a frozen driver).
  LidarConfig defaults;
  SimLidar still(defaults);
  sensor_msgs::PointCloud2 first, second;
  still.scan(scene, Vector3d::Zero(), Matrix3d::Identity(), &a);
  toPointCloud2(a, "lidar", ros::Time(1), &first);
  still.scan(scene, Vector3d::Zero(), Matrix3d::Identity(), &a);
  toPointCloud2(a, "lidar", ros::Time(1), &second);
  EXPECT_NE(first.data, second.data);
}

TEST(SensorFaults, ABlindedCloudKeepsItsLayoutWithEveryCoordinateNaN)
{
  SimLidar lidar(exactConfig(16, 2.0));
  std::vector<LidarPoint> points;
  lidar.scan(room(), Vector3d::Zero(), Matrix3d::Identity(), &points);
  sensor_msgs::PointCloud2 cloud;
  toPointCloud2(points, "lidar", ros::Time(3), &cloud);
  const sensor_msgs::PointCloud2 seen = cloud;
  blindCloud(&cloud);
  EXPECT_EQ(seen.width, cloud.width);
  EXPECT_EQ(seen.header.stamp, cloud.header.stamp);
  EXPECT_FALSE(cloud.is_dense);
  sensor_msgs::PointCloud2ConstIterator<float> x(cloud, "x"), y(cloud, "y"), z(cloud, "z"), i(cloud, "intensity");
  sensor_msgs::PointCloud2ConstIterator<float> seenIntensity(seen, "intensity");
  for (; x != x.end(); ++x, ++y, ++z, ++i, ++seenIntensity)
  {
    ASSERT_TRUE(std::isnan(*x) && std::isnan(*y) && std::isnan(*z));
    ASSERT_EQ(*seenIntensity, *i);
  }

  for (const char* name : {"none", "lidar-dropout", "lidar-blind", "lidar-frozen", "velocity-unhealthy"})
    EXPECT_NE(std::string("?"), faultEffect(parseSensorFault(name))) << name;
  EXPECT_THROW(parseSensorFault("lidar-frozn"), std::invalid_argument);
}

TEST(LidarCloud, HasTheDriversFieldLayoutAndCarriesEveryPoint)
{
  SimLidar lidar(exactConfig(32, 2.0));
  std::vector<LidarPoint> points;
  lidar.scan(room(), Vector3d::Zero(), Matrix3d::Identity(), &points);
  sensor_msgs::PointCloud2 cloud;
  toPointCloud2(points, "lidar", ros::Time(12, 500), &cloud);

  EXPECT_EQ("lidar", cloud.header.frame_id);
  EXPECT_EQ(ros::Time(12, 500), cloud.header.stamp);
  EXPECT_EQ(1u, cloud.height);
  EXPECT_EQ(points.size(), cloud.width);
  EXPECT_EQ(32u * 180u, cloud.width);
  EXPECT_EQ(20u, cloud.point_step);
  EXPECT_EQ(20u * cloud.width, cloud.row_step);
  EXPECT_EQ(cloud.row_step, cloud.data.size());
  EXPECT_FALSE(cloud.is_bigendian);
  EXPECT_TRUE(cloud.is_dense);
  ASSERT_EQ(5u, cloud.fields.size());
  const char* names[] = {"x", "y", "z", "intensity", "ring"};
  for (int i = 0; i < 5; ++i)
  {
    EXPECT_EQ(names[i], cloud.fields[i].name);
    EXPECT_EQ(4u * i, cloud.fields[i].offset);
    EXPECT_EQ(1u, cloud.fields[i].count);
    EXPECT_EQ(i < 4 ? sensor_msgs::PointField::FLOAT32 : sensor_msgs::PointField::UINT16, cloud.fields[i].datatype);
  }
  sensor_msgs::PointCloud2ConstIterator<float> x(cloud, "x"), y(cloud, "y"), z(cloud, "z");
  sensor_msgs::PointCloud2ConstIterator<std::uint16_t> ring(cloud, "ring");
  std::set<std::uint16_t> rings;
  for (const LidarPoint& p : points)
  {
    ASSERT_EQ(p.x, *x);
    ASSERT_EQ(p.y, *y);
    ASSERT_EQ(p.z, *z);
    ASSERT_EQ(p.ring, *ring);
    rings.insert(*ring);
    ++x, ++y, ++z, ++ring;
  }
  EXPECT_EQ(32u, rings.size());

  toPointCloud2({}, "lidar", ros::Time(1), &cloud);
  EXPECT_EQ(0u, cloud.width);
  EXPECT_TRUE(cloud.data.empty());
  EXPECT_EQ(5u, cloud.fields.size());
}

// Dust comes anew in every scan within its range window; the airframe stands still and comes closer than the
// scene's minimum range; neither shows in an empty world unless asked for.
TEST(LidarClutter, DustIsFreshInEveryScanAndTheAirframeIsTheSameCloseBy)
{
  LidarConfig c = exactConfig(16, 2.0);
  c.dust_points = 200;
  c.airframe_points = 30;
  SimLidar lidar(c);
  std::vector<LidarPoint> first, second;
  lidar.scan(Scene(), Vector3d::Zero(), Matrix3d::Identity(), &first);
  lidar.scan(Scene(), Vector3d::Zero(), Matrix3d::Identity(), &second);
  ASSERT_EQ(230u, first.size());
  ASSERT_EQ(230u, second.size());
  std::size_t same = 0;
  for (std::size_t i = 0; i < first.size(); ++i)
  {
    const double range = std::sqrt(first[i].x * first[i].x + first[i].y * first[i].y + first[i].z * first[i].z);
    const bool airframe = i >= 200;
    EXPECT_GE(range, airframe ? 0.2 - 1e-5 : 3.0 - 1e-4) << i;
    EXPECT_LE(range, airframe ? 0.6 + 1e-5 : 25.0 + 1e-4) << i;
    EXPECT_LE(std::abs(std::asin(first[i].z / range)), 15.0 * M_PI / 180.0 + 1e-5) << i;
    EXPECT_LT(first[i].ring, 16) << i;
    same += first[i].x == second[i].x && first[i].y == second[i].y && first[i].z == second[i].z;
  }
  EXPECT_EQ(30u, same);  // the airframe's, not one speck of dust

  c.dust_points = 0;
  c.airframe_points = 0;
  SimLidar clean(c);
  clean.scan(Scene(), Vector3d::Zero(), Matrix3d::Identity(), &first);
  EXPECT_TRUE(first.empty());
}
