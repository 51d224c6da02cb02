#include "zyr_simulation/lidar.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace zyr_simulation
{
namespace
{
const double kDegToRad = M_PI / 180.0;
const std::uint32_t kPointStep = 20;
}  // namespace

std::vector<double> defaultVerticalAngles(int beams)
{
  std::vector<double> angles;
  if (beams < 1)
    return angles;
  double lowest, step;
  if (beams == 16)
  {
    lowest = -15.0;
    step = 2.0;
  }
  else if (beams == 32)
  {
    lowest = -30.67;
    step = 1.33;
  }
  else if (beams == 64)
  {
    lowest = -24.9;
    step = 26.9 / 63.0;
  }
  else
  {
    lowest = beams == 1 ? 0.0 : -15.0;
    step = beams == 1 ? 0.0 : 30.0 / (beams - 1);
  }
  for (int b = 0; b < beams; ++b)
    angles.push_back(lowest + b * step);
  return angles;
}

SimLidar::SimLidar(const LidarConfig& config) : config_(config), rng_(config.seed), noise_(0.0, 1.0)
{
  if (config_.vertical_deg.empty())
    config_.vertical_deg = defaultVerticalAngles(config_.beams);
  if (config_.vertical_deg.empty() || config_.vertical_deg.size() > 65535)
    throw std::invalid_argument("LiDAR: needs between 1 and 65535 beams");
  config_.beams = static_cast<int>(config_.vertical_deg.size());
  for (double elevation : config_.vertical_deg)
    if (!(std::abs(elevation) <= 90.0))
      throw std::invalid_argument("LiDAR: beam elevations must lie within -90..+90 degrees");
  if (!(config_.azimuth_resolution_deg >= 0.01 && config_.azimuth_resolution_deg <= 360.0))
    throw std::invalid_argument("LiDAR: azimuth resolution must lie within 0.01..360 degrees");
  if (!(config_.min_range >= 0.0 && config_.max_range > config_.min_range && std::isfinite(config_.max_range)))
    throw std::invalid_argument("LiDAR: needs 0 <= min_range < max_range, finite");
  if (!(config_.range_noise_stddev >= 0.0 && std::isfinite(config_.range_noise_stddev)))
    throw std::invalid_argument("LiDAR: range noise must be finite and not negative");

  if (!(config_.dust_points >= 0 && config_.airframe_points >= 0 && config_.dust_points <= 1000000 &&
        config_.airframe_points <= 1000000))
    throw std::invalid_argument("LiDAR: dust and airframe points must lie within 0..1000000 per scan");
  if (!(config_.dust_min_range > 0.0 && config_.dust_max_range >= config_.dust_min_range &&
        std::isfinite(config_.dust_max_range) && config_.airframe_min_range > 0.0 &&
        config_.airframe_max_range >= config_.airframe_min_range && std::isfinite(config_.airframe_max_range)))
    throw std::invalid_argument("LiDAR: clutter ranges need 0 < minimum <= maximum, finite");

  columns_ = std::max(1, static_cast<int>(std::lround(360.0 / config_.azimuth_resolution_deg)));
  for (double elevation : config_.vertical_deg)
  {
    elevation_sin_.push_back(std::sin(elevation * kDegToRad));
    elevation_cos_.push_back(std::cos(elevation * kDegToRad));
  }
  for (int c = 0; c < columns_; ++c)
  {
    const double azimuth = 2.0 * M_PI * c / columns_;
    azimuth_sin_.push_back(std::sin(azimuth));
    azimuth_cos_.push_back(std::cos(azimuth));
  }
  // The airframe does not move with respect to the sensor: drawn once, from a generator of its own, so the scene's
  // noise stays what it was without it.
  std::mt19937 airframe_rng(config_.seed + 1);
  scatter(&airframe_rng, config_.airframe_points, config_.airframe_min_range, config_.airframe_max_range, &airframe_);
}

LidarPoint SimLidar::pointAt(double elevation, double azimuth, double range) const
{
  LidarPoint p;
  p.x = static_cast<float>(range * std::cos(elevation) * std::cos(azimuth));
  p.y = static_cast<float>(range * std::cos(elevation) * std::sin(azimuth));
  p.z = static_cast<float>(range * std::sin(elevation));
  p.intensity = 5.0f;
  const double degrees = elevation / kDegToRad;
  std::size_t ring = 0;
  for (std::size_t b = 1; b < config_.vertical_deg.size(); ++b)
    if (std::abs(config_.vertical_deg[b] - degrees) < std::abs(config_.vertical_deg[ring] - degrees))
      ring = b;
  p.ring = static_cast<std::uint16_t>(ring);
  return p;
}

void SimLidar::scatter(std::mt19937* rng, int count, double min_range, double max_range,
                       std::vector<LidarPoint>* out) const
{
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto span = std::minmax_element(config_.vertical_deg.begin(), config_.vertical_deg.end());
  const double lowest = *span.first * kDegToRad, highest = *span.second * kDegToRad;
  for (int i = 0; i < count; ++i)
  {
    const double elevation = lowest + unit(*rng) * (highest - lowest);
    const double azimuth = 2.0 * M_PI * unit(*rng);
    const double range = min_range + unit(*rng) * (max_range - min_range);
    out->push_back(pointAt(elevation, azimuth, range));
  }
}

Eigen::Vector3d SimLidar::beamDirection(int column, int beam) const
{
  return Eigen::Vector3d(elevation_cos_[beam] * azimuth_cos_[column], elevation_cos_[beam] * azimuth_sin_[column],
                         elevation_sin_[beam]);
}

void SimLidar::scan(const Scene& scene, const Eigen::Vector3d& origin, const Eigen::Matrix3d& scene_from_sensor,
                    std::vector<LidarPoint>* points)
{
  points->clear();
  const bool noisy = config_.range_noise_stddev > 0.0;
  RayHit hit;
  for (int c = 0; c < columns_; ++c)
  {
    for (int b = 0; b < beams(); ++b)
    {
      const Eigen::Vector3d beam = beamDirection(c, b);
      const Eigen::Vector3d direction = scene_from_sensor * beam;
      if (!scene.intersect(origin, direction, config_.max_range, &hit) || hit.distance < config_.min_range)
        continue;
      double range = hit.distance;
      if (noisy)
        range = std::max(0.0, range + config_.range_noise_stddev * noise_(rng_));
      LidarPoint p;
      p.x = static_cast<float>(beam.x() * range);
      p.y = static_cast<float>(beam.y() * range);
      p.z = static_cast<float>(beam.z() * range);
      p.intensity = static_cast<float>(100.0 * std::abs(direction.dot(hit.normal)));
      p.ring = static_cast<std::uint16_t>(b);
      points->push_back(p);
    }
  }
  scatter(&rng_, config_.dust_points, config_.dust_min_range, config_.dust_max_range, points);
  points->insert(points->end(), airframe_.begin(), airframe_.end());
}

void toPointCloud2(const std::vector<LidarPoint>& points, const std::string& frame_id, const ros::Time& stamp,
                   sensor_msgs::PointCloud2* cloud)
{
  cloud->header.stamp = stamp;
  cloud->header.frame_id = frame_id;
  cloud->height = 1;
  cloud->width = static_cast<std::uint32_t>(points.size());
  cloud->is_bigendian = false;
  cloud->is_dense = true;
  cloud->point_step = kPointStep;
  cloud->row_step = kPointStep * cloud->width;
  cloud->fields.resize(5);
  const char* names[5] = {"x", "y", "z", "intensity", "ring"};
  for (int i = 0; i < 5; ++i)
  {
    cloud->fields[i].name = names[i];
    cloud->fields[i].offset = 4 * i;
    cloud->fields[i].datatype = i < 4 ? sensor_msgs::PointField::FLOAT32 : sensor_msgs::PointField::UINT16;
    cloud->fields[i].count = 1;
  }
  cloud->data.assign(static_cast<std::size_t>(cloud->row_step), 0);
  std::uint8_t* out = cloud->data.data();
  for (const LidarPoint& p : points)
  {
    // Field by field: the struct's own padding is no part of the wire layout.
    std::memcpy(out + 0, &p.x, 4);
    std::memcpy(out + 4, &p.y, 4);
    std::memcpy(out + 8, &p.z, 4);
    std::memcpy(out + 12, &p.intensity, 4);
    std::memcpy(out + 16, &p.ring, 2);
    out += kPointStep;
  }
}

}  // namespace zyr_simulation
