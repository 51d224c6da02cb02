// The vehicle-state record as the local state server sends it, written here
// independently of the bridge's decoder, so that a fault in the decoder cannot
// hide in a shared encoder.
#ifndef ZYR_TEST_SUPPORT_WIRE_RECORD_H
#define ZYR_TEST_SUPPORT_WIRE_RECORD_H

#include <cstdint>
#include <cstring>
#include <string>

namespace test_support
{
// 84 bytes, no padding, every field little-endian at its own offset: doubles
// vx vy vz at 0, 8, 16; int32 health_flag at 24; doubles q0..q3, pitch, roll,
// throttle from 28 on. By default a healthy record at rest with the zero
// rotation.
struct WireRecord
{
  double vx = 0, vy = 0, vz = 0;
  int32_t health_flag = 1;
  double q0 = 1, q1 = 0, q2 = 0, q3 = 0;
  double pitch = 0, roll = 0, throttle = 0;

  WireRecord() = default;
  explicit WireRecord(double forward) : vx(forward) {}

  std::string bytes() const
  {
    unsigned char b[84];
    const double doubles[10] = {vx, vy, vz, q0, q1, q2, q3, pitch, roll, throttle};
    const std::size_t offsets[10] = {0, 8, 16, 28, 36, 44, 52, 60, 68, 76};
    for (int i = 0; i < 10; ++i)
    {
      uint64_t bits;
      std::memcpy(&bits, &doubles[i], 8);
      for (int k = 0; k < 8; ++k)
        b[offsets[i] + k] = static_cast<unsigned char>(bits >> (8 * k));
    }
    const uint32_t h = static_cast<uint32_t>(health_flag);
    for (int k = 0; k < 4; ++k)
      b[24 + k] = static_cast<unsigned char>(h >> (8 * k));
    return std::string(reinterpret_cast<char*>(b), sizeof b);
  }
};
}  // namespace test_support

#endif  // ZYR_TEST_SUPPORT_WIRE_RECORD_H
