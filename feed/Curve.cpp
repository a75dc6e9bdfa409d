#include "feed/Curve.h"

#include <cmath>
#include <iterator>

// Only the differences are narrowed to float: the product, the quotient and
// the sum keep double precision until the result is stored, so that a point
// between two strikes is as close as a float can hold.
bool InterpolateLinear(float x, float x1, float y1, float x2, float y2, float& y) {
  const float dx = x - x1;
  const float dy = y2 - y1;
  const float span = x2 - x1;
  y = static_cast<float>(static_cast<double>(dx) * dy / span + y1);
  return true;
}

// Total variance is linear in t. The variances and the sum keep double
// precision; the slope, the variance and its ratio to t are floats.
bool InterpolateVolatility(float t, float ta, float va, float tb, float vb, float& value) {
  value = -1.0f;
  if (t == ta) {
    value = va;
    return true;
  }
  if (t == tb) {
    value = vb;
    return true;
  }
  const double a = static_cast<double>(va) * va * ta;
  const double b = static_cast<double>(vb) * vb * tb;
  const float slope = static_cast<float>((b - a) / (tb - ta));
  const float variance = static_cast<float>(a + static_cast<double>(slope) * (t - ta));
  if (variance < 0.0f) return true;
  value = static_cast<float>(std::sqrt(static_cast<double>(variance / t)));
  return true;
}

bool Curve::SetPoint(float key, float value) {
  m_points[Key(key)] = value;
  return true;
}

bool Curve::GetValue(float key, float& value) const {
  const float x = Key(key);
  if (m_points.empty()) return false;
  const auto exact = m_points.find(x);
  if (exact != m_points.end()) {
    value = exact->second;
    return true;
  }
  const auto above = m_points.upper_bound(x);
  if (above == m_points.end()) {
    value = m_points.rbegin()->second;
    return true;
  }
  if (above == m_points.begin()) {
    value = above->second;
    return true;
  }
  const auto below = std::prev(above);
  if (m_mode == 1) return InterpolateVolatility(x, below->first, below->second, above->first, above->second, value);
  return InterpolateLinear(x, below->first, below->second, above->first, above->second, value);
}
