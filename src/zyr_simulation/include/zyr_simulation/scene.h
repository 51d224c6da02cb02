// A static world of solid obstacles for the simulated vehicle and LiDAR.
//
// Scene coordinates are fixed to the ground: x and y horizontal, z up, metres.
// Every obstacle is a closed solid, so a ray that only grazes a face, an edge or
// the side of a pole counts as a hit; a ray that starts inside a solid hits at
// once (distance 0), as a sensor buried in an obstacle is blind.
#ifndef ZYR_SIMULATION_SCENE_H
#define ZYR_SIMULATION_SCENE_H

#include <Eigen/Core>
#include <iosfwd>
#include <limits>
#include <string>
#include <vector>

namespace zyr_simulation
{
struct RayHit
{
  double distance = std::numeric_limits<double>::infinity();  // along the unit ray, metres
  Eigen::Vector3d normal = Eigen::Vector3d::Zero();           // outward surface normal at the hit (unit)
  int object = -1;                                            // index into Scene::objects()
};

// Where the vehicle starts when a scene file names it.
struct StartPose
{
  Eigen::Vector3d position = Eigen::Vector3d::Zero();
  double yaw_deg = 0.0;  // heading, clockwise seen from above (towards the right)
  double speed = 0.0;    // m/s along the heading once the pilot starts: a run that begins in flight
};

class Scene
{
public:
  enum class Kind
  {
    Box,
    Pole,
    Ground
  };

  // One obstacle. Boxes may be turned about the vertical axis; walls are boxes.
  struct Object
  {
    Kind kind;
    Eigen::Vector3d centre;  // Box: centre; Pole: (x, y, mid height); Ground: (0, 0, height)
    Eigen::Vector3d half;    // Box: half extents in its own axes; Pole: (radius, radius, half height)
    double cos_yaw = 1.0;    // Box: its x axis in scene axes is (cos_yaw, sin_yaw, 0)
    double sin_yaw = 0.0;
    std::string label;  // e.g. "wall at line 3", for log lines
  };

  // size: full extents along the box's own axes; yaw_deg turns the box counter-clockwise seen from above.
  void addBox(const Eigen::Vector3d& centre, const Eigen::Vector3d& size, double yaw_deg = 0.0,
              const std::string& label = "box");
  // A vertical wall of the given thickness whose mid-plane runs from (x1, y1) to (x2, y2).
  void addWall(double x1, double y1, double x2, double y2, double z_min, double z_max, double thickness,
               const std::string& label = "wall");
  // A vertical cylinder.
  void addPole(double x, double y, double radius, double z_min, double z_max, const std::string& label = "pole");
  // Solid ground: everything at or below this height. At most one.
  void setGround(double height);

  const std::vector<Object>& objects() const
  {
    return objects_;
  }
  bool hasStart() const
  {
    return has_start_;
  }
  const StartPose& start() const
  {
    return start_;
  }
  void setStart(const StartPose& start)
  {
    start_ = start;
    has_start_ = true;
  }

  // First point where the ray origin + t * direction, 0 <= t <= max_range, meets a solid. `direction` must be a
  // unit vector. Returns false (and leaves *hit alone) when nothing is met within max_range.
  bool intersect(const Eigen::Vector3d& origin, const Eigen::Vector3d& direction, double max_range, RayHit* hit) const;

  // Distance from the point to the nearest solid, metres; 0 inside or on a solid, +infinity in an empty scene.
  // `nearest`, if given, receives that solid's index (-1 in an empty scene).
  double distance(const Eigen::Vector3d& point, int* nearest = nullptr) const;
  // The same, leaving the ground out: how far the nearest thing is that the aircraft could fly into while it holds
  // its height.
  double obstacleDistance(const Eigen::Vector3d& point, int* nearest = nullptr) const;

  // Adds every obstacle of `other` (its ground too, if this scene has none yet); the start pose stays.
  void append(const Scene& other);

  // Whether a sphere around the point touches or overlaps a solid.
  bool touches(const Eigen::Vector3d& point, double radius) const
  {
    return distance(point) <= radius;
  }

private:
  double nearestSolid(const Eigen::Vector3d& point, bool with_ground, int* nearest) const;

  std::vector<Object> objects_;
  StartPose start_;
  bool has_start_ = false;
};

// Reads a scene description. Format, one item per line, '#' starts a comment, lengths in metres, angles in degrees:
//   ground  Z                                  solid ground at height Z (everything below is solid)
//   wall    X1 Y1 X2 Y2 ZMIN ZMAX THICKNESS    vertical wall whose mid-plane runs from (X1,Y1) to (X2,Y2)
//   pole    X Y RADIUS ZMIN ZMAX               vertical cylinder
//   box     CX CY CZ SX SY SZ [YAW]            box with centre C and full sizes S, turned YAW about z
//   start   X Y Z [YAW [SPEED]]                where the vehicle starts; YAW is its heading, positive to the right;
//                                              SPEED (m/s, 0 or more) is taken up along it when the pilot starts
// Throws std::runtime_error naming `source` and the line for anything it cannot read.
Scene parseScene(std::istream& in, const std::string& source);
Scene loadScene(const std::string& path);

}  // namespace zyr_simulation

#endif
