// Single-precision plane geometry for the interface (screen pixels, y down):
// points, segments that keep their derived length, angle and slope, and
// polylines of joined segments. Nothing here allocates or locks.
#pragma once
#include <cstdint>

namespace QUARLE_BASICS {

// one thread: value
struct Point {
  float x = 0.0f;
  float y = 0.0f;
};

// one thread: value
struct Segment {
  float x0 = 0.0f;  // start
  float y0 = 0.0f;
  float dx = 0.0f;  // vector from start to end
  float dy = 0.0f;
  float length = 0.0f;
  float angle = 0.0f;  // radians, [0, 2 pi)
  float slope = 0.0f;  // dy / dx when |dx| >= 1, else dy
};

// Segment i + 1 starts where segment i ends.
// one thread: value
struct Polyline {
  Segment* segments = nullptr;
  int32_t count = 0;
};

void PointCopy(Point& dst, const Point& src);
Point PointSub(const Point& a, const Point& b);
int64_t PointEquals(const Point& a, const Point& b);  // -1 yes, 0 no (NaN never equals)

void SegmentCopy(Segment& dst, const Segment& src);
float SegmentDX(const Segment& s);
float SegmentDY(const Segment& s);
float SegmentLength(const Segment& s);
float SegmentAngle(const Segment& s);
float SegmentSlope(const Segment& s);
Point SegmentStart(const Segment& s);
Point SegmentEnd(const Segment& s);
void SegmentSetStart(Segment& s, const Point& p);  // the end moves with it
void SegmentSetEnd(Segment& s, const Point& p);
void SegmentSetVector(Segment& s, float dx, float dy);
void SegmentSetAngle(Segment& s, float angle);  // length kept
int64_t SegmentIsNull(const Segment& s);
int64_t SegmentGoesDown(const Segment& s);
void SegmentReverse(Segment& s);
void SegmentMoveAlong(Segment& s, float turn, float distance);
// -1 when p lies to the left of the direction of travel (y pointing down).
int64_t SegmentSideOf(const Segment& s, const Point& p);
float SegmentIntercept(const Segment& s);
int64_t SegmentBoxContains(const Segment& s, const Point& p);
// Distance from p to the segment; p becomes the nearest point of the segment.
float SegmentPointDistance(const Segment& s, Point& p);
void SegmentSetPerpendicular(Segment& s, float length);
// Moves segment i by the delta's vector and re-joins its neighbours:
// 0, or -19 for a missing polyline or an index outside 0..count-1.
int32_t PolylineMoveVertex(Polyline& line, int32_t i, const Segment& delta);

}  // namespace QUARLE_BASICS
