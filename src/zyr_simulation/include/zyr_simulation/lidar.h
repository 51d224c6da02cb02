// A spinning multi-beam LiDAR that samples a Scene.
//
// The sensor's own frame has x forward, y left and z up. Beam b points at the
// elevation verticalAngles()[b]; column c at the azimuth c * azimuth resolution,
// counter-clockwise from x. A whole revolution is taken at one instant, so a
// scan has one stamp and one pose. A beam returns a point only where it meets a
// solid between the minimum and the maximum range; the range then gets seeded
// Gaussian noise along the beam.
//
// Clutter, when asked for: dust or rain (points at random directions and ranges,
// new in every scan) and the aircraft's own airframe (points close to the sensor,
// the same in every scan, as landing gear and arms return them). Both come on
// top of the scene's points, whatever the minimum range.
#ifndef ZYR_SIMULATION_LIDAR_H
#define ZYR_SIMULATION_LIDAR_H

#include <sensor_msgs/PointCloud2.h>

#include <Eigen/Core>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "zyr_simulation/scene.h"

namespace zyr_simulation
{
struct LidarConfig
{
  int beams = 16;
  // Elevation of each beam, degrees, lowest first. Empty: the default layout for `beams` (see defaultVerticalAngles).
  std::vector<double> vertical_deg;
  double azimuth_resolution_deg = 0.2;
  double min_range = 0.5;
  double max_range = 100.0;
  double range_noise_stddev = 0.02;  // metres; 0 gives exact ranges
  std::uint32_t seed = 1;
  int dust_points = 0;  // per scan, within the beams' elevations, at ranges dust_min_range..dust_max_range
  double dust_min_range = 3.0;
  double dust_max_range = 25.0;
  int airframe_points = 0;  // per scan, at ranges airframe_min_range..airframe_max_range
  double airframe_min_range = 0.2;
  double airframe_max_range = 0.6;
};

// Elevations for a sensor of `beams` beams: 16 beams 2 degrees apart over -15..+15, 32 beams 1.33 degrees apart
// from -30.67 up, 64 beams evenly over -24.9..+2.0; any other count evenly over -15..+15 (one beam: level).
std::vector<double> defaultVerticalAngles(int beams);

struct LidarPoint
{
  float x, y, z;       // sensor frame, metres
  float intensity;     // 0..100: strongest where the beam meets the surface head-on
  std::uint16_t ring;  // beam index, 0 = lowest
};

class SimLidar
{
public:
  // Throws std::invalid_argument for a configuration it cannot scan with.
  explicit SimLidar(const LidarConfig& config);

  const LidarConfig& config() const
  {
    return config_;
  }
  int beams() const
  {
    return static_cast<int>(elevation_sin_.size());
  }
  int columns() const
  {
    return columns_;
  }
  // Unit direction of beam b in column c, sensor frame.
  Eigen::Vector3d beamDirection(int column, int beam) const;

  // One revolution from a sensor at `origin` (scene coordinates) whose axes are the columns of `scene_from_sensor`.
  // Points come out in the sensor frame, column after column, lowest beam first within a column. `points` is
  // cleared first; its capacity is kept, so a caller that scans repeatedly allocates once.
  void scan(const Scene& scene, const Eigen::Vector3d& origin, const Eigen::Matrix3d& scene_from_sensor,
            std::vector<LidarPoint>* points);

private:
  // A point at `range` along the direction of elevation and azimuth (radians); its ring is the nearest beam's.
  LidarPoint pointAt(double elevation, double azimuth, double range) const;
  // Appends `count` points spread evenly over the fan's elevations, all azimuths and ranges min_range..max_range.
  void scatter(std::mt19937* rng, int count, double min_range, double max_range, std::vector<LidarPoint>* out) const;

  LidarConfig config_;
  int columns_;
  std::vector<double> elevation_sin_, elevation_cos_, azimuth_sin_, azimuth_cos_;
  std::mt19937 rng_;
  std::normal_distribution<double> noise_;
  std::vector<LidarPoint> airframe_;
};

// The cloud as the LiDAR driver would publish it: unorganised (height 1), little-endian, dense, with the float32
// fields "x", "y", "z", "intensity" and the uint16 field "ring", 20 bytes per point.
void toPointCloud2(const std::vector<LidarPoint>& points, const std::string& frame_id, const ros::Time& stamp,
                   sensor_msgs::PointCloud2* cloud);

}  // namespace zyr_simulation

#endif
