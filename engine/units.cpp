#include "engine/units.h"

#include <cmath>

namespace Tarvelo {

UnitRow UnitTable[kUnitTableRows] = {};

float UnitIdentity(float x, float, float, int32_t*) { return x; }

float UnitDivide(float x, float rate, float, int32_t*) { return x / rate; }

float UnitReciprocal(float x, float rate, float, int32_t*) {
  return x == 0.0f ? rate : 1.0f / x;
}

float UnitTimes60(float x, float, float, int32_t*) { return 60.0f * x; }

float UnitPerMinute(float x, float rate, float, int32_t*) {
  return x == 0.0f ? 60.0f * rate : 60.0f * rate / x;
}

float UnitLinearToDb(float x, float, float, int32_t* unitSign) {
  if (x == 0.0f) return -140.0f;
  if (x < 0.0f && unitSign) *unitSign = 1;
  return 8.685889f * std::log(std::fabs(x));  // 20 / ln 10
}

float UnitDbToLinear(float x, float, float, int32_t* unitSign) {
  float y = std::pow(10.0f, x / 20.0f);
  if (unitSign) {
    if (*unitSign == 1) y = -y;
    *unitSign = 0;
  }
  return y;
}

const UnitRow* UnitTableRow(int32_t id) {
  if (id < 0 || id >= kUnitTableRows) return nullptr;
  return &UnitTable[id];
}

const char* UnitSuffix(int32_t id) {
  const UnitRow* row = UnitTableRow(id);
  return row ? row->Suffix : "";
}

}  // namespace Tarvelo
