// Cost of the forward collision query and of decoding one map message.
//
// The query is timed as the monitor runs it (the probe fan built for a
// heading and range, then cast through the tree up to the deciding hit),
// beside a bare loop of octree ray casts over the same 60 precomputed rays
// with the same early stop. Publishing the one-byte status is left out.
// Trees: an empty one, and the one the mapper builds from the street scan.
// Decoding is timed on the street-scan tree's binary message, split into
// the payload check and the octree library's reader.
//
// Usage: bench_collision_monitor <scan.bin>
#include <octomap_msgs/conversions.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "street_maps.h"
#include "zyr_collision_avoidance/collision_monitor.h"

namespace
{
using Clock = std::chrono::steady_clock;

double micros(Clock::time_point a, Clock::time_point b)
{
  return std::chrono::duration<double, std::micro>(b - a).count();
}

// CPU time of this thread in microseconds: unlike wall time it does not count
// the time the thread waits for a core, on a machine shared with other work.
double cpuMicros()
{
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

struct Stats
{
  double p50;
  double p99;
  double mean;
};

Stats stats(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  double sum = 0;
  for (double x : v)
    sum += x;
  const auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))]; };
  return {at(0.50), at(0.99), sum / v.size()};
}

// The monitor's query, without the publication of its result.
int query(const octomap::OcTree& tree, const Eigen::Vector3f& heading, double range)
{
  return collision_probe::castFan(tree, collision_probe::buildFan(heading, range)).status;
}

// The bare ray casts the query wraps.
int rawLoop(const octomap::OcTree& tree, const std::vector<octomath::Vector3>& origins,
            const std::vector<octomath::Vector3>& directions, const std::vector<double>& lengths)
{
  int hits = 0;
  octomath::Vector3 end;
  for (std::size_t i = 0; i < origins.size(); ++i)
    if (tree.castRay(origins[i], directions[i], end, true, lengths[i]) && ++hits > 3)
      return 1;
  return 0;
}

void benchQueries(const char* name, const octomap::OcTree& tree, int repetitions)
{
  const int headings = 8;
  std::printf("\n%s tree (%zu nodes), %d headings every 45 degrees, %d queries each\n", name, tree.size(), headings,
              repetitions);
  std::printf("  thread CPU time in us              |   query / raw     | wall time | slowest heading p50\n");
  std::printf("  range  query p50   p99 |  raw p50   p99 |   p50  mean   p99 | query p99 | query    raw | danger\n");
  for (double range : {15.0, 20.0, 25.0})
  {
    std::vector<double> q, r, qWall;
    double slowestQuery = 0, slowestRaw = 0;
    int danger = 0;
    volatile int sink = 0;
    for (int h = 0; h < headings; ++h)
    {
      const double angle = h * M_PI / 4;
      const Eigen::Vector3f heading(std::cos(angle), std::sin(angle), 0.0f);
      const collision_probe::Fan fan = collision_probe::buildFan(heading, range);
      std::vector<octomath::Vector3> origins, directions;
      std::vector<double> lengths;
      for (const auto& ray : fan.rays)
      {
        const Eigen::Vector3f along = ray.end - ray.start;
        origins.emplace_back(ray.start.x(), ray.start.y(), ray.start.z());
        directions.emplace_back(along.x(), along.y(), along.z());
        lengths.push_back(along.norm());
      }
      danger += query(tree, heading, range);
      std::vector<double> hq, hr;
      for (int i = 0; i < repetitions; ++i)
      {
        // Alternate the two so that both see the same cache and clock state.
        const auto w0 = Clock::now();
        const double c0 = cpuMicros();
        sink += query(tree, heading, range);
        const double c1 = cpuMicros();
        const auto w1 = Clock::now();
        sink += rawLoop(tree, origins, directions, lengths);
        const double c2 = cpuMicros();
        hq.push_back(c1 - c0);
        hr.push_back(c2 - c1);
        qWall.push_back(micros(w0, w1));
      }
      slowestQuery = std::max(slowestQuery, stats(hq).p50);
      slowestRaw = std::max(slowestRaw, stats(hr).p50);
      q.insert(q.end(), hq.begin(), hq.end());
      r.insert(r.end(), hr.begin(), hr.end());
    }
    const Stats sq = stats(q), sr = stats(r), wq = stats(qWall);
    std::printf("  %3.0f m  %8.1f %5.0f | %8.1f %5.0f | %5.2f %5.2f %5.2f | %9.0f | %5.1f %6.1f | %d of %d\n", range,
                sq.p50, sq.p99, sr.p50, sr.p99, sq.p50 / sr.p50, sq.mean / sr.mean, sq.p99 / sr.p99, wq.p99,
                slowestQuery, slowestRaw, danger, headings);
  }
}

void benchDecode(const char* name, const octomap::OcTree& tree, int repetitions)
{
  octomap_msgs::Octomap msg;
  if (!octomap_msgs::binaryMapToMsg(tree, msg))
  {
    std::printf("cannot serialise the tree\n");
    return;
  }
  std::vector<double> total, check, read, release;
  std::size_t decodedNodes = 0;
  for (int i = 0; i < repetitions; ++i)
  {
    // Each tree is freed before the next timing starts, so that every one
    // allocates from the same heap state.
    {
      const double t0 = cpuMicros();
      std::unique_ptr<octomap::AbstractOcTree> decoded(octomap_msgs::msgToMap(msg));
      const double t1 = cpuMicros();
      if (!decoded)
      {
        std::printf("decode failed\n");
        return;
      }
      decodedNodes = decoded->size();
      total.push_back((t1 - t0) / 1000);
      // The monitor frees the held tree before it decodes the next.
      decoded.reset();
      release.push_back((cpuMicros() - t1) / 1000);
    }
    {
      const double t0 = cpuMicros();
      const bool wellFormed = octomap_msgs::detail::binaryStreamIsWellFormed(msg.data);
      const double t1 = cpuMicros();
      if (!wellFormed)
        return;
      check.push_back((t1 - t0) / 1000);
    }
    {
      const double t0 = cpuMicros();
      octomap::OcTree bare(msg.resolution);
      octomap_msgs::detail::ByteStreamBuf buffer(reinterpret_cast<const char*>(msg.data.data()), msg.data.size());
      std::istream stream(&buffer);
      bare.readBinaryData(stream);
      const double t1 = cpuMicros();
      read.push_back((t1 - t0) / 1000);
    }
  }
  const Stats st = stats(total), sc = stats(check), sr = stats(read), sf = stats(release);
  std::printf("\ndecode of one binary map message, %s: %zu bytes, %zu nodes, %d runs, thread CPU time\n", name,
              msg.data.size(), decodedNodes, repetitions);
  std::printf("  msgToMap total      p50 %6.2f ms  p99 %6.2f ms\n", st.p50, st.p99);
  std::printf("    payload check     p50 %6.2f ms  p99 %6.2f ms\n", sc.p50, sc.p99);
  std::printf("    library reader    p50 %6.2f ms  p99 %6.2f ms\n", sr.p50, sr.p99);
  std::printf("  freeing the tree    p50 %6.2f ms  p99 %6.2f ms\n", sf.p50, sf.p99);
  std::printf("  decode scaled to 100,000 nodes: p50 %.2f ms  (target <= 10 ms: %s)\n",
              st.p50 * 100000.0 / decodedNodes, st.p50 * 100000.0 / decodedNodes <= 10.0 ? "met" : "missed");
}
}  // namespace

int main(int argc, char** argv)
{
  if (argc < 2)
  {
    std::fprintf(stderr, "usage: %s <scan.bin>\n", argv[0]);
    return 2;
  }
  const std::vector<octomap::point3d> scan = readScan(argv[1]);
  if (scan.empty())
  {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  std::unique_ptr<octomap::OcTree> street = mapperTree();
  const auto t0 = Clock::now();
  const std::size_t inserted = insertScan(*street, scan);
  const auto t1 = Clock::now();
  std::printf("street scan: %zu points, %zu within 30 m inserted in %.0f ms\n", scan.size(), inserted,
              micros(t0, t1) / 1000);
  std::printf("targets: query <= 1.2 x raw loop, p99 <= 200 us at 25 m; decode <= 10 ms for 100,000 nodes\n");

  {
    const int n = 100000;
    volatile float sink = 0;
    const double c0 = cpuMicros();
    for (int i = 0; i < n; ++i)
      sink = sink + collision_probe::buildFan(Eigen::Vector3f(1.0f, 0.001f * (i % 100), 0.0f), 25.0).rays[59].end.x();
    std::printf("building the 60-ray fan: %.2f us per query\n", (cpuMicros() - c0) / n);
  }

  // The node's allocator settings, so that the decode below costs what it
  // costs the node (the queries allocate nothing).
  keepFreedMapMemory();
  const std::unique_ptr<octomap::OcTree> empty = mapperTree();
  benchQueries("empty", *empty, 500);
  benchQueries("street-scan", *street, 500);

  int turns = 0;
  const std::unique_ptr<octomap::OcTree> busy = busyStreetTree(scan, &turns);
  char label[64];
  std::snprintf(label, sizeof(label), "street scan at %d headings", turns);
  benchDecode("one street scan", *street, 50);
  benchDecode(label, *busy, 50);
  return 0;
}
