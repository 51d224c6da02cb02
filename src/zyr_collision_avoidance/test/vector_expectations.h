// Comparing single-precision vectors in the probe's tests.
#ifndef ZYR_COLLISION_AVOIDANCE_TEST_VECTOR_EXPECTATIONS_H
#define ZYR_COLLISION_AVOIDANCE_TEST_VECTOR_EXPECTATIONS_H

#include <gtest/gtest.h>

#include <Eigen/Core>

inline void expectVector(const Eigen::Vector3f& actual, float x, float y, float z)
{
  EXPECT_NEAR(x, actual.x(), 1e-5) << actual.transpose();
  EXPECT_NEAR(y, actual.y(), 1e-5) << actual.transpose();
  EXPECT_NEAR(z, actual.z(), 1e-5) << actual.transpose();
}

#endif
