#include "basics/geometry.h"

#include <cmath>
#include <limits>

#include "basics/errors.h"

namespace QUARLE_BASICS {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.570796326794897;
constexpr double kTwoPi = 6.283185307179586;

// Direction of a vector in [0, 2 pi). A zero vector has angle 0; a vertical
// one takes the arctangent of +-infinity.
float VectorAngle(float dx, float dy) {
  if (dx == 0.0f && dy == 0.0f) return 0.0f;
  float q = dx == 0.0f ? std::copysign(std::numeric_limits<float>::infinity(), dy) : dy / dx;
  float a = std::atan(q);
  if (dx < 0.0f) return static_cast<float>(static_cast<double>(a) + kPi);
  if (dy < 0.0f) return static_cast<float>(static_cast<double>(a) + kTwoPi);
  return a;
}

// Nearly vertical segments keep the raw rise instead of a huge quotient.
float SlopeOf(float dx, float dy) { return std::fabs(dx) >= 1.0f ? dy / dx : dy; }

void Derive(Segment& s) {
  s.length = std::sqrt(s.dx * s.dx + s.dy * s.dy);
  s.angle = VectorAngle(s.dx, s.dy);
  s.slope = SlopeOf(s.dx, s.dy);
}

}  // namespace

void PointCopy(Point& dst, const Point& src) {
  dst.x = src.x;
  dst.y = src.y;
}

Point PointSub(const Point& a, const Point& b) { return {a.x - b.x, a.y - b.y}; }

int64_t PointEquals(const Point& a, const Point& b) {
  return (a.x == b.x && a.y == b.y) ? -1 : 0;
}

void SegmentCopy(Segment& dst, const Segment& src) { dst = src; }

float SegmentDX(const Segment& s) { return s.dx; }
float SegmentDY(const Segment& s) { return s.dy; }
float SegmentLength(const Segment& s) { return s.length; }
float SegmentAngle(const Segment& s) { return s.angle; }
float SegmentSlope(const Segment& s) { return s.slope; }

Point SegmentStart(const Segment& s) { return {s.x0, s.y0}; }

Point SegmentEnd(const Segment& s) { return {s.x0 + s.dx, s.y0 + s.dy}; }

void SegmentSetStart(Segment& s, const Point& p) {
  s.x0 = p.x;
  s.y0 = p.y;
}

void SegmentSetEnd(Segment& s, const Point& p) {
  s.dx = p.x - s.x0;
  s.dy = p.y - s.y0;
  Derive(s);
}

void SegmentSetVector(Segment& s, float dx, float dy) {
  s.dx = dx;
  s.dy = dy;
  Derive(s);
}

void SegmentSetAngle(Segment& s, float angle) {
  double a = angle;
  if (a >= kTwoPi) a -= kTwoPi;
  if (a < 0.0) a += kTwoPi;
  s.angle = static_cast<float>(a);
  s.dx = s.length * std::cos(s.angle);
  s.dy = s.length * std::sin(s.angle);
  s.slope = SlopeOf(s.dx, s.dy);
}

int64_t SegmentIsNull(const Segment& s) { return (s.dx == 0.0f && s.dy == 0.0f) ? -1 : 0; }

int64_t SegmentGoesDown(const Segment& s) { return s.dy > 0.0f ? -1 : 0; }

void SegmentReverse(Segment& s) {
  s.x0 += s.dx;
  s.y0 += s.dy;
  s.dx = -s.dx;
  s.dy = -s.dy;
  double a = static_cast<double>(s.angle) + kPi;
  if (a >= kTwoPi) a -= kTwoPi;
  s.angle = static_cast<float>(a);
}

void SegmentMoveAlong(Segment& s, float turn, float distance) {
  float direction = s.angle + turn;
  s.x0 += distance * std::cos(direction);
  s.y0 += distance * std::sin(direction);
}

int64_t SegmentSideOf(const Segment& s, const Point& p) {
  return (p.x - s.x0) * s.dy > (p.y - s.y0) * s.dx ? -1 : 0;
}

float SegmentIntercept(const Segment& s) { return s.y0 - s.x0 * s.slope; }

int64_t SegmentBoxContains(const Segment& s, const Point& p) {
  bool inX = s.dx < 0.0f ? (s.x0 + s.dx <= p.x && p.x <= s.x0)
                         : (s.x0 <= p.x && p.x <= s.x0 + s.dx);
  bool inY = s.dy < 0.0f ? (s.y0 + s.dy <= p.y && p.y <= s.y0)
                         : (s.y0 <= p.y && p.y <= s.y0 + s.dy);
  return (inX && inY) ? -1 : 0;
}

float SegmentPointDistance(const Segment& s, Point& p) {
  Point foot;
  if (s.slope == 0.0f) {
    foot = {p.x, s.y0};
  } else if (std::fabs(s.dy) > std::fabs(s.slope)) {
    // |dx| > 1: intersect the line with its perpendicular through p.
    float m = -1.0f / s.slope;
    float b1 = s.y0 - s.x0 * s.slope;
    float b2 = p.y - p.x * m;
    foot.x = (b1 - b2) / (m - s.slope);
    foot.y = foot.x * s.slope + b1;
  } else {
    foot = {s.x0, p.y};  // nearly vertical
  }
  Point nearest = foot;
  if (SegmentBoxContains(s, foot) == 0) {
    Point d = PointSub(foot, SegmentStart(s));
    if (std::fabs(d.x) <= std::fabs(d.x - s.dx) && std::fabs(d.y) <= std::fabs(d.y - s.dy)) {
      nearest = SegmentStart(s);
    } else {
      nearest = SegmentEnd(s);
    }
  }
  Point v = PointSub(p, nearest);
  p = nearest;
  return std::sqrt(v.x * v.x + v.y * v.y);
}

void SegmentSetPerpendicular(Segment& s, float length) {
  s.length = length;
  double a = s.angle;
  if (length < 0.0f) {
    s.length = -length;
    a -= kPi;
  }
  a += kHalfPi;
  if (a >= kTwoPi) a -= kTwoPi;
  if (a < 0.0) a += kTwoPi;  // a flipped segment must stay within [0, 2 pi)
  s.angle = static_cast<float>(a);
  s.dx = s.length * std::cos(s.angle);
  s.dy = s.length * std::sin(s.angle);
  // The drawing code expects the old slope mirrored, not a recomputed one.
  s.slope = -s.slope;
}

int32_t PolylineMoveVertex(Polyline& line, int32_t i, const Segment& delta) {
  if (line.segments == nullptr || i < 0 || i >= line.count) return -kErrBadParameter;
  Segment& seg = line.segments[i];
  seg.x0 += delta.dx;
  seg.y0 += delta.dy;
  if (i < line.count - 1) {
    Segment& next = line.segments[i + 1];
    Point end = SegmentEnd(next);
    SegmentSetStart(next, SegmentEnd(seg));
    SegmentSetEnd(next, end);
  }
  if (i >= 1) SegmentSetEnd(line.segments[i - 1], SegmentStart(seg));
  return 0;
}

}  // namespace QUARLE_BASICS
