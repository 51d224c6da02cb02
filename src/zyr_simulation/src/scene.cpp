#include "zyr_simulation/scene.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>

#include "text_lines.h"

namespace zyr_simulation
{
namespace
{
const double kInf = std::numeric_limits<double>::infinity();
const double kParallel = 1e-12;  // direction components below this are treated as parallel to a face
const double kDegToRad = M_PI / 180.0;

// Narrows [t_near, t_far] to the parameters where origin + t * direction lies between the planes at -half and
// +half along one axis. `entered` tells whether this slab set the new t_near.
bool clipSlab(double origin, double direction, double half, double* t_near, double* t_far, bool* entered)
{
  *entered = false;
  if (std::abs(direction) < kParallel)
    return std::abs(origin) <= half;  // parallel: inside the slab for every t, or never
  double t1 = (-half - origin) / direction;
  double t2 = (half - origin) / direction;
  if (t1 > t2)
    std::swap(t1, t2);
  if (t1 > *t_near)
  {
    *t_near = t1;
    *entered = true;
  }
  *t_far = std::min(*t_far, t2);
  return *t_near <= *t_far;
}

// Shared ending of every solid's test: the ray's parameter interval inside the solid is [t_near, t_far].
bool acceptInterval(double t_near, double t_far, double max_range, double* t)
{
  if (t_far < 0.0)
    return false;              // the solid lies behind the origin
  *t = std::max(t_near, 0.0);  // negative t_near: the origin is inside
  return *t <= max_range;
}

bool intersectBox(const Scene::Object& box, const Eigen::Vector3d& o, const Eigen::Vector3d& d, double max_range,
                  RayHit* hit)
{
  const Eigen::Vector3d rel = o - box.centre;
  const double c = box.cos_yaw, s = box.sin_yaw;
  const double lo[3] = {c * rel.x() + s * rel.y(), -s * rel.x() + c * rel.y(), rel.z()};
  const double ld[3] = {c * d.x() + s * d.y(), -s * d.x() + c * d.y(), d.z()};
  double t_near = -kInf, t_far = kInf;
  int axis = -1;
  for (int i = 0; i < 3; ++i)
  {
    bool entered;
    if (!clipSlab(lo[i], ld[i], box.half[i], &t_near, &t_far, &entered))
      return false;
    if (entered)
      axis = i;
  }
  double t;
  if (!acceptInterval(t_near, t_far, max_range, &t))
    return false;
  hit->distance = t;
  if (t_near < 0.0 || axis < 0)
  {
    hit->normal = -d;
    return true;
  }
  double n[3] = {0.0, 0.0, 0.0};
  n[axis] = ld[axis] > 0.0 ? -1.0 : 1.0;
  hit->normal = Eigen::Vector3d(c * n[0] - s * n[1], s * n[0] + c * n[1], n[2]);
  return true;
}

bool intersectPole(const Scene::Object& pole, const Eigen::Vector3d& o, const Eigen::Vector3d& d, double max_range,
                   RayHit* hit)
{
  const double ox = o.x() - pole.centre.x(), oy = o.y() - pole.centre.y();
  const double r = pole.half.x();
  double t_near = -kInf, t_far = kInf;
  bool radial_entry = false;
  const double a = d.x() * d.x() + d.y() * d.y();
  if (a < kParallel * kParallel)
  {
    if (ox * ox + oy * oy > r * r)
      return false;  // vertical ray beside the pole
  }
  else
  {
    const double b = ox * d.x() + oy * d.y();
    const double c = ox * ox + oy * oy - r * r;
    const double disc = b * b - a * c;
    if (disc < 0.0)
      return false;
    const double root = std::sqrt(disc);
    t_near = (-b - root) / a;
    t_far = (-b + root) / a;
    radial_entry = true;
  }
  bool cap_entry;
  if (!clipSlab(o.z() - pole.centre.z(), d.z(), pole.half.z(), &t_near, &t_far, &cap_entry))
    return false;
  double t;
  if (!acceptInterval(t_near, t_far, max_range, &t))
    return false;
  hit->distance = t;
  if (t_near < 0.0 || (!radial_entry && !cap_entry))
    hit->normal = -d;
  else if (cap_entry)
    hit->normal = Eigen::Vector3d(0.0, 0.0, d.z() > 0.0 ? -1.0 : 1.0);
  else
    hit->normal = Eigen::Vector3d(ox + t * d.x(), oy + t * d.y(), 0.0).normalized();
  return true;
}

bool intersectGround(const Scene::Object& ground, const Eigen::Vector3d& o, const Eigen::Vector3d& d, double max_range,
                     RayHit* hit)
{
  const double height = ground.centre.z();
  double t;
  if (o.z() <= height)
    t = 0.0;
  else if (d.z() < -kParallel)
    t = (height - o.z()) / d.z();
  else
    return false;
  if (t > max_range)
    return false;
  hit->distance = t;
  hit->normal = Eigen::Vector3d::UnitZ();
  return true;
}

// Signed distance: positive outside, negative inside.
double signedDistance(const Scene::Object& object, const Eigen::Vector3d& p)
{
  const Eigen::Vector3d rel = p - object.centre;
  switch (object.kind)
  {
    case Scene::Kind::Box:
    {
      const Eigen::Vector3d local(object.cos_yaw * rel.x() + object.sin_yaw * rel.y(),
                                  -object.sin_yaw * rel.x() + object.cos_yaw * rel.y(), rel.z());
      const Eigen::Vector3d q = local.cwiseAbs() - object.half;
      return q.cwiseMax(0.0).norm() + std::min(q.maxCoeff(), 0.0);
    }
    case Scene::Kind::Pole:
    {
      const double dr = std::hypot(rel.x(), rel.y()) - object.half.x();
      const double dz = std::abs(rel.z()) - object.half.z();
      return std::hypot(std::max(dr, 0.0), std::max(dz, 0.0)) + std::min(std::max(dr, dz), 0.0);
    }
    case Scene::Kind::Ground:
      return rel.z();
  }
  return kInf;
}

}  // namespace

void Scene::addBox(const Eigen::Vector3d& centre, const Eigen::Vector3d& size, double yaw_deg, const std::string& label)
{
  if (!(size.minCoeff() > 0.0) || !centre.allFinite() || !size.allFinite() || !std::isfinite(yaw_deg))
    throw std::invalid_argument(label + ": a box needs finite values and sizes above 0");
  Object box;
  box.kind = Kind::Box;
  box.centre = centre;
  box.half = size / 2.0;
  box.cos_yaw = std::cos(yaw_deg * kDegToRad);
  box.sin_yaw = std::sin(yaw_deg * kDegToRad);
  box.label = label;
  objects_.push_back(box);
}

void Scene::addWall(double x1, double y1, double x2, double y2, double z_min, double z_max, double thickness,
                    const std::string& label)
{
  const double length = std::hypot(x2 - x1, y2 - y1);
  if (!(length > 0.0) || !(z_max > z_min) || !(thickness > 0.0))
    throw std::invalid_argument(label + ": a wall needs two distinct ends, ZMAX above ZMIN and a thickness above 0");
  addBox(Eigen::Vector3d((x1 + x2) / 2.0, (y1 + y2) / 2.0, (z_min + z_max) / 2.0),
         Eigen::Vector3d(length, thickness, z_max - z_min), std::atan2(y2 - y1, x2 - x1) / kDegToRad, label);
}

void Scene::addPole(double x, double y, double radius, double z_min, double z_max, const std::string& label)
{
  if (!(radius > 0.0) || !(z_max > z_min) || !std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z_max) ||
      !std::isfinite(z_min) || !std::isfinite(radius))
    throw std::invalid_argument(label + ": a pole needs finite values, a radius above 0 and ZMAX above ZMIN");
  Object pole;
  pole.kind = Kind::Pole;
  pole.centre = Eigen::Vector3d(x, y, (z_min + z_max) / 2.0);
  pole.half = Eigen::Vector3d(radius, radius, (z_max - z_min) / 2.0);
  pole.label = label;
  objects_.push_back(pole);
}

void Scene::setGround(double height)
{
  if (!std::isfinite(height))
    throw std::invalid_argument("ground: height must be finite");
  for (const Object& o : objects_)
    if (o.kind == Kind::Ground)
      throw std::invalid_argument("ground: a scene has at most one ground");
  Object ground;
  ground.kind = Kind::Ground;
  ground.centre = Eigen::Vector3d(0.0, 0.0, height);
  ground.half = Eigen::Vector3d::Zero();
  ground.label = "ground";
  objects_.push_back(ground);
}

bool Scene::intersect(const Eigen::Vector3d& origin, const Eigen::Vector3d& direction, double max_range,
                      RayHit* hit) const
{
  double best = max_range;
  bool found = false;
  RayHit candidate;
  for (std::size_t i = 0; i < objects_.size(); ++i)
  {
    const Object& object = objects_[i];
    bool met = false;
    switch (object.kind)
    {
      case Kind::Box:
        met = intersectBox(object, origin, direction, best, &candidate);
        break;
      case Kind::Pole:
        met = intersectPole(object, origin, direction, best, &candidate);
        break;
      case Kind::Ground:
        met = intersectGround(object, origin, direction, best, &candidate);
        break;
    }
    if (met && (!found || candidate.distance < best))
    {
      candidate.object = static_cast<int>(i);
      *hit = candidate;
      best = candidate.distance;
      found = true;
    }
  }
  return found;
}

double Scene::distance(const Eigen::Vector3d& point, int* nearest) const
{
  return nearestSolid(point, true, nearest);
}

double Scene::obstacleDistance(const Eigen::Vector3d& point, int* nearest) const
{
  return nearestSolid(point, false, nearest);
}

double Scene::nearestSolid(const Eigen::Vector3d& point, bool with_ground, int* nearest) const
{
  double best = kInf;
  int index = -1;
  for (std::size_t i = 0; i < objects_.size(); ++i)
  {
    if (!with_ground && objects_[i].kind == Kind::Ground)
      continue;
    const double d = signedDistance(objects_[i], point);
    if (d < best)
    {
      best = d;
      index = static_cast<int>(i);
    }
  }
  if (nearest)
    *nearest = index;
  return std::max(best, 0.0);
}

void Scene::append(const Scene& other)
{
  for (const Object& object : other.objects_)
  {
    if (object.kind == Kind::Ground)
    {
      const bool has_ground =
          std::any_of(objects_.begin(), objects_.end(), [](const Object& o) { return o.kind == Kind::Ground; });
      if (has_ground)
        continue;
    }
    objects_.push_back(object);
  }
}

Scene parseScene(std::istream& in, const std::string& source)
{
  Scene scene;
  bool has_ground = false;
  for (const text::Line& line : text::readLines(in))
  {
    const std::string& keyword = line.words[0];
    std::vector<double> v;
    for (std::size_t i = 1; i < line.words.size(); ++i)
      v.push_back(text::number(line.words[i], source, line.number));
    const std::string label = keyword + " at " + source + ":" + std::to_string(line.number);
    auto expect = [&](std::size_t least, std::size_t most, const char* form)
    {
      if (v.size() < least || v.size() > most)
        throw text::error(source, line.number, std::string("expected '") + form + "'");
    };
    try
    {
      if (keyword == "ground")
      {
        expect(1, 1, "ground Z");
        if (has_ground)
          throw text::error(source, line.number, "a second ground");
        scene.setGround(v[0]);
        has_ground = true;
      }
      else if (keyword == "wall")
      {
        expect(7, 7, "wall X1 Y1 X2 Y2 ZMIN ZMAX THICKNESS");
        scene.addWall(v[0], v[1], v[2], v[3], v[4], v[5], v[6], label);
      }
      else if (keyword == "pole")
      {
        expect(5, 5, "pole X Y RADIUS ZMIN ZMAX");
        scene.addPole(v[0], v[1], v[2], v[3], v[4], label);
      }
      else if (keyword == "box")
      {
        expect(6, 7, "box CX CY CZ SX SY SZ [YAW]");
        scene.addBox(Eigen::Vector3d(v[0], v[1], v[2]), Eigen::Vector3d(v[3], v[4], v[5]), v.size() > 6 ? v[6] : 0.0,
                     label);
      }
      else if (keyword == "start")
      {
        expect(3, 5, "start X Y Z [HEADING [SPEED]]");
        if (scene.hasStart())
          throw text::error(source, line.number, "a second start");
        StartPose start;
        start.position = Eigen::Vector3d(v[0], v[1], v[2]);
        start.yaw_deg = v.size() > 3 ? v[3] : 0.0;
        start.speed = v.size() > 4 ? v[4] : 0.0;
        if (start.speed < 0.0)
          throw text::error(source, line.number, "a start speed below 0");
        scene.setStart(start);
      }
      else
      {
        throw text::error(source, line.number, "unknown item '" + keyword + "'");
      }
    }
    catch (const std::invalid_argument& e)
    {
      throw text::error(source, line.number, e.what());
    }
  }
  return scene;
}

Scene loadScene(const std::string& path)
{
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error(path + ": cannot open scene file");
  return parseScene(in, path);
}

}  // namespace zyr_simulation
