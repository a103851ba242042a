#include "basics/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

using namespace QUARLE_BASICS;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

std::pair<float, float> Pair(float x, float y) { return {x, y}; }

Segment Make(float x0, float y0, float x1, float y1) {
  Segment s;
  SegmentSetStart(s, {x0, y0});
  SegmentSetEnd(s, {x1, y1});
  return s;
}

}  // namespace

TEST(Geometry, DerivedFieldsAndAngles) {
  Segment s = Make(0, 0, 3, 4);
  EXPECT_FLOAT_EQ(SegmentLength(s), 5);
  EXPECT_FLOAT_EQ(SegmentSlope(s), 4.0f / 3.0f);
  EXPECT_EQ(SegmentGoesDown(s), -1);
  EXPECT_FLOAT_EQ(SegmentAngle(Make(0, 0, 0, -1)), static_cast<float>(3 * kPi / 2));

  Segment v = Make(0, 0, 0, 10);  // |dx| < 1 keeps the raw rise
  EXPECT_FLOAT_EQ(SegmentSlope(v), 10);
  Segment flat = Make(2, 5, 6, 1);
  EXPECT_FLOAT_EQ(SegmentSlope(flat), -1);
  EXPECT_FLOAT_EQ(SegmentIntercept(flat), 7);
  EXPECT_EQ(SegmentGoesDown(flat), 0);

  Segment null = Make(2, 3, 2, 3);
  EXPECT_EQ(SegmentLength(null), 0);
  EXPECT_EQ(SegmentIsNull(null), -1);
  EXPECT_EQ(SegmentAngle(null), 0);  // no NaN from 0 / 0

  Segment moved = s;
  SegmentSetStart(moved, {10, 10});  // the end moves with the start
  Point end = SegmentEnd(moved);
  EXPECT_EQ(Pair(end.x, end.y), Pair(13, 14));
  SegmentSetVector(moved, -2, 0);
  EXPECT_FLOAT_EQ(SegmentAngle(moved), static_cast<float>(kPi));
  EXPECT_EQ(SegmentStart(moved).x, 10);
}

TEST(Geometry, SetAngleNormalisesOnce) {
  Segment s = Make(0, 0, 2, 0);
  SegmentSetAngle(s, 7.0f);
  EXPECT_FLOAT_EQ(s.angle, static_cast<float>(7.0 - kTwoPi));
  EXPECT_FLOAT_EQ(s.length, 2);
  EXPECT_NEAR(s.dx, 2 * std::cos(s.angle), 1e-6);
  SegmentSetAngle(s, -1.0f);
  EXPECT_FLOAT_EQ(s.angle, static_cast<float>(kTwoPi - 1.0));
  SegmentSetAngle(s, static_cast<float>(kPi / 2));
  EXPECT_NEAR(s.dx, 0, 1e-6);
  EXPECT_FLOAT_EQ(s.dy, 2);
  EXPECT_FLOAT_EQ(s.slope, 2);  // nearly vertical: the rise
}

TEST(Geometry, ReverseMoveAndSide) {
  Segment s = Make(1, 2, 4, 6);
  float angle = s.angle;
  SegmentReverse(s);
  EXPECT_EQ(Pair(s.x0, s.y0), Pair(4, 6));
  EXPECT_EQ(Pair(s.dx, s.dy), Pair(-3, -4));
  EXPECT_FLOAT_EQ(s.angle, static_cast<float>(angle + kPi));
  SegmentReverse(s);  // wraps below 2 pi
  EXPECT_NEAR(s.angle, angle, 1e-6);

  Segment h = Make(0, 0, 10, 0);
  EXPECT_EQ(SegmentSideOf(h, {5, -1}), -1);
  EXPECT_EQ(SegmentSideOf(h, {5, 1}), 0);
  SegmentMoveAlong(h, static_cast<float>(kPi / 2), 3);
  EXPECT_NEAR(h.x0, 0, 1e-6);
  EXPECT_FLOAT_EQ(h.y0, 3);
  EXPECT_EQ(h.dx, 10);

  Segment back = Make(10, 10, 0, 0);  // box tests work for negative vectors
  EXPECT_EQ(SegmentBoxContains(back, {0, 0}), -1);
  EXPECT_EQ(SegmentBoxContains(back, {5, 10}), -1);
  EXPECT_EQ(SegmentBoxContains(back, {5, 10.5f}), 0);
}

TEST(Geometry, PointDistance) {
  Segment v = Make(0, 0, 0, 10);
  Point p{5, 4};
  EXPECT_FLOAT_EQ(SegmentPointDistance(v, p), 5);
  EXPECT_EQ(Pair(p.x, p.y), Pair(0, 4));
  p = {0, 20};
  EXPECT_FLOAT_EQ(SegmentPointDistance(v, p), 10);
  EXPECT_EQ(p.y, 10);

  Segment diag = Make(0, 0, 10, 10);  // foot of the perpendicular
  p = {0, 10};
  EXPECT_NEAR(SegmentPointDistance(diag, p), std::sqrt(50.0f), 1e-5);
  EXPECT_NEAR(p.x, 5, 1e-5);
  EXPECT_NEAR(p.y, 5, 1e-5);
  p = {20, 20};  // beyond the end
  EXPECT_NEAR(SegmentPointDistance(diag, p), std::sqrt(200.0f), 1e-4);
  EXPECT_EQ(p.x, 10);

  Segment null = Make(3, 3, 3, 3);  // degenerate: the point itself
  p = {6, 7};
  EXPECT_FLOAT_EQ(SegmentPointDistance(null, p), 5);
  EXPECT_EQ(Pair(p.x, p.y), Pair(3, 3));
}

TEST(Geometry, Perpendicular) {
  Segment s = Make(0, 0, 10, 5);
  float slope = s.slope;
  SegmentSetPerpendicular(s, 4);
  EXPECT_FLOAT_EQ(s.length, 4);
  EXPECT_NEAR(s.angle, std::atan(0.5) + kPi / 2, 1e-6);
  EXPECT_FLOAT_EQ(s.slope, -slope);  // mirrored, not recomputed
  EXPECT_NEAR(s.dx * 10 + s.dy * 5, 0, 1e-4);  // at a right angle

  Segment h = Make(0, 0, 10, 0);
  SegmentSetPerpendicular(h, -3);  // turned the other way, kept in [0, 2 pi)
  EXPECT_FLOAT_EQ(h.length, 3);
  EXPECT_NEAR(h.angle, 3 * kPi / 2, 1e-6);
  EXPECT_NEAR(h.dy, -3, 1e-5);
}

TEST(Geometry, PolylineMoveVertex) {
  Segment segs[3] = {Make(0, 0, 10, 0), Make(10, 0, 10, 10), Make(10, 10, 20, 10)};
  Polyline line{segs, 3};
  Segment delta;
  SegmentSetVector(delta, 2, 3);
  ASSERT_EQ(PolylineMoveVertex(line, 1, delta), 0);
  EXPECT_EQ(Pair(segs[1].x0, segs[1].y0), Pair(12, 3));
  EXPECT_EQ(SegmentEnd(segs[1]).y, 13);  // the vector stays
  EXPECT_EQ(Pair(SegmentEnd(segs[0]).x, SegmentEnd(segs[0]).y), Pair(12, 3));  // previous re-joined
  EXPECT_EQ(Pair(segs[2].x0, segs[2].y0), Pair(12, 13));  // next starts at the new end ...
  EXPECT_EQ(Pair(SegmentEnd(segs[2]).x, SegmentEnd(segs[2]).y), Pair(20, 10));  // ... and keeps its end
  EXPECT_FLOAT_EQ(segs[2].length, std::sqrt(64.0f + 9.0f));

  Segment before = segs[2];
  ASSERT_EQ(PolylineMoveVertex(line, 0, delta), 0);  // no previous segment
  EXPECT_EQ(segs[0].x0, 2);
  EXPECT_EQ(segs[2].x0, before.x0);
  ASSERT_EQ(PolylineMoveVertex(line, 2, delta), 0);  // no next segment
  EXPECT_EQ(segs[2].x0, 14);

  EXPECT_EQ(PolylineMoveVertex(line, 3, delta), -19);
  EXPECT_EQ(PolylineMoveVertex(line, -1, delta), -19);
  Polyline empty;
  EXPECT_EQ(PolylineMoveVertex(empty, 0, delta), -19);
}
